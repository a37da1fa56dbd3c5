#include "transcriptlog.h"

#include <QFileInfo>

TranscriptLog::TranscriptLog(const QString& path)
    : m_file(path)
{
}

std::unique_ptr<TranscriptLog> TranscriptLog::open(const QString& path, QString* reason, Mode mode)
{
    std::unique_ptr<TranscriptLog> log(new TranscriptLog(path));
    // Unbuffered: every write goes straight to the system, which keeps it
    // whatever happens to this process afterwards. A device or a pipe
    // (/dev/stdout) has no end to append at, and nothing to cut short.
    const QFileInfo info(path);
    const bool stream = info.exists() && !info.isFile() && !info.isDir();
    const QIODevice::OpenMode how = QIODevice::WriteOnly | QIODevice::Unbuffered
        | (stream                 ? QIODevice::NotOpen
           : mode == Mode::Append ? QIODevice::Append
                                  : QIODevice::Truncate);
    if (log->m_file.open(how))
        return log;
    if (reason)
        *reason = log->m_file.errorString();
    return nullptr;
}

bool TranscriptLog::write(QByteArrayView bytes, QString* reason)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = m_file.write(bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            if (reason)
                *reason = m_file.errorString();
            return false;
        }
        done += n;
    }
    return true;
}

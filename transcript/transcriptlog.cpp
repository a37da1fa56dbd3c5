#include "transcriptlog.h"

#include <QFileInfo>

TranscriptLog::TranscriptLog(const QString& path)
    : m_file(path)
{
}

std::unique_ptr<TranscriptLog> TranscriptLog::open(const QString& path, QString* reason)
{
    std::unique_ptr<TranscriptLog> log(new TranscriptLog(path));
    // Unbuffered: every write goes straight to the system, which keeps it
    // whatever happens to this process afterwards. A device or a pipe
    // (/dev/stdout) has no end to append at, and nothing to cut short.
    const QFileInfo info(path);
    log->m_stream = info.exists() && !info.isFile() && !info.isDir();
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered
        | (log->m_stream ? QIODevice::NotOpen : QIODevice::Append);
    if (log->m_file.open(mode))
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

bool TranscriptLog::empty(QString* reason)
{
    if (m_stream || m_file.resize(0))
        return true;
    if (reason)
        *reason = m_file.errorString();
    return false;
}

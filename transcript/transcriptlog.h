#pragma once

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <memory>

// A file that receives every byte appended to the transcript, in order and
// exactly. The file is opened for appending, so an earlier log is never cut
// short, and each append is written through at once: a crash or a kill of
// the program loses nothing that was already shown. Needs no QApplication,
// so the command line can open it before the window exists.
class TranscriptLog {
public:
    // The log at path, created when missing: nullptr on failure, with the
    // system's reason in *reason.
    static std::unique_ptr<TranscriptLog> open(const QString& path, QString* reason);

    QString path() const { return m_file.fileName(); }

    // False when the bytes could not all be written; *reason then says why.
    bool write(QByteArrayView bytes, QString* reason);
    // Cuts the file to nothing, for a format that nothing may come before;
    // a device or a pipe has nothing to cut. False with the reason on failure.
    bool empty(QString* reason);

private:
    explicit TranscriptLog(const QString& path);

    QFile m_file;
    bool m_stream = false; // a device or a pipe
};

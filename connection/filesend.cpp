#include "filesend.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

FileSend::FileSend(const QString& path, mWinsock2::SocketHandle socket, tls::Session* session,
                   std::chrono::milliseconds stallLimit, Hooks hooks)
    : m_path(path), m_socket(socket), m_session(session), m_stallLimit(stallLimit),
      m_hooks(std::move(hooks)), m_file(path)
{
}

FileSend::~FileSend() = default;

std::unique_ptr<FileSend> FileSend::start(const QString& path, mWinsock2::SocketHandle socket,
                                          tls::Session* session,
                                          std::chrono::milliseconds stallLimit, Hooks hooks,
                                          QString& error)
{
    std::unique_ptr<FileSend> send(new FileSend(path, socket, session, stallLimit,
                                                std::move(hooks)));
    // QFile says so in the system's own words ("No such file or directory",
    // "Permission denied"); a folder opens on some systems and reads nothing.
    if (QFileInfo(path).isDir() || !send->m_file.open(QIODevice::ReadOnly)) {
        const QString reason = QFileInfo(path).isDir() ? QStringLiteral("it is a folder")
                                                       : send->m_file.errorString();
        error = QStringLiteral("Cannot send %1: %2").arg(QDir::toNativeSeparators(path), reason);
        return nullptr;
    }
    send->m_chunk.resize(ChunkSize);
    send->m_progress.name = QFileInfo(path).fileName();
    send->m_progress.total = send->m_file.size();
    send->m_clock.start();
    send->m_hooks.status(QStringLiteral("Sending %1: %2 bytes")
                             .arg(QDir::toNativeSeparators(path))
                             .arg(send->m_progress.total));
    send->m_hooks.progress(send->m_progress);
    FileSend* self = send.get();
    send->m_pump.setInterval(0);
    QObject::connect(&send->m_pump, &QTimer::timeout, [self] { self->step(); });
    send->m_pump.start();
    return send;
}

QString FileSend::Progress::text() const
{
    return QStringLiteral("%1: %2 of %3 bytes (%4%), %5 MB/s")
        .arg(name)
        .arg(sent)
        .arg(total)
        .arg(int(fraction() * 100))
        .arg(bytesPerSecond / 1e6, 0, 'f', 1);
}

void FileSend::step()
{
    const qint64 stepEnd = m_clock.elapsed() + StepTime.count();
    while (m_running && m_clock.elapsed() < stepEnd) {
        if (m_offset == m_length) {
            if (m_cancelling) {
                finish(End::Cancelled);
                return;
            }
            m_length = m_file.read(m_chunk.data(), ChunkSize);
            m_offset = 0;
            if (m_length < 0) {
                m_length = 0;
                finish(End::ReadFailed, m_file.errorString());
                return;
            }
            if (m_length == 0) {
                finish(End::Done);
                return;
            }
        }
        const qint64 taken = sendSome(QByteArrayView(m_chunk).sliced(m_offset, m_length - m_offset));
        if (taken < 0) {
            finish(End::SendFailed);
            return;
        }
        const qint64 now = m_clock.elapsed();
        if (taken == 0) {
            if (now - m_lastTakenMs >= m_stallLimit.count()) {
                finish(End::Stalled);
                return;
            }
            waitForRoom(int(std::max<qint64>(1, stepEnd - now)));
            continue;
        }
        echo(QByteArrayView(m_chunk).sliced(m_offset, taken));
        m_offset += taken;
        m_progress.sent += taken;
        m_lastTakenMs = now;
        if (m_cancelling && !(m_session && m_session->writeOwed())) {
            finish(End::Cancelled);
            return;
        }
    }
    if (m_running && m_clock.elapsed() - m_lastProgressMs >= ProgressInterval.count())
        reportProgress();
}

qint64 FileSend::sendSome(QByteArrayView bytes)
{
    if (m_session)
        return m_session->sendSome(std::span<const char>(bytes.data(), std::size_t(bytes.size())));
    return mWinsock2::SendSome(m_socket, bytes);
}

void FileSend::waitForRoom(int ms)
{
    mWinsock2::WaitWritable(m_socket, ms);
}

void FileSend::echo(QByteArrayView bytes)
{
    const qint64 before = m_progress.sent;
    if (before >= EchoBound)
        return;
    const qint64 shown = std::min<qint64>(bytes.size(), EchoBound - before);
    if (m_hooks.echo(bytes.first(shown)))
        m_echoShown = true;
    if (before + shown == EchoBound && m_progress.total > EchoBound && m_echoShown)
        m_hooks.status(QStringLiteral("Local Echo shows the first %1 bytes of the file; the "
                                      "rest goes out unshown")
                           .arg(EchoBound));
}

void FileSend::reportProgress()
{
    m_lastProgressMs = m_clock.elapsed();
    const double seconds = double(std::max<qint64>(m_lastProgressMs, 1)) / 1000.0;
    m_progress.bytesPerSecond = double(m_progress.sent) / seconds;
    m_hooks.progress(m_progress);
}

void FileSend::cancel()
{
    if (!m_running)
        return;
    // A TLS record half written must go out whole: its rest is already
    // sealed, and would otherwise be taken for the start of what follows.
    if (m_session && m_session->writeOwed() && m_offset < m_length) {
        m_cancelling = true;
        return;
    }
    finish(End::Cancelled);
}

void FileSend::connectionEnded()
{
    if (m_running)
        finish(End::ConnectionEnded);
}

void FileSend::finish(End end, const QString& reason)
{
    m_running = false;
    m_pump.stop();
    m_file.close();
    reportProgress();
    const QString name = QDir::toNativeSeparators(m_path);
    const QString wentOut = QStringLiteral("%1 of %2 bytes went out")
                                .arg(m_progress.sent)
                                .arg(m_progress.total);
    QString line;
    switch (end) {
    case End::Done:
        line = QStringLiteral("Sent %1: %2 bytes in %3 s (%4 MB/s)")
                   .arg(name)
                   .arg(m_progress.sent)
                   .arg(double(m_lastProgressMs) / 1000.0, 0, 'f', 1)
                   .arg(m_progress.bytesPerSecond / 1e6, 0, 'f', 1);
        break;
    case End::Cancelled:
        line = QStringLiteral("Sending %1 cancelled: %2").arg(name, wentOut);
        break;
    case End::ConnectionEnded:
        line = QStringLiteral("Sending %1 stopped, the connection ended: %2").arg(name, wentOut);
        break;
    case End::Stalled:
        line = QStringLiteral("Sending %1 stopped, the peer took nothing for %2 s: %3")
                   .arg(name)
                   .arg((m_stallLimit.count() + 999) / 1000)
                   .arg(wentOut);
        break;
    case End::SendFailed:
        line = QStringLiteral("Sending %1 stopped, the send failed: %2").arg(name, wentOut);
        break;
    case End::ReadFailed:
        line = QStringLiteral("Sending %1 stopped, reading it failed (%2): %3")
                   .arg(name, reason, wentOut);
        break;
    }
    m_hooks.ended(end, line);
}

#pragma once

#include "mwinsock2.h"
#include "tlssession.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

// One file's bytes sent over the open connection, plain or TLS, in steps run
// from the window's event loop: a chunk at a time is read and handed to the
// connection without waiting on it, so that neither the file is held whole
// nor the window stands still while it goes.
class FileSend {
public:
    enum class End {
        Done,
        Cancelled,
        ConnectionEnded, // Disconnect, or the peer went, under it
        Stalled,         // the peer took nothing for the send limit
        SendFailed,
        ReadFailed,
    };

    struct Progress {
        QString name;     // the file's name, without its folder
        qint64 sent = 0;  // bytes the connection has taken
        qint64 total = 0; // the file's size when the send began
        double bytesPerSecond = 0;

        // "name: 1048576 of 4194304 bytes (25%), 12.5 MB/s"
        QString text() const;
        // 0 to 1; 0 for a file whose size is not known (a pipe, a device).
        double fraction() const
        {
            return total > 0 ? std::min(1.0, double(sent) / double(total)) : 0.0;
        }
    };

    // What the send tells the window.
    struct Hooks {
        // Bytes that went out, as long as the echo bound allows: true when
        // they were shown (Local Echo is on).
        std::function<bool(QByteArrayView)> echo;
        std::function<void(const QString& line)> status;
        // At the start, then at most every ProgressInterval.
        std::function<void(const Progress&)> progress;
        // Once, last: how it ended, and the status line that says so, for
        // the hook to write (a failed send's after what is still unread).
        std::function<void(End, const QString& line)> ended;
    };

    static constexpr qint64 ChunkSize = 256 * 1024;
    // Local Echo shows at most this much of a file, then one line says so.
    static constexpr qint64 EchoBound = 64 * 1024;
    static constexpr std::chrono::milliseconds ProgressInterval{250};
    // How long one step may go on before the window has its turn again.
    static constexpr std::chrono::milliseconds StepTime{8};

    // Opens path and begins sending it over socket (through session when it
    // is not null) at the next turn of the event loop. A send that the peer
    // takes nothing of for stallLimit ends as Stalled. nullptr when the file
    // cannot be read, with the one line that says why in error.
    static std::unique_ptr<FileSend> start(const QString& path, mWinsock2::SocketHandle socket,
                                           tls::Session* session,
                                           std::chrono::milliseconds stallLimit, Hooks hooks,
                                           QString& error);
    ~FileSend();
    FileSend(const FileSend&) = delete;
    FileSend& operator=(const FileSend&) = delete;

    bool running() const { return m_running; }
    const Progress& progress() const { return m_progress; }
    const QString& path() const { return m_path; }

    // Stops at once; a TLS record begun is finished first, so that nothing
    // after it is taken for its rest.
    void cancel();
    // The connection ends under the send (before its socket is closed).
    void connectionEnded();

private:
    FileSend(const QString& path, mWinsock2::SocketHandle socket, tls::Session* session,
             std::chrono::milliseconds stallLimit, Hooks hooks);
    void step();
    // What the connection takes of the bytes now: the count, 0 when nothing
    // now, -1 when the send failed.
    qint64 sendSome(QByteArrayView bytes);
    void waitForRoom(int ms);
    void echo(QByteArrayView bytes);
    void reportProgress();
    void finish(End end, const QString& reason = {});

    QString m_path;
    mWinsock2::SocketHandle m_socket;
    tls::Session* m_session;
    std::chrono::milliseconds m_stallLimit;
    Hooks m_hooks;

    QFile m_file;
    QByteArray m_chunk; // ChunkSize bytes; [m_offset, m_length) still to go
    qint64 m_length = 0;
    qint64 m_offset = 0;
    Progress m_progress;
    bool m_running = true;
    bool m_cancelling = false; // a TLS record is being finished
    bool m_echoShown = false;
    QTimer m_pump;
    QElapsedTimer m_clock;
    qint64 m_lastTakenMs = 0;
    qint64 m_lastProgressMs = 0;
};

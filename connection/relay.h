#pragma once

#include "endpoint.h"
#include "windowops.h"

#include <QObject>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;

// One client and the server it is relayed to: two endpoints and two
// directions, each passing what one side sends on to the other as soon as
// the sockets are ready (socket notifiers), with the bytes shown in the
// transcript as they went. Each direction reads only while the other side's
// queue has room (RelayQueueLimit) and while the transcript's share waiting
// for the next frame has room too, so memory stays bounded and nothing is
// dropped. The end of one side's sending becomes the end of ours to the
// other side; a reset on one side resets the other.
class Relay : public QObject {
public:
    struct Events {
        // A status line, written after every byte shown before it.
        std::function<void(const QString& line)> statusLine;
        // The client began TLS on a plain pair (its ClientHello waits unread
        // in its socket; serverName is its SNI, or empty): the relay is
        // paused until resume() or end(). Called from the event loop.
        std::function<void(const QString& serverName)> clientHello;
        // The pair is over: both endpoints are closed.
        std::function<void()> ended;
    };

    // How much one direction holds for a side that does not read.
    static constexpr qint64 QueueLimit = 1 << 20;
    // How much waits for the transcript's next frame.
    static constexpr qint64 TranscriptLimit = 1 << 20;
    // How often what was passed on is shown.
    static constexpr int FrameMs = 20;

    // Both endpoints connected, in non-blocking mode from now on.
    Relay(WindowOps& window, Endpoint client, Endpoint server, bool recogniseTls, Events events);
    ~Relay() override;

    Endpoint& endpoint(RelaySide side) { return side == RelaySide::Client ? m_client : m_server; }
    const Endpoint& endpoint(RelaySide side) const
    {
        return side == RelaySide::Client ? m_client : m_server;
    }
    bool isOver() const { return m_over; }

    // Stops and starts passing bytes, around a step that waits (a handshake).
    void pause();
    void resume();

    // The user's own bytes to one side, after what is queued for it; shown
    // as sent to that side when echo. False when the side cannot take them
    // (the pair has then ended, said so).
    bool inject(RelaySide to, QByteArrayView bytes, bool echo);
    // Everything queued for the client goes out now, waiting at most
    // timeLimit: false when it did not.
    bool drainToClient(std::chrono::milliseconds timeLimit);

    // Ends the pair: line written, both endpoints closed.
    void end(const QString& line);
    // Shows what waits for the transcript now.
    void showPassed();

private:
    struct Direction {
        Endpoint* from;
        Endpoint* to;
        RelaySide fromSide;
        TextOrigin origin;
        QSocketNotifier* reading = nullptr; // on from
        QSocketNotifier* writing = nullptr; // on to
        bool ended = false;                 // from has ended its sending
    };

    void pump(Direction& d);
    void flushTo(Direction& d);
    void updateNotifiers();
    void sourceEnded(Direction& d, bool confirmed);
    void failed(RelaySide side, const QString& why);
    // True when the client's stream starts a TLS handshake here (the pair is
    // then paused, or waits for the rest of the record).
    bool holdsClientHello();
    void keep(TextOrigin origin, QByteArrayView bytes);
    void finishIfDone();
    static QString sideName(RelaySide side);

    WindowOps& m_window;
    Endpoint m_client;
    Endpoint m_server;
    Events m_events;
    bool m_recognise;
    // The next bytes from the client begin a turn of its own: at the start,
    // and after the server has spoken since the client last did.
    bool m_clientTurn = true;
    bool m_paused = false;
    bool m_over = false;
    std::array<Direction, 2> m_directions;
    std::vector<char> m_buffer;

    // What was passed on since the last frame, a run per origin.
    std::vector<std::pair<TextOrigin, QByteArray>> m_passed;
    qint64 m_passedBytes = 0;
    QTimer* m_frame = nullptr;
    QTimer* m_again = nullptr; // reads again what a TLS session holds
    QTimer* m_helloWait = nullptr; // the rest of a ClientHello record
    int m_helloTries = 0;
};

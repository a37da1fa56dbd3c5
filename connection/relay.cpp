#include "relay.h"

#include "clienthello.h"

#include <QSocketNotifier>
#include <QTimer>

namespace {

RelaySide otherSide(RelaySide side)
{
    return side == RelaySide::Client ? RelaySide::Server : RelaySide::Client;
}

QString inBrackets(const QString& why)
{
    return why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why);
}

} // namespace

Relay::Relay(WindowOps& window, Endpoint client, Endpoint server, bool recogniseTls,
             Events events)
    : m_window(window),
      m_client(std::move(client)),
      m_server(std::move(server)),
      m_events(std::move(events)),
      m_recognise(recogniseTls),
      m_buffer(std::size_t(Endpoint::RelayReadSize))
{
    for (Endpoint* e : {&m_client, &m_server}) {
        sockplatform::SetNonBlocking(e->socket(), true);
        e->setReadSize(Endpoint::RelayReadSize);
    }
    auto notifier = [this](Endpoint& e, QSocketNotifier::Type type) {
        auto* n = new QSocketNotifier(qintptr(e.socket()), type, this);
        n->setEnabled(false);
        return n;
    };
    m_directions[0] = Direction{&m_client, &m_server, RelaySide::Client, TextOrigin::FromClient,
                                notifier(m_client, QSocketNotifier::Read),
                                notifier(m_server, QSocketNotifier::Write)};
    m_directions[1] = Direction{&m_server, &m_client, RelaySide::Server, TextOrigin::FromServer,
                                notifier(m_server, QSocketNotifier::Read),
                                notifier(m_client, QSocketNotifier::Write)};
    for (Direction& d : m_directions) {
        connect(d.reading, &QSocketNotifier::activated, this, [this, &d] { pump(d); });
        connect(d.writing, &QSocketNotifier::activated, this, [this, &d] { flushTo(d); });
    }
    m_frame = new QTimer(this);
    m_frame->setSingleShot(true);
    m_frame->setInterval(FrameMs);
    connect(m_frame, &QTimer::timeout, this, &Relay::showPassed);
    m_again = new QTimer(this);
    m_again->setSingleShot(true);
    m_again->setInterval(0);
    connect(m_again, &QTimer::timeout, this, [this] {
        for (Direction& d : m_directions)
            pump(d);
    });
    m_helloWait = new QTimer(this);
    m_helloWait->setSingleShot(true);
    m_helloWait->setInterval(10);
    connect(m_helloWait, &QTimer::timeout, this, [this] { pump(m_directions[0]); });
    updateNotifiers();
}

Relay::~Relay()
{
    // The notifiers go before the sockets they watch.
    for (Direction& d : m_directions) {
        delete d.reading;
        delete d.writing;
        d.reading = d.writing = nullptr;
    }
}

QString Relay::sideName(RelaySide side)
{
    return side == RelaySide::Client ? QStringLiteral("client") : QStringLiteral("server");
}

void Relay::updateNotifiers()
{
    const bool running = !m_paused && !m_over;
    for (Direction& d : m_directions) {
        const bool waitingForHello = &d == &m_directions[0] && m_helloWait->isActive();
        d.reading->setEnabled(running && !d.ended && !waitingForHello
                              && d.to->queued() < QueueLimit && m_passedBytes < TranscriptLimit);
        d.writing->setEnabled(running && d.to->queued() > 0);
    }
}

void Relay::pump(Direction& d)
{
    if (m_paused || m_over || d.ended)
        return;
    const bool fromClient = d.fromSide == RelaySide::Client;
    // A few reads a turn, so that the other direction and the window get
    // theirs; a socket with more waiting is ready again at once.
    qint64 taken = 0;
    for (int reads = 0; reads < 64 && taken < 2 * Endpoint::RelayReadSize; ++reads) {
        if (d.to->queued() >= QueueLimit || m_passedBytes >= TranscriptLimit)
            break;
        if (fromClient && m_recognise && m_clientTurn && !m_client.isTls() && !m_server.isTls()) {
            if (holdsClientHello()) {
                updateNotifiers();
                return;
            }
            m_clientTurn = false;
        }
        const Endpoint::Read read = d.from->receive(m_buffer);
        switch (read.outcome) {
        case Endpoint::Outcome::Data: {
            const QByteArrayView bytes(m_buffer.data(), read.count);
            taken += read.count;
            keep(d.origin, bytes);
            m_clientTurn = !fromClient;
            if (!d.to->write(bytes)) {
                failed(otherSide(d.fromSide), d.to->tlsError());
                return;
            }
            continue;
        }
        case Endpoint::Outcome::Nothing:
            break;
        case Endpoint::Outcome::Closed:
        case Endpoint::Outcome::ClosedUnconfirmed:
            sourceEnded(d, read.outcome == Endpoint::Outcome::Closed);
            return;
        case Endpoint::Outcome::Failed:
            failed(d.fromSide, d.from->tlsError());
            return;
        }
        break;
    }
    // What a TLS session has decrypted already raises no notifier.
    if (d.from->hasPending())
        m_again->start();
    updateNotifiers();
}

void Relay::flushTo(Direction& d)
{
    if (m_over || m_paused)
        return;
    if (!d.to->flush()) {
        failed(otherSide(d.fromSide), d.to->tlsError());
        return;
    }
    if (d.ended && d.to->queued() == 0) {
        d.to->shutdownSend();
        finishIfDone();
        if (m_over)
            return;
    }
    if (d.from->hasPending())
        m_again->start();
    updateNotifiers();
}

void Relay::sourceEnded(Direction& d, bool confirmed)
{
    d.ended = true;
    const RelaySide to = otherSide(d.fromSide);
    showPassed();
    m_events.statusLine(QStringLiteral("Relay: the %1 closed its side%2; passing the close on to "
                                       "the %3")
                            .arg(sideName(d.fromSide),
                                 confirmed ? QString()
                                           : QStringLiteral(" without TLS's close_notify"),
                                 sideName(to)));
    if (d.to->queued() == 0)
        d.to->shutdownSend();
    finishIfDone();
    if (!m_over)
        updateNotifiers();
}

void Relay::finishIfDone()
{
    for (const Direction& d : m_directions)
        if (!d.ended || d.to->queued() > 0)
            return;
    end(QStringLiteral("Relay: both sides have closed; the pair is over"));
}

void Relay::failed(RelaySide side, const QString& why)
{
    if (m_over)
        return;
    showPassed();
    m_events.statusLine(QStringLiteral("Relay: the connection to the %1 failed%2; resetting the "
                                       "%3's too")
                            .arg(sideName(side), inBrackets(why), sideName(otherSide(side))));
    m_over = true;
    updateNotifiers();
    m_client.abort();
    m_server.abort();
    m_events.ended();
}

void Relay::end(const QString& line)
{
    if (m_over)
        return;
    showPassed();
    m_events.statusLine(line);
    m_over = true;
    updateNotifiers();
    m_client.close();
    m_server.close();
    m_events.ended();
}

void Relay::pause()
{
    m_paused = true;
    updateNotifiers();
}

void Relay::resume()
{
    m_paused = false;
    m_clientTurn = false;
    updateNotifiers();
    m_again->start();
}

bool Relay::holdsClientHello()
{
    std::vector<char> head(static_cast<std::size_t>(ClientHelloLimit));
    const std::int32_t n = m_client.peek(head);
    if (n == -1) {
        // The reset is spent by the peek: said here, as the read would.
        failed(RelaySide::Client, QString());
        return true;
    }
    if (n <= 0)
        return false; // the read that follows sees the end, or nothing
    const ClientHello hello = readClientHello(QByteArrayView(head.data(), n));
    switch (hello.verdict) {
    case ClientHello::Verdict::NotTls:
        return false;
    case ClientHello::Verdict::Incomplete:
        // The rest of the record is on its way; a client that never sends
        // it (5 s) was not beginning TLS after all.
        if (++m_helloTries > 500)
            return false;
        m_helloWait->start();
        return true;
    case ClientHello::Verdict::Hello:
        break;
    }
    m_paused = true;
    showPassed();
    const QString name = hello.serverName;
    QTimer::singleShot(0, this, [this, name] {
        if (!m_over)
            m_events.clientHello(name);
    });
    return true;
}

bool Relay::inject(RelaySide to, QByteArrayView bytes, bool echo)
{
    if (m_over || bytes.isEmpty())
        return false;
    Endpoint& e = endpoint(to);
    if (e.sendShutDown()) {
        showPassed();
        m_events.statusLine(QStringLiteral("Relay: the %1's side is closed for sending; nothing "
                                           "was sent")
                                .arg(sideName(to)));
        return false;
    }
    e.queue(bytes);
    if (echo)
        keep(to == RelaySide::Client ? TextOrigin::ToClient : TextOrigin::ToServer, bytes);
    if (!m_paused && !e.flush()) {
        failed(to, e.tlsError());
        return false;
    }
    updateNotifiers();
    return true;
}

bool Relay::drainToClient(std::chrono::milliseconds timeLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    while (m_client.queued() > 0) {
        if (!m_client.flush())
            return false;
        if (m_client.queued() == 0)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        sockplatform::WaitReady(m_client.socket(), true,
                                int(std::min(left, sockplatform::WaitSlice).count()));
    }
    return true;
}

void Relay::keep(TextOrigin origin, QByteArrayView bytes)
{
    if (m_passed.empty() || m_passed.back().first != origin)
        m_passed.emplace_back(origin, QByteArray());
    m_passed.back().second.append(bytes.data(), bytes.size());
    m_passedBytes += bytes.size();
    // A full share is shown at the loop's next turn, not the next frame.
    if (m_passedBytes >= TranscriptLimit)
        m_frame->start(0);
    else if (!m_frame->isActive())
        m_frame->start(FrameMs);
}

void Relay::showPassed()
{
    m_frame->stop();
    if (m_passed.empty())
        return;
    const bool wasFull = m_passedBytes >= TranscriptLimit;
    // Taken out first: the window may come back to the relay while it draws.
    std::vector<std::pair<TextOrigin, QByteArray>> passed;
    passed.swap(m_passed);
    m_passedBytes = 0;
    for (const auto& [origin, bytes] : passed)
        m_window.AppendBytes(bytes, origin);
    m_window.ScrollToEnd();
    if (m_over)
        return;
    updateNotifiers();
    if (wasFull)
        m_again->start();
}

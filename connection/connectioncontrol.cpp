#include "connectioncontrol.h"

#include "portnumber.h"
#include "relay.h"

#include <array>
#include <limits>

using namespace mWinsock2;

namespace {

const QString CrLf = QStringLiteral("\r\n");

// One end of a conversation; an IPv4 peer seen through an IPv6 socket as IPv4.
ConversationEnd endOf(const SockAddr& record)
{
    const SockAddr address = sockplatform::Unmapped(record);
    ConversationEnd end;
    end.ipv6 = sockplatform::RecordAddressBytes(address, end.address) == 16;
    end.port = PortOf(address);
    return end;
}

} // namespace

ConnectionControl::ConnectionControl(WindowOps& window)
    : ConnectionControl(window, Platform{})
{
}

ConnectionControl::ConnectionControl(WindowOps& window, Platform platform)
    : m_window(window),
      m_platform(std::move(platform)),
      m_tls(window, [this](const QString& line) { writeStatusLine(line); })
{
}

ConnectionControl::~ConnectionControl()
{
    // The window may go without a close event (a test, a failed start-up):
    // release the sockets all the same, quietly (the endpoints close theirs).
    m_relay.reset();
    m_endedRelay.reset();
    CloseSocket(ListenSocket);
}

// --- Start-up and shut-down --------------------------------------------------

void ConnectionControl::Form_Load()
{
    m_window.cmdH_Click();
    const int error = m_platform.startup();
    if (error == 0) {
        ConnState = stateIdle;
        return;
    }
    m_window.reportStartupFailure(QStringLiteral("WSAStartup() failed with error: ")
                                  + QString::number(error));
}

void ConnectionControl::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    if (isRelaying())
        stopRelay();
    if (ConnState == stateReconnecting)
        stopReconnecting();
    if (ConnState == stateAccepted || ConnState == stateConnected)
        cmdDisconnect_Click();
    if (ConnState == stateListening)
        cmdStartListen_Click();
    m_platform.cleanup();
}

// --- Outgoing connection -------------------------------------------------------

void ConnectionControl::cmdConnetti_Click()
{
    if (ConnState != stateIdle)
        return;
    m_tries = 0;
    connectOut();
}

bool ConnectionControl::connectOut()
{
    const auto port = PortFromText(m_window.text(TextBox::txtPortConn));
    if (!port)
        return false;
    // Our key is unlocked before anything goes out: no peer waits on the
    // passphrase dialog.
    if (m_window.tlsValue() && !m_tls.settings().certFile.isEmpty()
        && !m_tls.identity(QStringLiteral("TLS cannot connect: ")))
        return false;

    const QString host = m_window.text(TextBox::txtHostConn);
    QString proxyFailure;
    const Connection connection = connectTo(host, *port, RemoteAddr, proxyFailure);
    const QString failed = QStringLiteral("Failed connection to: ") + destination(host)
        + (proxyFailure.isEmpty() ? QString() : QStringLiteral(": ") + proxyFailure);
    const bool retry = ConnState == stateReconnecting;
    if (connection.handle == InvalidSocket) {
        if (!retry)
            writeStatusLine(failed);
        return false;
    }
    TlsSteps::Checked facts;
    Endpoint peer(connection.handle, RemoteAddr);
    if (m_window.tlsValue()) {
        peer.setSession(
            m_tls.clientHandshake(peer.socket(), host, *port, m_connectTimeLimit, facts));
        if (!peer.isTls()) {
            peer.close();
            if (!retry)
                writeStatusLine(failed);
            return false;
        }
    }
    m_peer = std::move(peer);
    m_connectedHost = host;

    ConnState = stateConnected;
    m_window.setEnabled(Control::cmdDisconnect, true);
    m_window.setEnabled(Control::txtPort, false);
    m_window.setEnabled(Control::cmdStartListen, false);
    m_window.setEnabled(Control::txtHostConn, false);
    m_window.setEnabled(Control::txtPortConn, false);
    m_window.setEnabled(Control::cmdConnetti, false);
    m_window.setEnabled(Control::cmdSend, true);
    m_window.connectionStarted();
    startConversation(true);
    writeStatusLine(QStringLiteral("Connected to: ") + destination(host));
    if (m_peer.isTls())
        m_tls.writeFacts(facts);
    m_connectedAt = std::chrono::steady_clock::now();
    m_window.connectionReady();
    return true;
}

Connection ConnectionControl::connectTo(const QString& host, quint16 port, SockAddr& address,
                                        QString& proxyFailure)
{
    using Clock = std::chrono::steady_clock;
    // Both waits below keep the window drawn and end early when it closes.
    const KeepWaiting keepWaiting = [this] { return m_window.keepWaiting(); };
    // Straight to the host, the lookup and the connect have the time limit
    // each; through a proxy, one deadline bounds the proxy's lookup, the
    // connect and the proxy's handshake together.
    const auto deadline = Clock::now() + m_connectTimeLimit;
    const auto timeLeft = [&] {
        return m_proxy ? std::max(std::chrono::milliseconds(0),
                                  std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - Clock::now()))
                       : m_connectTimeLimit;
    };
    std::vector<SockAddr> addresses = ResolveAddresses(m_proxy ? m_proxy->host : host,
                                                       m_platform.lookup, timeLeft(), keepWaiting);
    // A name that does not resolve gives the all-ones address, which fails.
    if (addresses.empty())
        addresses.push_back(sockplatform::Ipv4Record(0xffffffffu, 0));
    for (SockAddr& a : addresses)
        SetPort(a, m_proxy ? m_proxy->port : port);
    Connection connection = ConnectFirst(addresses, timeLeft(), keepWaiting);
    address = addresses[connection.index];
    if (!m_proxy)
        return connection;
    if (connection.handle == InvalidSocket) {
        proxyFailure = m_proxy->named() + QStringLiteral(" cannot be reached");
        return connection;
    }
    ProxyHandshake handshake(*m_proxy, host, port);
    proxyFailure = RunProxyHandshake(connection.handle, handshake, deadline, keepWaiting);
    if (!proxyFailure.isEmpty()) {
        CloseSocket(connection.handle);
        connection.handle = InvalidSocket;
    }
    return connection;
}

QString ConnectionControl::destination(const QString& host) const
{
    // Through a proxy the only address known here is the proxy's own.
    return m_proxy ? host + QStringLiteral(" through ") + m_proxy->named()
                   : AddressToText(RemoteAddr);
}

// --- Start TLS on an open connection -------------------------------------------

bool ConnectionControl::canStartTls() const
{
    return (ConnState == stateAccepted || ConnState == stateConnected) && !m_peer.isTls()
        && !m_upgrading && !isSendingFile();
}

void ConnectionControl::mnuStartTls_Click()
{
    if (!canStartTls())
        return;
    // Whatever arrived in plain text up to now is the peer's go-ahead and
    // what came before it: shown, never fed to the handshake.
    if (!showWaitingPlainText())
        return;
    const QString host = ConnState == stateConnected ? m_connectedHost
                                                     : AddressToText(RemoteAddr);
    TlsSteps::Checked facts;
    m_upgrading = true; // the ticks meanwhile leave the socket to the handshake
    std::unique_ptr<tls::Session> session = m_tls.clientHandshake(m_peer.socket(), host,
                                                                  m_peer.port(),
                                                                  m_connectTimeLimit, facts);
    m_upgrading = false;
    if (!session) {
        // Half a handshake leaves nothing usable behind.
        cmdDisconnect_Click();
        return;
    }
    m_peer.setSession(std::move(session));
    m_tls.writeFacts(facts);
}

bool ConnectionControl::showWaitingPlainText()
{
    const Endpoint::Outcome end = showUnread(std::numeric_limits<qint64>::max());
    if (end == Endpoint::Outcome::Nothing)
        return true;
    connectionLost(endLine(end));
    return false;
}

Endpoint::Outcome ConnectionControl::showUnread(qint64 limit)
{
    std::array<char, Endpoint::TickReadSize> buffer;
    qint64 shown = 0;
    Endpoint::Outcome outcome = Endpoint::Outcome::Nothing;
    // Plain bytes already inside a TLS session raise no poll.
    while (m_peer.hasPending() || PollReadable(m_peer.socket()) > 0) {
        if (shown >= limit) {
            outcome = Endpoint::Outcome::Data;
            break;
        }
        const Endpoint::Read read = m_peer.receive(buffer);
        if (read.outcome != Endpoint::Outcome::Data) {
            outcome = read.outcome;
            break;
        }
        m_window.AppendText(FromCodePage(QByteArrayView(buffer.data(), read.count)),
                            TextOrigin::Received);
        shown += read.count;
    }
    if (shown > 0)
        m_window.ScrollToEnd();
    return outcome;
}

QString ConnectionControl::endLine(Endpoint::Outcome end) const
{
    switch (end) {
    case Endpoint::Outcome::ClosedUnconfirmed:
        return QStringLiteral(
            "TLS: the connection ended without the peer's close_notify; the end is not confirmed");
    case Endpoint::Outcome::Failed:
        return m_peer.isTls() ? QStringLiteral("TLS error: ") + m_peer.tlsError() : QString();
    default:
        return {};
    }
}

void ConnectionControl::connectionLost(const QString& why)
{
    if (ConnState != stateAccepted && ConnState != stateConnected)
        return;
    // The peer may keep sending to a connection taken as stalled: what is
    // shown here is bounded, so that it cannot hold the window.
    if (showUnread(UnreadShownLimit) == Endpoint::Outcome::Data)
        writeStatusLine(QStringLiteral("Not shown: what the peer sent past the first %1 MB")
                            .arg(UnreadShownLimit >> 20));
    if (!why.isEmpty())
        writeStatusLine(why);
    const bool comesBack = ConnState == stateConnected && m_reconnect && !m_unloaded;
    cmdDisconnect_Click();
    if (!comesBack)
        return;
    // A connection that lasted starts the waits again from the first.
    if (std::chrono::steady_clock::now() - m_connectedAt >= m_longestWait)
        m_tries = 0;
    scheduleTry();
}

// --- Reconnecting ----------------------------------------------------------------

void ConnectionControl::setReconnect(bool on)
{
    m_reconnect = on;
    if (!on && ConnState == stateReconnecting)
        stopReconnecting();
}

void ConnectionControl::scheduleTry()
{
    ++m_tries;
    std::chrono::milliseconds wait = m_firstWait;
    for (int i = 1; i < m_tries && wait < m_longestWait; ++i)
        wait *= 2;
    wait = std::min(wait, m_longestWait);
    m_tryAt = std::chrono::steady_clock::now() + wait;
    if (ConnState != stateReconnecting) {
        ConnState = stateReconnecting;
        enableConnect(false);
        m_window.setEnabled(Control::cmdDisconnect, true);
    }
    const auto port = PortFromText(m_window.text(TextBox::txtPortConn));
    writeStatusLine(QStringLiteral("Reconnecting to %1 port %2 in %3 s (try %4)")
                        .arg(m_window.text(TextBox::txtHostConn))
                        .arg(port.value_or(0))
                        .arg(double(wait.count()) / 1000.0)
                        .arg(m_tries));
}

void ConnectionControl::reconnectStep()
{
    // A tick that comes while a try waits for its connect leaves it be.
    if (m_trying || std::chrono::steady_clock::now() < m_tryAt)
        return;
    m_trying = true;
    m_window.whileWaiting([this] {
        if (!connectOut() && ConnState == stateReconnecting && !m_unloaded)
            scheduleTry();
    });
    m_trying = false;
}

void ConnectionControl::stopReconnecting()
{
    ConnState = stateIdle;
    enableConnect(true);
    m_window.setEnabled(Control::cmdDisconnect, false);
    writeStatusLine(QStringLiteral("Reconnecting stopped"));
}

void ConnectionControl::enableConnect(bool on)
{
    m_window.setEnabled(Control::txtPort, on);
    m_window.setEnabled(Control::txtHostConn, on);
    m_window.setEnabled(Control::txtPortConn, on);
    m_window.setEnabled(Control::cmdConnetti, on);
}

// --- Listening and accepting -------------------------------------------------

void ConnectionControl::cmdStartListen_Click()
{
    if (ConnState == stateReconnecting)
        stopReconnecting();
    if (ConnState == stateIdle)
        listen();
    else if (ConnState == stateListening)
        stop();
}

void ConnectionControl::listen()
{
    const auto port = PortFromText(m_window.text(TextBox::txtPort));
    if (!port)
        return;

    const bool useTls = m_window.tlsValue();
    const tls::Identity* identity = useTls ? m_tls.identity(QStringLiteral("TLS cannot listen: "))
                                           : nullptr;
    if (useTls && !identity)
        return;

    if (!openListener(*port, 1))
        return;
    m_listenTls = useTls;
    if (identity)
        m_tls.writeIdentityLine();

    ConnState = stateListening;
    m_window.setCaption(Control::cmdStartListen, QStringLiteral("Stop"));
    m_window.setEnabled(Control::cmdDisconnect, false);
    m_window.setEnabled(Control::txtPort, false);
    m_window.setEnabled(Control::txtHostConn, false);
    m_window.setEnabled(Control::txtPortConn, false);
    m_window.setEnabled(Control::cmdConnetti, false);
}

bool ConnectionControl::openListener(quint16 port, int backlog)
{
    // One socket for peers of both families where the system has IPv6.
    const Family family = m_platform.ipv6() ? Family::IPv6 : Family::IPv4;
    ListenSocket = CreateTcpSocket(family);
    if (ListenSocket == InvalidSocket)
        return false;
    ListenAddr = sockplatform::AnyRecord(family, port);
    if (BindSocket(ListenSocket, ListenAddr) != 0) {
        CloseSocket(ListenSocket);
        ListenSocket = InvalidSocket;
        return false;
    }
    StartListening(ListenSocket, backlog);
    return true;
}

void ConnectionControl::stop()
{
    m_handshaking.reset();
    CloseSocket(ListenSocket);
    ListenSocket = InvalidSocket;

    ConnState = stateIdle;
    m_window.setCaption(Control::cmdStartListen, QStringLiteral("Listen"));
    m_window.setEnabled(Control::cmdDisconnect, false);
    m_window.setEnabled(Control::txtPort, true);
    m_window.setEnabled(Control::txtHostConn, true);
    m_window.setEnabled(Control::txtPortConn, true);
    m_window.setEnabled(Control::cmdConnetti, true);
}

void ConnectionControl::acceptStep()
{
    if (m_handshaking) {
        if (std::optional<Endpoint> peer = handshakeStep())
            tlsPeerAccepted(std::move(*peer));
        return;
    }
    if (PollReadable(ListenSocket) != 1)
        return;
    SockAddr peer;
    const SocketHandle s = AcceptConnection(ListenSocket, peer);
    if (!m_listenTls) {
        RemoteAddr = peer;
        if (s != InvalidSocket) {
            m_peer = Endpoint(s, peer);
            peerAccepted();
            m_window.connectionReady();
        }
        return;
    }
    if (s == InvalidSocket)
        return;
    if (std::optional<Endpoint> done = startHandshake(Endpoint(s, peer)))
        tlsPeerAccepted(std::move(*done));
}

std::optional<Endpoint> ConnectionControl::startHandshake(Endpoint peer)
{
    m_handshaking = TlsSteps::Handshaking{std::move(peer), {}};
    if (!m_tls.startServer(*m_handshaking, m_connectTimeLimit)) {
        m_handshaking.reset();
        return std::nullopt;
    }
    return handshakeStep();
}

std::optional<Endpoint> ConnectionControl::handshakeStep()
{
    switch (m_tls.serverStep(*m_handshaking, m_connectTimeLimit)) {
    case TlsSteps::Step::Done: {
        Endpoint peer = std::move(m_handshaking->peer);
        m_handshaking.reset();
        return peer;
    }
    case TlsSteps::Step::Failed:
        m_handshaking.reset();
        break;
    case TlsSteps::Step::Waiting:
        break;
    }
    return std::nullopt;
}

void ConnectionControl::tlsPeerAccepted(Endpoint peer)
{
    RemoteAddr = peer.address();
    m_peer = std::move(peer);
    peerAccepted();
    m_tls.writeFacts(m_peer.session()->peer());
    m_window.connectionReady();
}

void ConnectionControl::peerAccepted()
{
    m_window.connectionStarted();
    startConversation(false);
    writeStatusLine(QStringLiteral("Connected from: ") + AddressToText(RemoteAddr));
    ConnState = stateAccepted;
    m_window.setEnabled(Control::cmdDisconnect, true);
    m_window.setEnabled(Control::txtPort, false);
    m_window.setEnabled(Control::cmdStartListen, false);
    m_window.setEnabled(Control::txtHostConn, false);
    m_window.setEnabled(Control::txtPortConn, false);
    m_window.setEnabled(Control::cmdConnetti, false);
    m_window.setEnabled(Control::cmdSend, true);
}

// --- Receive pump and disconnection ------------------------------------------

void ConnectionControl::tmrReceive_Timer()
{
    m_endedRelay.reset();
    switch (ConnState) {
    case stateListening:
        acceptStep();
        break;
    case stateRelaying:
        relayAcceptStep();
        break;
    case stateAccepted:
    case stateConnected:
        receiveStep();
        break;
    case stateReconnecting:
        reconnectStep();
        break;
    default:
        break;
    }
}

void ConnectionControl::receiveStep()
{
    if (m_upgrading)
        return;
    // Writability is tested before anything is read: a connection whose send
    // buffer stays full is taken as lost.
    // A file going out fills the buffer on purpose and has its own limit;
    // once it has ended, the peer takes what is still queued at its pace.
    const bool writable = IsWritable(m_peer.socket());
    if (writable)
        m_fileQueued = false;
    if (!writable && !isSendingFile() && !m_fileQueued) {
        connectionLost({});
        return;
    }
    if (m_peer.isTls()) {
        receiveTlsStep();
        return;
    }
    if (PollReadable(m_peer.socket()) <= 0)
        return;

    QString text;
    if (ReceiveText(m_peer.socket(), text) > 0) {
        m_window.AppendText(text, TextOrigin::Received);
        m_window.ScrollToEnd();
        return;
    }
    connectionLost({});
}

void ConnectionControl::receiveTlsStep()
{
    // Plain bytes already inside the session are shown without waiting for
    // more from the network.
    if (!m_peer.hasPending() && PollReadable(m_peer.socket()) <= 0)
        return;
    std::array<char, Endpoint::TickReadSize> buffer;
    const Endpoint::Read read = m_peer.receive(buffer);
    switch (read.outcome) {
    case Endpoint::Outcome::Data:
        m_window.AppendText(FromCodePage(QByteArrayView(buffer.data(), read.count)),
                            TextOrigin::Received);
        m_window.ScrollToEnd();
        return;
    case Endpoint::Outcome::Nothing:
        return;
    default:
        connectionLost(endLine(read.outcome));
        return;
    }
}

void ConnectionControl::cmdDisconnect_Click()
{
    if (ConnState == stateReconnecting) {
        stopReconnecting();
        return;
    }
    if (ConnState == stateRelayed) {
        m_relay->end(QStringLiteral("Relay: disconnected; the client and the server are closed"));
        return;
    }
    if (ConnState != stateAccepted && ConnState != stateConnected)
        return;

    if (isSendingFile())
        m_fileSend->connectionEnded();
    m_fileQueued = false;
    m_peer.close();

    if (ConnState == stateAccepted) {
        ConnState = stateListening;
    } else {
        ConnState = stateIdle;
        enableConnect(true);
    }
    m_window.setEnabled(Control::cmdStartListen, true);
    m_window.setEnabled(Control::cmdDisconnect, false);
    m_window.setEnabled(Control::cmdSend, false);
    writeStatusLine(QStringLiteral("Disconnected"));
    // After the line, which the conversation's last packets then follow.
    m_window.conversationEnded();
}

// --- Sending and local echo ----------------------------------------------------

void ConnectionControl::cmdSend_Click()
{
    if (ConnState == stateRelayed) {
        const QString text = m_window.text(TextBox::txtInvia);
        if (text.isEmpty())
            return;
        sendToRelay(m_window.sendTarget(), ToCodePage(text));
        if (ConnState == stateRelayed)
            m_window.setText(TextBox::txtInvia, QString());
        return;
    }
    if (ConnState != stateAccepted && ConnState != stateConnected)
        return;
    if (refusedForFile())
        return;
    if (sendAndEcho(m_window.text(TextBox::txtInvia)))
        m_window.setText(TextBox::txtInvia, QString());
}

void ConnectionControl::txtDati_KeyPress(std::int16_t keyCode)
{
    if (isRelaying()) {
        if (ConnState != stateRelayed)
            return;
        // Enter sends the chosen line end, to either side, as it does on a
        // plain connection.
        if (keyCode == 13 && m_lineEnd == LineEnd::None)
            return;
        sendToRelay(m_window.sendTarget(),
                    ToCodePage(keyCode == 13                          ? lineEndText(m_lineEnd)
                               : keyCode >= 0 && keyCode <= 255 ? QString(QChar(char16_t(keyCode)))
                                                                : QStringLiteral("?")));
        return;
    }
    // Outside a connection the peer's socket is InvalidSocket, so the send fails and
    // the Disconnect action it leads to does nothing: the key has no effect.
    if (refusedForFile())
        return;
    if (keyCode == 13) {
        // Line end "None": Enter sends nothing at all.
        if (m_lineEnd != LineEnd::None)
            sendAndEcho(lineEndText(m_lineEnd));
    } else if (keyCode >= 0 && keyCode <= 255) {
        sendAndEcho(QString(QChar(char16_t(keyCode))));
    } else {
        sendAndEcho(QStringLiteral("?"));
    }
}

ConnectionControl::SendOutcome ConnectionControl::sendBytes(QByteArrayView bytes,
                                                            std::optional<RelaySide> to,
                                                            bool skipWhenBusy)
{
    if (bytes.isEmpty())
        return SendOutcome::Sent;
    if (ConnState == stateRelayed) {
        const RelaySide side = to.value_or(m_window.sendTarget());
        if (skipWhenBusy && m_relay->endpoint(side).queued() > 0)
            return SendOutcome::Busy;
        return sendToRelay(side, bytes) ? SendOutcome::Sent : SendOutcome::Failed;
    }
    if ((ConnState != stateAccepted && ConnState != stateConnected) || m_upgrading)
        return SendOutcome::NotConnected;
    if (refusedForFile())
        return SendOutcome::Refused;
    if (skipWhenBusy && !IsWritable(m_peer.socket()))
        return SendOutcome::Busy;
    return sendAndEcho(FromCodePage(bytes)) ? SendOutcome::Sent : SendOutcome::Failed;
}

bool ConnectionControl::sendAndEcho(const QString& text)
{
    const bool sent = m_peer.sendAll(ToCodePage(text), m_sendTimeLimit);
    if (!sent) {
        // Taken before what is still unread is, which may change it.
        connectionLost(m_peer.isTls() && !text.isEmpty()
                           ? QStringLiteral("TLS error: ") + m_peer.tlsError()
                           : QString());
        return false;
    }
    if (m_window.echoValue() == 1) {
        // Echo what went on the wire: a character the code page lacks went
        // out as "?", and shows so.
        m_window.AppendText(FromCodePage(ToCodePage(text)), TextOrigin::Sent);
    }
    m_window.ScrollToEnd();
    return true;
}

void ConnectionControl::startConversation(bool openedHere)
{
    Conversation conversation;
    conversation.here = endOf(LocalAddress(m_peer.socket()));
    conversation.peer = endOf(RemoteAddr);
    conversation.tls = m_peer.isTls();
    conversation.openedHere = openedHere;
    m_window.conversationStarted(conversation);
}

bool ConnectionControl::refusedForFile()
{
    if (m_fileQueued && IsWritable(m_peer.socket()))
        m_fileQueued = false;
    if (!isSendingFile() && !m_fileQueued)
        return false;
    if (!m_refusedForFile)
        writeStatusLine(isSendingFile()
                            ? QStringLiteral("Not sent: a file is going out (Cancel stops it)")
                            : QStringLiteral("Not sent: the peer has yet to take the end of the "
                                             "file"));
    m_refusedForFile = true;
    return true;
}

void ConnectionControl::sendFile(const QString& path)
{
    if ((ConnState != stateAccepted && ConnState != stateConnected) || isSendingFile()
        || m_upgrading)
        return;
    FileSend::Hooks hooks;
    hooks.echo = [this](QByteArrayView bytes) {
        if (m_window.echoValue() != 1)
            return false;
        m_window.AppendText(FromCodePage(bytes), TextOrigin::Sent);
        m_window.ScrollToEnd();
        return true;
    };
    hooks.status = [this](const QString& line) { writeStatusLine(line); };
    hooks.progress = [this](const FileSend::Progress& progress) {
        m_window.showSendProgress(progress.text(), progress.fraction());
    };
    hooks.ended = [this](FileSend::End end, const QString& line) {
        m_window.hideSendProgress();
        m_refusedForFile = false;
        // A send that fails or that the peer stops taking ends the
        // connection, as it does for text.
        if (end == FileSend::End::SendFailed || end == FileSend::End::Stalled) {
            connectionLost(end == FileSend::End::SendFailed && m_peer.isTls()
                               ? line + CrLf + QStringLiteral("TLS error: ") + m_peer.tlsError()
                               : line);
            return;
        }
        writeStatusLine(line);
        if (end != FileSend::End::ConnectionEnded)
            m_fileQueued = true;
    };
    QString error;
    m_refusedForFile = false;
    m_fileSend = FileSend::start(path, m_peer.socket(), m_peer.session(), m_sendTimeLimit,
                                 std::move(hooks), error);
    if (!m_fileSend)
        writeStatusLine(error);
}

void ConnectionControl::cancelFileSend()
{
    if (m_fileSend)
        m_fileSend->cancel();
}

void ConnectionControl::writeStatusLine(const QString& line)
{
    // What the pair passed on before the line shows before it.
    if (m_relay)
        m_relay->showPassed();
    m_window.EnsureLineBreak();
    m_window.AppendText(line + CrLf, TextOrigin::Status);
}

// --- Relaying ------------------------------------------------------------------

void ConnectionControl::cmdRelay_Click()
{
    if (ConnState == stateIdle)
        startRelay();
    else if (ConnState == stateRelaying || ConnState == stateRelayed)
        stopRelay();
}

const Endpoint* ConnectionControl::relayEndpoint(RelaySide side) const
{
    return ConnState == stateRelayed && m_relay ? &m_relay->endpoint(side) : nullptr;
}

void ConnectionControl::startRelay()
{
    const auto port = PortFromText(m_window.text(TextBox::txtPort));
    const auto serverPort = PortFromText(m_window.text(TextBox::txtPortConn));
    const QString host = m_window.text(TextBox::txtHostConn);
    if (!port || !serverPort || host.isEmpty())
        return;
    m_relayTlsClient = m_window.relayTlsValue(RelaySide::Client);
    m_relayTlsServer = m_window.relayTlsValue(RelaySide::Server);
    m_relayRecognise = m_window.recogniseTlsValue();
    // Our key, for either leg, is unlocked before any client comes.
    if ((m_relayTlsClient || (m_relayTlsServer && !m_tls.settings().certFile.isEmpty()))
        && !m_tls.identity(QStringLiteral("TLS cannot relay: ")))
        return;

    // Clients that come while a pair is open wait in its queue for their turn.
    if (!openListener(*port, 16)) {
        writeStatusLine(QStringLiteral("Relay: cannot listen on port %1").arg(*port));
        return;
    }
    m_relayHost = host;
    m_relayPort = *serverPort;
    m_relayIdentityShown = false;

    ConnState = stateRelaying;
    m_window.setCaption(Control::cmdRelay, QStringLiteral("Stop"));
    m_window.setEnabled(Control::txtPort, false);
    m_window.setEnabled(Control::txtHostConn, false);
    m_window.setEnabled(Control::txtPortConn, false);
    m_window.setEnabled(Control::cmdConnetti, false);
    m_window.setEnabled(Control::cmdStartListen, false);
    m_window.setEnabled(Control::cmdRelay, true);
    writeStatusLine(QStringLiteral("Relay: listening on port %1; each client is passed on to %2 "
                                   "port %3%4")
                        .arg(*port)
                        .arg(host)
                        .arg(*serverPort)
                        .arg(m_relayTlsClient && m_relayTlsServer ? QStringLiteral(", TLS on both legs")
                             : m_relayTlsClient ? QStringLiteral(", TLS to the client")
                             : m_relayTlsServer ? QStringLiteral(", TLS to the server")
                                                : QString()));
    if (m_relayTlsClient) {
        m_tls.writeIdentityLine();
        m_relayIdentityShown = true;
    }
}

void ConnectionControl::stopRelay()
{
    if (m_relay)
        m_relay->end(QStringLiteral("Relay: stopped; the client and the server are closed"));
    m_handshaking.reset();
    m_relayClient.close();
    CloseSocket(ListenSocket);
    ListenSocket = InvalidSocket;

    ConnState = stateIdle;
    m_window.setCaption(Control::cmdRelay, QStringLiteral("Relay"));
    m_window.setEnabled(Control::txtPort, true);
    m_window.setEnabled(Control::txtHostConn, true);
    m_window.setEnabled(Control::txtPortConn, true);
    m_window.setEnabled(Control::cmdConnetti, true);
    m_window.setEnabled(Control::cmdStartListen, true);
    writeStatusLine(QStringLiteral("Relay: stopped"));
}

void ConnectionControl::relayAcceptStep()
{
    if (m_handshaking) {
        if (std::optional<Endpoint> client = handshakeStep())
            relayClientReady(std::move(*client));
        return;
    }
    if (PollReadable(ListenSocket) != 1)
        return;
    SockAddr peer;
    const SocketHandle s = AcceptConnection(ListenSocket, peer);
    if (s == InvalidSocket)
        return;
    Endpoint client(s, peer);
    writeStatusLine(QStringLiteral("Relay: client %1 port %2 connected")
                        .arg(client.addressText())
                        .arg(client.port()));
    if (!m_relayTlsClient)
        relayClientReady(std::move(client));
    else if (std::optional<Endpoint> done = startHandshake(std::move(client)))
        relayClientReady(std::move(*done));
}

void ConnectionControl::relayClientReady(Endpoint client)
{
    if (client.isTls())
        m_tls.writeFacts(client.session()->peer());
    m_relayClient = std::move(client);
    connectServer();
}

void ConnectionControl::connectServer()
{
    ConnState = stateRelayConnecting;
    m_window.whileWaiting([this] {
        SockAddr address;
        QString proxyFailure;
        const Connection connection = connectTo(m_relayHost, m_relayPort, address, proxyFailure);
        const QString viaProxy = m_proxy ? QStringLiteral(" through ") + m_proxy->named()
                                         : QString();
        auto giveUp = [this](const QString& line) {
            writeStatusLine(line);
            m_relayClient.close();
            ConnState = stateRelaying;
        };
        if (connection.handle == InvalidSocket) {
            giveUp(QStringLiteral("Relay: cannot reach the server %1 port %2%3; the client is "
                                  "closed")
                       .arg(m_relayHost)
                       .arg(m_relayPort)
                       .arg(viaProxy
                            + (proxyFailure.isEmpty() ? QString() : QStringLiteral(": ") + proxyFailure)));
            return;
        }
        Endpoint server(connection.handle, address);
        writeStatusLine(m_proxy ? QStringLiteral("Relay: connected to server %1 port %2%3")
                                      .arg(m_relayHost)
                                      .arg(m_relayPort)
                                      .arg(viaProxy)
                                : QStringLiteral("Relay: connected to server %1 port %2")
                                      .arg(server.addressText())
                                      .arg(server.port()));
        if (m_relayTlsServer) {
            // Nothing of the client's is read before the server is trusted.
            TlsSteps::Checked facts;
            server.setSession(m_tls.clientHandshake(server.socket(), m_relayHost, m_relayPort,
                                                    m_connectTimeLimit, facts));
            if (!server.isTls()) {
                server.close();
                giveUp(QStringLiteral("Relay: no TLS with the server; the client is closed"));
                return;
            }
            m_tls.writeFacts(facts);
        }
        if (m_unloaded) {
            giveUp(QStringLiteral("Relay: stopped; the client and the server are closed"));
            return;
        }
        Relay::Events events;
        events.statusLine = [this](const QString& line) { writeStatusLine(line); };
        events.ended = [this] { relayEnded(); };
        events.clientHello = [this](const QString& serverName) {
            m_window.whileWaiting([this, serverName] { upgradeRelay(serverName); });
        };
        // The pair is one conversation, the client's with the server, from
        // here on: the lines before it ride on its first packet.
        m_window.connectionStarted();
        Conversation conversation;
        conversation.here = endOf(m_relayClient.address());
        conversation.peer = endOf(server.address());
        conversation.tls = m_relayClient.isTls() || server.isTls();
        m_window.conversationStarted(conversation);
        m_relay = std::make_unique<Relay>(m_window, std::move(m_relayClient), std::move(server),
                                          m_relayRecognise, std::move(events));
        ConnState = stateRelayed;
        m_window.setEnabled(Control::cmdDisconnect, true);
        m_window.setEnabled(Control::cmdSend, true);
        m_window.setEnabled(Control::cmdSendTo, true);
    });
}

void ConnectionControl::relayEnded()
{
    m_endedRelay = std::move(m_relay);
    m_window.conversationEnded();
    if (ConnState == stateRelayed)
        ConnState = stateRelaying;
    m_window.setEnabled(Control::cmdDisconnect, false);
    m_window.setEnabled(Control::cmdSend, false);
    m_window.setEnabled(Control::cmdSendTo, false);
}

void ConnectionControl::upgradeRelay(const QString& serverName)
{
    if (ConnState != stateRelayed || !m_relay)
        return;
    Relay& relay = *m_relay;
    const QString host = serverName.isEmpty() ? m_relayHost : serverName;
    writeStatusLine(QStringLiteral("Relay: the client began TLS (%1); TLS to the server first, "
                                   "then to the client")
                        .arg(serverName.isEmpty()
                                 ? QStringLiteral("no name sent; the server checked as %1").arg(host)
                                 : QStringLiteral("for %1").arg(serverName)));
    // The server's go-ahead reaches the client before anything of TLS does.
    if (!relay.drainToClient(m_sendTimeLimit)) {
        relay.end(QStringLiteral("Relay: the client does not take the server's bytes; the pair is "
                                 "closed"));
        return;
    }
    const tls::Identity* identity = m_tls.identity(QStringLiteral("TLS cannot relay: "));
    if (!identity) {
        relay.end(QStringLiteral("Relay: no certificate for the client; the pair is closed"));
        return;
    }
    if (!m_relayIdentityShown) {
        m_tls.writeIdentityLine();
        m_relayIdentityShown = true;
    }
    Endpoint& server = relay.endpoint(RelaySide::Server);
    Endpoint& client = relay.endpoint(RelaySide::Client);
    TlsSteps::Checked facts;
    std::unique_ptr<tls::Session> session = m_tls.clientHandshake(server.socket(), host,
                                                                  m_relayPort,
                                                                  m_connectTimeLimit, facts);
    if (!session || m_relay.get() != &relay) {
        if (m_relay.get() == &relay)
            relay.end(QStringLiteral("Relay: no TLS with the server; the pair is closed"));
        return;
    }
    server.setSession(std::move(session));
    m_tls.writeFacts(facts);

    std::string error;
    std::unique_ptr<tls::Session> clientSession = tls::Session::server(client.socket(), *identity,
                                                                       error);
    const bool shaken = clientSession
        && clientSession->handshake(m_connectTimeLimit, [this] { return m_window.keepWaiting(); });
    if (m_relay.get() != &relay)
        return;
    if (clientSession && !shaken)
        error = clientSession->error();
    if (shaken)
        client.setSession(std::move(clientSession));
    if (!client.isTls()) {
        relay.end(QStringLiteral("Relay: TLS with the client failed (%1); the pair is closed")
                      .arg(QString::fromUtf8(error.data(), qsizetype(error.size()))));
        return;
    }
    m_tls.writeFacts(client.session()->peer());
    writeStatusLine(QStringLiteral("Relay: TLS on both legs now; the transcript shows the "
                                   "decrypted bytes"));
    relay.resume();
}

bool ConnectionControl::sendToRelay(RelaySide to, QByteArrayView bytes)
{
    const bool sent = m_relay->inject(to, bytes, m_window.echoValue() == 1);
    if (m_relay)
        m_relay->showPassed();
    m_window.ScrollToEnd();
    return sent;
}

#include "connectioncontrol.h"

#include "portnumber.h"

#include <QFile>

#include <algorithm>
#include <array>

using namespace mWinsock2;

namespace {

const QString CrLf = QStringLiteral("\r\n");

std::string fileName(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

QString fromLibrary(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::span<const char> spanOf(const QByteArray& bytes)
{
    return {bytes.constData(), std::size_t(bytes.size())};
}

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
    : m_window(window), m_platform(std::move(platform))
{
}

ConnectionControl::~ConnectionControl()
{
    // The window may go without a close event (a test, a failed start-up):
    // release the sockets all the same, quietly.
    if (m_handshaking)
        CloseSocket(m_handshaking->socket);
    CloseSocket(ConnSocket);
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
    const auto port = PortFromText(m_window.text(TextBox::txtPortConn));
    if (!port)
        return;

    // Our key is unlocked before anything goes out: no peer waits on the
    // passphrase dialog.
    if (m_window.tlsValue() && !m_tlsSettings.certFile.isEmpty()
        && !ourIdentity(QStringLiteral("TLS cannot connect: ")))
        return;

    // Both waits below keep the window drawn and end early when it closes.
    const KeepWaiting keepWaiting = [this] { return m_window.keepWaiting(); };
    std::vector<SockAddr> addresses = ResolveAddresses(m_window.text(TextBox::txtHostConn),
                                                       m_platform.lookup, m_connectTimeLimit,
                                                       keepWaiting);
    // A name that does not resolve gives the all-ones address, which fails.
    if (addresses.empty())
        addresses.push_back(sockplatform::Ipv4Record(0xffffffffu, 0));
    for (SockAddr& address : addresses)
        SetPort(address, *port);

    const Connection connection = ConnectFirst(addresses, m_connectTimeLimit, keepWaiting);
    RemoteAddr = addresses[connection.index];
    const QString failed = QStringLiteral("Failed connection to: ") + AddressToText(RemoteAddr);
    if (connection.handle == InvalidSocket) {
        writeStatusLine(failed);
        return;
    }
    const QString host = m_window.text(TextBox::txtHostConn);
    tls::PeerFacts facts;
    if (m_window.tlsValue()) {
        m_session = clientHandshake(connection.handle, host, facts);
        if (!m_session) {
            CloseSocket(connection.handle);
            writeStatusLine(failed);
            return;
        }
    }
    ConnSocket = connection.handle;
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
    writeStatusLine(QStringLiteral("Connected to: ") + AddressToText(RemoteAddr));
    if (m_session)
        writeTlsFacts(facts, true);
}

std::unique_ptr<tls::Session> ConnectionControl::clientHandshake(SocketHandle s,
                                                                 const QString& host,
                                                                 tls::PeerFacts& facts)
{
    tls::ClientSettings settings;
    settings.host = host.toStdString();
    settings.caFile = fileName(m_tlsSettings.caFile);
    if (!m_tlsSettings.certFile.isEmpty()) {
        settings.identity = ourIdentity(QStringLiteral("TLS cannot start: "));
        if (!settings.identity)
            return nullptr;
        settings.anyCertificate = m_tlsSettings.insecure;
    }
    std::string error;
    std::unique_ptr<tls::Session> session = tls::Session::client(s, settings, error);
    if (session
        && !session->handshake(m_connectTimeLimit, [this] { return m_window.keepWaiting(); })) {
        error = session->error();
        session.reset();
    }
    if (!session) {
        writeStatusLine(QStringLiteral("TLS handshake failed: ") + fromLibrary(error));
        return nullptr;
    }
    facts = session->peer();
    if (facts.verified || m_tlsSettings.insecure)
        return session;

    // Nothing of the user's has gone out yet: ask before anything does.
    const QString problem = fromLibrary(facts.problem);
    writeStatusLine(QStringLiteral("Certificate not trusted: ") + problem);
    if (facts.hasCertificate)
        writeStatusLine(QStringLiteral("SHA-256: ") + fromLibrary(facts.fingerprint));
    QString question = QStringLiteral("The peer's certificate is not trusted: %1.").arg(problem);
    if (facts.hasCertificate) {
        question += QStringLiteral("\n\nSubject: %1\nIssuer: %2\nExpires: %3\nSHA-256: %4")
                        .arg(fromLibrary(facts.subject), fromLibrary(facts.issuer),
                             fromLibrary(facts.expires), fromLibrary(facts.fingerprint));
    }
    if (m_window.askToTrust(question))
        return session;
    session->close();
    return nullptr;
}

void ConnectionControl::writeTlsFacts(const tls::PeerFacts& facts, bool asClient)
{
    writeStatusLine(QStringLiteral("TLS: %1, %2")
                        .arg(fromLibrary(facts.protocol), fromLibrary(facts.cipher)));
    if (!asClient)
        return;
    if (facts.hasCertificate) {
        writeStatusLine(QStringLiteral("Subject: ") + fromLibrary(facts.subject));
        writeStatusLine(QStringLiteral("Issuer: ") + fromLibrary(facts.issuer));
        writeStatusLine(QStringLiteral("Expires: ") + fromLibrary(facts.expires));
        writeStatusLine(QStringLiteral("SHA-256: ") + fromLibrary(facts.fingerprint));
    }
    if (facts.verified)
        writeStatusLine(QStringLiteral("Verified: the certificate is trusted and names the host"));
    else
        writeStatusLine(QStringLiteral("NOT VERIFIED: %1; going on %2")
                            .arg(fromLibrary(facts.problem),
                                 m_tlsSettings.insecure ? QStringLiteral("as --insecure asks")
                                                        : QStringLiteral("as the user chose")));
}

// --- Start TLS on an open connection -------------------------------------------

bool ConnectionControl::canStartTls() const
{
    return (ConnState == stateAccepted || ConnState == stateConnected) && !m_session
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
    tls::PeerFacts facts;
    m_upgrading = true; // the ticks meanwhile leave the socket to the handshake
    std::unique_ptr<tls::Session> session = clientHandshake(ConnSocket, host, facts);
    m_upgrading = false;
    if (!session) {
        // Half a handshake leaves nothing usable behind.
        cmdDisconnect_Click();
        return;
    }
    m_session = std::move(session);
    writeTlsFacts(facts, true);
}

bool ConnectionControl::showWaitingPlainText()
{
    while (PollReadable(ConnSocket) > 0) {
        QString text;
        if (ReceiveText(ConnSocket, text) <= 0) {
            cmdDisconnect_Click();
            return false;
        }
        m_window.AppendText(text, TextOrigin::Received);
        m_window.ScrollToEnd();
    }
    return true;
}

// --- Listening and accepting -------------------------------------------------

void ConnectionControl::cmdStartListen_Click()
{
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
    const tls::Identity* identity = useTls ? ourIdentity(QStringLiteral("TLS cannot listen: "))
                                           : nullptr;
    if (useTls && !identity)
        return;

    // One socket for peers of both families where the system has IPv6.
    const Family family = m_platform.ipv6() ? Family::IPv6 : Family::IPv4;
    ListenSocket = CreateTcpSocket(family);
    if (ListenSocket == InvalidSocket)
        return;

    ListenAddr = sockplatform::AnyRecord(family, *port);
    if (BindSocket(ListenSocket, ListenAddr) != 0) {
        CloseSocket(ListenSocket);
        ListenSocket = InvalidSocket;
        return;
    }
    StartListening(ListenSocket, 1);
    m_listenTls = useTls;
    if (identity) {
        writeStatusLine(QStringLiteral("TLS certificate%1, SHA-256: %2")
                            .arg(m_tlsSettings.certFile.isEmpty()
                                     ? QStringLiteral(" made for this session")
                                     : QString(),
                                 fromLibrary(identity->fingerprint())));
    }

    ConnState = stateListening;
    m_window.setCaption(Control::cmdStartListen, QStringLiteral("Stop"));
    m_window.setEnabled(Control::cmdDisconnect, false);
    m_window.setEnabled(Control::txtPort, false);
    m_window.setEnabled(Control::txtHostConn, false);
    m_window.setEnabled(Control::txtPortConn, false);
    m_window.setEnabled(Control::cmdConnetti, false);
}

void ConnectionControl::setTlsSettings(TlsSettings settings)
{
    m_tlsSettings = std::move(settings);
    if (ConnState == stateNone || ConnState == stateIdle)
        m_identity.reset();
}

const tls::Identity* ConnectionControl::ourIdentity(const QString& failure)
{
    if (m_identity)
        return m_identity.get();
    std::string error;
    m_identity = m_tlsSettings.certFile.isEmpty()
        ? tls::Identity::generate("Pellix", error)
        : tls::Identity::fromFiles(fileName(m_tlsSettings.certFile),
                                   fileName(m_tlsSettings.keyFile), passphraseSource(), error);
    if (!m_identity)
        writeStatusLine(failure + fromLibrary(error));
    return m_identity.get();
}

tls::PassphraseSource ConnectionControl::passphraseSource()
{
    return [this](const std::string& file, bool again, std::span<char> buffer) {
        std::optional<QString> answer = m_window.askPassphrase(
            QFile::decodeName(QByteArray::fromStdString(file)), again);
        if (!answer)
            return -1;
        QByteArray bytes = answer->toUtf8();
        answer->fill(QChar(0)); // the one copy left of the dialog's text
        const std::size_t length = std::min(buffer.size(), std::size_t(bytes.size()));
        std::copy_n(bytes.constData(), length, buffer.begin());
        bytes.fill('\0');
        return int(length);
    };
}

void ConnectionControl::stop()
{
    if (m_handshaking) {
        CloseSocket(m_handshaking->socket);
        m_handshaking.reset();
    }
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
        serverHandshakeStep();
        return;
    }
    if (PollReadable(ListenSocket) != 1)
        return;
    SockAddr peer;
    const SocketHandle s = AcceptConnection(ListenSocket, peer);
    if (!m_listenTls) {
        ConnSocket = s;
        RemoteAddr = peer;
        if (ConnSocket != InvalidSocket)
            peerAccepted();
        return;
    }
    if (s == InvalidSocket)
        return;
    // The handshake goes on over the following ticks, a step each, so that
    // a peer that stalls in it holds up nothing but itself.
    std::string error;
    std::unique_ptr<tls::Session> session = tls::Session::server(s, *m_identity, error);
    m_handshaking = HandshakingPeer{s, peer, std::move(session),
                                    std::chrono::steady_clock::now() + m_connectTimeLimit};
    if (!m_handshaking->session) {
        dropHandshakingPeer(fromLibrary(error));
        return;
    }
    serverHandshakeStep();
}

void ConnectionControl::serverHandshakeStep()
{
    HandshakingPeer& peer = *m_handshaking;
    const tls::Session::Progress progress = peer.session->step();
    if (progress == tls::Session::Progress::Done) {
        ConnSocket = peer.socket;
        RemoteAddr = peer.address;
        m_session = std::move(peer.session);
        m_handshaking.reset();
        peerAccepted();
        writeTlsFacts(m_session->peer(), false);
    } else if (progress == tls::Session::Progress::Failed) {
        dropHandshakingPeer(fromLibrary(peer.session->error()));
    } else if (std::chrono::steady_clock::now() >= peer.deadline) {
        dropHandshakingPeer(fromLibrary(tls::handshakeTooSlow(m_connectTimeLimit)));
    }
}

void ConnectionControl::dropHandshakingPeer(const QString& reason)
{
    writeStatusLine(QStringLiteral("TLS handshake with %1 failed: %2")
                        .arg(AddressToText(m_handshaking->address), reason));
    CloseSocket(m_handshaking->socket);
    m_handshaking.reset();
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
    switch (ConnState) {
    case stateListening:
        acceptStep();
        break;
    case stateAccepted:
    case stateConnected:
        receiveStep();
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
    const bool writable = IsWritable(ConnSocket);
    if (writable)
        m_fileQueued = false;
    if (!writable && !isSendingFile() && !m_fileQueued) {
        cmdDisconnect_Click();
        return;
    }
    if (m_session) {
        receiveTlsStep();
        return;
    }
    if (PollReadable(ConnSocket) <= 0)
        return;

    QString text;
    if (ReceiveText(ConnSocket, text) > 0) {
        m_window.AppendText(text, TextOrigin::Received);
        m_window.ScrollToEnd();
        return;
    }
    cmdDisconnect_Click();
}

void ConnectionControl::receiveTlsStep()
{
    // Plain bytes already inside the session are shown without waiting for
    // more from the network.
    if (!m_session->pending() && PollReadable(ConnSocket) <= 0)
        return;
    std::array<char, 8192> buffer;
    const tls::Session::Read read = m_session->receive(buffer);
    switch (read.outcome) {
    case tls::Session::Outcome::Data:
        m_window.AppendText(FromCodePage(QByteArrayView(buffer.data(), read.count)),
                            TextOrigin::Received);
        m_window.ScrollToEnd();
        return;
    case tls::Session::Outcome::Nothing:
        return;
    case tls::Session::Outcome::Closed:
        break;
    case tls::Session::Outcome::ClosedUnconfirmed:
        writeStatusLine(QStringLiteral(
            "TLS: the connection ended without the peer's close_notify; the end is not confirmed"));
        break;
    case tls::Session::Outcome::Failed:
        writeStatusLine(QStringLiteral("TLS error: ") + fromLibrary(m_session->error()));
        break;
    }
    cmdDisconnect_Click();
}

void ConnectionControl::cmdDisconnect_Click()
{
    if (ConnState != stateAccepted && ConnState != stateConnected)
        return;

    if (isSendingFile())
        m_fileSend->connectionEnded();
    m_fileQueued = false;
    if (m_session) {
        m_session->close();
        m_session.reset();
    }
    CloseSocket(ConnSocket);
    ConnSocket = InvalidSocket;

    if (ConnState == stateAccepted) {
        ConnState = stateListening;
    } else {
        ConnState = stateIdle;
        m_window.setEnabled(Control::txtPort, true);
        m_window.setEnabled(Control::txtHostConn, true);
        m_window.setEnabled(Control::txtPortConn, true);
        m_window.setEnabled(Control::cmdConnetti, true);
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
    if (ConnState != stateAccepted && ConnState != stateConnected)
        return;
    if (refusedForFile())
        return;
    if (sendAndEcho(m_window.text(TextBox::txtInvia)))
        m_window.setText(TextBox::txtInvia, QString());
}

void ConnectionControl::txtDati_KeyPress(std::int16_t keyCode)
{
    // Outside a connection ConnSocket is InvalidSocket, so the send fails and
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

bool ConnectionControl::sendAndEcho(const QString& text)
{
    const bool sent = m_session ? m_session->sendAll(spanOf(ToCodePage(text)), m_sendTimeLimit) >= 0
                                : SendText(ConnSocket, text, m_sendTimeLimit) >= 0;
    if (!sent) {
        if (m_session && !text.isEmpty())
            writeStatusLine(QStringLiteral("TLS error: ") + fromLibrary(m_session->error()));
        cmdDisconnect_Click();
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
    conversation.here = endOf(LocalAddress(ConnSocket));
    conversation.peer = endOf(RemoteAddr);
    conversation.tls = m_session != nullptr;
    conversation.openedHere = openedHere;
    m_window.conversationStarted(conversation);
}

bool ConnectionControl::refusedForFile()
{
    if (m_fileQueued && IsWritable(ConnSocket))
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
    hooks.ended = [this](FileSend::End end) {
        m_window.hideSendProgress();
        m_refusedForFile = false;
        // A send that fails or that the peer stops taking ends the
        // connection, as it does for text.
        if (end == FileSend::End::SendFailed && m_session)
            writeStatusLine(QStringLiteral("TLS error: ") + fromLibrary(m_session->error()));
        if (end == FileSend::End::SendFailed || end == FileSend::End::Stalled)
            cmdDisconnect_Click();
        else if (end != FileSend::End::ConnectionEnded)
            m_fileQueued = true;
    };
    QString error;
    m_refusedForFile = false;
    m_fileSend = FileSend::start(path, ConnSocket, m_session.get(), m_sendTimeLimit,
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
    m_window.EnsureLineBreak();
    m_window.AppendText(line + CrLf, TextOrigin::Status);
}

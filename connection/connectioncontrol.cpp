#include "connectioncontrol.h"

#include "portnumber.h"

using namespace mWinsock2;

namespace {

const QString CrLf = QStringLiteral("\r\n");

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
    if (connection.handle == InvalidSocket) {
        writeStatusLine(QStringLiteral("Failed connection to: ") + AddressToText(RemoteAddr));
        return;
    }
    ConnSocket = connection.handle;

    ConnState = stateConnected;
    m_window.setEnabled(Control::cmdDisconnect, true);
    m_window.setEnabled(Control::txtPort, false);
    m_window.setEnabled(Control::cmdStartListen, false);
    m_window.setEnabled(Control::txtHostConn, false);
    m_window.setEnabled(Control::txtPortConn, false);
    m_window.setEnabled(Control::cmdConnetti, false);
    m_window.setEnabled(Control::cmdSend, true);
    writeStatusLine(QStringLiteral("Connected to: ") + AddressToText(RemoteAddr));
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

    ConnState = stateListening;
    m_window.setCaption(Control::cmdStartListen, QStringLiteral("Stop"));
    m_window.setEnabled(Control::cmdDisconnect, false);
    m_window.setEnabled(Control::txtPort, false);
    m_window.setEnabled(Control::txtHostConn, false);
    m_window.setEnabled(Control::txtPortConn, false);
    m_window.setEnabled(Control::cmdConnetti, false);
}

void ConnectionControl::stop()
{
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
    if (PollReadable(ListenSocket) != 1)
        return;
    ConnSocket = AcceptConnection(ListenSocket, RemoteAddr);
    if (ConnSocket == InvalidSocket)
        return;

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
    // Writability is tested before anything is read: a connection whose send
    // buffer stays full is taken as lost.
    if (!IsWritable(ConnSocket)) {
        cmdDisconnect_Click();
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

void ConnectionControl::cmdDisconnect_Click()
{
    if (ConnState != stateAccepted && ConnState != stateConnected)
        return;

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
}

// --- Sending and local echo ----------------------------------------------------

void ConnectionControl::cmdSend_Click()
{
    if (ConnState != stateAccepted && ConnState != stateConnected)
        return;
    if (sendAndEcho(m_window.text(TextBox::txtInvia)))
        m_window.setText(TextBox::txtInvia, QString());
}

void ConnectionControl::txtDati_KeyPress(std::int16_t keyCode)
{
    // Outside a connection ConnSocket is InvalidSocket, so the send fails and
    // the Disconnect action it leads to does nothing: the key has no effect.
    if (keyCode == 13)
        sendAndEcho(CrLf);
    else if (keyCode >= 0 && keyCode <= 255)
        sendAndEcho(QString(QChar(char16_t(keyCode))));
    else
        sendAndEcho(QStringLiteral("?"));
}

bool ConnectionControl::sendAndEcho(const QString& text)
{
    if (SendText(ConnSocket, text, m_sendTimeLimit) < 0) {
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

void ConnectionControl::writeStatusLine(const QString& line)
{
    m_window.EnsureLineBreak();
    m_window.AppendText(line + CrLf, TextOrigin::Status);
}

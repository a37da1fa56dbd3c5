// The relay end to end: the real window between real clients and servers on
// the loopback (curl, Python's http.server, smtplib and aiosmtpd, TLS peers
// of OpenSSL's own), with the event loop running as it does for a user.

#include "clienthello.h"
#include "frmpellix.h"
#include "relay.h"
#include "tlspeer.h"
#include "transcriptview.h"
#include "tsharkreader.h"
#include "windowdriver.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <sys/socket.h>

#include <future>

using State = ConnectionControl::State;

namespace {

// Reads what the peer has without waiting.
QByteArray readNow(testpeer::Peer& peer)
{
    QByteArray all;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(peer.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            return all;
        all.append(buffer, n);
    }
}

// True when the peer has seen the other side's end (or a reset), without waiting.
bool endedNow(testpeer::Peer& peer)
{
    char byte;
    const ssize_t n = ::recv(peer.fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// A ClientHello record as a TLS client begins, naming serverName when given.
QByteArray clientHello(const QByteArray& serverName)
{
    auto be16 = [](int n) {
        QByteArray two;
        two.append(char(n >> 8)).append(char(n & 0xff));
        return two;
    };
    QByteArray extensions;
    if (!serverName.isEmpty()) {
        const QByteArray entry = QByteArray(1, '\0') + be16(int(serverName.size())) + serverName;
        const QByteArray list = be16(int(entry.size())) + entry;
        extensions += be16(0) + be16(int(list.size())) + list;
    }
    extensions = be16(0x000a) + be16(4) + be16(2) + be16(0x001d) + extensions; // groups first
    QByteArray body = be16(0x0303) + QByteArray(32, 'r') + QByteArray(1, '\0') // no session id
        + be16(2) + be16(0x1301) + QByteArray(1, '\x01') + QByteArray(1, '\0')
        + be16(int(extensions.size()))
        + extensions;
    const QByteArray handshake = QByteArray(1, '\x01') + QByteArray(1, '\0')
        + be16(int(body.size())) + body;
    return QByteArray{"\x16\x03\x01", 3} + be16(int(handshake.size())) + handshake;
}

} // namespace

class tst_Relay : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void readsTheClientHello_data();
    void readsTheClientHello();
    void httpThroughTheRelay();
    void halfClose_data();
    void halfClose();
    void exactBinaryBytesBothWays();
    void backPressure();
    void injection_data();
    void injection();
    void reset_data();
    void reset();
    void serverThatCannotBeReached();
    void queueDisconnectAndStop();
    void tlsLegs_data();
    void tlsLegs();
    void untrustedServerGetsNothing();
    void startTlsWithSmtplibAndAiosmtpd();
    void tlsClientAtTheStartOfAPlainRelay();

private:
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString transcript() const { return m_window->txtDati->plainText(); }
    ConnectionControl& conn() { return m_window->connection(); }
    // Starts the relay from a fresh local port to 127.0.0.1 serverPort (or
    // host); the local port.
    quint16 startRelay(quint16 serverPort, const QString& host = QStringLiteral("127.0.0.1"));
    // Waits (the event loop running) until the transcript holds text.
    bool waitForText(const QString& text, int ms = 5000);
    // Waits until count bytes have come to peer; what came.
    QByteArray readWhileRelaying(testpeer::Peer& peer, qsizetype count, int ms = 5000);
    // A client through the relay and the server's end of its pair.
    std::pair<testpeer::Peer, testpeer::Peer> openPair(quint16 relayPort,
                                                       testpeer::Listener& server);
    // The bytes of one origin in the transcript's store, in order.
    QByteArray bytesFrom(TextOrigin origin) const;
    // Runs a Python script with arguments, the event loop running; its
    // standard output, or a failed test.
    bool runPython(QProcess& process, const QString& script, const QStringList& arguments);

    QTemporaryDir m_dir;
    std::unique_ptr<frmPellix> m_window;
    QStringList m_asked;
    bool m_answer = false;
};

void tst_Relay::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(testtls::makeCertificates(m_dir.path()), "the openssl command made no certificates");
}

void tst_Relay::init()
{
    frmPellix::Hooks hooks = testwindow::loopbackHooks();
    hooks.askToTrust = [this](const QString& facts) {
        m_asked.append(facts);
        return m_answer;
    };
    m_asked.clear();
    m_answer = false;
    m_window = std::make_unique<frmPellix>(hooks);
    m_window->connection().setTlsSettings({file("ca.pem"), {}, {}, false});
    m_window->connection().setConnectTimeLimit(std::chrono::milliseconds(3000));
    m_window->show();
}

void tst_Relay::cleanup()
{
    m_window.reset();
}

quint16 tst_Relay::startRelay(quint16 serverPort, const QString& host)
{
    const quint16 port = testpeer::unusedPort();
    m_window->txtPort->setText(QString::number(port));
    m_window->txtHostConn->setText(host);
    m_window->txtPortConn->setText(QString::number(serverPort));
    QTest::mouseClick(m_window->cmdRelay, Qt::LeftButton, {}, QPoint(6, 10));
    return conn().connState() == State::stateRelaying ? port : 0;
}

bool tst_Relay::waitForText(const QString& text, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!transcript().contains(text)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

QByteArray tst_Relay::readWhileRelaying(testpeer::Peer& peer, qsizetype count, int ms)
{
    return testwindow::readWhileRunning(peer, count, ms);
}

std::pair<testpeer::Peer, testpeer::Peer> tst_Relay::openPair(quint16 relayPort,
                                                              testpeer::Listener& server)
{
    testpeer::Peer client = testpeer::Peer::connectTo(relayPort);
    QDeadlineTimer deadline(5000);
    while (conn().connState() != State::stateRelayed && !deadline.hasExpired())
        QTest::qWait(5);
    return {std::move(client), server.accept(1000)};
}

QByteArray tst_Relay::bytesFrom(TextOrigin origin) const
{
    return testwindow::bytesFrom(*m_window->txtDati, origin);
}

bool tst_Relay::runPython(QProcess& process, const QString& script, const QStringList& arguments)
{
    process.start(QStringLiteral("/usr/bin/python3"), QStringList{"-c", script} + arguments);
    QDeadlineTimer deadline(20000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(5);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// --- The ClientHello a client begins TLS with -----------------------------------

void tst_Relay::readsTheClientHello_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<QString>("name");
    using V = ClientHello::Verdict;
    const QByteArray named = clientHello("mail.example.org");
    QTest::newRow("with SNI") << named << int(V::Hello) << "mail.example.org";
    QTest::newRow("without SNI") << clientHello({}) << int(V::Hello) << "";
    QTest::newRow("record not all here") << named.left(named.size() - 1) << int(V::Incomplete) << "";
    QTest::newRow("the first byte only") << named.left(1) << int(V::Incomplete) << "";
    QTest::newRow("plain text") << QByteArray("EHLO me\r\n") << int(V::NotTls) << "";
    QByteArray serverHello = named;
    serverHello[5] = 2;
    QTest::newRow("another handshake message") << serverHello << int(V::NotTls) << "";
    QByteArray alert = named;
    alert[0] = 0x15;
    QTest::newRow("an alert record") << alert << int(V::NotTls) << "";
    QByteArray future = named;
    future[2] = 0x05;
    QTest::newRow("a version after 3.4") << future << int(V::NotTls) << "";
    QByteArray overlong = named;
    // The name's own length, just before it, runs past the record.
    overlong[overlong.size() - 16 - 2] = char(0x7f);
    QTest::newRow("a name longer than its record") << overlong << int(V::Hello) << "";
}

void tst_Relay::readsTheClientHello()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, verdict);
    QFETCH(QString, name);
    const ClientHello hello = readClientHello(bytes);
    QCOMPARE(int(hello.verdict), verdict);
    QCOMPARE(hello.serverName, name);
}

// --- Plain relays ------------------------------------------------------------------

void tst_Relay::httpThroughTheRelay()
{
    // curl asks Python's web server; the server ends its side first (HTTP/1.0)
    // and curl sees the end only if the relay passes it on.
    QFile page(file("page.txt"));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write("the page itself\n");
    page.close();
    const quint16 webPort = testpeer::unusedPort();
    QProcess web;
    web.setWorkingDirectory(m_dir.path());
    web.start("/usr/bin/python3", {"-m", "http.server", "--bind", "127.0.0.1",
                                   QString::number(webPort)});
    QVERIFY(web.waitForStarted());
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        QTest::qWait(50);
        up = testpeer::Peer::connectTo(webPort).isOpen();
    }
    QVERIFY2(up, "http.server did not listen");

    const quint16 port = startRelay(webPort);
    QVERIFY(port);
    QProcess curl;
    curl.start("curl", {"-s", "-m", "10", QStringLiteral("http://127.0.0.1:%1/page.txt").arg(port)});
    QVERIFY2(curl.waitForStarted(), "curl did not start");
    QTRY_VERIFY_WITH_TIMEOUT(curl.state() == QProcess::NotRunning, 12000);
    QCOMPARE(curl.exitCode(), 0);
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("the page itself\n"));
    QVERIFY(waitForText("Relay: both sides have closed; the pair is over"));
    QVERIFY(bytesFrom(TextOrigin::FromClient).startsWith("GET /page.txt HTTP/1.1\r\n"));
    QVERIFY(bytesFrom(TextOrigin::FromServer).startsWith("HTTP/1.0 200 OK\r\n"));
    QVERIFY(bytesFrom(TextOrigin::FromServer).endsWith("\r\n\r\nthe page itself\n"));
    QVERIFY(transcript().contains("Relay: the server closed its side; passing the close on to the "
                                  "client"));
    QCOMPARE(conn().connState(), State::stateRelaying);
    web.kill();
    web.waitForFinished();
}

void tst_Relay::halfClose_data()
{
    QTest::addColumn<bool>("clientFirst");
    QTest::newRow("the client ends first, the server answers after") << true;
    QTest::newRow("the server ends first, the client answers after") << false;
}

void tst_Relay::halfClose()
{
    // The side that ends first still gets the other's answer, which is sent
    // only once the end has arrived.
    QFETCH(bool, clientFirst);
    testpeer::Listener server;
    const quint16 port = startRelay(server.port());
    QVERIFY(port);
    auto [client, far] = openPair(port, server);
    QVERIFY(client.isOpen() && far.isOpen());
    testpeer::Peer& first = clientFirst ? client : far;
    testpeer::Peer& second = clientFirst ? far : client;

    QVERIFY(first.send("request"));
    ::shutdown(first.fd(), SHUT_WR);
    QCOMPARE(readWhileRelaying(second, 7), QByteArray("request"));
    QTRY_VERIFY_WITH_TIMEOUT(endedNow(second), 5000);
    QVERIFY(second.send("answer after the end"));
    QCOMPARE(readWhileRelaying(first, 20), QByteArray("answer after the end"));
    QCOMPARE(conn().connState(), State::stateRelayed);
    second.close();
    QVERIFY(waitForText("Relay: both sides have closed; the pair is over"));
    QTRY_VERIFY(endedNow(first));
    QCOMPARE(conn().connState(), State::stateRelaying);
}

void tst_Relay::exactBinaryBytesBothWays()
{
    const QString capture = file(QStringLiteral("relay.pcapng"));
    m_window->startCapture(TranscriptCapture::open(capture, nullptr));
    QVERIFY(m_window->txtDati->isCapturing());
    testpeer::Listener server;
    const quint16 port = startRelay(server.port());
    auto [client, far] = openPair(port, server);
    QVERIFY(client.isOpen() && far.isOpen());
    const QByteArray up = randomBytes(300000, 1);
    const QByteArray down = randomBytes(200000, 2);
    // Both directions at once, a piece at a time so neither blocks the loop.
    QByteArray gotUp, gotDown;
    QDeadlineTimer deadline(10000);
    for (qsizetype at = 0; at < up.size() || gotUp.size() < up.size() || gotDown.size() < down.size();
         at += 4096) {
        if (at < up.size())
            QVERIFY(client.send(up.mid(at, 4096)));
        if (at < down.size())
            QVERIFY(far.send(down.mid(at, 4096)));
        QTest::qWait(at < up.size() ? 0 : 1);
        gotUp += readNow(far);
        gotDown += readNow(client);
        QVERIFY2(!deadline.hasExpired(), "the relay stopped passing bytes");
    }
    QCOMPARE(gotUp, up);
    QCOMPARE(gotDown, down);
    m_window->connection().cmdDisconnect_Click();
    // Every byte is kept as it went, with its origin.
    QCOMPARE(bytesFrom(TextOrigin::FromClient), up);
    QCOMPARE(bytesFrom(TextOrigin::FromServer), down);
    // The capture holds the pair as the client's conversation with the
    // server, client to server first.
    const auto sides = testcapture::follow(capture, 0);
    QCOMPARE(sides[0], up);
    QCOMPARE(sides[1], down);
    QCOMPARE(testcapture::fields(capture, {"tcp.dstport"}, "tcp.flags == 0x002"),
             QStringList{QString::number(server.port())});
    const QStringList problems = testcapture::problems(capture);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
}

void tst_Relay::backPressure()
{
    // A server that stops reading: the relay stops reading from the client
    // once its queue for the server is full, and loses nothing.
    testpeer::Listener server;
    const quint16 port = startRelay(server.port());
    auto [client, far] = openPair(port, server);
    QVERIFY(client.isOpen() && far.isOpen());
    const QByteArray chunk = randomBytes(65536, 3);
    QByteArray sent;
    qint64 mostQueued = 0;
    // Until the client has been unable to send for a while.
    for (int stuck = 0; stuck < 50 && sent.size() < (256 << 20);) {
        const ssize_t n = ::send(client.fd(), chunk.constData(), chunk.size(), MSG_DONTWAIT);
        if (n > 0) {
            sent += chunk.left(n);
            stuck = 0;
        } else {
            ++stuck;
        }
        QTest::qWait(n > 0 ? 0 : 5);
        if (const Endpoint* e = conn().relayEndpoint(RelaySide::Server))
            mostQueued = std::max(mostQueued, e->queued());
    }
    QVERIFY2(sent.size() < (64 << 20), qPrintable(QString::number(sent.size())));
    QVERIFY2(mostQueued <= Relay::QueueLimit + Endpoint::RelayReadSize,
             qPrintable(QString::number(mostQueued)));
    QVERIFY(mostQueued > 0);
    // The server reads again: everything arrives, in order.
    QCOMPARE(readWhileRelaying(far, sent.size(), 20000), sent);
    QTRY_COMPARE(bytesFrom(TextOrigin::FromClient).size(), sent.size());
}

void tst_Relay::injection_data()
{
    QTest::addColumn<bool>("toClient");
    QTest::addColumn<bool>("byMenu");
    QTest::newRow("to the server, the default") << false << false;
    QTest::newRow("to the client, by the button") << true << false;
    QTest::newRow("to the client, by the menu") << true << true;
}

void tst_Relay::injection()
{
    QFETCH(bool, toClient);
    QFETCH(bool, byMenu);
    testpeer::Listener server;
    const quint16 port = startRelay(server.port());
    auto [client, far] = openPair(port, server);
    QVERIFY(client.isOpen() && far.isOpen());
    QVERIFY(m_window->cmdSendTo->isEnabled());
    if (toClient) {
        if (byMenu)
            m_window->actSendToClient->trigger();
        else
            QTest::mouseClick(m_window->cmdSendTo, Qt::LeftButton);
    }
    QCOMPARE(m_window->actSendToClient->isChecked(), toClient);
    QCOMPARE(m_window->sendTarget(), toClient ? RelaySide::Client : RelaySide::Server);
    QTest::keyClicks(m_window->txtDati, "hi");
    QTest::keyClick(m_window->txtDati, Qt::Key_Return);
    m_window->txtInvia->setPlainText("box");
    QTest::mouseClick(m_window->cmdSend, Qt::LeftButton);
    testpeer::Peer& target = toClient ? client : far;
    testpeer::Peer& other = toClient ? far : client;
    QCOMPARE(readWhileRelaying(target, 7), QByteArray("hi\r\nbox"));
    QTest::qWait(50);
    QCOMPARE(readNow(other), QByteArray());
    QCOMPARE(bytesFrom(toClient ? TextOrigin::ToClient : TextOrigin::ToServer),
             QByteArray("hi\r\nbox"));
    QVERIFY(m_window->txtInvia->toPlainText().isEmpty());
    // Local Echo off: sent, not shown.
    m_window->chkEcho->setChecked(false);
    QTest::keyClicks(m_window->txtDati, "x");
    QCOMPARE(readWhileRelaying(target, 1), QByteArray("x"));
    QCOMPARE(bytesFrom(toClient ? TextOrigin::ToClient : TextOrigin::ToServer),
             QByteArray("hi\r\nbox"));
}

void tst_Relay::reset_data()
{
    QTest::addColumn<bool>("clientResets");
    QTest::newRow("the client resets") << true;
    QTest::newRow("the server resets") << false;
}

void tst_Relay::reset()
{
    QFETCH(bool, clientResets);
    testpeer::Listener server;
    const quint16 port = startRelay(server.port());
    const int descriptors = testpeer::openDescriptorCount();
    for (int round = 0; round < 3; ++round) {
        auto [client, far] = openPair(port, server);
        QVERIFY(client.isOpen() && far.isOpen());
        const qsizetype before = transcript().size();
        (clientResets ? client : far).reset();
        testpeer::Peer& other = clientResets ? far : client;
        QTRY_VERIFY_WITH_TIMEOUT(endedNow(other), 3000);
        QVERIFY2(waitForText(clientResets ? "Relay: the connection to the client failed; resetting "
                                            "the server's too"
                                          : "Relay: the connection to the server failed; resetting "
                                            "the client's too"),
                 qPrintable(transcript()));
        QVERIFY(transcript().indexOf("Relay: the connection to the", before) > 0);
        QCOMPARE(conn().connState(), State::stateRelaying);
        other.close();
    }
    QTest::qWait(150); // the tick lets the last pair go
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
}

void tst_Relay::serverThatCannotBeReached()
{
    const quint16 nowhere = testpeer::unusedPort();
    const quint16 port = startRelay(nowhere);
    QVERIFY(port);
    for (int round = 0; round < 2; ++round) {
        testpeer::Peer client = testpeer::Peer::connectTo(port);
        QVERIFY(waitForText(QStringLiteral("Relay: cannot reach the server 127.0.0.1 port %1; the "
                                           "client is closed\r\n")
                                .arg(nowhere)
                                .repeated(1)));
        QTRY_VERIFY_WITH_TIMEOUT(endedNow(client), 3000);
        QCOMPARE(conn().connState(), State::stateRelaying);
    }
    QCOMPARE(transcript().count("Relay: cannot reach the server"), 2);
}

void tst_Relay::queueDisconnectAndStop()
{
    testpeer::Listener server;
    const int descriptors = testpeer::openDescriptorCount();
    const quint16 port = startRelay(server.port());
    QVERIFY(!m_window->cmdConnetti->isEnabled() && !m_window->cmdStartListen->isEnabled());
    QVERIFY(m_window->cmdRelay->isEnabled() && m_window->cmdRelay->isChecked());
    QCOMPARE(m_window->cmdRelay->accessibleName(), QStringLiteral("Stop relaying"));
    auto [first, firstFar] = openPair(port, server);
    QVERIFY(first.isOpen() && firstFar.isOpen());
    // The next client waits its turn.
    testpeer::Peer second = testpeer::Peer::connectTo(port);
    QVERIFY(second.send("waiting"));
    QTest::qWait(300);
    QCOMPARE(transcript().count("Relay: client 127.0.0.1"), 1);
    QVERIFY(m_window->cmdDisconnect->isEnabled());
    QTest::mouseClick(m_window->cmdDisconnect, Qt::LeftButton);
    QVERIFY(transcript().contains("Relay: disconnected; the client and the server are closed"));
    QTRY_VERIFY(endedNow(first) && endedNow(firstFar));
    // Served now, with what it sent while it waited.
    QTRY_COMPARE_WITH_TIMEOUT(conn().connState(), State::stateRelayed, 3000);
    testpeer::Peer secondFar = server.accept(1000);
    QCOMPARE(readWhileRelaying(secondFar, 7), QByteArray("waiting"));
    // Stop ends the pair and the relay.
    QTest::mouseClick(m_window->cmdRelay, Qt::LeftButton, {}, QPoint(6, 10));
    QCOMPARE(conn().connState(), State::stateIdle);
    QVERIFY(transcript().endsWith("Relay: stopped; the client and the server are closed\r\n"
                                  "Relay: stopped\r\n"));
    QTRY_VERIFY(endedNow(second) && endedNow(secondFar));
    testwindow::checkRow(*m_window, State::stateIdle);
    QVERIFY(m_window->cmdRelay->isEnabled() && !m_window->cmdRelay->isChecked());
    QVERIFY(!m_window->cmdSendTo->isEnabled());
    QTest::qWait(150);
    for (auto* p : {&first, &firstFar, &second, &secondFar})
        p->close();
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
}

// --- TLS ------------------------------------------------------------------------------

void tst_Relay::tlsLegs_data()
{
    QTest::addColumn<bool>("clientLeg");
    QTest::addColumn<bool>("serverLeg");
    QTest::newRow("TLS to the client") << true << false;
    QTest::newRow("TLS to the server") << false << true;
    QTest::newRow("TLS on both legs") << true << true;
}

void tst_Relay::tlsLegs()
{
    QFETCH(bool, clientLeg);
    QFETCH(bool, serverLeg);
    m_window->chkTls->setChecked(true);
    m_window->actTlsToClient->setChecked(clientLeg);
    m_window->actTlsToServer->setChecked(serverLeg);
    testpeer::Listener server;
    const quint16 port = startRelay(server.port(), "localhost");
    QVERIFY(port);

    // The server's end in a thread of its own: TLS or plain, it answers
    // "pong" to "ping".
    auto far = std::async(std::launch::async, [&] {
        testpeer::Peer tcp = server.accept(5000);
        if (!serverLeg) {
            const QByteArray got = tcp.read(4);
            return got == "ping" && tcp.send("pong");
        }
        testtls::Peer p = testtls::Peer::server(std::move(tcp), file("good.pem"), file("good.key"));
        return p.handshake() && p.read(4) == "ping" && p.write("pong");
    });
    auto near = std::async(std::launch::async, [&] {
        testpeer::Peer tcp = testpeer::Peer::connectTo(port);
        if (!clientLeg)
            return tcp.send("ping") ? tcp.read(4) : QByteArray();
        testtls::Peer p = testtls::Peer::client(std::move(tcp));
        return p.handshake() && p.write("ping") ? p.read(4) + "|" + p.peerFingerprint().toLatin1()
                                                 : QByteArray();
    });
    QTRY_VERIFY_WITH_TIMEOUT(near.wait_for(std::chrono::seconds(0)) == std::future_status::ready,
                             10000);
    QTRY_VERIFY_WITH_TIMEOUT(far.wait_for(std::chrono::seconds(0)) == std::future_status::ready,
                             10000);
    const QByteArray answer = near.get();
    QVERIFY(far.get());
    QVERIFY2(answer.startsWith("pong"), qPrintable(transcript()));
    if (clientLeg) {
        // The client saw the certificate whose fingerprint the relay wrote.
        QVERIFY(transcript().contains("TLS certificate made for this session, SHA-256: "
                                      + answer.mid(5)));
    }
    QCOMPARE(transcript().contains("Verified: the certificate is trusted and names the host"),
             serverLeg);
    QTRY_COMPARE(bytesFrom(TextOrigin::FromClient), QByteArray("ping"));
    QTRY_COMPARE(bytesFrom(TextOrigin::FromServer), QByteArray("pong"));
}

void tst_Relay::untrustedServerGetsNothing()
{
    // A self-signed server on the TLS leg: the user says no, and nothing the
    // client sent reaches it.
    m_window->chkTls->setChecked(true);
    m_window->actTlsToClient->setChecked(false);
    testpeer::Listener server;
    const quint16 port = startRelay(server.port(), "localhost");
    auto far = std::async(std::launch::async, [&] {
        testtls::Peer p = testtls::Peer::server(server.accept(5000), file("self.pem"),
                                                file("self.key"));
        return p.handshake() ? p.read(1) : QByteArray("no handshake");
    });
    testpeer::Peer client = testpeer::Peer::connectTo(port);
    QVERIFY(client.send("secret"));
    QVERIFY(waitForText("Relay: no TLS with the server; the client is closed"));
    QCOMPARE(m_asked.size(), 1);
    QVERIFY(m_asked.at(0).contains("self-signed"));
    QTRY_VERIFY_WITH_TIMEOUT(far.wait_for(std::chrono::seconds(0)) == std::future_status::ready,
                             10000);
    QCOMPARE(far.get(), QByteArray());
    QTRY_VERIFY(endedNow(client));
    QVERIFY(!transcript().contains("secret"));
    QCOMPARE(conn().connState(), State::stateRelaying);
}

void tst_Relay::startTlsWithSmtplibAndAiosmtpd()
{
    // smtplib sends its ClientHello straight after "220 Ready to start TLS":
    // the relay takes it up with TLS on both legs, and shows the mail itself.
    const quint16 smtpPort = testpeer::unusedPort();
    QProcess smtpd;
    smtpd.start("/usr/bin/python3", {"-m", "aiosmtpd", "-n", "-l",
                                     "127.0.0.1:" + QString::number(smtpPort), "--tlscert",
                                     file("good.pem"), "--tlskey", file("good.key")});
    QVERIFY2(smtpd.waitForStarted(), "python3 -m aiosmtpd did not start");
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        QTest::qWait(50);
        up = testpeer::Peer::connectTo(smtpPort).isOpen();
    }
    QVERIFY2(up, "aiosmtpd did not listen");
    // The relay answers the client with a certificate the client trusts.
    m_window->connection().setTlsSettings({file("ca.pem"), file("good.pem"), file("good.key"), false});
    const quint16 port = startRelay(smtpPort);
    QVERIFY(port);

    QProcess client;
    const bool sent = runPython(client, QStringLiteral(R"(
import smtplib, ssl, sys
context = ssl.create_default_context(cafile=sys.argv[2])
with smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=10) as s:
    s.ehlo("me")
    s.starttls(context=context)
    s.ehlo("me")
    s.sendmail("a@example.org", ["b@example.org"], "Subject: hi\r\n\r\nthe secret body\r\n")
)"), {QString::number(port), file("ca.pem")});
    QVERIFY2(sent, client.readAllStandardError().constData());
    // However the client leaves (Python's TLS socket may close with a
    // reset), the pair ends.
    QTRY_COMPARE_WITH_TIMEOUT(conn().connState(), State::stateRelaying, 5000);
    const QByteArray fromClient = bytesFrom(TextOrigin::FromClient);
    const QByteArray fromServer = bytesFrom(TextOrigin::FromServer);
    QVERIFY2(fromClient.startsWith("ehlo me\r\nSTARTTLS\r\nehlo me\r\n"), fromClient.constData());
    QVERIFY(fromClient.contains("the secret body"));
    QVERIFY(fromServer.contains("220 Ready to start TLS\r\n"));
    QVERIFY(transcript().contains("Relay: the client began TLS (no name sent; the server checked "
                                  "as 127.0.0.1); TLS to the server first, then to the client"));
    QVERIFY(transcript().contains("Verified: the certificate is trusted and names the host"));
    QVERIFY(transcript().contains("Relay: TLS on both legs now; the transcript shows the "
                                  "decrypted bytes"));
    // No TLS record went into the transcript as bytes.
    QVERIFY(!fromClient.contains("\x16\x03"));
    smtpd.kill();
    smtpd.waitForFinished();
}

void tst_Relay::tlsClientAtTheStartOfAPlainRelay()
{
    // A TLS client on a plain relay, naming the server: the relay's TLS to
    // the server uses that name, and the bytes show decrypted.
    testpeer::Listener server;
    m_window->connection().setTlsSettings({file("ca.pem"), file("good.pem"), file("good.key"), false});
    const quint16 port = startRelay(server.port());
    // The server is reached by address, but asked for the client's name.
    auto far = std::async(std::launch::async, [&] {
        testtls::Peer p = testtls::Peer::server(server.accept(5000), file("good.pem"),
                                                file("good.key"));
        return p.handshake() && p.read(4) == "ping" && p.write("pong") ? p.serverName()
                                                                        : QString();
    });
    QProcess client;
    const bool talked = runPython(client, QStringLiteral(R"(
import socket, ssl, sys
context = ssl.create_default_context(cafile=sys.argv[2])
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10) as raw:
    with context.wrap_socket(raw, server_hostname="localhost") as s:
        s.sendall(b"ping")
        sys.stdout.write(s.recv(4).decode())
)"), {QString::number(port), file("ca.pem")});
    QVERIFY2(talked, client.readAllStandardError().constData());
    QCOMPARE(client.readAllStandardOutput(), QByteArray("pong"));
    QCOMPARE(far.get(), QStringLiteral("localhost"));
    QVERIFY(transcript().contains("Relay: the client began TLS (for localhost)"));
    QTRY_COMPARE(bytesFrom(TextOrigin::FromClient), QByteArray("ping"));
    QCOMPARE(bytesFrom(TextOrigin::FromServer), QByteArray("pong"));

    // Taking it up turned off: the same client's hello passes through as
    // bytes, to a server that does not speak TLS.
    QTest::mouseClick(m_window->cmdRelay, Qt::LeftButton, {}, QPoint(6, 10));
    m_window->actTakeUpTls->setChecked(false);
    testpeer::Listener plainServer;
    const quint16 rawPort = startRelay(plainServer.port());
    testpeer::Peer tlsClient = testpeer::Peer::connectTo(rawPort);
    const QByteArray hello = clientHello("localhost");
    QVERIFY(tlsClient.send(hello));
    QTRY_COMPARE_WITH_TIMEOUT(conn().connState(), State::stateRelayed, 3000);
    testpeer::Peer plainFar = plainServer.accept(1000);
    QCOMPARE(readWhileRelaying(plainFar, hello.size()), hello);
}

QTEST_MAIN(tst_Relay)
#include "tst_relay.moc"

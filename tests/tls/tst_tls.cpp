// TLS end to end: the real window against TLS peers on the loopback, with a
// test authority and certificates made when the test runs.

#include "frmpellix.h"
#include "tlspeer.h"
#include "transcriptview.h"
#include "trustdialog.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QScopeGuard>
#include <QTimer>

using namespace std::chrono_literals;
using State = ConnectionControl::State;

class tst_Tls : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void connectChecksTheCertificate_data();
    void connectChecksTheCertificate();
    void goingOnIsRemembered_data();
    void goingOnIsRemembered();
    void listenerChecksClientCertificates_data();
    void listenerChecksClientCertificates();
    void trustDialogTakesNoStrayKey_data();
    void trustDialogTakesNoStrayKey();
    void clientCertificateOnlyToAVerifiedPeer_data();
    void clientCertificateOnlyToAVerifiedPeer();
    void recordLargerThanATickIsPaced();
    void peerEnds_data();
    void peerEnds();
    void sendsAFile_data();
    void sendsAFile();
    void bytesBeforeAResetAreShown_data();
    void bytesBeforeAResetAreShown();
    void reconnects_data();
    void reconnects();
    void stalledHandshakeIsBounded();
    void startTlsWithARealSmtpServer();
    void listenerServesTlsAndTurnsPlainAway();
    void listenerUnlocksItsKey_data();
    void listenerUnlocksItsKey();
    void passphraseDialogHidesWhatIsTyped();

private:
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString transcript() const { return m_window->txtDati->plainText(); }
    // Connects the window with TLS to a fresh peer serving NAME.pem; the
    // peer, once its handshake has ended.
    testtls::Peer connectTls(const QString& host, const QString& name, bool* peerOk = nullptr,
                             const QString& clientAuthority = {});
    // Ticks until the transcript grows (at most a second); its new length.
    qint64 tickUntilMore();
    // Ticks until the transcript after position from holds text (at most 5 s).
    bool tickUntil(const QString& text, qsizetype from = 0);
    void type(const QString& line)
    {
        QTest::keyClicks(m_window->txtDati, line);
        QTest::keyClick(m_window->txtDati, Qt::Key_Return);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<frmPellix> m_window;
    std::unique_ptr<testpeer::Listener> m_listener;
    QStringList m_asked; // what the trust dialog was shown
    bool m_answer = false;
    bool m_pin = false; // the trust dialog's answer pins the certificate
    // The passphrases the passphrase dialog gives in turn, then none; and
    // what it was asked: the file, and whether again.
    QStringList m_passphrases;
    QList<std::pair<QString, bool>> m_unlocking;
};

void tst_Tls::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(testtls::makeCertificates(m_dir.path()), "the openssl command made no certificates");
}

void tst_Tls::init()
{
    frmPellix::Hooks hooks = testwindow::loopbackHooks();
    hooks.askToTrust = [this](const QString& facts) {
        m_asked.append(facts);
        return TrustAnswer{m_answer, m_pin};
    };
    hooks.askPassphrase = [this](const QString& file, bool again) -> std::optional<QString> {
        m_unlocking.append({file, again});
        if (m_passphrases.isEmpty())
            return std::nullopt;
        return m_passphrases.takeFirst();
    };
    m_asked.clear();
    m_answer = false;
    m_pin = false;
    m_passphrases.clear();
    m_unlocking.clear();
    m_window = std::make_unique<frmPellix>(hooks);
    m_window->connection().setTlsSettings({file("ca.pem"), {}, {}, false});
    m_window->chkTls->setChecked(true);
    m_window->show();
    m_listener = std::make_unique<testpeer::Listener>();
    QVERIFY(m_listener->port() != 0);
}

void tst_Tls::cleanup()
{
    m_window.reset();
}

testtls::Peer tst_Tls::connectTls(const QString& host, const QString& name, bool* peerOk,
                                  const QString& clientAuthority)
{
    auto served = testtls::serveOnce(*m_listener, file(name + ".pem"), file(name + ".key"),
                                     clientAuthority);
    m_window->txtHostConn->setText(host);
    m_window->txtPortConn->setText(QString::number(m_listener->port()));
    QTest::mouseClick(m_window->cmdConnetti, Qt::LeftButton);
    auto [ok, peer] = served.get();
    if (peerOk)
        *peerOk = ok;
    return std::move(peer);
}

qint64 tst_Tls::tickUntilMore()
{
    const qint64 before = m_window->txtDati->length();
    for (int i = 0; i < 50 && m_window->txtDati->length() == before; ++i) {
        QTest::qWait(20);
        m_window->connection().tmrReceive_Timer();
    }
    return m_window->txtDati->length();
}

bool tst_Tls::tickUntil(const QString& text, qsizetype from)
{
    for (int i = 0; i < 250 && transcript().indexOf(text, from) < 0; ++i) {
        QTest::qWait(20);
        m_window->connection().tmrReceive_Timer();
    }
    return transcript().indexOf(text, from) >= 0;
}

void tst_Tls::connectChecksTheCertificate_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("systemAuthorities"); // not the test authority
    QTest::addColumn<bool>("insecure");
    QTest::addColumn<bool>("userGoesOn");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("pinned");     // the certificate whose fingerprint is pinned
    QTest::addColumn<QString>("serverName"); // sent and checked instead of host

    QTest::newRow("verified address") << "127.0.0.1" << "good" << false << false << false << true
                                      << "Verified: the certificate is trusted" << "" << "";
    QTest::newRow("verified name") << "localhost" << "good" << false << false << false << true
                                   << "Verified: the certificate is trusted" << "" << "";
    QTest::newRow("unknown issuer") << "127.0.0.1" << "good" << true << false << false << false
                                    << "Certificate not trusted: the issuer is unknown" << "" << "";
    QTest::newRow("wrong name") << "localhost" << "other" << false << false << false << false
                                << "Certificate not trusted: the certificate is for another name" << "" << "";
    QTest::newRow("wrong address") << "127.0.0.1" << "other" << false << false << false << false
                                   << "the certificate is for another address" << "" << "";
    QTest::newRow("expired") << "127.0.0.1" << "expired" << false << false << false << false
                             << "Certificate not trusted: the certificate has expired" << "" << "";
    QTest::newRow("self-signed") << "127.0.0.1" << "self" << false << false << false << false
                                 << "Certificate not trusted: the certificate is self-signed" << "" << "";
    QTest::newRow("insecure") << "127.0.0.1" << "self" << false << true << false << true
                              << "NOT VERIFIED: the certificate is self-signed" << "" << "";
    QTest::newRow("user goes on") << "127.0.0.1" << "expired" << false << false << true << true
                                  << "going on as the user chose" << "" << "";
    const QString refused = "Certificate refused: its fingerprint is not one pinned";
    QTest::newRow("pinned self-signed") << "127.0.0.1" << "self" << false << false << false << true
                                        << "Trusted by its pinned fingerprint" << "self" << "";
    QTest::newRow("another, pinned one") << "127.0.0.1" << "expired" << false << false << true
                                         << false << refused << "self" << "";
    QTest::newRow("verified, not pinned") << "localhost" << "good" << false << false << false
                                          << false << refused << "self" << "";
    QTest::newRow("server name") << "127.0.0.1" << "other" << false << false << false << true
                                 << "Verified: the certificate is trusted" << "" << "other.example";
}

void tst_Tls::connectChecksTheCertificate()
{
    QFETCH(QString, host);
    QFETCH(QString, certificate);
    QFETCH(bool, systemAuthorities);
    QFETCH(bool, insecure);
    QFETCH(bool, userGoesOn);
    QFETCH(bool, connected);
    QFETCH(QString, line);
    QFETCH(QString, pinned);
    QFETCH(QString, serverName);
    const QStringList pins = pinned.isEmpty()
        ? QStringList()
        : QStringList{testtls::certificateFingerprint(file(pinned + ".pem"))};
    m_window->connection().setTlsSettings({systemAuthorities ? QString() : file("ca.pem"), {}, {},
                                           insecure, pins, serverName});
    m_answer = userGoesOn;

    bool handshook = false;
    testtls::Peer peer = connectTls(host, certificate, &handshook);
    QVERIFY(handshook);
    // A name goes out as SNI; an address does not.
    const QString sent = serverName.isEmpty() ? host : serverName;
    QCOMPARE(peer.serverName(), sent.front().isDigit() ? QString() : sent);
    QVERIFY2(transcript().contains(line), qPrintable(transcript()));
    const bool asked = !line.startsWith("Verified") && !insecure && pins.isEmpty();
    QCOMPARE(m_asked.size(), asked ? 1 : 0);
    if (asked)
        QVERIFY(m_asked.first().contains("SHA-256: " + peer.peerFingerprint()));
    QCOMPARE(m_window->connection().connState(), connected ? State::stateConnected : State::stateIdle);
    if (!connected) {
        QVERIFY(transcript().endsWith("Failed connection to: 127.0.0.1\r\n"));
        // Refused: not one byte of the user's reached the peer.
        QVERIFY(peer.read(1).isEmpty());
        return;
    }
    const qsizetype connectedAt = transcript().indexOf("Connected to: 127.0.0.1\r\nTLS: TLSv1.");
    QVERIFY(connectedAt > 0);
    QVERIFY(transcript().lastIndexOf("SHA-256: " + peer.peerFingerprint()) > connectedAt);
    QTest::keyClicks(m_window->txtDati, "hi");
    QCOMPARE(peer.read(2), QByteArray("hi"));
    QTest::mouseClick(m_window->cmdDisconnect, Qt::LeftButton);
    QVERIFY(peer.sawCloseNotify());
}

// Going on with a certificate that is not trusted holds for its host and
// port while the certificate stays the same, or, pinned, wherever it shows.
void tst_Tls::goingOnIsRemembered_data()
{
    QTest::addColumn<bool>("pin");
    QTest::addColumn<bool>("samePort");
    QTest::addColumn<QString>("second"); // the certificate the second connect meets
    QTest::addColumn<int>("asked");
    QTest::addColumn<QString>("line");
    const QString chosen = "going on as the user chose";
    QTest::newRow("the same again") << false << true << "self" << 1 << chosen;
    QTest::newRow("another certificate") << false << true << "expired" << 2 << "has expired";
    QTest::newRow("another port") << false << false << "self" << 2 << chosen;
    QTest::newRow("pinned, another port") << true << false << "self" << 1
                                          << "Trusted by its pinned fingerprint";
}

void tst_Tls::goingOnIsRemembered()
{
    QFETCH(bool, pin);
    QFETCH(bool, samePort);
    QFETCH(QString, second);
    QFETCH(int, asked);
    QFETCH(QString, line);
    m_answer = true;
    m_pin = pin;
    for (const QString& certificate : {QStringLiteral("self"), second}) {
        const bool first = m_asked.isEmpty();
        const qsizetype from = transcript().size();
        testtls::Peer peer = connectTls("127.0.0.1", certificate);
        QCOMPARE(m_window->connection().connState(), State::stateConnected);
        QTest::mouseClick(m_window->cmdDisconnect, Qt::LeftButton);
        if (!samePort)
            m_listener = std::make_unique<testpeer::Listener>();
        const QString expected = first ? "going on as the user chose" : line;
        QVERIFY2(transcript().indexOf(expected, from) > 0, qPrintable(transcript()));
    }
    QCOMPARE(m_asked.size(), asked);
}

// The listener taking only clients with a certificate of the authority,
// against openssl s_client: any other is told why and closed, and the
// listener waits on for the next.
void tst_Tls::listenerChecksClientCertificates_data()
{
    QTest::addColumn<QString>("certificate"); // the client's; empty: none
    QTest::addColumn<QString>("line");
    QTest::newRow("of the authority") << "good" << "Subject: CN=good\r\nIssuer: CN=Pellix test "
                                                   "authority";
    QTest::newRow("none") << "" << "failed: the client showed no certificate";
    QTest::newRow("self-signed") << "self" << "failed: the client's certificate is not trusted: "
                                              "the certificate is self-signed";
}

void tst_Tls::listenerChecksClientCertificates()
{
    QFETCH(QString, certificate);
    QFETCH(QString, line);
    m_window->connection().setTlsSettings({file("ca.pem"), {}, {}, false, {}, {}, true});
    const quint16 port = testpeer::unusedPort();
    testwindow::startListening(*m_window, port);
    QProcess client;
    client.start("openssl", QStringList{"s_client", "-connect", "127.0.0.1:" + QString::number(port)}
                     + (certificate.isEmpty() ? QStringList()
                                              : QStringList{"-cert", file(certificate + ".pem"),
                                                            "-key", file(certificate + ".key")}));
    const auto end = qScopeGuard([&client] { client.kill(), client.waitForFinished(); });
    QVERIFY2(tickUntil(line), qPrintable(transcript()));
    QCOMPARE(m_window->connection().connState(),
             certificate == "good" ? State::stateAccepted : State::stateListening);
    QCOMPARE(transcript().contains(testtls::certificateFingerprint(file("good.pem"))),
             certificate == "good");
}

// The real trust dialog, shown for a self-signed peer, and real key events
// into it: nothing typed while it is new answers it, no letter ever does,
// Enter and Escape mean no, and only a click on Connect Anyway goes on.
void tst_Tls::trustDialogTakesNoStrayKey_data()
{
    // Typed into whatever has the focus: text, and <Enter>, <Space>,
    // <Escape>, <Tab>; <click> on Connect Anyway; <every key>: each letter
    // and digit, plain and with Alt.
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("afterDelay");
    QTest::addColumn<bool>("answers"); // the input itself ends the dialog
    QTest::addColumn<bool>("goesOn");

    QTest::newRow("y at once") << "y" << false << false << false;
    QTest::newRow("yes at once") << "yes" << false << false << false;
    QTest::newRow("Enter at once") << "<Enter>" << false << false << false;
    QTest::newRow("Space at once") << "<Space>" << false << false << false;
    QTest::newRow("click on Connect Anyway at once") << "<click>" << false << false << false;
    QTest::newRow("every letter and digit") << "<every key>" << true << false << false;
    QTest::newRow("Enter") << "<Enter>" << true << true << false;
    QTest::newRow("Escape") << "<Escape>" << true << true << false;
    QTest::newRow("Tab to Connect Anyway, then Enter") << "<Tab><Enter>" << true << true << false;
    QTest::newRow("click on Connect Anyway") << "<click>" << true << true << true;
}

void tst_Tls::trustDialogTakesNoStrayKey()
{
    QFETCH(QString, input);
    QFETCH(bool, afterDelay);
    QFETCH(bool, answers);
    QFETCH(bool, goesOn);
    frmPellix::Hooks hooks = testwindow::loopbackHooks();
    // "At once" stays inside the delay however slow the machine.
    hooks.trustDelay = afterDelay ? 100ms : std::chrono::milliseconds(1h);
    m_window = std::make_unique<frmPellix>(hooks);
    m_window->connection().setTlsSettings({file("ca.pem"), {}, {}, false});
    m_window->chkTls->setChecked(true);
    m_window->show();

    bool shown = false, focusOnNo = false, stillUp = false;
    int looks = 0;
    std::function<void()> answer = [&] {
        auto* dialog = qobject_cast<TrustDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (++looks < 500)
                QTimer::singleShot(10, this, answer);
            return;
        }
        shown = true;
        const auto closeAfter = qScopeGuard([dialog] {
            if (dialog->isVisible())
                dialog->close(); // as the title bar's close button: no
        });
        // Active, as on a desktop: a shortcut of its own would work.
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        if (afterDelay)
            QTRY_VERIFY_WITH_TIMEOUT(dialog->connectAnyway->isEnabled(), 5000);
        focusOnNo = dialog->focusWidget() == dialog->dontConnect;
        auto key = [dialog](auto k, Qt::KeyboardModifiers modifiers = {}) {
            if (dialog->isVisible())
                QTest::keyClick(dialog->focusWidget() ? dialog->focusWidget() : dialog, k, modifiers);
        };
        static const QRegularExpression token("<[^>]+>|.");
        for (const QRegularExpressionMatch& m : token.globalMatch(input)) {
            const QString t = m.captured();
            if (t == "<click>") {
                QTest::mouseClick(dialog->connectAnyway, Qt::LeftButton);
            } else if (t == "<every key>") {
                for (char c : QByteArray("abcdefghijklmnopqrstuvwxyz0123456789")) {
                    key(c);
                    key(c, Qt::AltModifier);
                }
            } else if (t.size() > 1) {
                key(t == "<Enter>" ? Qt::Key_Return : t == "<Space>" ? Qt::Key_Space
                        : t == "<Tab>"                             ? Qt::Key_Tab
                                                                   : Qt::Key_Escape);
            } else {
                key(t.front().toLatin1());
            }
        }
        // A button's shortcut clicks it 100 ms later.
        QTest::qWait(300);
        stillUp = dialog->isVisible();
    };
    QTimer::singleShot(0, this, answer);

    auto served = testtls::serveOnce(*m_listener, file("self.pem"), file("self.key"));
    m_window->txtPortConn->setText(QString::number(m_listener->port()));
    QTest::mouseClick(m_window->cmdConnetti, Qt::LeftButton);
    auto [ok, peer] = served.get();
    QVERIFY(ok);
    QVERIFY(shown);
    QVERIFY(focusOnNo);
    QCOMPARE(stillUp, !answers);
    QCOMPARE(m_window->connection().connState(), goesOn ? State::stateConnected : State::stateIdle);
    if (!goesOn) {
        QVERIFY2(transcript().endsWith("Failed connection to: 127.0.0.1\r\n"), qPrintable(transcript()));
        QVERIFY(peer.read(1).isEmpty());
        return;
    }
    QVERIFY(transcript().contains("going on as the user chose"));
    QTest::keyClicks(m_window->txtDati, "hi");
    QCOMPARE(peer.read(2), QByteArray("hi"));
}

void tst_Tls::clientCertificateOnlyToAVerifiedPeer_data()
{
    QTest::addColumn<QString>("serverCertificate");
    QTest::addColumn<bool>("insecure");
    QTest::addColumn<QString>("ours"); // our certificate and key
    QTest::addColumn<bool>("shown");
    QTest::newRow("verified server") << "good" << false << "good" << true;
    QTest::newRow("self-signed server") << "self" << false << "good" << false;
    QTest::newRow("self-signed, --insecure") << "self" << true << "good" << true;
    QTest::newRow("verified server, key unlocked") << "good" << false << "locked" << true;
}

void tst_Tls::clientCertificateOnlyToAVerifiedPeer()
{
    QFETCH(QString, serverCertificate);
    QFETCH(bool, insecure);
    QFETCH(QString, ours);
    QFETCH(bool, shown);
    m_window->connection().setTlsSettings(
        {file("ca.pem"), file(ours + ".pem"), file(ours + ".key"), insecure});
    m_passphrases = {testtls::Passphrase};
    bool handshook = false;
    testtls::Peer peer = connectTls("127.0.0.1", serverCertificate, &handshook, file("ca.pem"));
    QCOMPARE(handshook, shown);
    QCOMPARE(peer.peerShowedCertificate(), shown);
    // Only a locked key asks.
    QCOMPARE(m_unlocking.size(), ours == "locked" ? 1 : 0);
}

void tst_Tls::recordLargerThanATickIsPaced()
{
    m_window->tmrReceive->stop(); // the test ticks for itself, and counts them
    testtls::Peer peer = connectTls("127.0.0.1", "good");
    QCOMPARE(m_window->connection().connState(), State::stateConnected);
    const QByteArray burst(16384, 'x'); // one record, the largest TLS has
    QVERIFY(peer.write(burst));
    const qint64 before = m_window->txtDati->length();
    QCOMPARE(tickUntilMore(), before + 8192);
    // The rest is already inside the session: the next tick shows it
    // without anything more from the network.
    m_window->connection().tmrReceive_Timer();
    QCOMPARE(m_window->txtDati->length(), before + 16384);
    QVERIFY(transcript().endsWith(QString(burst)));
}

void tst_Tls::peerEnds_data()
{
    QTest::addColumn<bool>("closeNotify");
    QTest::addColumn<bool>("reset");
    QTest::newRow("close_notify") << true << false;
    QTest::newRow("bare close") << false << false;
    QTest::newRow("reset, then keys") << false << true;
}

void tst_Tls::peerEnds()
{
    QFETCH(bool, closeNotify);
    QFETCH(bool, reset);
    testtls::Peer peer = connectTls("127.0.0.1", "good");
    QVERIFY(peer.write("bye"));
    if (closeNotify)
        peer.closeNotify();
    if (reset) {
        tickUntilMore();
        peer.tcp().reset();
        QTest::qWait(50);
        // Writes after the reset: the library's own writes raise no SIGPIPE.
        QTest::keyClicks(m_window->txtDati, "ab");
    }
    peer.tcp().close();
    QTRY_VERIFY_WITH_TIMEOUT((m_window->connection().tmrReceive_Timer(),
                              m_window->connection().connState() == State::stateIdle),
                             5000);
    QVERIFY(transcript().contains("bye"));
    QVERIFY(transcript().endsWith("Disconnected\r\n"));
    QCOMPARE(transcript().contains("the end is not confirmed"), !closeNotify && !reset);
}

void tst_Tls::sendsAFile_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("whole") << false;
    QTest::newRow("cancelled in full buffers, then a key") << true;
}

// A file through the session: what arrives is the file, or, cancelled while
// a record is half written, exactly the bytes counted as gone, and what is
// typed next follows them unharmed.
void tst_Tls::sendsAFile()
{
    QFETCH(bool, cancel);
    QByteArray contents(24 * 1024 * 1024, '\0');
    QRandomGenerator random(7);
    for (char& byte : contents)
        byte = char(random.generate() & 0xff);
    QFile out(file("send.bin"));
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size());
    out.close();
    testtls::Peer peer = connectTls("127.0.0.1", "good");
    ConnectionControl& conn = m_window->connection();
    QCOMPARE(conn.connState(), State::stateConnected);
    m_window->chkEcho->setChecked(false);
    auto pump = [&conn](int ms) {
        QElapsedTimer t;
        t.start();
        while (conn.isSendingFile() && t.elapsed() < ms)
            QTest::qWait(5);
    };

    std::future<QByteArray> received;
    conn.sendFile(out.fileName());
    if (cancel) {
        // The peer reads nothing until the send is well into full buffers.
        pump(1000);
        QVERIFY(conn.isSendingFile());
        QTest::mouseClick(m_window->cmdCancelSend, Qt::LeftButton);
    }
    received = std::async(std::launch::async, [&peer, &contents] { return peer.read(contents.size()); });
    pump(30000);
    QVERIFY(!conn.isSendingFile());
    const qint64 sent = conn.fileSend()->progress().sent;
    const QByteArray got = received.get(); // all of it, or what came before a 5 s silence
    QCOMPARE(got.size(), sent);
    QVERIFY(got == contents.left(sent));
    if (cancel) {
        QVERIFY(sent < contents.size());
        QVERIFY2(transcript().contains(QStringLiteral("cancelled: %1 of %2 bytes went out")
                                           .arg(sent)
                                           .arg(contents.size())),
                 qPrintable(transcript().right(200)));
        QTest::keyClick(m_window->txtDati, 'z');
        QCOMPARE(peer.read(1), QByteArray("z"));
    } else {
        QCOMPARE(sent, contents.size());
    }
    QCOMPARE(conn.connState(), State::stateConnected);
}

// What the peer sent before its reset is in the kernel already and shows,
// paced as ever, before the error and the disconnection.
void tst_Tls::bytesBeforeAResetAreShown_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("via"); // what meets the reset: "tick", "key", "box" or "file"
    QTest::newRow("less than a record") << 100 << "tick";
    QTest::newRow("one full record") << 16384 << "tick";
    QTest::newRow("several records") << 40000 << "tick";
    // A send fails first: what the session and the socket still hold shows
    // all the same, before the send's error.
    QTest::newRow("several records, then a key") << 40000 << "key";
    QTest::newRow("several records, then the send box") << 40000 << "box";
    QTest::newRow("several records, then a file") << 40000 << "file";
}

void tst_Tls::bytesBeforeAResetAreShown()
{
    QFETCH(int, size);
    QFETCH(QString, via);
    m_window->tmrReceive->stop(); // the test ticks for itself
    testtls::Peer peer = connectTls("127.0.0.1", "good");
    QCOMPARE(m_window->connection().connState(), State::stateConnected);
    m_window->chkEcho->setChecked(false);
    QByteArray data(size, 0);
    for (int i = 0; i < size; ++i)
        data[i] = char('a' + i % 26);
    const qsizetype before = transcript().size();
    // Nagle's algorithm could hold the last small records back in the peer's
    // kernel, waiting for an ACK, and the reset would then discard them
    // before they ever left: here each one leaves as it is written.
    peer.tcp().sendAtOnce();
    QVERIFY(peer.write(data));
    peer.tcp().reset();
    // The reset comes after the records: once it is there, so are they.
    QVERIFY(testpeer::waitFor(int(m_window->connection().connSocket()), POLLRDHUP, 5000));
    qsizetype shown = 0;
    for (int tick = 0; tick < 50 && m_window->connection().connState() == State::stateConnected;
         ++tick) {
        if (via != "tick" && shown > 0)
            break;
        m_window->connection().tmrReceive_Timer();
        // No tick shows more of the peer's bytes than a plain one would.
        const qsizetype now = std::min(transcript().size() - before, qsizetype(size));
        QVERIFY2(now - shown <= 8192, qPrintable(QString::number(now - shown)));
        shown = now;
    }
    QString end = QStringLiteral("TLS error: the connection failed (Connection reset by peer)\r\n");
    const QString path = file(QStringLiteral("ten.txt"));
    if (via == "key") {
        QTest::keyClicks(m_window->txtDati, "ab");
    } else if (via == "box") {
        m_window->txtInvia->setPlainText(QStringLiteral("box"));
        QTest::mouseClick(m_window->cmdSend, Qt::LeftButton);
    } else if (via == "file") {
        QFile ten(path);
        QVERIFY(ten.open(QIODevice::WriteOnly) && ten.write("0123456789") == 10);
        ten.close();
        m_window->connection().sendFile(path);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->connection().isSendingFile(), 5000);
        end.prepend(QStringLiteral("Sending %1 stopped, the send failed: 0 of 10 bytes went out\r\n")
                        .arg(QDir::toNativeSeparators(path)));
    }
    QString got = transcript().mid(before);
    got.remove(QRegularExpression(QStringLiteral("(\\r\\n)?Sending [^\\r]*: 10 bytes\\r\\n")));
    QCOMPARE(got, QString::fromLatin1(data) + "\r\n" + end + "Disconnected\r\n");
}

// A Connect connection that ends without the user asking comes back, on
// the same port, once the peer is there again; Disconnect, Listen and
// unticking Reconnect stop the tries at once.
void tst_Tls::reconnects_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("cause"); // "close", "reset", "send" (a key after a reset)
    QTest::addColumn<QString>("stop");  // what ends the tries, or "" when the peer comes back
    QTest::newRow("the peer's close") << false << "close" << "";
    QTest::newRow("a reset") << false << "reset" << "";
    QTest::newRow("a failed send") << false << "send" << "";
    QTest::newRow("TLS close_notify") << true << "close" << "";
    QTest::newRow("Disconnect stops it") << false << "close" << "disconnect";
    QTest::newRow("Listen stops it") << false << "reset" << "listen";
    QTest::newRow("unticking stops it") << true << "close" << "untick";
}

void tst_Tls::reconnects()
{
    QFETCH(bool, tls);
    QFETCH(QString, cause);
    QFETCH(QString, stop);
    m_window->tmrReceive->stop(); // the test ticks for itself
    ConnectionControl& conn = m_window->connection();
    conn.setReconnectWaits(std::chrono::milliseconds(50), std::chrono::milliseconds(200));
    m_window->actReconnect->setChecked(true);
    m_window->chkTls->setChecked(tls);
    const quint16 port = m_listener->port();
    m_window->txtHostConn->setText("127.0.0.1");
    testtls::Peer tlsPeer = tls ? connectTls("127.0.0.1", "good") : testtls::Peer();
    testpeer::Peer plainPeer = tls ? testpeer::Peer() : testwindow::connectTo(*m_window, *m_listener);
    QCOMPARE(conn.connState(), State::stateConnected);
    m_listener.reset(); // the peer goes away
    testpeer::Peer& tcp = tls ? tlsPeer.tcp() : plainPeer;
    if (tls && cause == "close")
        tlsPeer.closeNotify();
    if (cause == "close")
        tcp.close();
    else
        tcp.reset();
    QVERIFY(testpeer::waitFor(int(conn.connSocket()), POLLRDHUP, 5000));
    const qsizetype from = transcript().size();
    if (cause == "send")
        QTest::keyClicks(m_window->txtDati, "x");
    const QString line = QStringLiteral("Reconnecting to 127.0.0.1 port %1 in %2 s (try %3)\r\n");
    QVERIFY(tickUntil(line.arg(port).arg(0.1).arg(2), from)); // the first try found no one
    QCOMPARE(conn.connState(), State::stateReconnecting);
    QVERIFY2(transcript().mid(from).contains("Disconnected\r\n" + line.arg(port).arg(0.05).arg(1)
                                             + line.arg(port).arg(0.1).arg(2)),
             qPrintable(transcript().mid(from)));

    m_listener = std::make_unique<testpeer::Listener>(8, testpeer::Listener::IPv4, port);
    QCOMPARE(m_listener->port(), port); // the peer is back
    if (stop.isEmpty()) {
        auto served = tls ? testtls::serveOnce(*m_listener, file("good.pem"), file("good.key"))
                          : std::future<std::pair<bool, testtls::Peer>>();
        QVERIFY(tickUntil("Connected to: 127.0.0.1", from));
        QCOMPARE(conn.connState(), State::stateConnected);
        if (tls)
            tlsPeer = served.get().second;
        else
            plainPeer = m_listener->accept();
        QTest::keyClicks(m_window->txtDati, "y"); // the connection that came back works
        QCOMPARE(tls ? tlsPeer.read(1) : plainPeer.read(1), QByteArray("y"));
        return;
    }
    m_window->txtPort->setText(QString::number(testpeer::unusedPort()));
    if (stop == "disconnect")
        QTest::mouseClick(m_window->cmdDisconnect, Qt::LeftButton);
    else if (stop == "listen")
        QTest::mouseClick(m_window->cmdStartListen, Qt::LeftButton);
    else
        m_window->actReconnect->setChecked(false);
    QVERIFY(transcript().endsWith("Reconnecting stopped\r\n"));
    QCOMPARE(conn.connState(), stop == "listen" ? State::stateListening : State::stateIdle);
    QTest::qWait(300);
    conn.tmrReceive_Timer();
    QVERIFY(!testpeer::waitFor(m_listener->fd(), POLLIN, 0)); // no try came
}

void tst_Tls::stalledHandshakeIsBounded()
{
    // The listener takes the connection but never answers the client's hello.
    m_window->connection().setConnectTimeLimit(300ms);
    m_window->txtPortConn->setText(QString::number(m_listener->port()));
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(m_window->cmdConnetti, Qt::LeftButton);
    QVERIFY(clock.elapsed() < 3000);
    QVERIFY2(transcript().contains("TLS handshake failed: the peer did not finish the handshake "
                                   "within 1 s\r\nFailed connection to: 127.0.0.1\r\n"),
             qPrintable(transcript()));
    QCOMPARE(m_window->connection().connState(), State::stateIdle);
    QVERIFY(m_window->cmdConnetti->isEnabled());
}

void tst_Tls::startTlsWithARealSmtpServer()
{
    // Debian's aiosmtpd: an SMTP server that offers STARTTLS.
    const quint16 port = testpeer::unusedPort();
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedChannels);
    server.start("/usr/bin/python3", {"-m", "aiosmtpd", "-n", "-l",
                                      "127.0.0.1:" + QString::number(port), "--tlscert",
                                      file("good.pem"), "--tlskey", file("good.key")});
    QVERIFY2(server.waitForStarted(), "python3 -m aiosmtpd did not start");
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        QTest::qWait(50);
        up = testpeer::Peer::connectTo(port).isOpen();
    }
    QVERIFY2(up, "aiosmtpd did not listen");

    m_window->tmrReceive->stop(); // the test ticks for itself
    m_window->chkTls->setChecked(false);
    m_window->txtPortConn->setText(QString::number(port));
    QTest::mouseClick(m_window->cmdConnetti, Qt::LeftButton);
    QVERIFY(tickUntil("220 "));
    type("EHLO me");
    QVERIFY(tickUntil("250-STARTTLS"));
    type("STARTTLS");
    // The go-ahead is still unread when the user asks for TLS: it shows,
    // and the handshake begins after it.
    QTest::qWait(300);
    QVERIFY(!transcript().contains("220 Ready"));
    m_window->connection().mnuStartTls_Click();
    const qsizetype upgraded = transcript().indexOf("Verified: the certificate is trusted");
    QVERIFY2(upgraded > 0, qPrintable(transcript()));
    QVERIFY(transcript().indexOf("220 Ready to start TLS\r\nTLS: TLSv1.") > 0);
    QVERIFY(m_window->connection().isTls());
    type("EHLO me");
    QVERIFY2(tickUntil("250", upgraded), qPrintable(transcript()));
    server.kill();
    server.waitForFinished();
}

void tst_Tls::listenerServesTlsAndTurnsPlainAway()
{
    const quint16 port = testpeer::unusedPort();
    testwindow::startListening(*m_window, port);
    const QRegularExpressionMatch made =
        QRegularExpression("TLS certificate made for this session, SHA-256: ([0-9A-F:]+)\r\n")
            .match(transcript());
    QVERIFY2(made.hasMatch(), qPrintable(transcript()));

    // A plain-text client first: told off and closed, and the next peer served.
    testpeer::Peer plain = testpeer::Peer::connectTo(port);
    testpeer::Peer second = testpeer::Peer::connectTo(port);
    QVERIFY(plain.send("EHLO plain\r\n"));
    QVERIFY(tickUntilMore() > 0);
    QVERIFY2(transcript().contains("TLS handshake with 127.0.0.1 failed: the peer does not speak TLS"),
             qPrintable(transcript()));
    QVERIFY(plain.sawClose());

    auto client = std::async(std::launch::async, [&] {
        testtls::Peer p = testtls::Peer::client(std::move(second));
        const bool ok = p.handshake();
        return std::pair{ok, std::move(p)};
    });
    QTRY_VERIFY_WITH_TIMEOUT((m_window->connection().tmrReceive_Timer(),
                              m_window->connection().connState() == State::stateAccepted),
                             5000);
    auto [ok, peer] = client.get();
    QVERIFY(ok);
    QCOMPARE(peer.peerFingerprint(), made.captured(1));
    // Self-signed, for thirty days from an hour back.
    QVERIFY(peer.peerSelfSigned());
    const qint64 day = 24 * 3600;
    QVERIFY2(peer.peerValidFor() > 30 * day && peer.peerValidFor() <= 30 * day + 2 * 3600,
             qPrintable(QString::number(peer.peerValidFor())));
    QVERIFY(transcript().contains("Connected from: 127.0.0.1\r\nTLS: TLSv1."));
    QVERIFY(peer.write("over tls"));
    tickUntilMore();
    QVERIFY(transcript().endsWith("over tls"));
}

void tst_Tls::listenerUnlocksItsKey_data()
{
    QTest::addColumn<QStringList>("passphrases"); // given in turn, then none
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("why"); // why not
    const QString right = testtls::Passphrase;
    QTest::newRow("right") << QStringList{right} << true << "";
    QTest::newRow("wrong, then right") << QStringList{"wrong", "", right} << true << "";
    QTest::newRow("cancelled") << QStringList{} << false << "(no passphrase given)";
    QTest::newRow("wrong, then cancelled")
        << QStringList{"wrong"} << false << "(the passphrase is wrong)";
}

void tst_Tls::listenerUnlocksItsKey()
{
    QFETCH(QStringList, passphrases);
    QFETCH(bool, listening);
    QFETCH(QString, why);
    m_window->connection().setTlsSettings({{}, file("locked.pem"), file("locked.key"), false});
    m_passphrases = passphrases;
    testwindow::startListening(*m_window, testpeer::unusedPort());

    // Asked once for each passphrase, and once more when one was cancelled;
    // "again" after each wrong one.
    const int asked = int(passphrases.size()) + (listening ? 0 : 1);
    QCOMPARE(m_unlocking.size(), asked);
    for (int i = 0; i < asked; ++i) {
        QCOMPARE(m_unlocking.at(i).first, file("locked.key"));
        QCOMPARE(m_unlocking.at(i).second, i > 0);
    }
    QCOMPARE(m_window->connection().connState(),
             listening ? State::stateListening : State::stateIdle);
    if (listening) {
        QVERIFY2(transcript().endsWith("TLS certificate, SHA-256: "
                                       + testtls::certificateFingerprint(file("locked.pem"))
                                       + "\r\n"),
                 qPrintable(transcript()));
        // Unlocked once for the run: Stop and Listen again ask nothing.
        QTest::mouseClick(m_window->cmdStartListen, Qt::LeftButton);
        QTest::mouseClick(m_window->cmdStartListen, Qt::LeftButton);
        QCOMPARE(m_window->connection().connState(), State::stateListening);
        QCOMPARE(m_unlocking.size(), asked);
    } else {
        QVERIFY2(transcript().endsWith("TLS cannot listen: cannot use the key '"
                                       + file("locked.key")
                                       + "': the key was not unlocked " + why + "\r\n"),
                 qPrintable(transcript()));
    }
    QVERIFY(!transcript().contains(testtls::Passphrase));
}

// The window's own dialog, not the test's stand-in: asks with the file named
// and shows no character of what is typed.
void tst_Tls::passphraseDialogHidesWhatIsTyped()
{
    frmPellix window(testwindow::loopbackHooks());
    window.connection().setTlsSettings({{}, file("locked.pem"), file("locked.key"), false});
    window.chkTls->setChecked(true);
    window.show();
    QString label;
    std::optional<QLineEdit::EchoMode> echo;
    QTimer answer;
    int ticks = 0;
    connect(&answer, &QTimer::timeout, this, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        auto* edit = dialog ? dialog->findChild<QLineEdit*>("txtPassphrase") : nullptr;
        if (!edit) {
            if (++ticks > 250)
                answer.stop();
            return;
        }
        answer.stop();
        label = dialog->findChild<QLabel*>("lblPassphrase")->text();
        echo = edit->echoMode();
        QTest::keyClicks(edit, testtls::Passphrase);
        QTest::keyClick(edit, Qt::Key_Return);
    });
    answer.start(20);
    testwindow::startListening(window, testpeer::unusedPort());
    QVERIFY2(echo.has_value(), "no passphrase dialog");
    QCOMPARE(*echo, QLineEdit::Password);
    QVERIFY2(label.contains(file("locked.key")), qPrintable(label));
    QCOMPARE(window.connection().connState(), State::stateListening);
}

QTEST_MAIN(tst_Tls)
#include "tst_tls.moc"

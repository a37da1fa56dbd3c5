// The capture of real sessions: the window against real servers from Debian
// (Python's web server, openssl's, aiosmtpd), written live as the session
// goes, and read back by tshark: each direction's bytes exactly, the
// protocol dissected with no complaint, and the same file from Save As.

#include "frmpellix.h"
#include "tlspeer.h"
#include "transcriptview.h"
#include "tsharkreader.h"
#include "windowdriver.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int WaitMs = 15000;

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A line to send from the send box, and what must show before the next.
struct Exchange {
    QString send;
    QString reply;
};

} // namespace

class tst_CaptureSession : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sessionIsDissected_data();
    void sessionIsDissected();
    void listenWithTwoPeersInTurn();

private:
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString transcript() const { return m_window->txtDati->plainText(); }
    // The bytes of one origin in the transcript, in order.
    QByteArray bytesFrom(TextOrigin origin) const;
    // Starts the capture at path, the transcript so far first.
    bool capture(const QString& path);
    // Saves the transcript as a capture: the same bytes as the live file.
    void checkSavedAsLive(const QString& live);

    QTemporaryDir m_dir;
    std::unique_ptr<frmPellix> m_window;
};

void tst_CaptureSession::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(testtls::makeCertificates(m_dir.path()), "the openssl command made no certificates");
}

void tst_CaptureSession::init()
{
    m_window = std::make_unique<frmPellix>(testwindow::loopbackHooks());
    m_window->connection().setTlsSettings({file("ca.pem"), {}, {}, false});
    m_window->show();
}

void tst_CaptureSession::cleanup()
{
    m_window.reset();
}

QByteArray tst_CaptureSession::bytesFrom(TextOrigin origin) const
{
    const TranscriptView& view = *m_window->txtDati;
    const TranscriptOrigins& origins = view.origins();
    QByteArray bytes;
    for (qsizetype i = 0; i < origins.runCount(); ++i) {
        if (origins.run(i).origin != origin)
            continue;
        const qint64 start = origins.run(i).start;
        bytes += view.store().bytes().sliced(start, origins.runEnd(i, view.length()) - start);
    }
    return bytes;
}

bool tst_CaptureSession::capture(const QString& path)
{
    m_window->startCapture(TranscriptCapture::open(path, nullptr));
    return m_window->txtDati->isCapturing();
}

void tst_CaptureSession::checkSavedAsLive(const QString& live)
{
    const QString saved = live + QStringLiteral(".saved");
    QString reason;
    QVERIFY2(m_window->txtDati->saveAs(saved, &reason, SaveFormat::Capture), qPrintable(reason));
    QCOMPARE(fileBytes(saved), fileBytes(live));
}

void tst_CaptureSession::sessionIsDissected_data()
{
    QTest::addColumn<QStringList>("server"); // the program and its arguments; PORT its port
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QList<Exchange>>("exchanges");
    QTest::addColumn<QString>("protocol"); // what tshark is told the port carries
    QTest::addColumn<QStringList>("dissected"); // filters that must each match a packet

    const QList<Exchange> get = {{"GET / HTTP/1.0\n\n", "Disconnected"}};
    const QStringList http = {"http.request.method == \"GET\"", "http.response.code == 200"};
    QTest::newRow("http")
        << QStringList{"/usr/bin/python3", "-m", "http.server", "PORT", "--bind", "127.0.0.1"}
        << "127.0.0.1" << false << get << "http" << http;
    QTest::newRow("http-ipv6")
        << QStringList{"/usr/bin/python3", "-m", "http.server", "PORT", "--bind", "::1"} << "::1" << false
        << get << "http" << http;
    // openssl's web server over TLS: the capture holds the HTTP in clear.
    QTest::newRow("https")
        << QStringList{"openssl", "s_server", "-quiet", "-WWW", "-accept", "PORT", "-cert",
                       "good.pem", "-key", "good.key"}
        << "127.0.0.1" << true << QList<Exchange>{{"GET /ca.pem HTTP/1.0\n\n", "Disconnected"}}
        << "http" << QStringList{"http.request.uri == \"/ca.pem\"", "http.response.code == 200"};
    QTest::newRow("smtp")
        << QStringList{"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:PORT"} << "127.0.0.1"
        << false
        << QList<Exchange>{{"", "220 "},
                           {"EHLO me\n", "250 HELP"},
                           {"MAIL FROM:<a@example.org>\n", "250 OK"},
                           {"RCPT TO:<b@example.org>\n", "250 OK\r\n"},
                           {"DATA\n", "354 "},
                           {"Subject: hello\n\nbody\n.\n", "250 OK"},
                           {"QUIT\n", "Disconnected"}}
        << "smtp"
        << QStringList{"smtp.req.command == \"EHLO\"", "smtp.response.code == 354",
                       "imf.subject == \"hello\""};
}

void tst_CaptureSession::sessionIsDissected()
{
    QFETCH(QStringList, server);
    QFETCH(QString, host);
    QFETCH(bool, tls);
    QFETCH(QList<Exchange>, exchanges);
    QFETCH(QString, protocol);
    QFETCH(QStringList, dissected);

    const quint16 port = testpeer::unusedPort();
    const QString program = server.takeFirst();
    server.replaceInStrings(QStringLiteral("PORT"), QString::number(port));
    QProcess peer;
    peer.setWorkingDirectory(m_dir.path());
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(program, server);
    QVERIFY2(peer.waitForStarted(), qPrintable(program + " did not start"));
    QTRY_VERIFY2_WITH_TIMEOUT(
        (host == u"::1" ? testpeer::Peer::connectTo6(port) : testpeer::Peer::connectTo(port)).isOpen(),
        qPrintable(program + " did not listen"), WaitMs);

    const QString path = file(QString::fromLatin1(QTest::currentDataTag()) + ".pcapng");
    QVERIFY(capture(path));
    m_window->chkTls->setChecked(tls);
    m_window->txtHostConn->setText(host);
    m_window->txtPortConn->setText(QString::number(port));
    QTest::mouseClick(m_window->cmdConnetti, Qt::LeftButton);
    QVERIFY2(m_window->connection().connState() == ConnectionControl::stateConnected,
             qPrintable(transcript()));
    for (const Exchange& e : exchanges) {
        const qsizetype from = transcript().size();
        if (!e.send.isEmpty()) {
            m_window->txtInvia->setPlainText(e.send);
            QTest::mouseClick(m_window->cmdSend, Qt::LeftButton);
        }
        QTRY_VERIFY2_WITH_TIMEOUT(transcript().indexOf(e.reply, from) >= 0,
                                  qPrintable(transcript()), WaitMs);
    }
    peer.kill();
    peer.waitForFinished();

    const QStringList decodeAs = {"-d", QStringLiteral("tcp.port==%1,%2").arg(port).arg(protocol)};
    const auto sides = testcapture::follow(path, 0);
    QCOMPARE(sides[0], bytesFrom(TextOrigin::Sent));
    QCOMPARE(sides[1], bytesFrom(TextOrigin::Received));
    QVERIFY(!sides[1].isEmpty());
    const QStringList problems = testcapture::problems(path, decodeAs);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    for (const QString& filter : dissected)
        QVERIFY2(!testcapture::fields(path, {"frame.number"}, filter, decodeAs).isEmpty(),
                 qPrintable(filter));
    // Pellix's own lines are comments, the TLS one among them when it was.
    const QString comments = testcapture::fields(path, {"frame.comment"}).join(u'\n');
    QVERIFY2(comments.contains(QStringLiteral("Connected to: ") + host), qPrintable(comments));
    QCOMPARE(comments.contains(u"TLS: the payload is the decrypted stream"), tls);
    QVERIFY(testcapture::run("capinfos", {path}).ran);
    checkSavedAsLive(path);
}

// A listener's peers one after the other: a conversation each, the peer
// opening it from its own port.
void tst_CaptureSession::listenWithTwoPeersInTurn()
{
    const QString path = file(QStringLiteral("listen.pcapng"));
    QVERIFY(capture(path));
    const quint16 port = testpeer::unusedPort();
    testwindow::startListening(*m_window, port);
    QCOMPARE(m_window->connection().connState(), ConnectionControl::stateListening);

    const QList<QByteArray> said = {"first peer\r\n", "second peer\r\n"};
    QList<quint16> peerPorts;
    for (const QByteArray& words : said) {
        testpeer::Peer peer = testpeer::Peer::connectTo(port);
        QVERIFY(peer.isOpen());
        peerPorts.append(testpeer::localPort(peer.fd()));
        QVERIFY(peer.send(words));
        QTRY_VERIFY_WITH_TIMEOUT(transcript().endsWith(QString::fromLatin1(words)), WaitMs);
        m_window->txtInvia->setPlainText(QStringLiteral("bye\n"));
        QTest::mouseClick(m_window->cmdSend, Qt::LeftButton);
        QCOMPARE(peer.read(5), QByteArray("bye\r\n"));
        peer.close();
        QTRY_VERIFY_WITH_TIMEOUT(transcript().endsWith(QStringLiteral("Disconnected\r\n")), WaitMs);
    }

    for (int stream = 0; stream < 2; ++stream) {
        const auto sides = testcapture::follow(path, stream);
        QCOMPARE(sides[0], said.at(stream));
        QCOMPARE(sides[1], QByteArray("bye\r\n"));
    }
    QCOMPARE(testcapture::fields(path, {"tcp.srcport", "tcp.dstport"}, "tcp.flags == 0x002"),
             (QStringList{QStringLiteral("%1|%2").arg(peerPorts.at(0)).arg(port),
                          QStringLiteral("%1|%2").arg(peerPorts.at(1)).arg(port)}));
    QCOMPARE(testcapture::fields(path, {"tcp.stream"}, "tcp.flags.fin == 1"),
             (QStringList{"0", "0", "1", "1"}));
    const QStringList problems = testcapture::problems(path);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    checkSavedAsLive(path);
}

QTEST_MAIN(tst_CaptureSession)
#include "tst_capturesession.moc"

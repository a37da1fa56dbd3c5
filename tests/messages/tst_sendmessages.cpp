// Saved messages end to end: the real window sends them to real loopback
// peers, by key, by the Messages window and on connect, in Connect and in a
// relay; repeats stop when the connection ends and skip what the peer does
// not take.

#include "frmpellix.h"
#include "messagelist.h"
#include "messagesender.h"
#include "messageswindow.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QAction>
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <sys/socket.h>

using State = ConnectionControl::State;

namespace {

Message message(const QString& name, const QString& text, const QString& key = {}, int everyMs = 0,
                bool onConnect = false)
{
    Message m;
    m.name = name;
    m.text = text;
    m.key = key;
    m.everyMs = everyMs;
    m.onConnect = onConnect;
    return m;
}

using testwindow::readNow;
using testwindow::readWhileRunning;

} // namespace

class tst_SendMessages : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sendToPeer_data();
    void sendToPeer();
    void repeats_data();
    void repeats();
    void preambleOnEveryConnection_data();
    void preambleOnEveryConnection();

private:
    QByteArray bytesFrom(TextOrigin origin) const
    {
        return testwindow::bytesFrom(*m_window->txtDati, origin);
    }
    bool waitForText(const QString& text, int ms = 5000);
    // A relay from a fresh local port to server: its client's end, and the
    // server's end of the pair (closed when the pair was not made).
    std::pair<testpeer::Peer, testpeer::Peer> openRelay(testpeer::Listener& server);

    std::unique_ptr<frmPellix> m_window;
};

void tst_SendMessages::init()
{
    m_window = std::make_unique<frmPellix>(testwindow::loopbackHooks());
    m_window->connection().setConnectTimeLimit(std::chrono::milliseconds(3000));
    m_window->show();
    // The keys are the main window's: it must be the active one.
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void tst_SendMessages::cleanup()
{
    m_window.reset();
}

bool tst_SendMessages::waitForText(const QString& text, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!m_window->txtDati->plainText().contains(text) && !deadline.hasExpired())
        QTest::qWait(5);
    return m_window->txtDati->plainText().contains(text);
}

std::pair<testpeer::Peer, testpeer::Peer> tst_SendMessages::openRelay(testpeer::Listener& server)
{
    frmPellix& w = *m_window;
    w.txtPort->setText(QString::number(testpeer::unusedPort()));
    w.txtPortConn->setText(QString::number(server.port()));
    QTest::mouseClick(w.cmdRelay, Qt::LeftButton, {}, QPoint(6, 10));
    testpeer::Peer client = testpeer::Peer::connectTo(w.txtPort->text().toUShort());
    QDeadlineTimer deadline(5000);
    while (w.connection().connState() != State::stateRelayed && !deadline.hasExpired())
        QTest::qWait(5);
    return {std::move(client), server.accept(1000)};
}

void tst_SendMessages::sendToPeer_data()
{
    QTest::addColumn<int>("relaySide"); // -1 Connect, else the RelaySide sent to
    QTest::addColumn<QString>("how");
    QTest::newRow("Connect, F2 in the transcript") << -1 << "F2 transcript";
    QTest::newRow("Connect, F5 in the send box") << -1 << "F5 send box";
    QTest::newRow("Connect, the window's Send") << -1 << "button";
    QTest::newRow("Connect, on connect") << -1 << "on connect";
    QTest::newRow("relay to the server, F2") << int(RelaySide::Server) << "F2 transcript";
    QTest::newRow("relay to the client, Enter in the window") << int(RelaySide::Client) << "Enter";
    QTest::newRow("Connect, a rule answers a PING split in two") << -1 << "rule";
    QTest::newRow("relay, a rule answers the server's PING") << int(RelaySide::Server) << "rule";
}

void tst_SendMessages::sendToPeer()
{
    QFETCH(int, relaySide);
    QFETCH(QString, how);
    frmPellix& w = *m_window;
    // Escapes, a typed line break (the line end, CR LF) and the bytes of a
    // second message around it that must not go.
    const QByteArray expected("A\x02\r\nB\\\0", 7);
    Message frame = message("frame", "A\\x02\nB\\\\\\0", how.startsWith(u"F5") ? "F5" : "F2", 0,
                            how == u"on connect");
    if (how == u"rule")
        frame.rule = Message::Rule{QStringLiteral("PING\\r\\n")};
    w.messages->setMessages({message("other", "no", "F4"), frame});
    testpeer::Listener server;
    testpeer::Peer near, far;
    if (relaySide < 0) {
        far = testwindow::connectTo(w, server);
    } else {
        std::tie(near, far) = openRelay(server);
        w.setSendTarget(RelaySide(relaySide));
    }
    QVERIFY(far.isOpen());

    if (how.endsWith(u"transcript"))
        QTest::keyClick(w.txtDati, Qt::Key_F2);
    else if (how.endsWith(u"send box"))
        QTest::keyClick(w.txtInvia, Qt::Key_F5);
    else if (how == u"rule") {
        // Two writes, the second once the first has been read and shown.
        QVERIFY(far.send("PI"));
        const TextOrigin heard = relaySide < 0 ? TextOrigin::Received : TextOrigin::FromServer;
        QTRY_COMPARE_WITH_TIMEOUT(bytesFrom(heard), QByteArray("PI"), 5000);
        QVERIFY(far.send("NG\r\n"));
    } else if (how != u"on connect") {
        w.showMessagesWindow();
        w.messagesWindow->selectRow(1);
        if (how == u"button")
            QTest::mouseClick(w.messagesWindow->cmdSend, Qt::LeftButton);
        else
            QTest::keyClick(w.messagesWindow->tblMessages, Qt::Key_Return);
    }
    testpeer::Peer& target = relaySide == int(RelaySide::Client) ? near : far;
    QCOMPARE(readWhileRunning(target, expected.size()), expected);
    QTest::qWait(50);
    QCOMPARE(readNow(target), QByteArray());
    if (relaySide >= 0)
        QCOMPARE(readNow(relaySide == int(RelaySide::Client) ? far : near),
                 how == u"rule" ? QByteArray("PING\r\n") : QByteArray()); // relayed as it came
    // Local Echo shows exactly what went, in the colours of sent bytes.
    const TextOrigin echo = relaySide < 0 ? TextOrigin::Sent
        : relaySide == int(RelaySide::Client) ? TextOrigin::ToClient : TextOrigin::ToServer;
    QCOMPARE(bytesFrom(echo), expected);
    QCOMPARE(w.txtInvia->toPlainText(), QString());
}

void tst_SendMessages::repeats_data()
{
    QTest::addColumn<bool>("serverStopsReading");
    QTest::newRow("Connect: stops when the peer closes") << false;
    QTest::newRow("relay: skips beats the server does not take") << true;
}

void tst_SendMessages::repeats()
{
    QFETCH(bool, serverStopsReading);
    frmPellix& w = *m_window;
    w.messages->setMessages({message("beat", "beat\\r\\n", {}, 10)});
    testpeer::Listener server;
    testpeer::Peer client, far;
    qint64 flood = 0;
    if (!serverStopsReading) {
        far = testwindow::connectTo(w, server);
    } else {
        // The client floods a server that does not read, until the relay
        // holds bytes for it: the server takes nothing more.
        std::tie(client, far) = openRelay(server);
        const QByteArray block(65536, 'f');
        QDeadlineTimer deadline(10000);
        const Endpoint* toServer = nullptr;
        while (!((toServer = w.connection().relayEndpoint(RelaySide::Server)) && toServer->queued() > 0)
               && !deadline.hasExpired()) {
            const ssize_t n = ::send(client.fd(), block.constData(), size_t(block.size()),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            flood += qMax<ssize_t>(n, 0);
            QTest::qWait(1);
        }
        QVERIFY(toServer && toServer->queued() > 0);
    }
    QVERIFY(far.isOpen());
    w.showMessagesWindow();
    w.messagesWindow->selectRow(0);
    QTest::mouseClick(w.messagesWindow->cmdRepeat, Qt::LeftButton);
    QVERIFY(waitForText("Repeating 'beat' every 10 ms"));
    QCOMPARE(w.messagesWindow->cmdRepeat->text(), QStringLiteral("Stop &Repeat"));
    MessageSchedule& schedule = w.messageSender->schedule();

    if (!serverStopsReading) {
        QCOMPARE(readWhileRunning(far, 18).left(18), QByteArray("beat\r\nbeat\r\nbeat\r\n"));
        far.close();
        QVERIFY(waitForText("Stopped repeating 'beat': disconnected"));
        QVERIFY(schedule.isEmpty());
        QCOMPARE(w.connection().connState(), State::stateIdle);
        QCOMPARE(w.messagesWindow->cmdRepeat->text(), QStringLiteral("&Repeat"));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(schedule.skipped("beat") > 2, 5000);
    // Every beat met the relay's queue for the server: none went behind it.
    QCOMPARE(schedule.sent("beat"), 0);
    QTest::mouseClick(w.messagesWindow->cmdRepeat, Qt::LeftButton);
    QVERIFY(waitForText("Stopped repeating 'beat': stopped by the user ("));
    QVERIFY(w.txtDati->plainText().contains("skipped: the peer did not take the bytes in time)"));
    // The pair stays, and the server gets the flood and nothing queued after it.
    QCOMPARE(w.connection().connState(), State::stateRelayed);
    QCOMPARE(bytesFrom(TextOrigin::ToServer), QByteArray());
    QCOMPARE(readWhileRunning(far, flood, 20000).size(), flood);
    QTest::qWait(50);
    QCOMPARE(readNow(far), QByteArray());
}


void tst_SendMessages::preambleOnEveryConnection_data()
{
    QTest::addColumn<bool>("listen");
    QTest::newRow("Listen: each peer accepted") << true;
    QTest::newRow("Connect: again after each reconnect") << false;
}

void tst_SendMessages::preambleOnEveryConnection()
{
    QFETCH(bool, listen);
    frmPellix& w = *m_window;
    w.messages->setMessages({message("login", "user\\r\\n", {}, 0, true),
                             message("pass", "secret\\r\\n", {}, 0, true)});
    const QByteArray preamble("user\r\nsecret\r\n");
    testpeer::Listener server;
    testpeer::Peer far;
    if (listen) {
        const quint16 port = testpeer::unusedPort();
        testwindow::startListening(w, port);
        far = testpeer::Peer::connectTo(port);
    } else {
        w.connection().setReconnectWaits(std::chrono::milliseconds(50),
                                         std::chrono::milliseconds(50));
        w.connection().setReconnect(true);
        far = testwindow::connectTo(w, server);
    }
    QCOMPARE(readWhileRunning(far, preamble.size()), preamble);
    // The peer goes; the next connection, whichever way it comes, hears the
    // preamble again, in the list's order.
    far.close();
    if (listen)
        far = testpeer::Peer::connectTo(w.txtPort->text().toUShort());
    // The window's own ticks make the next try.
    for (QDeadlineTimer deadline(5000); !far.isOpen() && !deadline.hasExpired();) {
        QTest::qWait(20);
        far = server.accept(1);
    }
    QVERIFY(far.isOpen());
    QCOMPARE(readWhileRunning(far, preamble.size()), preamble);
}

QTEST_MAIN(tst_SendMessages)
#include "tst_sendmessages.moc"

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

QByteArray readNow(testpeer::Peer& peer)
{
    QByteArray all;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(peer.fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        all.append(buffer, n);
    return all;
}

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

private:
    // Reads from peer, the event loop running, until count bytes have come.
    QByteArray readWhileRunning(testpeer::Peer& peer, qsizetype count, int ms = 5000);
    // The bytes of one origin in the transcript, in order.
    QByteArray bytesFrom(TextOrigin origin) const;
    bool waitForText(const QString& text, int ms = 5000);

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

QByteArray tst_SendMessages::readWhileRunning(testpeer::Peer& peer, qsizetype count, int ms)
{
    QByteArray got;
    QDeadlineTimer deadline(ms);
    while (got.size() < count && !deadline.hasExpired()) {
        got += readNow(peer);
        if (got.size() < count)
            QTest::qWait(2);
    }
    return got;
}

QByteArray tst_SendMessages::bytesFrom(TextOrigin origin) const
{
    const TranscriptOrigins& origins = m_window->txtDati->origins();
    const QByteArrayView all = m_window->txtDati->store().bytes();
    QByteArray out;
    for (qsizetype i = 0; i < origins.runCount(); ++i)
        if (origins.run(i).origin == origin)
            out += all.sliced(origins.run(i).start,
                              origins.runEnd(i, all.size()) - origins.run(i).start);
    return out;
}

bool tst_SendMessages::waitForText(const QString& text, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!m_window->txtDati->plainText().contains(text) && !deadline.hasExpired())
        QTest::qWait(5);
    return m_window->txtDati->plainText().contains(text);
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
        w.txtPort->setText(QString::number(testpeer::unusedPort()));
        w.txtPortConn->setText(QString::number(server.port()));
        QTest::mouseClick(w.cmdRelay, Qt::LeftButton, {}, QPoint(6, 10));
        near = testpeer::Peer::connectTo(w.txtPort->text().toUShort());
        QTRY_COMPARE_WITH_TIMEOUT(w.connection().connState(), State::stateRelayed, 5000);
        far = server.accept(1000);
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
    QTest::addColumn<bool>("peerStopsReading");
    QTest::newRow("stops when the peer closes") << false;
    QTest::newRow("skips beats the peer does not take") << true;
}

void tst_SendMessages::repeats()
{
    QFETCH(bool, peerStopsReading);
    frmPellix& w = *m_window;
    // Large beats fill the small window of a peer that does not read.
    const QString text = peerStopsReading ? QString(4000, u'x') : QStringLiteral("tick\\r\\n");
    w.messages->setMessages({message("beat", text, {}, 10)});
    testpeer::Listener server;
    if (peerStopsReading) {
        const int small = 4096;
        ::setsockopt(server.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    testpeer::Peer far = testwindow::connectTo(w, server);
    QVERIFY(far.isOpen());
    w.showMessagesWindow();
    w.messagesWindow->selectRow(0);
    QTest::mouseClick(w.messagesWindow->cmdRepeat, Qt::LeftButton);
    QVERIFY(waitForText("Repeating 'beat' every 10 ms"));
    QCOMPARE(w.messagesWindow->cmdRepeat->text(), QStringLiteral("Stop &Repeat"));
    MessageSchedule& schedule = w.messageSender->schedule();

    if (!peerStopsReading) {
        QCOMPARE(readWhileRunning(far, 18).left(18), QByteArray("tick\r\ntick\r\ntick\r\n"));
        far.close();
        QVERIFY(waitForText("Stopped repeating 'beat': disconnected"));
        QVERIFY(schedule.isEmpty());
        QCOMPARE(w.connection().connState(), State::stateIdle);
        QCOMPARE(w.messagesWindow->cmdRepeat->text(), QStringLiteral("&Repeat"));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(schedule.skipped("beat") > 0, 15000);
    QTest::mouseClick(w.messagesWindow->cmdRepeat, Qt::LeftButton);
    QVERIFY(waitForText("Stopped repeating 'beat': stopped by the user ("));
    QVERIFY(w.txtDati->plainText().contains("skipped: the peer did not take the bytes in time)"));
    // Nothing was queued in Pellix, and the connection stays open: the peer
    // gets exactly the beats that went out (and show) once it reads again.
    QCOMPARE(w.connection().connState(), State::stateConnected);
    const QByteArray sent = bytesFrom(TextOrigin::Sent);
    QCOMPARE(sent.size() % 4000, 0);
    QCOMPARE(readWhileRunning(far, sent.size(), 10000), sent);
}

QTEST_MAIN(tst_SendMessages)
#include "tst_sendmessages.moc"

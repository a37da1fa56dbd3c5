// The connection handlers driven through the real window, headless, against
// real peers on the loopback. The poll timer is stopped; tests step it by
// calling its handler.

#include "frmpellix.h"
#include "loopbackpeer.h"
#include "windowdriver.h"
#include "transcriptview.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextCursor>
#include <QTimer>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <sys/ioctl.h>

#include <atomic>
#include <memory>

using testpeer::Listener;
using testpeer::Peer;
using State = ConnectionControl::State;

Q_DECLARE_METATYPE(Qt::CheckState)
Q_DECLARE_METATYPE(Qt::KeyboardModifiers)

namespace {

const QString CrLf = QStringLiteral("\r\n");

QByteArray allByteValues()
{
    QByteArray bytes(256, 0);
    for (int i = 0; i < 256; ++i)
        bytes[i] = char(i);
    return bytes;
}

} // namespace

class tst_Connection : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Connect
    void connectWithListener();
    void connectWithoutListener();
    void connectHostTexts_data();
    void connectHostTexts();
    void portTextsThatDoNothing_data();
    void portTextsThatDoNothing();
    void portTextsThatWrap();
    void statusLinePlacement_data();
    void statusLinePlacement();
    void connectOnlyWhenIdle();
    void connectOverIpv6_data();
    void connectOverIpv6();
    void connectWaitIsBounded_data();
    void connectWaitIsBounded();
    void closingWhileConnectWaits();
    void connectWaitShowsBusy_data();
    void connectWaitShowsBusy();

    // Receive and disconnect
    void receiveAppendsRaw();
    void receiveTakesAtMost8192PerTick();
    void receiveKeepsEveryByte();
    void peerCloses_data();
    void peerCloses();
    void peerResets();
    void sendBufferFullAtATickDisconnects();
    void dataThenCloseInOneBurst();
    void disconnectDropsWaitingData();
    void disconnectOutsideAConnectionDoesNothing();

    // Send and echo
    void sendBox_data();
    void sendBox();
    void sendBoxKeepsLatin1AndEchoesWhatWentOut();
    void emptySendBoxDisconnects_data();
    void emptySendBoxDisconnects();
    void keys_data();
    void keys();
    void keysOutsideAConnectionDoNothing();
    void sendsBytes_data();
    void sendsBytes();
    void keyAfterPeerResetDisconnects_data();
    void keyAfterPeerResetDisconnects();
    void lineEnds_data();
    void lineEnds();
    void recallKeys_data();
    void recallKeys();

    // Listen and accept
    void listenPortTextsThatDoNothing_data();
    void listenPortTextsThatDoNothing();
    void listenPortTextsThatWrapOrRound_data();
    void listenPortTextsThatWrapOrRound();
    void listenOnDefaultPort();
    void listenTakesBothFamilies_data();
    void listenTakesBothFamilies();
    void listenAcceptAndStop();
    void listenOnPortInUse();
    void secondPeerWaitsForTheFirst();
    void sinceConnectedCountsFromEachPeer();

    // Shut-down and resources
    void unload_data();
    void unload();
    void noDescriptorLeaks();

private:
    frmPellix& w() { return *m_window; }
    ConnectionControl& conn() { return m_window->connection(); }
    QString transcript() const { return m_window->txtDati->plainText(); }
    void tick(int times = 1)
    {
        for (int i = 0; i < times; ++i)
            conn().tmrReceive_Timer();
    }
    // Ticks until the transcript grows to `length` characters or 5 s pass.
    bool tickUntilLength(qint64 length);
    // Waits until what the peer did (data, a connection, a close or a reset)
    // has reached the window's socket s, for at most 5 s: the next tick then
    // sees it, however busy the machine.
    static bool arrived(mWinsock2::SocketHandle s)
    {
        return testpeer::waitFor(int(s), POLLIN | POLLRDHUP, 5000);
    }
    // ... until the peer's close or reset has reached s, data before it too.
    static bool closeArrived(mWinsock2::SocketHandle s)
    {
        return testpeer::waitFor(int(s), POLLRDHUP, 5000);
    }
    static int queuedBytes(mWinsock2::SocketHandle s)
    {
        int count = 0;
        return ::ioctl(int(s), FIONREAD, &count) == 0 ? count : -1;
    }
    void clearTranscript() { m_window->cmdClear_Click(); }

    Peer connectTo(Listener& listener) { return testwindow::connectTo(w(), listener); }
    // Makes the window listen and accept one peer; returns that peer.
    Peer listenAndAccept(quint16* port = nullptr);
    void startListening(quint16 port) { testwindow::startListening(w(), port); }
    void checkRow(State state) { testwindow::checkRow(w(), state); }

    std::unique_ptr<frmPellix> m_window;
    int m_cleanups = 0;
    std::function<void()> m_onCleanup;
};

void tst_Connection::init()
{
    m_cleanups = 0;
    m_onCleanup = nullptr;
    frmPellix::Hooks hooks = testwindow::loopbackHooks();
    hooks.platform.cleanup = [this] {
        ++m_cleanups;
        if (m_onCleanup)
            m_onCleanup();
    };
    m_window = std::make_unique<frmPellix>(hooks);
    m_window->tmrReceive->stop();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Connection::cleanup()
{
    m_window.reset();
}

bool tst_Connection::tickUntilLength(qint64 length)
{
    QElapsedTimer t;
    t.start();
    while (m_window->txtDati->length() < length && t.elapsed() < 5000) {
        tick();
        if (m_window->txtDati->length() < length)
            QTest::qWait(2);
    }
    return m_window->txtDati->length() == length;
}

Peer tst_Connection::listenAndAccept(quint16* port)
{
    const quint16 p = testpeer::unusedPort();
    if (port)
        *port = p;
    startListening(p);
    Peer peer = Peer::connectTo(p);
    if (arrived(conn().listenSocket()))
        tick();
    return peer;
}

// --- Connect -------------------------------------------------------------------

void tst_Connection::connectWithListener()
{
    Listener listener;
    const QString before = transcript();
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    QCOMPARE(transcript(), before + "Connected to: 127.0.0.1" + CrLf);
    checkRow(ConnectionControl::stateConnected);
    // A status line leaves the caret at the start.
    QCOMPARE(w().txtDati->caretPosition(), 0);
}

void tst_Connection::connectWithoutListener()
{
    w().txtPortConn->setText(QString::number(testpeer::unusedPort()));
    const int descriptors = testpeer::openDescriptorCount();
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    QCOMPARE(transcript(), frmPellix::BannerLine() + CrLf + "Failed connection to: 127.0.0.1" + CrLf);
    checkRow(ConnectionControl::stateIdle);
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);

    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    checkRow(ConnectionControl::stateConnected);
}

void tst_Connection::connectHostTexts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("line");
    QTest::newRow("dotted") << "127.0.0.1" << "Connected to: 127.0.0.1";
    QTest::newRow("short form") << "127.1" << "Connected to: 127.0.0.1";
    QTest::newRow("other loopback") << "127.0.0.2" << "Failed connection to: 127.0.0.2";
    QTest::newRow("name") << "localhost" << "Connected to: 127.0.0.1";
    QTest::newRow("unresolvable name") << "no-such-host.invalid" << "Failed connection to: 255.255.255.255";
    QTest::newRow("empty") << "" << "Failed connection to: 255.255.255.255";
    QTest::newRow("100 KB name") << QString(100 * 1024, u'a') << "Failed connection to: 255.255.255.255";
    QTest::newRow("control characters") << QString::fromLatin1("127.0.0.1\x01\x7f") << "Failed connection to: 255.255.255.255";
    QTest::newRow("NUL inside") << QString::fromLatin1("127.0.0.1\0x", 11) << "Failed connection to: 255.255.255.255";
    QTest::newRow("non-Latin-1") << QString::fromUtf8("h\xC3\xB6st\xE2\x82\xAC") << "Failed connection to: 255.255.255.255";
    QTest::newRow("IPv6, refused") << "::1" << "Failed connection to: ::1";
    QTest::newRow("IPv6, long form") << "0:0:0:0:0:0:0:1" << "Failed connection to: ::1";
    QTest::newRow("IPv6, bad form") << "::1::2" << "Failed connection to: 255.255.255.255";
    QTest::newRow("IPv6, brackets") << "[::1]" << "Failed connection to: 255.255.255.255";
    QTest::newRow("IPv4-mapped IPv6") << "::ffff:127.0.0.1" << "Connected to: 127.0.0.1";
    QTest::newRow("both families, IPv4 listens") << "six-first.test" << "Connected to: 127.0.0.1";
}

void tst_Connection::connectHostTexts()
{
    QFETCH(QString, host);
    QFETCH(QString, line);
    Listener listener; // on 127.0.0.1 only
    w().txtHostConn->setText(host);
    clearTranscript();
    Peer peer = connectTo(listener);
    QCOMPARE(transcript(), line + CrLf);
    const bool connected = line.startsWith("Connected");
    QCOMPARE(peer.isOpen(), connected);
    checkRow(connected ? ConnectionControl::stateConnected : ConnectionControl::stateIdle);
}

void tst_Connection::portTextsThatDoNothing_data()
{
    QTest::addColumn<QString>("port");
    for (const char* text : {"", "   ", "abc", "0", "-0", "0e5", "--1", "1e10", "1e309", "1e400",
                             "&HFFFFFFFFF", "99999999999999999999"})
        QTest::newRow(text[0] ? text : "empty") << QString::fromLatin1(text);
    QTest::newRow("control characters") << QString::fromLatin1("\x01\x02");
    QTest::newRow("non-Latin-1") << QString::fromUtf8("\xE2\x82\xAC");
}

void tst_Connection::portTextsThatDoNothing()
{
    QFETCH(QString, port);
    const QString before = transcript();
    const int descriptors = testpeer::openDescriptorCount();
    w().txtPortConn->setText(port);
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    w().txtPort->setText(port);
    QTest::mouseClick(w().cmdStartListen, Qt::LeftButton);
    QCOMPARE(transcript(), before);
    checkRow(ConnectionControl::stateIdle);
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
}

void tst_Connection::portTextsThatWrap()
{
    Listener listener;
    const int p = listener.port();
    const QStringList texts = {QString::number(p + 65536), QString::number(p - 65536),
                               QString::number(p) + ".4", QString::number(p) + "abc",
                               QString::number(p).split("").join(" "),
                               // longer than a line box holds by default
                               QString(40000, u'0') + QString::number(p)};
    for (const QString& text : texts) {
        w().txtPortConn->setText(text);
        QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
        Peer peer = listener.accept();
        QVERIFY2(peer.isOpen(), qPrintable(text));
        checkRow(ConnectionControl::stateConnected);
        conn().cmdDisconnect_Click();
    }
}

void tst_Connection::statusLinePlacement_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("separator");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("two characters") << "ab" << "";
    QTest::newRow("three characters") << "abc" << "\r\n";
    QTest::newRow("ends in CR LF") << "abc\r\n" << "";
    QTest::newRow("ends in LF") << "abc\n" << "\r\n";
}

void tst_Connection::statusLinePlacement()
{
    QFETCH(QString, before);
    QFETCH(QString, separator);
    Listener listener;
    clearTranscript();
    w().txtDati->AppendText(before);
    Peer peer = connectTo(listener);
    QCOMPARE(transcript(), before + separator + "Connected to: 127.0.0.1" + CrLf);
}

void tst_Connection::connectOnlyWhenIdle()
{
    Listener listener;
    Peer first = connectTo(listener);
    const QString before = transcript();
    const auto socket = conn().connSocket();
    conn().cmdConnetti_Click();
    QCOMPARE(transcript(), before);
    QCOMPARE(conn().connSocket(), socket);
    QVERIFY(!listener.accept(50).isOpen());
}

// --- Receive and disconnect ----------------------------------------------------

void tst_Connection::connectOverIpv6_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("literal") << "::1";
    QTest::newRow("both families, IPv6 listens") << "four-first.test";
}

void tst_Connection::connectOverIpv6()
{
    QFETCH(QString, host);
    Listener listener(8, Listener::IPv6);
    if (!listener.port())
        QSKIP("no IPv6 loopback on this machine");
    w().txtHostConn->setText(host);
    clearTranscript();
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    QCOMPARE(transcript(), "Connected to: ::1" + CrLf);
    checkRow(ConnectionControl::stateConnected);

    QVERIFY(peer.send("from \xff"));
    QVERIFY(tickUntilLength(transcript().size() + 6));
    QVERIFY(transcript().endsWith(QString::fromLatin1("from \xff")));
    QTest::keyClick(w().txtDati, Qt::Key_A);
    QCOMPARE(peer.read(1), QByteArray("a"));
}

// A connect whose SYNs are dropped, or a lookup that never answers, fails
// within the limit exactly like a refused connect; meanwhile the window
// keeps painting, and Connect works again afterwards.
void tst_Connection::connectWaitIsBounded_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("line");
    QTest::newRow("SYNs dropped") << "127.0.0.1" << "Failed connection to: 127.0.0.1";
    QTest::newRow("lookup hangs") << "hangs.example" << "Failed connection to: 255.255.255.255";
}

void tst_Connection::connectWaitIsBounded()
{
    QFETCH(QString, host);
    QFETCH(QString, line);
    auto released = std::make_shared<std::atomic<bool>>(false);
    frmPellix::Hooks hooks = testwindow::loopbackHooks();
    hooks.platform.lookup = [released](const std::string&) {
        for (int i = 0; i < 500 && !*released; ++i)
            QThread::msleep(10);
        return std::vector<mWinsock2::SockAddr>{};
    };
    m_window = std::make_unique<frmPellix>(hooks);
    m_window->show();
    conn().setConnectTimeLimit(std::chrono::milliseconds(400));

    testpeer::FullListener full;
    w().txtHostConn->setText(host);
    w().txtPortConn->setText(QString::number(full.port()));
    clearTranscript();
    int paints = 0;
    QTimer repaint;
    connect(&repaint, &QTimer::timeout, this, [&] { w().txtDati->viewport()->update(); });
    repaint.start(50);
    testwindow::PaintCounter counter(w().txtDati->viewport(), paints);

    const int descriptors = testpeer::openDescriptorCount();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    const qint64 took = clock.elapsed();
    *released = true;
    QCOMPARE(transcript(), line + CrLf);
    checkRow(ConnectionControl::stateIdle);
    QVERIFY2(took >= 400 && took < 5000, qPrintable(QString::number(took)));
    QVERIFY2(paints >= 3, qPrintable(QString::number(paints)));
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);

    Listener listener;
    w().txtHostConn->setText(QStringLiteral("127.0.0.1"));
    QVERIFY(connectTo(listener).isOpen());
}

// Closing the window while Connect waits ends the attempt at once; the
// window then closes as it would have: the socket interface shut down once.
void tst_Connection::closingWhileConnectWaits()
{
    testpeer::FullListener full;
    w().txtPortConn->setText(QString::number(full.port()));
    QTimer::singleShot(100, m_window.get(), &QWidget::close);
    const int descriptors = testpeer::openDescriptorCount();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!m_window->isVisible());
    QCOMPARE(m_cleanups, 1);
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
    QCOMPARE(conn().connState(), ConnectionControl::stateIdle);
}

// For the whole wait, however it ends, the pointer is the wait pointer and
// the window reads as busy to assistive technology; afterwards neither.
void tst_Connection::connectWaitShowsBusy_data()
{
    QTest::addColumn<bool>("closeMeanwhile");
    QTest::newRow("limit reached") << false;
    QTest::newRow("window closed") << true;
}

void tst_Connection::connectWaitShowsBusy()
{
    QFETCH(bool, closeMeanwhile);
    conn().setConnectTimeLimit(std::chrono::milliseconds(300));
    testpeer::FullListener full;
    w().txtPortConn->setText(QString::number(full.port()));
    auto busy = [this] { return QAccessible::queryAccessibleInterface(m_window.get())->state().busy; };
    int shapeDuring = -1;
    bool busyDuring = false;
    // At the wait's first look at the window's events.
    QTimer::singleShot(0, m_window.get(), [&] {
        if (const QCursor* cursor = QGuiApplication::overrideCursor())
            shapeDuring = cursor->shape();
        busyDuring = busy();
        if (closeMeanwhile)
            m_window->close();
    });
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    QCOMPARE(shapeDuring, int(Qt::WaitCursor));
    QVERIFY(busyDuring);
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(!busy());
    QCOMPARE(m_window->isVisible(), !closeMeanwhile);
}

void tst_Connection::receiveAppendsRaw()
{
    Listener listener;
    Peer peer = connectTo(listener);
    const QString before = transcript();
    QVERIFY(before.endsWith(CrLf));
    QVERIFY(peer.send("hello"));
    QVERIFY(tickUntilLength(before.size() + 5));
    QCOMPARE(transcript(), before + "hello");
    QCOMPARE(w().txtDati->caretPosition(), w().txtDati->length());
    QCOMPARE(w().txtDati->selectionLength(), 0);
}

void tst_Connection::receiveTakesAtMost8192PerTick()
{
    Listener listener;
    Peer peer = connectTo(listener);
    clearTranscript();
    QByteArray data(20000, 0);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('a' + i % 26);
    QVERIFY(peer.send(data));
    QTRY_VERIFY_WITH_TIMEOUT(queuedBytes(conn().connSocket()) >= data.size(), 5000);
    QList<qint64> lengths;
    for (int i = 0; i < 4; ++i) {
        tick();
        lengths.append(w().txtDati->length());
    }
    QCOMPARE(lengths, (QList<qint64>{8192, 16384, 20000, 20000}));
    QCOMPARE(w().txtDati->store().bytes(), QByteArrayView(data));
}

void tst_Connection::receiveKeepsEveryByte()
{
    Listener listener;
    Peer peer = connectTo(listener);
    clearTranscript();
    const QByteArray data = QByteArray("a\rb\nc\r\nd\0e", 10) + allByteValues() + QByteArray(3, '\0');
    QVERIFY(peer.send(data));
    QVERIFY(tickUntilLength(data.size()));
    QCOMPARE(w().txtDati->store().bytes(), QByteArrayView(data));
    QCOMPARE(transcript(), QString::fromLatin1(data));
}

void tst_Connection::peerCloses_data()
{
    QTest::addColumn<bool>("asServer");
    QTest::newRow("connected as client") << false;
    QTest::newRow("accepted peer") << true;
}

void tst_Connection::peerCloses()
{
    QFETCH(bool, asServer);
    Listener listener;
    Peer peer = asServer ? listenAndAccept() : connectTo(listener);
    QVERIFY(peer.isOpen());
    w().txtDati->AppendText("xyz");
    const QString before = transcript();
    peer.close();
    QVERIFY(closeArrived(conn().connSocket()));
    tick();
    QCOMPARE(transcript(), before + CrLf + "Disconnected" + CrLf);
    checkRow(asServer ? ConnectionControl::stateListening : ConnectionControl::stateIdle);
    QCOMPARE(conn().connSocket(), mWinsock2::InvalidSocket);
}

void tst_Connection::peerResets()
{
    Listener listener;
    Peer peer = connectTo(listener);
    const QString before = transcript();
    peer.reset();
    QVERIFY(closeArrived(conn().connSocket()));
    tick();
    QCOMPARE(transcript(), before + "Disconnected" + CrLf);
    checkRow(ConnectionControl::stateIdle);
}

// A connection whose send buffer stays full is taken as lost at the next tick.
void tst_Connection::sendBufferFullAtATickDisconnects()
{
    Listener listener;
    Peer peer = connectTo(listener); // never reads
    const int fd = int(conn().connSocket());
    const QByteArray block(64 * 1024, 'x');
    while (testpeer::waitFor(fd, POLLOUT, 0))
        if (::send(fd, block.constData(), size_t(block.size()), MSG_DONTWAIT | MSG_NOSIGNAL) <= 0)
            break;
    const QString before = transcript();
    tick();
    QCOMPARE(transcript(), before + "Disconnected" + CrLf);
    checkRow(ConnectionControl::stateIdle);
}

void tst_Connection::dataThenCloseInOneBurst()
{
    Listener listener;
    Peer peer = connectTo(listener);
    clearTranscript();
    QVERIFY(peer.send("last words"));
    peer.close();
    QVERIFY(closeArrived(conn().connSocket()));
    tick();
    QCOMPARE(transcript(), QStringLiteral("last words"));
    QCOMPARE(conn().connState(), ConnectionControl::stateConnected);
    tick();
    QCOMPARE(transcript(), "last words" + CrLf + "Disconnected" + CrLf);
}

void tst_Connection::disconnectDropsWaitingData()
{
    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.send("never shown"));
    QVERIFY(arrived(conn().connSocket()));
    const QString before = transcript();
    QTest::mouseClick(w().cmdDisconnect, Qt::LeftButton);
    QCOMPARE(transcript(), before + "Disconnected" + CrLf);
    QVERIFY(peer.sawClose());
    tick(3);
    QVERIFY(!transcript().contains("never shown"));
    QCOMPARE(w().txtDati->caretPosition(), 0);
}

void tst_Connection::disconnectOutsideAConnectionDoesNothing()
{
    const QString before = transcript();
    conn().cmdDisconnect_Click();
    checkRow(ConnectionControl::stateIdle);
    startListening(testpeer::unusedPort());
    conn().cmdDisconnect_Click();
    checkRow(ConnectionControl::stateListening);
    QCOMPARE(transcript(), before);
}

// --- Send and echo ---------------------------------------------------------------

void tst_Connection::sendBox_data()
{
    QTest::addColumn<Qt::CheckState>("echo");
    QTest::addColumn<bool>("echoed");
    QTest::newRow("echo on") << Qt::Checked << true;
    QTest::newRow("echo off") << Qt::Unchecked << false;
    QTest::newRow("echo grayed") << Qt::PartiallyChecked << false;
}

void tst_Connection::sendBox()
{
    QFETCH(Qt::CheckState, echo);
    QFETCH(bool, echoed);
    Listener listener;
    Peer peer = connectTo(listener);
    w().chkEcho->setCheckState(echo);
    w().txtInvia->setFocus();
    QTest::keyClicks(w().txtInvia, "hello");
    QTest::keyClick(w().txtInvia, Qt::Key_Return);
    QTest::keyClicks(w().txtInvia, "world");
    const QString before = transcript();

    QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    QCOMPARE(peer.read(12), QByteArray("hello\r\nworld"));
    QVERIFY(peer.readFor(50).isEmpty());
    QVERIFY(w().txtInvia->document()->isEmpty());
    QCOMPARE(transcript(), before + (echoed ? "hello\r\nworld" : ""));
    QCOMPARE(w().txtDati->caretPosition(), w().txtDati->length());
}

void tst_Connection::sendBoxKeepsLatin1AndEchoesWhatWentOut()
{
    Listener listener;
    Peer peer = connectTo(listener);
    clearTranscript();
    // A no-break space and a tab must go out as they are; the euro sign has
    // no byte in Latin-1 and goes out as "?".
    w().txtInvia->setPlainText(QString::fromUtf8("a\xC2\xA0" "b\tc\xE2\x82\xAC\xC3\xBF"));
    QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    const QByteArray expected("a\xA0" "b\tc?\xFF");
    QCOMPARE(peer.read(expected.size()), expected);
    QCOMPARE(w().txtDati->store().bytes(), QByteArrayView(expected));
}

void tst_Connection::emptySendBoxDisconnects_data()
{
    peerCloses_data();
}

void tst_Connection::emptySendBoxDisconnects()
{
    QFETCH(bool, asServer);
    Listener listener;
    Peer peer = asServer ? listenAndAccept() : connectTo(listener);
    QVERIFY(peer.isOpen());
    const QString before = transcript();
    QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    QCOMPARE(transcript(), before + "Disconnected" + CrLf);
    checkRow(asServer ? ConnectionControl::stateListening : ConnectionControl::stateIdle);
    QVERIFY(peer.sawClose());
}

void tst_Connection::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("text"); // what the platform reports
    QTest::addColumn<QByteArray>("wire");

    const Qt::KeyboardModifiers none;
    QTest::newRow("letter") << int(Qt::Key_A) << none << "a" << QByteArray("a");
    QTest::newRow("shifted letter") << int(Qt::Key_A) << Qt::KeyboardModifiers(Qt::ShiftModifier) << "A" << QByteArray("A");
    QTest::newRow("Enter") << int(Qt::Key_Return) << none << "\r" << QByteArray("\r\n");
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier) << "\r" << QByteArray("\r\n");
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << none << "\b" << QByteArray("\b");
    QTest::newRow("Escape") << int(Qt::Key_Escape) << none << "\x1b" << QByteArray("\x1b");
    QTest::newRow("Ctrl+J offscreen") << int(Qt::Key_J) << Qt::KeyboardModifiers(Qt::ControlModifier) << "j" << QByteArray("\n");
    QTest::newRow("Ctrl+J on X") << int(Qt::Key_J) << Qt::KeyboardModifiers(Qt::ControlModifier) << "\n" << QByteArray("\n");
    QTest::newRow("Ctrl+M") << int(Qt::Key_M) << Qt::KeyboardModifiers(Qt::ControlModifier) << "m" << QByteArray("\r\n");
    QTest::newRow("Ctrl+A") << int(Qt::Key_A) << Qt::KeyboardModifiers(Qt::ControlModifier) << "a" << QByteArray("\x01");
    QTest::newRow("Ctrl+Shift+Z") << int(Qt::Key_Z) << (Qt::ControlModifier | Qt::ShiftModifier) << "Z" << QByteArray("\x1a");
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << Qt::KeyboardModifiers(Qt::ControlModifier) << "\x03" << QByteArray("\x03");
    QTest::newRow("Ctrl+[") << int(Qt::Key_BracketLeft) << Qt::KeyboardModifiers(Qt::ControlModifier) << "[" << QByteArray("\x1b");
    QTest::newRow("Ctrl+Space") << int(Qt::Key_Space) << Qt::KeyboardModifiers(Qt::ControlModifier) << " " << QByteArray("\0", 1);
    QTest::newRow("Latin-1 letter") << int(Qt::Key_unknown) << none << QString::fromUtf8("\xC3\xA9") << QByteArray("\xE9");
    QTest::newRow("euro sign") << int(Qt::Key_unknown) << none << QString::fromUtf8("\xE2\x82\xAC") << QByteArray("?");
    QTest::newRow("emoji") << int(Qt::Key_unknown) << none << QString::fromUtf8("\xF0\x9F\x98\x80") << QByteArray("?");
    QTest::newRow("two characters") << int(Qt::Key_unknown) << none << "^e" << QByteArray("^e");
    QTest::newRow("Left") << int(Qt::Key_Left) << none << "" << QByteArray();
    QTest::newRow("F1") << int(Qt::Key_F1) << none << "" << QByteArray();
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << Qt::KeyboardModifiers(Qt::ShiftModifier) << "" << QByteArray();
    QTest::newRow("Delete") << int(Qt::Key_Delete) << none << "\x7f" << QByteArray();
    // Find next and previous: the window's, never the peer's.
    QTest::newRow("F3") << int(Qt::Key_F3) << none << "" << QByteArray();
    QTest::newRow("Shift+F3") << int(Qt::Key_F3) << Qt::KeyboardModifiers(Qt::ShiftModifier) << "" << QByteArray();
}

void tst_Connection::keys()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);

    for (bool echo : {false, true}) {
        Listener listener;
        Peer peer = connectTo(listener);
        w().chkEcho->setCheckState(echo ? Qt::Checked : Qt::Unchecked);
        w().txtDati->setFocus();
        clearTranscript();
        w().txtDati->AppendText("abc");

        QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key(key), text, modifiers);
        // A marker key after it shows where its bytes end.
        QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_unknown, QStringLiteral("~"), {});
        QCOMPARE(peer.read(wire.size() + 1), wire + '~');
        const QByteArray shown = echo ? wire + '~' : QByteArray();
        QCOMPARE(w().txtDati->store().bytes(), QByteArrayView("abc" + shown));
        QCOMPARE(w().txtDati->caretPosition(), w().txtDati->length());
        conn().cmdDisconnect_Click();
    }
}

// UTF-8 keys and send box, and the send box in hex: the bytes on the wire,
// the same bytes echoed; a text that is not hex sends nothing, says why and
// keeps the connection.
void tst_Connection::sendsBytes_data()
{
    QTest::addColumn<QString>("via"); // "key", "box" or "hex"
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QString>("error");

    const QString none;
    QTest::newRow("UTF-8 key, Latin-1 letter") << "key" << QString::fromUtf8("\xC3\xA9") << QByteArray("\xC3\xA9") << none;
    QTest::newRow("UTF-8 key, euro sign") << "key" << QString::fromUtf8("\xE2\x82\xAC") << QByteArray("\xE2\x82\xAC") << none;
    QTest::newRow("UTF-8 key, emoji") << "key" << QString::fromUtf8("\xF0\x9F\x98\x80") << QByteArray("\xF0\x9F\x98\x80") << none;
    QTest::newRow("UTF-8 send box") << "box" << QString::fromUtf8("\xC3\xA9\xE2\x82\xAC\nx") << QByteArray("\xC3\xA9\xE2\x82\xAC\r\nx") << none;
    QTest::newRow("hex") << "hex" << "00 01 ff\n0d0A" << QByteArray("\x00\x01\xFF\r\n", 5) << none;
    QTest::newRow("hex, C source") << "hex" << "0x1b, 0x5b" << QByteArray("\x1B[") << none;
    QTest::newRow("hex, not a digit") << "hex" << "00 0g" << QByteArray() << QString::fromUtf8("\xE2\x80\x9Cg\xE2\x80\x9D at column 5 is not a hex digit");
    QTest::newRow("hex, odd digits") << "hex" << "00\n123" << QByteArray() << QString::fromUtf8("\xE2\x80\x9C" "123\xE2\x80\x9D at line 2, column 1 has an odd number");
}

void tst_Connection::sendsBytes()
{
    QFETCH(QString, via);
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    QFETCH(QString, error);

    Listener listener;
    Peer peer = connectTo(listener);
    clearTranscript();
    w().txtDati->setEncoding(TextEncoding::Utf8);
    w().actSendHex->setChecked(via == "hex");
    QCOMPARE(w().txtInvia->placeholderText().isEmpty(), via != "hex");
    if (via == "key") {
        w().txtDati->setFocus();
        QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_unknown, text, {});
    } else {
        w().txtInvia->setPlainText(text);
        QString shown;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->text();
                box->close();
            }
        });
        QTest::mouseClick(w().cmdSend, Qt::LeftButton);
        QVERIFY2(error.isEmpty() ? shown.isEmpty() : shown.contains(error), qPrintable(shown));
        QCOMPARE(w().txtInvia->toPlainText(), error.isEmpty() ? QString() : text);
    }
    QCOMPARE(peer.read(wire.size()) + peer.readFor(50), wire);
    QCOMPARE(w().txtDati->store().bytes(), QByteArrayView(wire));
    checkRow(ConnectionControl::stateConnected);
}

// The line end chosen in the menu: what Enter (and Ctrl+M) in the transcript
// sends, and what each line break of the send box becomes; in hex the breaks
// only separate bytes. The echo shows exactly what went out.
void tst_Connection::lineEnds_data()
{
    QTest::addColumn<QString>("lineEnd"); // the menu's text
    QTest::addColumn<QString>("via");     // "enter", "ctrl+m", "box" or "hex"
    QTest::addColumn<QString>("box");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("CR LF, Enter") << "CR LF" << "enter" << "" << QByteArray("\r\n");
    QTest::newRow("LF, Enter") << "LF" << "enter" << "" << QByteArray("\n");
    QTest::newRow("CR, Enter") << "CR" << "enter" << "" << QByteArray("\r");
    QTest::newRow("None, Enter") << "None" << "enter" << "" << QByteArray();
    QTest::newRow("LF, Ctrl+M") << "LF" << "ctrl+m" << "" << QByteArray("\n");
    QTest::newRow("CR LF, send box") << "CR LF" << "box" << "a\nb\n" << QByteArray("a\r\nb\r\n");
    QTest::newRow("LF, send box") << "LF" << "box" << "a\nb\n" << QByteArray("a\nb\n");
    QTest::newRow("CR, send box") << "CR" << "box" << "a\nb\n" << QByteArray("a\rb\r");
    QTest::newRow("None, send box") << "None" << "box" << "a\nb\n" << QByteArray("ab");
    QTest::newRow("None, send box of breaks only") << "None" << "box" << "\n\n" << QByteArray();
    QTest::newRow("LF, send box in hex") << "LF" << "hex" << "41\n0d 0a\n" << QByteArray("A\r\n");
}

void tst_Connection::lineEnds()
{
    QFETCH(QString, lineEnd);
    QFETCH(QString, via);
    QFETCH(QString, box);
    QFETCH(QByteArray, wire);

    Listener listener;
    Peer peer = connectTo(listener);
    QAction* choice = nullptr;
    for (QAction* action : w().mnuLineEnd->actions())
        if (action->text() == lineEnd)
            choice = action;
    QVERIFY(choice);
    choice->trigger();
    QVERIFY(choice->isChecked());
    QVERIFY2(w().txtInvia->toolTip().contains(lineEnd), qPrintable(w().txtInvia->toolTip()));
    clearTranscript();

    QByteArray expected = wire;
    if (via == "enter" || via == "ctrl+m") {
        w().txtDati->setFocus();
        if (via == "enter")
            QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_Return, QStringLiteral("\r"), {});
        else
            QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_M, QStringLiteral("m"), Qt::ControlModifier);
        // A marker key after it shows where its bytes end.
        QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_unknown, QStringLiteral("~"), {});
        expected += '~';
    } else {
        w().actSendHex->setChecked(via == "hex");
        w().txtInvia->setPlainText(box);
        QTest::mouseClick(w().cmdSend, Qt::LeftButton);
        QVERIFY(w().txtInvia->document()->isEmpty());
    }
    QCOMPARE(peer.read(expected.size(), 2000), expected);
    QVERIFY(peer.readFor(50).isEmpty());
    QCOMPARE(w().txtDati->store().bytes(), QByteArrayView(expected));
    QCOMPARE(conn().connState(), ConnectionControl::stateConnected);
}

// Ctrl+Up and Ctrl+Down in the send box: the texts sent before, newest
// first, and what was being typed at the end. keys: u (Ctrl+Up), d
// (Ctrl+Down), s (the send button).
void tst_Connection::recallKeys_data()
{
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");

    const QStringList three = {"one", "two", "three"};
    QTest::newRow("newest first") << three << "" << "u" << "three";
    QTest::newRow("older at each press") << three << "" << "uu" << "two";
    QTest::newRow("stops at the oldest") << three << "" << "uuuuu" << "one";
    QTest::newRow("back down") << three << "" << "uud" << "three";
    QTest::newRow("back to what was typed") << three << "draft" << "uudd" << "draft";
    QTest::newRow("nothing newer than what is typed") << three << "draft" << "dd" << "draft";
    QTest::newRow("no entry twice in a row") << QStringList{"one", "two", "two"} << "" << "uu" << "one";
    QTest::newRow("nothing sent yet") << QStringList() << "draft" << "u" << "draft";
    QTest::newRow("several lines come back whole") << QStringList{"a\nb"} << "" << "u" << "a\nb";
    QTest::newRow("sent again from the recall: newest") << QStringList{"one", "two"} << ""
                                                        << "uusuu" << "two";
}

void tst_Connection::recallKeys()
{
    QFETCH(QStringList, sent);
    QFETCH(QString, typed);
    QFETCH(QString, keys);
    QFETCH(QString, shown);

    Listener listener;
    Peer peer = connectTo(listener);
    for (const QString& text : sent) {
        w().txtInvia->setPlainText(text);
        QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    }
    w().txtInvia->setPlainText(typed);
    w().txtInvia->moveCursor(QTextCursor::End); // as after typing it
    w().txtInvia->setFocus();
    for (QChar key : keys) {
        if (key == u's')
            QTest::mouseClick(w().cmdSend, Qt::LeftButton);
        else
            QTest::keyClick(w().txtInvia, key == u'u' ? Qt::Key_Up : Qt::Key_Down, Qt::ControlModifier);
    }
    QCOMPARE(w().txtInvia->toPlainText(), shown);
    QCOMPARE(w().txtInvia->textCursor().position(), int(shown.size()));
}

void tst_Connection::keysOutsideAConnectionDoNothing()
{
    // Idle, after a failed connect, after a disconnect, and while listening.
    Listener listener;
    Peer gone = connectTo(listener);
    conn().cmdDisconnect_Click();
    w().txtPortConn->setText(QString::number(testpeer::unusedPort()));
    conn().cmdConnetti_Click();
    for (bool listening : {false, true}) {
        if (listening)
            startListening(testpeer::unusedPort());
        w().txtDati->setFocus();
        w().txtDati->setSelection(2, 3);
        const QString before = transcript();
        for (const char* k : {"a", "\r", "\b"})
            QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_unknown, QString::fromLatin1(k), {});
        QTest::keyClick(w().txtDati, Qt::Key_Return);
        QCOMPARE(transcript(), before);
        QCOMPARE(w().txtDati->selectionStart(), 2);
        QCOMPARE(w().txtDati->selectionLength(), 3);
        checkRow(listening ? ConnectionControl::stateListening : ConnectionControl::stateIdle);
    }
}

// A send that fails after the peer's reset shows first everything the peer
// sent before it, then the end; keys typed after it go nowhere.
void tst_Connection::keyAfterPeerResetDisconnects_data()
{
    QTest::addColumn<QString>("via"); // "key", "box" or "file"
    QTest::addColumn<int>("unread");  // bytes the peer sent before its reset
    QTest::newRow("keys, nothing unread") << "key" << 0;
    QTest::newRow("a key, 40000 bytes unshown") << "key" << 40000;
    QTest::newRow("the send box, 40000 bytes unshown") << "box" << 40000;
    QTest::newRow("a file, 40000 bytes unshown") << "file" << 40000;
}

void tst_Connection::keyAfterPeerResetDisconnects()
{
    QFETCH(QString, via);
    QFETCH(int, unread);
    QByteArray data(unread, Qt::Uninitialized);
    for (int i = 0; i < unread; ++i)
        data[i] = char('a' + i % 26);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ten.txt"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("0123456789") == 10);
    file.close();
    Listener listener;
    Peer peer = connectTo(listener);
    w().chkEcho->setChecked(false);
    clearTranscript();
    peer.sendAtOnce();
    QVERIFY(peer.send(data));
    peer.reset();
    QVERIFY(closeArrived(conn().connSocket()));
    if (unread > 0) {
        tick(); // one tick's worth is shown, the rest waits
        QCOMPARE(transcript().size(), 8192);
    }
    w().txtDati->setFocus();
    if (via == "box") {
        w().txtInvia->setPlainText(QStringLiteral("box"));
        QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    } else if (via == "file") {
        conn().sendFile(path);
        QTRY_VERIFY_WITH_TIMEOUT(!conn().isSendingFile(), 5000);
    }
    for (int i = 0; i < 3; ++i) // a second send after a reset must not kill the process
        QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_unknown, QStringLiteral("x"), {});
    const QString shown = transcript();
    const QString end = (via == "file" ? QStringLiteral("Sending %1 stopped, the send failed: 0 of 10 "
                                                        "bytes went out")
                                                 .arg(QDir::toNativeSeparators(path))
                                           + CrLf
                                     : QString())
        + "Disconnected" + CrLf;
    QVERIFY2(shown.endsWith((unread > 0 ? QString::fromLatin1(data.right(26)) + CrLf : QString()) + end),
             qPrintable(shown.right(200)));
    // Every byte the peer sent, in order, and nothing lost between.
    QString received = shown;
    received.remove(QRegularExpression(QStringLiteral("(\\r\\n)?Sending [^\\r]*: 10 bytes\\r\\n")));
    QCOMPARE(received, QString::fromLatin1(data) + (unread > 0 ? CrLf : QString()) + end);
    checkRow(ConnectionControl::stateIdle);
}

// --- Listen and accept -------------------------------------------------------------

void tst_Connection::listenPortTextsThatDoNothing_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("empty") << "";
    QTest::newRow("zero") << "0";
    QTest::newRow("letters") << "port";
}

void tst_Connection::listenPortTextsThatDoNothing()
{
    QFETCH(QString, port);
    const int descriptors = testpeer::openDescriptorCount();
    startListening(0);
    w().txtPort->setText(port);
    conn().cmdStartListen_Click(); // stops
    conn().cmdStartListen_Click(); // a Listen that does nothing
    checkRow(ConnectionControl::stateIdle);
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
}

void tst_Connection::listenPortTextsThatWrapOrRound_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port"); // 0: one the system picks
    QTest::newRow("65536 wraps to 0") << "65536" << 0;
    QTest::newRow("-1 wraps to 65535") << "-1" << 65535;
    QTest::newRow("1235.5 rounds to even") << "1235.5" << 1236;
}

void tst_Connection::listenPortTextsThatWrapOrRound()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    w().txtPort->setText(text);
    QTest::mouseClick(w().cmdStartListen, Qt::LeftButton);
    if (port != 0 && conn().connState() != ConnectionControl::stateListening)
        QSKIP("that port is taken on this machine");
    checkRow(ConnectionControl::stateListening);
    const quint16 bound = testpeer::localPort(int(conn().listenSocket()));
    QVERIFY(port == 0 ? bound != 0 : bound == port);

    Peer peer = Peer::connectTo(bound);
    QVERIFY(peer.isOpen());
    QVERIFY(arrived(conn().listenSocket()));
    tick();
    checkRow(ConnectionControl::stateAccepted);
}

void tst_Connection::listenTakesBothFamilies_data()
{
    QTest::addColumn<bool>("ipv6");
    QTest::newRow("dual stack") << true;
    QTest::newRow("system without IPv6") << false;
}

// Peers over ::1 and over 127.0.0.1, one after the other, on one Listen;
// an IPv4 peer reads as IPv4. Without IPv6, Listen is IPv4 alone.
void tst_Connection::listenTakesBothFamilies()
{
    QFETCH(bool, ipv6);
    if (ipv6 && !Listener(8, Listener::IPv6).port())
        QSKIP("no IPv6 loopback on this machine");
    frmPellix::Hooks hooks = testwindow::loopbackHooks();
    hooks.platform.ipv6 = [ipv6] { return ipv6; };
    m_window = std::make_unique<frmPellix>(hooks);
    m_window->tmrReceive->stop();

    const quint16 port = testpeer::unusedPort();
    startListening(port);
    checkRow(ConnectionControl::stateListening);
    clearTranscript();

    Peer six = Peer::connectTo6(port);
    QCOMPARE(six.isOpen(), ipv6);
    if (ipv6) {
        QVERIFY(arrived(conn().listenSocket()));
        tick();
        QCOMPARE(transcript(), "Connected from: ::1" + CrLf);
        six.close();
        QVERIFY(closeArrived(conn().connSocket()));
        tick();
        checkRow(ConnectionControl::stateListening);
        clearTranscript();
    }
    Peer four = Peer::connectTo(port);
    QVERIFY(four.isOpen());
    QVERIFY(arrived(conn().listenSocket()));
    tick();
    QCOMPARE(transcript(), "Connected from: 127.0.0.1" + CrLf);
    checkRow(ConnectionControl::stateAccepted);
}

void tst_Connection::listenOnDefaultPort()
{
    QCOMPARE(w().txtPort->text(), QStringLiteral("1234"));
    const QString before = transcript();
    QTest::mouseClick(w().cmdStartListen, Qt::LeftButton);
    if (conn().connState() != ConnectionControl::stateListening)
        QSKIP("port 1234 is taken on this machine");
    checkRow(ConnectionControl::stateListening);
    QCOMPARE(transcript(), before);
    Peer peer = Peer::connectTo(1234);
    QVERIFY(peer.isOpen());
}

void tst_Connection::listenAcceptAndStop()
{
    const quint16 port = testpeer::unusedPort();
    startListening(port);
    checkRow(ConnectionControl::stateListening);
    tick(2); // nobody waiting: nothing happens
    checkRow(ConnectionControl::stateListening);

    w().txtDati->AppendText("abc");
    Peer peer = Peer::connectTo(port);
    QVERIFY(peer.isOpen());
    QVERIFY(arrived(conn().listenSocket()));
    tick();
    QCOMPARE(transcript(), frmPellix::BannerLine() + CrLf + "abc" + CrLf
                 + "Connected from: 127.0.0.1" + CrLf);
    checkRow(ConnectionControl::stateAccepted);
    QCOMPARE(w().txtDati->caretPosition(), 0);

    // The peer goes; listening goes on; Stop ends it.
    peer.close();
    QVERIFY(closeArrived(conn().connSocket()));
    tick();
    checkRow(ConnectionControl::stateListening);
    const QString before = transcript();
    QTest::mouseClick(w().cmdStartListen, Qt::LeftButton);
    checkRow(ConnectionControl::stateIdle);
    QCOMPARE(transcript(), before);
    QVERIFY(!Peer::connectTo(port).isOpen());
}

void tst_Connection::listenOnPortInUse()
{
    Listener other;
    const int descriptors = testpeer::openDescriptorCount();
    const QString before = transcript();
    startListening(other.port());
    checkRow(ConnectionControl::stateIdle);
    QCOMPARE(transcript(), before);
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
}

void tst_Connection::secondPeerWaitsForTheFirst()
{
    quint16 port = 0;
    Peer first = listenAndAccept(&port);
    QVERIFY(first.isOpen());
    Peer second = Peer::connectTo(port);
    QVERIFY(second.isOpen());
    QVERIFY(second.send("from the second"));
    QVERIFY(arrived(conn().listenSocket()));
    clearTranscript();
    tick(3); // the first has nothing to say; the second waits
    QCOMPARE(transcript(), QString());

    first.close();
    QVERIFY(closeArrived(conn().connSocket()));
    tick();
    QCOMPARE(transcript(), "Disconnected" + CrLf);
    tick();
    QCOMPARE(transcript(), "Disconnected" + CrLf + "Connected from: 127.0.0.1" + CrLf);
    checkRow(ConnectionControl::stateAccepted);
    QVERIFY(arrived(conn().connSocket()));
    tick();
    QCOMPARE(transcript(), "Disconnected" + CrLf + "Connected from: 127.0.0.1" + CrLf
                 + "from the second");
}

// Each peer of a Listen session begins a connection of its own: Since
// Connected counts from its "Connected from" line.
void tst_Connection::sinceConnectedCountsFromEachPeer()
{
    TranscriptView* t = w().txtDati;
    qint64 now = 0;
    t->setClock([&now] { return now; });
    t->setTimestampMode(TimestampMode::SinceConnected);
    now = 1'000'000;
    quint16 port = 0;
    Peer first = listenAndAccept(&port);
    QVERIFY(first.isOpen());
    Peer second = Peer::connectTo(port);
    now = 3'500'000;
    QVERIFY(first.send("hi\r\n"));
    QVERIFY(tickUntilLength(t->length() + 4));
    now = 5'000'000;
    first.close();
    QTest::qWait(20);
    tick(); // "Disconnected"
    now = 7'000'000;
    tick(); // the second peer
    QVERIFY(second.send("yo"));
    now = 7'250'000;
    QVERIFY(tickUntilLength(t->length() + 2));

    QStringList rows;
    for (qint64 row = 0; row < t->mapping().rowCount(); ++row)
        rows << t->mapping().text(t->mapping().rowStart(row), t->mapping().rowEnd(row)) + u'='
                    + t->gutter().textAt(t->mapping().rowStart(row), t->length());
    QCOMPARE(rows, (QStringList{frmPellix::BannerLine() + u'=', "Connected from: 127.0.0.1=+0.000",
                                "hi=+2.500", "Disconnected=+4.000", "Connected from: 127.0.0.1=+0.000",
                                "yo=+0.250"}));
    t->setClock(TranscriptTimes::systemNow);
}

// --- Shut-down and resources -----------------------------------------------------

void tst_Connection::unload_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("written");
    QTest::newRow("idle") << int(ConnectionControl::stateIdle) << "";
    QTest::newRow("listening") << int(ConnectionControl::stateListening) << "";
    QTest::newRow("accepted") << int(ConnectionControl::stateAccepted) << "Disconnected\r\n";
    QTest::newRow("connected") << int(ConnectionControl::stateConnected) << "Disconnected\r\n";
}

void tst_Connection::unload()
{
    QFETCH(int, state);
    QFETCH(QString, written);
    Listener listener;
    Peer peer;
    quint16 port = 0;
    if (state == ConnectionControl::stateConnected)
        peer = connectTo(listener);
    else if (state == ConnectionControl::stateAccepted)
        peer = listenAndAccept(&port);
    else if (state == ConnectionControl::stateListening)
        startListening(port = testpeer::unusedPort());
    QCOMPARE(int(conn().connState()), state);

    // By the time the socket interface shuts down, every socket is closed.
    bool peerClosed = false, listenerClosed = false;
    m_onCleanup = [&] {
        peerClosed = !peer.isOpen() || peer.sawClose(1000);
        listenerClosed = port == 0 || !Peer::connectTo(port).isOpen();
    };
    const QString before = transcript();
    w().close();
    QCOMPARE(m_cleanups, 1);
    QVERIFY(peerClosed);
    QVERIFY(listenerClosed);
    QCOMPARE(transcript(), before + written);
    checkRow(ConnectionControl::stateIdle);
}

void tst_Connection::noDescriptorLeaks()
{
    Listener listener(64);
    const int descriptors = testpeer::openDescriptorCount();
    w().txtPortConn->setText(QString::number(listener.port()));
    for (int i = 0; i < 500; ++i) {
        conn().cmdConnetti_Click();
        Peer peer = listener.accept();
        QVERIFY(peer.isOpen());
        conn().cmdDisconnect_Click();
    }
    w().txtPortConn->setText(QString::number(testpeer::unusedPort()));
    for (int i = 0; i < 500; ++i)
        conn().cmdConnetti_Click();
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
    checkRow(ConnectionControl::stateIdle);
}

QTEST_MAIN(tst_Connection)
#include "tst_connection.moc"

// Pellix against peers that misbehave: floods, drips, line breaks cut in two,
// half-closes, resets, a crowd at the listener, peers that never read, and
// hostile texts in every box. Real sockets on the loopback and the real
// window, headless; the poll timer is stopped and tests step it by calling
// its handler.

#include "frmpellix.h"
#include "loopbackpeer.h"
#include "windowdriver.h"
#include "transcriptview.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using testpeer::Listener;
using testpeer::Peer;
using State = ConnectionControl::State;
using namespace std::chrono_literals;

namespace {

const QByteArray Connected = QByteArrayLiteral("Connected to: 127.0.0.1\r\n");
const QByteArray Accepted = QByteArrayLiteral("Connected from: 127.0.0.1\r\n");
const QByteArray Disconnected = QByteArrayLiteral("Disconnected\r\n");

quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// n bytes of a sequence that never repeats itself: a lost, doubled or moved
// stretch shows as a mismatch at its place.
QByteArray noise(qsizetype n, quint64 seed)
{
    QByteArray out(n, Qt::Uninitialized);
    char* p = out.data();
    for (qsizetype i = 0; i < n; ++i)
        p[i] = char(mix(seed * 0x100000000ull + quint64(i) / 8) >> (8 * (i % 8)));
    return out;
}

// The line breaks in data: CR LF, a bare LF and a bare CR count once each.
qint64 lineBreaks(QByteArrayView data)
{
    qint64 n = 0;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] == '\n')
            ++n;
        else if (data[i] == '\r' && (i + 1 == data.size() || data[i + 1] != '\n'))
            ++n;
    }
    return n;
}

// Empty when the two are equal; otherwise where they part, for the failure message.
QString difference(QByteArrayView actual, QByteArrayView expected)
{
    const qsizetype common = std::min(actual.size(), expected.size());
    qsizetype i = 0;
    while (i < common && actual[i] == expected[i])
        ++i;
    if (i == common && actual.size() == expected.size())
        return {};
    const auto around = [i](QByteArrayView v) {
        return QString::fromLatin1(
            v.sliced(i, std::min<qsizetype>(16, v.size() - i)).toByteArray().toHex(' '));
    };
    return QStringLiteral("%1 bytes, expected %2; first difference at %3: [%4] instead of [%5]")
        .arg(actual.size())
        .arg(expected.size())
        .arg(i)
        .arg(around(actual), around(expected));
}

#define COMPARE_BYTES(actual, expected)                                                  \
    do {                                                                                 \
        const QString diff_ = difference((actual), (expected));                          \
        QVERIFY2(diff_.isEmpty(), qPrintable(diff_));                                    \
    } while (false)

bool waitReadable(int fd, int timeoutMs)
{
    return fd >= 0 && testpeer::waitFor(fd, POLLIN, timeoutMs);
}

// Whether this process could listen on the port on every address right now.
bool canBind(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// Writes data to fd as fast as the other side takes it, until all of it has
// gone, the connection fails, `limit` passes or a stop is asked for. The
// number of bytes written.
qsizetype writeFlood(std::stop_token stop, int fd, QByteArrayView data, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    qsizetype sent = 0;
    while (sent < data.size() && !stop.stop_requested()
           && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::send(fd, data.data() + sent, std::size_t(data.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += n;
        else if (n < 0 && (errno == EAGAIN || errno == EINTR))
            testpeer::waitFor(fd, POLLOUT, 50);
        else
            break;
    }
    return sent;
}

// Lines of printable ASCII, `size` characters in all, LF between lines, and
// the bytes that go on the wire for them (CR LF between lines).
std::pair<QString, QByteArray> sendBoxLines(qsizetype size, quint64 seed)
{
    QByteArray text = noise(size, seed);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = (i % 80 == 79) ? '\n' : char(0x20 + uchar(text[i]) % 95);
    QByteArray wire = text;
    wire.replace("\n", "\r\n");
    return {QString::fromLatin1(text), wire};
}

// Many peers connecting at once, each with non-blocking connect; a peer whose
// connect completes sends "peer <n>\r\n" at once.
class Crowd {
public:
    Crowd(quint16 port, int size)
    {
        const sockaddr_in a = testpeer::loopback(port);
        for (int i = 0; i < size; ++i) {
            Member m;
            m.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const int r = m.fd < 0 ? -1 : ::connect(m.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
            if (r == 0) {
                m.localPort = testpeer::localPort(m.fd);
                sendLine(i, m);
            } else if (r < 0 && m.fd >= 0 && errno == EINPROGRESS) {
                m.localPort = testpeer::localPort(m.fd);
            } else {
                drop(m);
            }
            m_members.push_back(m);
        }
    }
    ~Crowd()
    {
        for (Member& m : m_members)
            drop(m);
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

    // Completes the connects that have finished and sends their lines.
    void service()
    {
        std::vector<pollfd> fds;
        std::vector<int> who;
        for (int i = 0; i < int(m_members.size()); ++i) {
            if (m_members[i].status == Connecting) {
                fds.push_back({m_members[i].fd, POLLOUT, 0});
                who.push_back(i);
            }
        }
        if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0)
            return;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents)
                continue;
            Member& m = m_members[who[k]];
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(m.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
                ++m_failed;
                drop(m);
            } else {
                sendLine(who[k], m);
            }
        }
    }

    static QByteArray lineOf(int i) { return "peer " + QByteArray::number(i) + "\r\n"; }

    // The member whose socket has that local port, or -1.
    int memberAt(quint16 port) const
    {
        for (int i = 0; i < int(m_members.size()); ++i)
            if (m_members[i].fd >= 0 && m_members[i].localPort == port)
                return i;
        return -1;
    }
    bool hasSent(int i) const { return m_members[i].status == Sent; }
    void close(int i) { drop(m_members[i]); }
    int connectedCount() const { return m_connected; }
    int failedCount() const { return m_failed; }

private:
    enum Status { Connecting, Sent, Gone };
    struct Member {
        int fd = -1;
        quint16 localPort = 0;
        Status status = Connecting;
    };

    void sendLine(int i, Member& m)
    {
        ++m_connected;
        const QByteArray line = lineOf(i);
        if (::send(m.fd, line.constData(), std::size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT)
            == ssize_t(line.size()))
            m.status = Sent;
        else
            drop(m);
    }
    static void drop(Member& m)
    {
        if (m.fd >= 0)
            ::close(m.fd);
        m.fd = -1;
        m.status = Gone;
    }

    std::vector<Member> m_members;
    int m_connected = 0;
    int m_failed = 0;
};

enum class PortOutcome { Nothing, PortOne, ThePort };
enum class HangUp { Close, Reset, NeverAccept };

} // namespace

Q_DECLARE_METATYPE(PortOutcome)
Q_DECLARE_METATYPE(HangUp)

class tst_Hostile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // What the peer sends
    void flood();
    void slowDrip();
    void lineBreakSplitAcrossReads_data();
    void lineBreakSplitAcrossReads();
    void unusualBytes_data();
    void unusualBytes();

    // Peers that go away
    void halfClose_data();
    void halfClose();
    void resetThenSend_data();
    void resetThenSend();
    void listenerThatHangsUp_data();
    void listenerThatHangsUp();
    void blockedSend_data();
    void blockedSend();

    // Many peers at once
    void crowdAtTheListener();

    // Hostile texts in the boxes
    void hostTexts_data();
    void hostTexts();
    void portTexts_data();
    void portTexts();
    void bigSendBox();
    void manyKeys();

    // Last: runs after everything above.
    void descriptorsBackToStart();

private:
    frmPellix& w() { return *m_window; }
    ConnectionControl& conn() { return m_window->connection(); }
    QByteArrayView shown() const { return m_window->txtDati->store().bytes(); }
    qint64 shownLength() const { return m_window->txtDati->length(); }
    void tick(int times = 1)
    {
        for (int i = 0; i < times; ++i)
            conn().tmrReceive_Timer();
    }
    void clearTranscript() { m_window->cmdClear_Click(); }
    // Ticks until the transcript holds `length` bytes or `timeoutMs` passes.
    bool tickUntilLength(qint64 length, int timeoutMs = 5000);

    Peer connectTo(Listener& listener) { return testwindow::connectTo(w(), listener); }
    // receiveBuffer: the peer's SO_RCVBUF, set before it connects; 0 leaves it.
    Peer listenAndAccept(quint16* port = nullptr, int receiveBuffer = 0);
    void startListening(quint16 port) { testwindow::startListening(w(), port); }
    void checkRow(State state) { testwindow::checkRow(w(), state); }

    std::unique_ptr<frmPellix> m_window;
    int m_startDescriptors = -1;
};

void tst_Hostile::initTestCase()
{
    // A first window loads what Qt keeps for the rest of the run (fonts, the
    // platform); the count starts after it.
    {
        frmPellix warmUp;
        warmUp.tmrReceive->stop();
        warmUp.show();
        QVERIFY(QTest::qWaitForWindowExposed(&warmUp));
    }
    QTest::qWait(0);
    m_startDescriptors = testpeer::openDescriptorCount();
}

void tst_Hostile::init()
{
    m_window = std::make_unique<frmPellix>(testwindow::loopbackHooks());
    m_window->tmrReceive->stop();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Hostile::cleanup()
{
    m_window.reset();
}

bool tst_Hostile::tickUntilLength(qint64 length, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (shownLength() < length && t.elapsed() < timeoutMs) {
        tick();
        if (shownLength() < length)
            waitReadable(conn().connSocket(), 10);
    }
    return shownLength() == length;
}

Peer tst_Hostile::listenAndAccept(quint16* port, int receiveBuffer)
{
    const quint16 p = testpeer::unusedPort();
    if (port)
        *port = p;
    startListening(p);
    if (conn().connState() != ConnectionControl::stateListening)
        return Peer();
    Peer peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0)
        peer.setReceiveBuffer(receiveBuffer);
    const sockaddr_in a = testpeer::loopback(p);
    if (::connect(peer.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return Peer();
    for (int i = 0; i < 100 && conn().connState() != ConnectionControl::stateAccepted; ++i) {
        waitReadable(conn().listenSocket(), 50);
        tick();
    }
    return conn().connState() == ConnectionControl::stateAccepted ? std::move(peer) : Peer();
}

// --- What the peer sends --------------------------------------------------------

void tst_Hostile::flood()
{
    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    clearTranscript();

    const QByteArray data = noise(10 * 1024 * 1024, 1);
    std::atomic<qsizetype> written{-1};
    {
        std::jthread writer([&](std::stop_token stop) {
            written = writeFlood(stop, peer.fd(), data, 120s);
        });

        QElapsedTimer t;
        t.start();
        qint64 ticks = 0, largest = 0, over = 0;
        while (shownLength() < data.size() && t.elapsed() < 120000
               && conn().connState() == ConnectionControl::stateConnected) {
            const qint64 before = shownLength();
            tick();
            ++ticks;
            const qint64 grown = shownLength() - before;
            largest = std::max(largest, grown);
            if (grown > 8192)
                ++over;
            if (grown == 0)
                waitReadable(conn().connSocket(), 20);
        }
        writer.request_stop();
        writer.join();
        qInfo("flood: %lld bytes in %lld ticks, %lld ms, largest tick %lld bytes",
              qint64(data.size()), ticks, qint64(t.elapsed()), largest);
        QCOMPARE(over, 0);
        QCOMPARE(largest, 8192); // with a flood waiting, reads reach the limit
    }
    QCOMPARE(written.load(), data.size());
    QCOMPARE(conn().connState(), ConnectionControl::stateConnected);
    COMPARE_BYTES(shown(), data);
    QCOMPARE(w().txtDati->store().lineCount(), lineBreaks(data) + 1);
    QCOMPARE(w().txtDati->caretPosition(), shownLength());
}

void tst_Hostile::slowDrip()
{
    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    clearTranscript();

    const QByteArray data = noise(400, 2);
    for (qsizetype i = 0; i < data.size(); ++i) {
        QVERIFY(peer.send(data.mid(i, 1)));
        QVERIFY(waitReadable(conn().connSocket(), 2000));
        tick();
        QCOMPARE(shownLength(), i + 1);
        tick(); // nothing more has come: nothing happens
        QCOMPARE(shownLength(), i + 1);
    }
    COMPARE_BYTES(shown(), data);
    QCOMPARE(w().txtDati->store().lineCount(), lineBreaks(data) + 1);
    checkRow(ConnectionControl::stateConnected);
}

void tst_Hostile::lineBreakSplitAcrossReads_data()
{
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<qint64>("lines");
    QTest::newRow("CR | LF") << QByteArrayList{"abc\r", "\ndef"} << qint64(2);
    QTest::newRow("CR | LF alone | text") << QByteArrayList{"abc\r", "\n", "def"} << qint64(2);
    QTest::newRow("CR alone | LF alone") << QByteArrayList{"\r", "\n"} << qint64(2);
    QTest::newRow("CR | CR LF") << QByteArrayList{"a\r", "\r\nb"} << qint64(3);
    QTest::newRow("CR | LF CR | LF") << QByteArrayList{"a\r", "\n\r", "\nb"} << qint64(3);
    QTest::newRow("LF | CR") << QByteArrayList{"a\n", "\rb"} << qint64(3);
    QTest::newRow("CR | text") << QByteArrayList{"a\r", "b\n"} << qint64(3);
}

void tst_Hostile::lineBreakSplitAcrossReads()
{
    QFETCH(QByteArrayList, reads);
    QFETCH(qint64, lines);
    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    clearTranscript();
    QByteArray all;
    for (const QByteArray& r : reads) {
        QVERIFY(peer.send(r));
        all += r;
        // Each piece is one read: the tick takes exactly it.
        QVERIFY(waitReadable(conn().connSocket(), 2000));
        tick();
        COMPARE_BYTES(shown(), all);
    }
    QCOMPARE(w().txtDati->store().lineCount(), lines);
}

void tst_Hostile::unusualBytes_data()
{
    QTest::addColumn<QByteArray>("data");

    QByteArray nulHeavy = noise(30000, 3);
    for (qsizetype i = 0; i < nulHeavy.size(); ++i)
        if (i % 7)
            nulHeavy[i] = '\0';
    QByteArray highHeavy = noise(30000, 4);
    for (char& c : highHeavy)
        c = char(uchar(c) | 0x80);
    QByteArray c1 = noise(20000, 5);
    for (qsizetype i = 0; i < c1.size(); ++i)
        c1[i] = (i % 5 == 4) ? '\r' : char(0x80 + uchar(c1[i]) % 32);

    QTest::newRow("only NUL") << QByteArray(20000, '\0');
    QTest::newRow("mostly NUL") << nulHeavy;
    QTest::newRow("0x80-0xFF") << highHeavy;
    QTest::newRow("C1 controls and bare CR") << c1;
    QTest::newRow("every value") << noise(50000, 6);
}

void tst_Hostile::unusualBytes()
{
    QFETCH(QByteArray, data);
    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    clearTranscript();
    QVERIFY(peer.send(data));
    QVERIFY(tickUntilLength(data.size()));
    COMPARE_BYTES(shown(), data);
    QCOMPARE(w().txtDati->store().lineCount(), lineBreaks(data) + 1);
    // Painting them, at the start and at the end, must hold up too.
    QVERIFY(!w().grab().isNull());
    w().txtDati->setSelection(0, 0);
    QVERIFY(!w().grab().isNull());
    checkRow(ConnectionControl::stateConnected);
}

// --- Peers that go away -------------------------------------------------------------

void tst_Hostile::halfClose_data()
{
    QTest::addColumn<bool>("asServer");
    QTest::newRow("connected as client") << false;
    QTest::newRow("accepted peer") << true;
}

void tst_Hostile::halfClose()
{
    QFETCH(bool, asServer);
    Listener listener;
    Peer peer = asServer ? listenAndAccept() : connectTo(listener);
    QVERIFY(peer.isOpen());
    const State connected = asServer ? ConnectionControl::stateAccepted : ConnectionControl::stateConnected;
    w().chkEcho->setCheckState(Qt::Unchecked);
    clearTranscript();

    QVERIFY(peer.send("last words"));
    peer.shutdownWrite();
    // Until the window reads the end, the half-closed peer still takes what is sent.
    w().txtInvia->setPlainText(QStringLiteral("still there?"));
    QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    QCOMPARE(peer.read(12), QByteArray("still there?"));

    QVERIFY(waitReadable(conn().connSocket(), 2000));
    tick();
    COMPARE_BYTES(shown(), QByteArrayView("last words"));
    checkRow(connected);
    tick();
    COMPARE_BYTES(shown(), "last words\r\n" + Disconnected);
    checkRow(asServer ? ConnectionControl::stateListening : ConnectionControl::stateIdle);
    QVERIFY(peer.sawClose());
    tick(3);
    COMPARE_BYTES(shown(), "last words\r\n" + Disconnected);
}

void tst_Hostile::resetThenSend_data()
{
    halfClose_data();
}

void tst_Hostile::resetThenSend()
{
    QFETCH(bool, asServer);
    Listener listener;
    Peer peer = asServer ? listenAndAccept() : connectTo(listener);
    QVERIFY(peer.isOpen());
    const int socket = conn().connSocket();
    w().chkEcho->setCheckState(Qt::Checked);
    clearTranscript();

    peer.reset();
    QVERIFY(waitReadable(socket, 2000)); // the reset has arrived
    w().txtInvia->setPlainText(QStringLiteral("anyone?"));
    QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    w().txtDati->setFocus();
    for (const char* k : {"a", "b", "\r", "c", "\x1b", "\xe9"})
        QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_unknown, QString::fromLatin1(k), {});
    QTest::keyClick(w().txtDati, Qt::Key_Return);
    QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    tick(3);

    COMPARE_BYTES(shown(), Disconnected);
    checkRow(asServer ? ConnectionControl::stateListening : ConnectionControl::stateIdle);
    QCOMPARE(w().txtInvia->toPlainText(), QStringLiteral("anyone?"));
}

void tst_Hostile::listenerThatHangsUp_data()
{
    QTest::addColumn<HangUp>("how");
    QTest::newRow("accepts and closes") << HangUp::Close;
    QTest::newRow("accepts and resets") << HangUp::Reset;
    QTest::newRow("closes without accepting") << HangUp::NeverAccept;
}

void tst_Hostile::listenerThatHangsUp()
{
    QFETCH(HangUp, how);
    Listener listener;
    std::jthread hangUp;
    if (how != HangUp::NeverAccept) {
        hangUp = std::jthread([&listener, how](std::stop_token stop) {
            while (!stop.stop_requested()) {
                Peer p = listener.accept(20);
                if (p.isOpen() && how == HangUp::Reset)
                    p.reset();
            }
        });
    }
    clearTranscript();
    w().txtPortConn->setText(QString::number(listener.port()));
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    COMPARE_BYTES(shown(), Connected);
    checkRow(ConnectionControl::stateConnected);
    if (how == HangUp::NeverAccept)
        listener.close();

    const int socket = conn().connSocket();
    for (int ticks = 0; ticks < 2 && conn().connState() == ConnectionControl::stateConnected; ++ticks) {
        QVERIFY(waitReadable(socket, 2000));
        tick();
    }
    COMPARE_BYTES(shown(), Connected + Disconnected);
    checkRow(ConnectionControl::stateIdle);
}

void tst_Hostile::blockedSend_data()
{
    QTest::addColumn<bool>("asServer");
    QTest::addColumn<bool>("resets");
    QTest::newRow("client, peer never reads") << false << false;
    QTest::newRow("server, peer never reads") << true << false;
    QTest::newRow("client, peer resets mid-send") << false << true;
    QTest::newRow("server, peer resets mid-send") << true << true;
}

void tst_Hostile::blockedSend()
{
    QFETCH(bool, asServer);
    QFETCH(bool, resets);
    Listener listener;
    // A small receive buffer at the peer, set before the connection is made
    // (the accepted socket inherits the listener's), so that the send blocks early.
    const int small = 4096;
    ::setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Peer peer = asServer ? listenAndAccept(nullptr, small) : connectTo(listener);
    QVERIFY(peer.isOpen());
    // The peer that resets must end the wait, not the time limit.
    conn().setSendTimeLimit(resets ? std::chrono::milliseconds(60s) : std::chrono::milliseconds(500ms));

    // Far more than the two buffers hold.
    const auto [text, wire] = sendBoxLines(8 * 1024 * 1024, 7);
    w().txtInvia->setPlainText(text);
    w().chkEcho->setCheckState(Qt::Checked);
    const QByteArray before = shown().toByteArray();

    std::jthread resetter;
    if (resets) {
        resetter = std::jthread([&peer](std::stop_token stop) {
            // Data arriving means the send has begun; soon after it waits for room.
            int waiting = 0;
            for (int i = 0; i < 1000 && !stop.stop_requested() && waiting == 0; ++i) {
                ::ioctl(peer.fd(), FIONREAD, &waiting);
                if (waiting == 0)
                    std::this_thread::sleep_for(5ms);
            }
            std::this_thread::sleep_for(200ms);
            peer.reset();
        });
    }
    QElapsedTimer t;
    t.start();
    QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    const qint64 took = t.elapsed();
    if (resetter.joinable())
        resetter.join();
    qInfo("send to a peer that %s: the click took %lld ms", resets ? "resets" : "never reads", took);

    // A hang guard, not a speed check: an unbounded wait would never return.
    QVERIFY2(took < 10000, qPrintable(QString::number(took)));
    COMPARE_BYTES(shown(), before + Disconnected);
    checkRow(asServer ? ConnectionControl::stateListening : ConnectionControl::stateIdle);
    QVERIFY(w().txtInvia->toPlainText() == text);
    if (!resets) {
        // What got through is the start of the text, unaltered, and not all of it.
        QVERIFY(waitReadable(peer.fd(), 2000));
        const QByteArray received = peer.read(wire.size(), 10000);
        QVERIFY2(received.size() < wire.size(), qPrintable(QString::number(received.size())));
        COMPARE_BYTES(received, QByteArrayView(wire).first(received.size()));
        QVERIFY(peer.sawClose(0));
    }
}

// --- Many peers at once ---------------------------------------------------------------

void tst_Hostile::crowdAtTheListener()
{
    const int descriptors = testpeer::openDescriptorCount();
    const quint16 port = testpeer::unusedPort();
    startListening(port);
    checkRow(ConnectionControl::stateListening);
    clearTranscript();

    QElapsedTimer t;
    t.start();
    QByteArray expected;
    int rounds = 0;
    {
        Crowd crowd(port, 200);
        for (; rounds < 6; ++rounds) {
            QElapsedTimer round;
            round.start();
            while (conn().connState() != ConnectionControl::stateAccepted && round.elapsed() < 20000) {
                crowd.service();
                tick();
                if (conn().connState() != ConnectionControl::stateAccepted)
                    waitReadable(conn().listenSocket(), 10);
            }
            checkRow(ConnectionControl::stateAccepted);
            const int who = crowd.memberAt(mWinsock2::PortOf(conn().remoteAddr()));
            QVERIFY2(who >= 0, "the accepted peer is none of the crowd");
            expected += Accepted;
            COMPARE_BYTES(shown(), expected);

            // Its line, and only its line, follows its "Connected from".
            const QByteArray line = Crowd::lineOf(who);
            while (shownLength() < expected.size() + line.size() && round.elapsed() < 20000) {
                crowd.service();
                tick();
                if (shownLength() < expected.size() + line.size())
                    waitReadable(conn().connSocket(), 10);
            }
            QVERIFY(crowd.hasSent(who));
            expected += line;
            COMPARE_BYTES(shown(), expected);

            crowd.close(who);
            QVERIFY(waitReadable(conn().connSocket(), 2000));
            tick();
            expected += Disconnected;
            COMPARE_BYTES(shown(), expected);
            checkRow(ConnectionControl::stateListening);
        }
        qInfo("crowd: %d rounds in %lld ms; %d of 200 connects completed, %d failed", rounds,
              qint64(t.elapsed()), crowd.connectedCount(), crowd.failedCount());
    }
    QTest::mouseClick(w().cmdStartListen, Qt::LeftButton);
    checkRow(ConnectionControl::stateIdle);
    COMPARE_BYTES(shown(), expected);
    QVERIFY(!Peer::connectTo(port).isOpen());
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
}

// --- Hostile texts in the boxes -----------------------------------------------------------

void tst_Hostile::hostTexts_data()
{
    // None of these names an address or resolves: each connect attempt fails
    // towards the all-ones address.
    QTest::addColumn<QString>("host");
    QString labels;
    while (labels.size() < 100 * 1024)
        labels += QStringLiteral("a.");
    QTest::newRow("100 KB name") << QString(100 * 1024, u'x');
    QTest::newRow("100 KB of labels") << labels;
    QTest::newRow("100 KB of digits") << QString(100 * 1024, u'1');
    QTest::newRow("100 KB of dots") << QString(100 * 1024, u'.');
    QTest::newRow("escape sequence") << QString::fromLatin1("\x1b[2J\x1b[H");
    QTest::newRow("address then BEL") << QString::fromLatin1("127.0.0.1\x07");
    QTest::newRow("DEL before address") << QString::fromLatin1("\x7f" "127.0.0.1");
    QTest::newRow("Cyrillic look-alike of localhost") << QString::fromUtf8("l\xD0\xBE\xD1\x81\x61lhost");
    QTest::newRow("fullwidth digits") << QString::fromUtf8("\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x97.0.0.1");
    QTest::newRow("address then euro sign") << QString::fromUtf8("127.0.0.1\xE2\x82\xAC");
    QTest::newRow("emoji") << QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800));
}

void tst_Hostile::hostTexts()
{
    QFETCH(QString, host);
    Listener listener;
    const int descriptors = testpeer::openDescriptorCount();
    clearTranscript();
    w().txtHostConn->setText(host);
    w().txtPortConn->setText(QString::number(listener.port()));
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    COMPARE_BYTES(shown(), QByteArrayView("Failed connection to: 255.255.255.255\r\n"));
    checkRow(ConnectionControl::stateIdle);
    QVERIFY(!listener.accept(20).isOpen());
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);

    // The window is still usable: the same port with a plain address connects.
    w().txtHostConn->setText(QStringLiteral("127.0.0.1"));
    QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
    checkRow(ConnectionControl::stateConnected);
    QVERIFY(listener.accept().isOpen());
}

void tst_Hostile::portTexts_data()
{
    QTest::addColumn<bool>("listen");
    QTest::addColumn<QString>("port"); // %1 stands for a port that answers
    QTest::addColumn<PortOutcome>("outcome");

    struct Row {
        const char* name;
        QString text;
        PortOutcome outcome;
    };
    const QList<Row> rows = {
        {"&HFFFFFFFFF", QStringLiteral("&HFFFFFFFFF"), PortOutcome::Nothing},
        {"1e309", QStringLiteral("1e309"), PortOutcome::Nothing},
        {"--1", QStringLiteral("--1"), PortOutcome::Nothing},
        {"blanks", QStringLiteral("   "), PortOutcome::Nothing},
        {"1,5", QStringLiteral("1,5"), PortOutcome::PortOne},
        {"100 KB of nines", QString(100 * 1024, u'9'), PortOutcome::Nothing},
        {"100 KB of signs", QString(100 * 1024, u'-'), PortOutcome::Nothing},
        {"port then 100 KB of letters", QStringLiteral("%1") + QString(100 * 1024, u'x'), PortOutcome::ThePort},
        {"control characters", QString::fromLatin1("\x01\x02\x1b[0m"), PortOutcome::Nothing},
        {"control character before the port", QStringLiteral("\x01%1"), PortOutcome::Nothing},
        {"port then CR LF", QStringLiteral("%1\r\n"), PortOutcome::ThePort},
        {"Arabic-Indic digits", QString::fromUtf8("\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4"), PortOutcome::Nothing},
        {"fullwidth digits", QString::fromUtf8("\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93\xEF\xBC\x94"), PortOutcome::Nothing},
        {"port then emoji", QStringLiteral("%1") + QString::fromUtf8("\xF0\x9F\x98\x80"), PortOutcome::ThePort},
    };
    for (bool listen : {false, true})
        for (const Row& r : rows)
            QTest::addRow("%s: %s", listen ? "Listen" : "Connect", r.name) << listen << r.text << r.outcome;
}

void tst_Hostile::portTexts()
{
    QFETCH(bool, listen);
    QFETCH(QString, port);
    QFETCH(PortOutcome, outcome);
    Listener listener;
    const quint16 live = listen ? testpeer::unusedPort() : listener.port();
    if (port.contains(QStringLiteral("%1")))
        port = port.arg(live);
    const int descriptors = testpeer::openDescriptorCount();
    clearTranscript();

    if (!listen) {
        if (outcome == PortOutcome::PortOne && Peer::connectTo(1).isOpen())
            QSKIP("something listens on port 1 here");
        w().txtPortConn->setText(port);
        QTest::mouseClick(w().cmdConnetti, Qt::LeftButton);
        switch (outcome) {
        case PortOutcome::Nothing:
            COMPARE_BYTES(shown(), QByteArrayView());
            checkRow(ConnectionControl::stateIdle);
            break;
        case PortOutcome::PortOne:
            COMPARE_BYTES(shown(), QByteArrayView("Failed connection to: 127.0.0.1\r\n"));
            QCOMPARE(mWinsock2::PortOf(conn().remoteAddr()), 1);
            checkRow(ConnectionControl::stateIdle);
            break;
        case PortOutcome::ThePort: {
            COMPARE_BYTES(shown(), Connected);
            checkRow(ConnectionControl::stateConnected);
            QVERIFY(listener.accept().isOpen());
            QTest::mouseClick(w().cmdDisconnect, Qt::LeftButton);
            checkRow(ConnectionControl::stateIdle);
            break;
        }
        }
        QVERIFY(!listener.accept(0).isOpen());
    } else {
        const bool portOneFree = outcome == PortOutcome::PortOne && canBind(1);
        w().txtPort->setText(port);
        QTest::mouseClick(w().cmdStartListen, Qt::LeftButton);
        COMPARE_BYTES(shown(), QByteArrayView());
        if (outcome == PortOutcome::Nothing || (outcome == PortOutcome::PortOne && !portOneFree)) {
            checkRow(ConnectionControl::stateIdle);
        } else {
            checkRow(ConnectionControl::stateListening);
            const quint16 expected = outcome == PortOutcome::PortOne ? 1 : live;
            QCOMPARE(mWinsock2::PortOf(conn().listenAddr()), expected);
            QCOMPARE(testpeer::localPort(conn().listenSocket()), expected);
            QTest::mouseClick(w().cmdStartListen, Qt::LeftButton);
            checkRow(ConnectionControl::stateIdle);
        }
    }
    QCOMPARE(testpeer::openDescriptorCount(), descriptors);
}

void tst_Hostile::bigSendBox()
{
    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    w().chkEcho->setCheckState(Qt::Checked);
    clearTranscript();

    // 1 MB of every Latin-1 character a box can hold (tab, 32-255) in lines
    // of varying length.
    QByteArray text = noise(1024 * 1024, 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const uchar c = uchar(text[i]);
        text[i] = c < 0x20 ? (c % 23 == 0 ? '\n' : c % 23 == 1 ? '\t' : char(0x20 + c * 7))
                           : char(c);
    }
    QByteArray wire = text;
    wire.replace("\n", "\r\n");

    QByteArray received;
    {
        std::jthread reader([&] { received = peer.read(wire.size(), 20000); });
        w().txtInvia->setPlainText(QString::fromLatin1(text));
        QTest::mouseClick(w().cmdSend, Qt::LeftButton);
    }
    COMPARE_BYTES(received, wire);
    COMPARE_BYTES(shown(), wire);
    QVERIFY(w().txtInvia->document()->isEmpty());
    checkRow(ConnectionControl::stateConnected);
}

void tst_Hostile::manyKeys()
{
    Listener listener;
    Peer peer = connectTo(listener);
    QVERIFY(peer.isOpen());
    w().chkEcho->setCheckState(Qt::Checked);
    clearTranscript();
    w().txtDati->setFocus();

    const QByteArray pick = noise(10000, 9);
    QByteArray wire;
    for (char c : pick)
        wire += uchar(c) % 50 == 0 ? QByteArray("\r\n") : QByteArray(1, char(0x20 + uchar(c) % 224));

    QByteArray received;
    {
        std::jthread reader([&] { received = peer.read(wire.size(), 20000); });
        for (char c : pick) {
            if (uchar(c) % 50 == 0)
                QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_Return, QStringLiteral("\r"), {});
            else
                QTest::sendKeyEvent(QTest::Click, w().txtDati, Qt::Key_unknown,
                                    QString(QChar(char16_t(0x20 + uchar(c) % 224))), {});
        }
    }
    COMPARE_BYTES(received, wire);
    COMPARE_BYTES(shown(), wire);
    checkRow(ConnectionControl::stateConnected);
}

// --- Resources -------------------------------------------------------------------------

void tst_Hostile::descriptorsBackToStart()
{
    m_window.reset();
    QCOMPARE(testpeer::openDescriptorCount(), m_startDescriptors);
}

QTEST_MAIN(tst_Hostile)
#include "tst_hostile.moc"

// Tests of the socket layer against real loopback connections. The far end
// of every connection, and every wait for the network, is plain POSIX code:
// a fault in the layer cannot hide itself by sitting on both ends.

#include "loopbackpeer.h"
#include "mwinsock2.h"

#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using mWinsock2::Address;
using mWinsock2::AddressFailure;
using mWinsock2::InvalidSocket;
using mWinsock2::SocketHandle;

namespace {

// Every wait for the network in these tests ends after this long at most.
constexpr milliseconds NetworkWait = 5s;

// What the layer is allowed for a call that must not wait.
constexpr qint64 AtOnceMs = 500;

// A buffer size small enough that a peer that does not read stops the flow
// after a few kilobytes.
constexpr int SmallBuffer = 4096;

// A descriptor, closed when it goes.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) { }
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) { }
    Fd& operator=(Fd&& other) noexcept
    {
        reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

Address addressOf(quint8 a, quint8 b, quint8 c, quint8 d)
{
    const std::array<quint8, 4> octets{a, b, c, d};
    Address address;
    std::memcpy(&address, octets.data(), sizeof address);
    return address;
}

bool isClosedDescriptor(int fd)
{
    return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

Fd newTcpSocket(int sendBuffer = 0)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (fd.isOpen() && sendBuffer > 0)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    return fd;
}

// The events poll() saw on fd within `wait`, POLLERR and POLLHUP included;
// 0 when none came.
short waitForEvents(int fd, short events, milliseconds wait)
{
    const auto deadline = steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, int(std::max<qint64>(left.count(), 0)));
        if (r > 0)
            return p.revents;
        if (r == 0 || errno != EINTR)
            return 0;
    }
}

// True once at least `count` bytes wait to be read on fd.
bool waitForBytes(int fd, int count, milliseconds wait = NetworkWait)
{
    const auto deadline = steady_clock::now() + wait;
    for (;;) {
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0)
            return false;
        if (waiting >= count)
            return true;
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

bool sendAll(int fd, QByteArrayView bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const auto n = ::send(fd, bytes.data() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// Everything the peer sends until its orderly close; nothing when that close
// does not come within `wait` or the connection fails.
std::optional<QByteArray> readUntilEof(int fd, milliseconds wait = NetworkWait)
{
    const auto deadline = steady_clock::now() + wait;
    QByteArray all;
    std::array<char, 65536> buffer;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0 || !waitForEvents(fd, POLLIN, left))
            return std::nullopt;
        const auto n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0)
            return all;
        if (n < 0 && errno != EINTR)
            return std::nullopt;
        if (n > 0)
            all.append(buffer.data(), n);
    }
}

// Sends 'F' without blocking until the socket takes no more and stays full
// for a while (loopback may still move a little after the first EAGAIN).
// The number of bytes queued, or -1.
qint64 fillSendBuffer(int fd)
{
    const QByteArray chunk(65536, 'F');
    const auto deadline = steady_clock::now() + NetworkWait;
    qint64 queued = 0;
    while (steady_clock::now() < deadline) {
        const auto n = ::send(fd, chunk.constData(), size_t(chunk.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            queued += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return -1;
        if (!(waitForEvents(fd, POLLOUT, 200ms) & POLLOUT))
            return queued;
    }
    return -1;
}

// Makes the close send a reset instead of an orderly end.
void resetAndClose(Fd& fd)
{
    const linger abort{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd.reset();
}

// A listening socket on 127.0.0.1, at a port the system picked.
struct Listener
{
    Fd fd;
    quint16 port = 0;

    // receiveBuffer > 0 shrinks the receive buffer that accepted
    // connections inherit.
    bool open(int receiveBuffer = 0)
    {
        fd = newTcpSocket();
        if (!fd.isOpen())
            return false;
        if (receiveBuffer > 0)
            ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const sockaddr_in address = testpeer::loopback(0);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
            || ::listen(fd.get(), 8) != 0)
            return false;
        port = testpeer::localPort(fd.get());
        return port != 0;
    }

    Fd accept()
    {
        if (!(waitForEvents(fd.get(), POLLIN, NetworkWait) & POLLIN))
            return {};
        return Fd(::accept(fd.get(), nullptr, nullptr));
    }
};

// Both ends of one loopback connection, made without the layer: `ours` is
// the end the layer is given, `peer` the far end.
struct Connection
{
    Fd ours;
    Fd peer;

    // bufferSize > 0 shrinks our send buffer and the peer's receive buffer.
    bool open(int bufferSize = 0)
    {
        Listener listener;
        if (!listener.open(bufferSize))
            return false;
        ours = newTcpSocket(bufferSize);
        const sockaddr_in address = testpeer::loopback(listener.port);
        if (!ours.isOpen()
            || ::connect(ours.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return false;
        peer = listener.accept();
        return peer.isOpen();
    }
};

// The states a handle given to the layer can be in.
enum class Situation {
    Idle,            // connected, nothing waiting in either direction
    DataWaiting,     // connected, the peer has sent "ping"
    PeerClosed,      // the peer has closed in order
    PeerReset,       // the peer has reset the connection
    SendBufferFull,  // the peer does not read, and our send buffer is full
    ListenerIdle,    // listening, nobody connecting
    ListenerPending, // listening, a connection waits to be accepted
    InvalidHandle,   // InvalidSocket
    ClosedHandle,    // a descriptor number that was closed
};

// One handle in a chosen situation, with whatever holds it there.
struct Scene
{
    SocketHandle handle = InvalidSocket;
    Connection connection;
    Listener listener;
    Fd client;
    qint64 queued = 0; // bytes put in flight by SendBufferFull
};

bool prepare(Situation situation, Scene& scene)
{
    switch (situation) {
    case Situation::Idle:
        if (!scene.connection.open())
            return false;
        break;
    case Situation::DataWaiting:
        if (!scene.connection.open() || !sendAll(scene.connection.peer.get(), "ping")
            || !waitForBytes(scene.connection.ours.get(), 4))
            return false;
        break;
    case Situation::PeerClosed:
        if (!scene.connection.open())
            return false;
        scene.connection.peer.reset();
        if (!(waitForEvents(scene.connection.ours.get(), POLLIN | POLLRDHUP, NetworkWait) & POLLRDHUP))
            return false;
        break;
    case Situation::PeerReset:
        if (!scene.connection.open())
            return false;
        resetAndClose(scene.connection.peer);
        if (!(waitForEvents(scene.connection.ours.get(), POLLIN, NetworkWait) & (POLLERR | POLLHUP)))
            return false;
        break;
    case Situation::SendBufferFull:
        if (!scene.connection.open(SmallBuffer))
            return false;
        scene.queued = fillSendBuffer(scene.connection.ours.get());
        if (scene.queued <= 0)
            return false;
        break;
    case Situation::ListenerIdle:
        if (!scene.listener.open())
            return false;
        scene.handle = scene.listener.fd.get();
        return true;
    case Situation::ListenerPending: {
        if (!scene.listener.open())
            return false;
        scene.client = newTcpSocket();
        const sockaddr_in address = testpeer::loopback(scene.listener.port);
        if (::connect(scene.client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
            || !(waitForEvents(scene.listener.fd.get(), POLLIN, NetworkWait) & POLLIN))
            return false;
        scene.handle = scene.listener.fd.get();
        return true;
    }
    case Situation::InvalidHandle:
        scene.handle = InvalidSocket;
        return true;
    case Situation::ClosedHandle:
        // Nothing else is opened afterwards, so the number stays free.
        scene.handle = Fd(::socket(AF_INET, SOCK_STREAM, 0)).get();
        return scene.handle >= 0 && isClosedDescriptor(scene.handle);
    }
    scene.handle = scene.connection.ours.get();
    return true;
}

// The text a byte string stands for, one character per byte, built here
// without the layer's conversion.
QString charactersOf(QByteArrayView bytes)
{
    QString text;
    for (char byte : bytes)
        text.append(QChar(char16_t(uchar(byte))));
    return text;
}

QByteArray allByteValues()
{
    QByteArray bytes;
    for (int b = 0; b < 256; ++b)
        bytes.append(char(b));
    return bytes;
}

// Where two byte strings first differ, for a readable failure on megabytes.
QByteArray describeDifference(const QByteArray& actual, const QByteArray& expected)
{
    const qsizetype common = std::min(actual.size(), expected.size());
    qsizetype i = 0;
    while (i < common && actual[i] == expected[i])
        ++i;
    return "sizes " + QByteArray::number(actual.size()) + " and " + QByteArray::number(expected.size())
        + ", first difference at " + QByteArray::number(i);
}

// Keeps SIGPIPE deadly while it lives, even when this process was started
// with it ignored, so a send without MSG_NOSIGNAL cannot pass unnoticed.
class SigpipeNotIgnored
{
public:
    SigpipeNotIgnored()
    {
        ::sigaction(SIGPIPE, nullptr, &m_previous);
        if (m_previous.sa_handler == SIG_IGN) {
            struct sigaction deadly {};
            deadly.sa_handler = SIG_DFL;
            sigemptyset(&deadly.sa_mask);
            m_changed = ::sigaction(SIGPIPE, &deadly, nullptr) == 0;
        }
    }
    ~SigpipeNotIgnored()
    {
        if (m_changed)
            ::sigaction(SIGPIPE, &m_previous, nullptr);
    }
    SigpipeNotIgnored(const SigpipeNotIgnored&) = delete;
    SigpipeNotIgnored& operator=(const SigpipeNotIgnored&) = delete;

private:
    struct sigaction m_previous {};
    bool m_changed = false;
};

// Raises the soft descriptor limit so that a given descriptor number can be
// used, and puts the old limit back when it goes.
class DescriptorLimit
{
public:
    ~DescriptorLimit()
    {
        if (m_changed)
            ::setrlimit(RLIMIT_NOFILE, &m_previous);
    }

    // A free descriptor number at `wanted` or, when the hard limit is lower,
    // just under that limit; -1 when no number above 1023 can be had.
    int freeNumberNear(int wanted)
    {
        if (::getrlimit(RLIMIT_NOFILE, &m_previous) != 0)
            return -1;
        const rlim_t hard = m_previous.rlim_max;
        if (hard != RLIM_INFINITY && hard < 1100)
            return -1;
        const int top = (hard == RLIM_INFINITY || hard > rlim_t(wanted) + 16) ? wanted + 16 : int(hard);
        if (m_previous.rlim_cur != RLIM_INFINITY && m_previous.rlim_cur < rlim_t(top)) {
            rlimit raised = m_previous;
            raised.rlim_cur = rlim_t(top);
            if (::setrlimit(RLIMIT_NOFILE, &raised) != 0)
                return -1;
            m_changed = true;
        }
        for (int fd = std::min(wanted, top - 1); fd < top; ++fd) {
            if (isClosedDescriptor(fd))
                return fd;
        }
        return -1;
    }

private:
    rlimit m_previous{};
    bool m_changed = false;
};

} // namespace

Q_DECLARE_METATYPE(Situation)

class TestMWinsock2 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void textToAddress_data();
    void textToAddress();
    void addressToText_data();
    void addressToText();
    void addressRoundTrip();
    void resolveHost_data();
    void resolveHost();
    void addressesOfEitherFamily_data();
    void addressesOfEitherFamily();

    void codePageAllByteValues();
    void toCodePage_data();
    void toCodePage();

    void pollReadable_data();
    void pollReadable();
    void isWritable_data();
    void isWritable();

    void receiveText_data();
    void receiveText();
    void receiveTextWithoutBytes_data();
    void receiveTextWithoutBytes();
    void receiveTextReadsAtMost8192();

    void sendText_data();
    void sendText();
    void sendTextFails_data();
    void sendTextFails();
    void sendTextWaitsForSlowReader();
    void sendTextGivesUpOnStalledReader();

    void descriptorAbove1023();

    void listenAcceptConnect();
    void connectToClosedPortFails();
    void bindToPortInUse_data();
    void bindToPortInUse();
    void bindAgainAfterConnectionGone();
    void closeSocket();
};

void TestMWinsock2::initTestCase()
{
    QCOMPARE(mWinsock2::StartupSockets(), 0);
}

void TestMWinsock2::cleanupTestCase()
{
    mWinsock2::CleanupSockets();
}

// --- Address conversion and name resolution ---------------------------------

void TestMWinsock2::textToAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Address>("expected");

    QTest::newRow("four parts") << "127.0.0.1" << addressOf(127, 0, 0, 1);
    QTest::newRow("no leading zeros needed") << "10.0.0.1" << addressOf(10, 0, 0, 1);
    QTest::newRow("all zero") << "0.0.0.0" << addressOf(0, 0, 0, 0);
    QTest::newRow("two parts") << "127.1" << addressOf(127, 0, 0, 1);
    QTest::newRow("three parts") << "10.1.2" << addressOf(10, 1, 0, 2);
    QTest::newRow("three parts, last fills 16 bits") << "10.1.258" << addressOf(10, 1, 1, 2);
    QTest::newRow("two parts, last fills 24 bits") << "10.65538" << addressOf(10, 1, 0, 2);
    QTest::newRow("hex part") << "0x7f.1" << addressOf(127, 0, 0, 1);
    QTest::newRow("octal part") << "0177.0.0.1" << addressOf(127, 0, 0, 1);
    QTest::newRow("single number") << "2130706433" << addressOf(127, 0, 0, 1);
    QTest::newRow("single hex number") << "0x7F000001" << addressOf(127, 0, 0, 1);
    QTest::newRow("all ones is the failure value") << "255.255.255.255" << AddressFailure;

    QTest::newRow("empty") << "" << AddressFailure;
    QTest::newRow("name") << "localhost" << AddressFailure;
    QTest::newRow("five parts") << "1.2.3.4.5" << AddressFailure;
    QTest::newRow("first part above 255") << "256.1.1.1" << AddressFailure;
    QTest::newRow("last of four above 255") << "1.2.3.256" << AddressFailure;
    QTest::newRow("last of three above 16 bits") << "1.2.65536" << AddressFailure;
    QTest::newRow("single number above 32 bits") << "4294967296" << AddressFailure;
    QTest::newRow("trailing dot") << "1.2.3." << AddressFailure;
    QTest::newRow("letter after") << "127.0.0.1x" << AddressFailure;
    QTest::newRow("8 in an octal part") << "08.0.0.1" << AddressFailure;
    QTest::newRow("embedded NUL") << QStringLiteral("127.0.0.1") + QChar(0) + QLatin1Char('x') << AddressFailure;
    QTest::newRow("trailing NUL") << QStringLiteral("127.0.0.1") + QChar(0) << AddressFailure;
    // U+0131 and U+0120 have the low bytes of "1" and " ": a conversion that
    // dropped the high byte would turn these into valid addresses.
    QTest::newRow("non-Latin-1 first") << QChar(0x0131) + QStringLiteral("27.0.0.1") << AddressFailure;
    QTest::newRow("non-Latin-1 last") << QStringLiteral("127.0.0.1") + QChar(0x0131) << AddressFailure;
    QTest::newRow("non-Latin-1 space") << QStringLiteral("127.0.0.1") + QChar(0x0120) << AddressFailure;
}

void TestMWinsock2::textToAddress()
{
    QFETCH(QString, text);
    QFETCH(Address, expected);

    QCOMPARE(mWinsock2::TextToAddress(text), expected);
}

void TestMWinsock2::addressToText_data()
{
    QTest::addColumn<Address>("address");
    QTest::addColumn<QString>("expected");

    QTest::newRow("loopback") << addressOf(127, 0, 0, 1) << "127.0.0.1";
    QTest::newRow("no leading zeros") << addressOf(10, 0, 0, 1) << "10.0.0.1";
    QTest::newRow("all zero") << addressOf(0, 0, 0, 0) << "0.0.0.0";
    QTest::newRow("first octet zero") << addressOf(0, 1, 20, 200) << "0.1.20.200";
    QTest::newRow("three digits each") << addressOf(192, 168, 100, 254) << "192.168.100.254";
    QTest::newRow("failure value") << AddressFailure << "255.255.255.255";
}

void TestMWinsock2::addressToText()
{
    QFETCH(Address, address);
    QFETCH(QString, expected);

    QCOMPARE(mWinsock2::AddressToText(address), expected);
    QCOMPARE(mWinsock2::TextToAddress(expected), address);
}

void TestMWinsock2::addressRoundTrip()
{
    QStringList texts;
    QStringList expected;
    for (int v = 0; v < 256; ++v) {
        const Address address = addressOf(quint8(v), quint8(255 - v), quint8(v * 7), quint8(v * 13 + 1));
        expected.append(QStringLiteral("%1.%2.%3.%4")
                            .arg(v).arg(255 - v).arg((v * 7) & 255).arg((v * 13 + 1) & 255));
        texts.append(mWinsock2::AddressToText(address));
        QCOMPARE(mWinsock2::TextToAddress(texts.last()), address);
    }
    // Compared only now: a text must stay as it was while later ones are made.
    QCOMPARE(texts, expected);
}

void TestMWinsock2::resolveHost_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<Address>("address");

    QTest::newRow("dotted") << "10.0.0.1" << "10.0.0.1" << addressOf(10, 0, 0, 1);
    QTest::newRow("short form kept as given") << "127.1" << "127.1" << addressOf(127, 0, 0, 1);
    QTest::newRow("hex form kept as given") << "0x7f.1" << "0x7f.1" << addressOf(127, 0, 0, 1);
    QTest::newRow("localhost") << "localhost" << "127.0.0.1" << addressOf(127, 0, 0, 1);
    QTest::newRow("all ones") << "255.255.255.255" << "255.255.255.255" << AddressFailure;
    QTest::newRow("unresolvable") << "no-such-host.invalid" << "" << AddressFailure;
    QTest::newRow("empty") << "" << "" << AddressFailure;
    QTest::newRow("NUL inside a name") << QStringLiteral("localhost") + QChar(0) + QLatin1Char('x') << ""
                                       << AddressFailure;
}

void TestMWinsock2::resolveHost()
{
    QFETCH(QString, host);
    QFETCH(QString, expected);
    QFETCH(Address, address);

    const QString resolved = mWinsock2::ResolveHost(host);
    QCOMPARE(resolved, expected);
    QCOMPARE(mWinsock2::TextToAddress(resolved), address);
}

// --- The 8-bit code page ----------------------------------------------------

// What Connect makes of a host text that needs no lookup, shown as the
// status lines show it: RFC 5952 for IPv6, IPv4 texts as inet_addr reads them.
void TestMWinsock2::addressesOfEitherFamily_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown"); // empty: not an address
    QTest::newRow("ipv4") << "10.1.2.3" << "10.1.2.3";
    QTest::newRow("ipv4 short, octal, hex") << "0x7f.010.1" << "127.8.0.1";
    QTest::newRow("ipv6 loopback") << "::1" << "::1";
    QTest::newRow("ipv6 zeros compressed") << "2001:db8:0:0:1:0:0:1" << "2001:db8::1:0:0:1";
    QTest::newRow("ipv6 leading zeros, capitals") << "2001:0DB8::0001" << "2001:db8::1";
    QTest::newRow("ipv6 one zero field kept") << "2001:db8:0:1:1:1:1:1" << "2001:db8:0:1:1:1:1:1";
    QTest::newRow("ipv6 all zeros") << "0:0:0:0:0:0:0:0" << "::";
    QTest::newRow("ipv4-mapped reads as ipv4") << "::ffff:192.0.2.1" << "192.0.2.1";
    QTest::newRow("ipv6 link-local with scope") << "fe80::1%1" << "fe80::1%";
    QTest::newRow("two double colons") << "1::2::3" << "";
    QTest::newRow("brackets") << "[::1]" << "";
    QTest::newRow("nine groups") << "1:2:3:4:5:6:7:8:9" << "";
    QTest::newRow("NUL inside") << QString::fromLatin1("::1\0", 4) << "";
}

void TestMWinsock2::addressesOfEitherFamily()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    bool looked = false;
    const mWinsock2::Lookup lookup = [&](const std::string&) {
        looked = true;
        return std::vector<mWinsock2::SockAddr>{};
    };
    const auto found = mWinsock2::ResolveAddresses(text, lookup, std::chrono::seconds(1), {});
    if (shown.isEmpty()) {
        QVERIFY(found.empty());
        return;
    }
    QCOMPARE(found.size(), std::size_t(1));
    QVERIFY(!looked);
    // A scope shows by its interface's name, which differs between machines.
    const QString text2 = mWinsock2::AddressToText(found[0]);
    QVERIFY2(text2.startsWith(shown), qPrintable(text2));
    if (!shown.endsWith(u'%'))
        QCOMPARE(text2, shown);
}

void TestMWinsock2::codePageAllByteValues()
{
    const QByteArray bytes = allByteValues();

    const QString text = mWinsock2::FromCodePage(bytes);
    QCOMPARE(text.size(), 256);
    for (int b = 0; b < 256; ++b)
        QCOMPARE(int(text.at(b).unicode()), b);

    QCOMPARE(mWinsock2::ToCodePage(text), bytes);
}

void TestMWinsock2::toCodePage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");

    const QChar high(char16_t(0xD83D));
    const QChar low(char16_t(0xDE00));

    QTest::newRow("ASCII") << "abc" << QByteArray("abc");
    QTest::newRow("NUL kept") << QChar(0) + QStringLiteral("a") << QByteArray("\0a", 2);
    QTest::newRow("Latin-1 top half") << QStringLiteral("\u00e9\u00ff") << QByteArray("\xe9\xff");
    QTest::newRow("euro sign") << QStringLiteral("a\u20acb") << QByteArray("a?b");
    QTest::newRow("low byte of a digit") << QString(QChar(0x0131)) << QByteArray("?");
    QTest::newRow("two CJK characters") << QStringLiteral("\u4e2d\u6587") << QByteArray("??");
    QTest::newRow("emoji is one character") << QStringLiteral("a\U0001F600b") << QByteArray("a?b");
    QTest::newRow("two emoji") << QStringLiteral("\U0001F600\U0001F601") << QByteArray("??");
    QTest::newRow("lone high surrogate") << high + QStringLiteral("b") << QByteArray("?b");
    QTest::newRow("high surrogate at the end") << QStringLiteral("a") + high << QByteArray("a?");
    QTest::newRow("lone low surrogate") << low + QStringLiteral("b") << QByteArray("?b");
    QTest::newRow("low before high") << QString(low) + high << QByteArray("??");
}

void TestMWinsock2::toCodePage()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);

    QCOMPARE(mWinsock2::ToCodePage(text), expected);
}

// --- Readiness polling ------------------------------------------------------

void TestMWinsock2::pollReadable_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::addColumn<int>("expected");

    QTest::newRow("connected, nothing waiting") << Situation::Idle << 0;
    QTest::newRow("data waiting") << Situation::DataWaiting << 1;
    QTest::newRow("peer closed") << Situation::PeerClosed << 1;
    QTest::newRow("peer reset") << Situation::PeerReset << 1;
    QTest::newRow("listener, nobody connecting") << Situation::ListenerIdle << 0;
    QTest::newRow("listener, connection waiting") << Situation::ListenerPending << 1;
    QTest::newRow("invalid handle") << Situation::InvalidHandle << -1;
    QTest::newRow("closed handle") << Situation::ClosedHandle << -1;
}

void TestMWinsock2::pollReadable()
{
    QFETCH(Situation, situation);
    QFETCH(int, expected);

    Scene scene;
    QVERIFY2(prepare(situation, scene), "could not set up the loopback sockets");

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(mWinsock2::PollReadable(scene.handle), expected);
    QCOMPARE_LT(clock.elapsed(), AtOnceMs);
}

void TestMWinsock2::isWritable_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::addColumn<bool>("expected");

    QTest::newRow("fresh connection") << Situation::Idle << true;
    QTest::newRow("peer closed") << Situation::PeerClosed << true;
    QTest::newRow("send buffer full") << Situation::SendBufferFull << false;
    QTest::newRow("invalid handle") << Situation::InvalidHandle << true;
    QTest::newRow("closed handle") << Situation::ClosedHandle << true;
}

void TestMWinsock2::isWritable()
{
    QFETCH(Situation, situation);
    QFETCH(bool, expected);

    Scene scene;
    QVERIFY2(prepare(situation, scene), "could not set up the loopback sockets");

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(mWinsock2::IsWritable(scene.handle), expected);
    QCOMPARE_LT(clock.elapsed(), AtOnceMs);
}

// --- Receiving --------------------------------------------------------------

void TestMWinsock2::receiveText_data()
{
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("hello") << QByteArray("hello");
    QTest::newRow("CR LF untranslated") << QByteArray("\r\n");
    QTest::newRow("bare CR") << QByteArray("a\rb");
    QTest::newRow("zero byte kept") << QByteArray("a\0b", 3);
    QTest::newRow("all byte values in order") << allByteValues();
}

void TestMWinsock2::receiveText()
{
    QFETCH(QByteArray, sent);

    Connection c;
    QVERIFY(c.open());
    QVERIFY(sendAll(c.peer.get(), sent));
    QVERIFY(waitForBytes(c.ours.get(), int(sent.size())));

    QString text = QStringLiteral("previous");
    QCOMPARE(mWinsock2::ReceiveText(c.ours.get(), text), int(sent.size()));
    QCOMPARE(text.size(), sent.size());
    QCOMPARE(text, charactersOf(sent));
}

void TestMWinsock2::receiveTextWithoutBytes_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::addColumn<int>("expected");

    QTest::newRow("nothing waiting") << Situation::Idle << 0;
    QTest::newRow("peer closed") << Situation::PeerClosed << 0;
    QTest::newRow("peer reset") << Situation::PeerReset << -1;
    QTest::newRow("invalid handle") << Situation::InvalidHandle << -1;
    QTest::newRow("closed handle") << Situation::ClosedHandle << -1;
}

void TestMWinsock2::receiveTextWithoutBytes()
{
    QFETCH(Situation, situation);
    QFETCH(int, expected);

    Scene scene;
    QVERIFY2(prepare(situation, scene), "could not set up the loopback sockets");

    QString text = QStringLiteral("previous");
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(mWinsock2::ReceiveText(scene.handle, text), expected);
    QCOMPARE_LT(clock.elapsed(), AtOnceMs);
    QCOMPARE(text, QStringLiteral("previous"));
}

void TestMWinsock2::receiveTextReadsAtMost8192()
{
    QByteArray sent;
    for (int i = 0; i < 10000; ++i)
        sent.append(char(i % 251));

    Connection c;
    QVERIFY(c.open());
    QVERIFY(sendAll(c.peer.get(), sent));
    QVERIFY(waitForBytes(c.ours.get(), int(sent.size())));

    QString text;
    QCOMPARE(mWinsock2::ReceiveText(c.ours.get(), text), 8192);
    QCOMPARE(text, charactersOf(sent.first(8192)));

    QCOMPARE(mWinsock2::ReceiveText(c.ours.get(), text), 1808);
    QCOMPARE(text, charactersOf(sent.sliced(8192)));

    QCOMPARE(mWinsock2::ReceiveText(c.ours.get(), text), 0);
    QCOMPARE(text, charactersOf(sent.sliced(8192)));
}

// --- Sending ----------------------------------------------------------------

void TestMWinsock2::sendText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QByteArray>("received");

    QTest::newRow("empty") << QStringLiteral("") << -1 << QByteArray();
    QTest::newRow("null") << QString() << -1 << QByteArray();
    QTest::newRow("abc") << "abc" << 3 << QByteArray("abc");
    QTest::newRow("CR LF") << "\r\n" << 2 << QByteArray("\r\n");
    QTest::newRow("NUL kept") << QChar(0) + QStringLiteral("z") << 2 << QByteArray("\0z", 2);
    QTest::newRow("all byte values in order") << charactersOf(allByteValues()) << 256 << allByteValues();
    QTest::newRow("non-Latin-1 becomes ?") << QStringLiteral("a\u20acb") << 3 << QByteArray("a?b");
    QTest::newRow("emoji becomes one ?") << QStringLiteral("a\U0001F600b") << 3 << QByteArray("a?b");
}

void TestMWinsock2::sendText()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QFETCH(QByteArray, received);

    Connection c;
    QVERIFY(c.open());

    QCOMPARE(mWinsock2::SendText(c.ours.get(), text), expected);

    c.ours.reset();
    const std::optional<QByteArray> arrived = readUntilEof(c.peer.get());
    QVERIFY2(arrived, "the peer did not see the end of the connection");
    QCOMPARE(*arrived, received);
}

void TestMWinsock2::sendTextFails_data()
{
    QTest::addColumn<Situation>("situation");

    QTest::newRow("send buffer full") << Situation::SendBufferFull;
    QTest::newRow("peer reset") << Situation::PeerReset;
    QTest::newRow("invalid handle") << Situation::InvalidHandle;
    QTest::newRow("closed handle") << Situation::ClosedHandle;
}

void TestMWinsock2::sendTextFails()
{
    QFETCH(Situation, situation);

    const SigpipeNotIgnored sigpipe;
    Scene scene;
    QVERIFY2(prepare(situation, scene), "could not set up the loopback sockets");

    // Twice: after a reset, it is the second send that raises SIGPIPE.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(mWinsock2::SendText(scene.handle, QStringLiteral("xyz")), -1);
    QCOMPARE(mWinsock2::SendText(scene.handle, QStringLiteral("xyz")), -1);
    // None of these may sit out the time limit: a handle that cannot take
    // the text is refused at once.
    QCOMPARE_LT(clock.elapsed(), qint64(mWinsock2::SendTimeLimit.count() / 2));

    if (situation == Situation::SendBufferFull) {
        scene.connection.ours.reset();
        const std::optional<QByteArray> arrived = readUntilEof(scene.connection.peer.get());
        QVERIFY2(arrived, "the peer did not see the end of the connection");
        QCOMPARE(qint64(arrived->size()), scene.queued);
        QCOMPARE(qint64(arrived->count('F')), scene.queued);
    }
}

void TestMWinsock2::sendTextWaitsForSlowReader()
{
    constexpr int size = 4 * 1024 * 1024;
    QByteArray expected(size, Qt::Uninitialized);
    QString text(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        expected[i] = char(i % 251);
        text[i] = QChar(char16_t(i % 251));
    }

    Connection c;
    QVERIFY(c.open(32 * 1024));

    // The peer takes small bites with pauses until our close, or gives up.
    QByteArray received;
    std::thread reader([&received, fd = c.peer.get()] {
        std::array<char, 16384> bite;
        const auto deadline = steady_clock::now() + 60s;
        while (steady_clock::now() < deadline) {
            if (!waitForEvents(fd, POLLIN, 100ms))
                continue;
            const auto n = ::recv(fd, bite.data(), bite.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            received.append(bite.data(), n);
            std::this_thread::sleep_for(1ms);
        }
    });

    const int result = mWinsock2::SendText(c.ours.get(), text, 30s);
    c.ours.reset();
    reader.join();

    QCOMPARE(result, size);
    QVERIFY2(received == expected, describeDifference(received, expected).constData());
}

void TestMWinsock2::sendTextGivesUpOnStalledReader()
{
    const QString text(4 * 1024 * 1024, u's');

    Connection c;
    QVERIFY(c.open(SmallBuffer));

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(mWinsock2::SendText(c.ours.get(), text, 300ms), -1);
    const qint64 elapsed = clock.elapsed();

    QVERIFY2(elapsed >= 250, qPrintable(QStringLiteral("gave up after %1 ms, before its limit").arg(elapsed)));
    QVERIFY2(elapsed < 5000, qPrintable(QStringLiteral("still sending after %1 ms").arg(elapsed)));
}

// --- Descriptor numbers beyond select()'s reach -----------------------------

void TestMWinsock2::descriptorAbove1023()
{
    DescriptorLimit limit;
    const int high = limit.freeNumberNear(1500);
    if (high < 0)
        QSKIP("no descriptor number above 1023 available (hard RLIMIT_NOFILE below 1100)");

    Connection c;
    QVERIFY(c.open());
    QCOMPARE(::dup2(c.ours.get(), high), high);
    Fd ours(high);
    c.ours.reset();

    QCOMPARE(mWinsock2::PollReadable(high), 0);
    QVERIFY(mWinsock2::IsWritable(high));

    QVERIFY(sendAll(c.peer.get(), "ping"));
    QVERIFY(waitForBytes(high, 4));
    QCOMPARE(mWinsock2::PollReadable(high), 1);
    QString text;
    QCOMPARE(mWinsock2::ReceiveText(high, text), 4);
    QCOMPARE(text, QStringLiteral("ping"));

    QCOMPARE(mWinsock2::SendText(high, QStringLiteral("pong")), 4);
    ours.reset();
    const std::optional<QByteArray> arrived = readUntilEof(c.peer.get());
    QVERIFY2(arrived, "the peer did not see the end of the connection");
    QCOMPARE(*arrived, QByteArray("pong"));
}

// --- Socket handles ---------------------------------------------------------

void TestMWinsock2::listenAcceptConnect()
{
    Fd listener(mWinsock2::CreateTcpSocket());
    QVERIFY(listener.get() != InvalidSocket);
    QCOMPARE(mWinsock2::BindSocket(listener.get(), testpeer::loopback(0)), 0);
    QCOMPARE(mWinsock2::StartListening(listener.get(), 5), 0);
    const quint16 port = testpeer::localPort(listener.get());
    QVERIFY(port != 0);

    Fd client(mWinsock2::CreateTcpSocket());
    QVERIFY(client.get() != InvalidSocket);
    QCOMPARE(mWinsock2::ConnectSocket(client.get(), testpeer::loopback(port)), 0);
    QVERIFY(waitForEvents(listener.get(), POLLIN, NetworkWait) & POLLIN);

    mWinsock2::SockAddrIn peer;
    std::memset(&peer, 0xab, sizeof peer);
    Fd accepted(mWinsock2::AcceptConnection(listener.get(), peer));
    QVERIFY(accepted.get() != InvalidSocket);
    QCOMPARE(peer.sin_family, sa_family_t(AF_INET));
    QCOMPARE(ntohl(peer.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
    QCOMPARE(ntohs(peer.sin_port), testpeer::localPort(client.get()));

    // Blocking, and not handed on to programs the window starts.
    for (int fd : {listener.get(), client.get(), accepted.get()}) {
        QCOMPARE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }

    // The two handles are the ends of one connection.
    QVERIFY(sendAll(client.get(), "hi"));
    QVERIFY(waitForBytes(accepted.get(), 2));
    char buffer[2];
    QCOMPARE(::recv(accepted.get(), buffer, sizeof buffer, 0), ssize_t(2));
    QCOMPARE(QByteArray(buffer, 2), QByteArray("hi"));

    // Without a listen there is nothing to accept: a failure, not a wait.
    Fd unlistened(mWinsock2::CreateTcpSocket());
    QCOMPARE(mWinsock2::BindSocket(unlistened.get(), testpeer::loopback(0)), 0);
    QCOMPARE(mWinsock2::AcceptConnection(unlistened.get(), peer), InvalidSocket);
}

void TestMWinsock2::connectToClosedPortFails()
{
    // Bound but not listening: the port stays reserved and refuses.
    Fd holder = newTcpSocket();
    const sockaddr_in any = testpeer::loopback(0);
    QCOMPARE(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    const quint16 port = testpeer::localPort(holder.get());
    QVERIFY(port != 0);

    Fd s(mWinsock2::CreateTcpSocket());
    QVERIFY(s.get() != InvalidSocket);
    QCOMPARE(mWinsock2::ConnectSocket(s.get(), testpeer::loopback(port)), -1);
}

void TestMWinsock2::bindToPortInUse_data()
{
    QTest::addColumn<quint32>("listenerAddress");

    QTest::newRow("listener on 127.0.0.1") << quint32(INADDR_LOOPBACK);
    QTest::newRow("listener on every address") << quint32(INADDR_ANY);
}

void TestMWinsock2::bindToPortInUse()
{
    QFETCH(quint32, listenerAddress);

    Fd listener = newTcpSocket();
    sockaddr_in address = testpeer::loopback(0);
    address.sin_addr.s_addr = htonl(listenerAddress);
    QCOMPARE(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    QCOMPARE(::listen(listener.get(), 1), 0);
    const quint16 port = testpeer::localPort(listener.get());
    QVERIFY(port != 0);

    Fd s(mWinsock2::CreateTcpSocket());
    QVERIFY(s.get() != InvalidSocket);
    QCOMPARE(mWinsock2::BindSocket(s.get(), testpeer::loopback(port)), -1);
}

void TestMWinsock2::bindAgainAfterConnectionGone()
{
    Fd first(mWinsock2::CreateTcpSocket());
    QCOMPARE(mWinsock2::BindSocket(first.get(), testpeer::loopback(0)), 0);
    QCOMPARE(mWinsock2::StartListening(first.get(), 1), 0);
    const quint16 port = testpeer::localPort(first.get());
    QVERIFY(port != 0);

    Fd client = newTcpSocket();
    const sockaddr_in address = testpeer::loopback(port);
    QCOMPARE(::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    mWinsock2::SockAddrIn peer;
    Fd accepted(mWinsock2::AcceptConnection(first.get(), peer));
    QVERIFY(accepted.get() != InvalidSocket);

    // Our side closes first, so its end of the connection lingers on the port.
    accepted.reset();
    QVERIFY2(readUntilEof(client.get()), "the client did not see the end of the connection");
    client.reset();
    first.reset();

    Fd control = newTcpSocket();
    const sockaddr_in again = testpeer::loopback(port);
    if (::bind(control.get(), reinterpret_cast<const sockaddr*>(&again), sizeof again) == 0)
        QSKIP("this system kept nothing on the port after the connection went: nothing to check");
    QCOMPARE(errno, EADDRINUSE);
    control.reset();

    Fd second(mWinsock2::CreateTcpSocket());
    QCOMPARE(mWinsock2::BindSocket(second.get(), testpeer::loopback(port)), 0);
    QCOMPARE(mWinsock2::StartListening(second.get(), 1), 0);
}

void TestMWinsock2::closeSocket()
{
    Connection c;
    QVERIFY(c.open());

    // A second descriptor keeps the socket itself alive: the peer still sees
    // the end, because both directions are shut down before the release.
    Fd duplicate(::dup(c.ours.get()));
    QVERIFY(duplicate.isOpen());

    const SocketHandle handle = c.ours.release();
    mWinsock2::CloseSocket(handle);
    QVERIFY(isClosedDescriptor(handle));

    const std::optional<QByteArray> arrived = readUntilEof(c.peer.get());
    QVERIFY2(arrived, "the peer did not see the end of the connection");
    QCOMPARE(*arrived, QByteArray());

    mWinsock2::CloseSocket(InvalidSocket);
    QVERIFY(!isClosedDescriptor(duplicate.get()));
    QVERIFY(!isClosedDescriptor(c.peer.get()));
}

QTEST_APPLESS_MAIN(TestMWinsock2)

#include "tst_mwinsock2.moc"

// The socket platform code on its own, with no Qt: one table of cases that
// both builds answer, the native one under CTest and the Windows one (MinGW,
// Winsock) under Wine, over loopback only. Every wait is bounded.
//
// Prints a line per case and closes with "N passed, N failed"; the exit
// status is 0 only when nothing failed. A case this machine cannot run (IPv6
// where loopback has none) prints SKIP and counts in neither.

#include "sockplatform.h"

#ifdef _WIN32
#  include <winsock2.h>
#  include <windows.h>

#  include <fcntl.h>
#  include <io.h>
#else
#  include <fcntl.h>
#  include <signal.h>
#  include <sys/socket.h>
#  include <unistd.h>
#endif

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using sockplatform::Handle;
using sockplatform::InvalidHandle;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr std::uint32_t Loopback = 0x7f000001;

// Every wait for the network ends after this long at most.
constexpr milliseconds NetworkWait = 5s;

// What a case found wrong; a case passes when it found nothing. A case that
// cannot run here (no IPv6) says why in skipped.
struct Faults
{
    std::vector<std::string> found;
    std::string skipped;

    bool expect(bool ok, std::string what)
    {
        if (!ok)
            found.push_back(std::move(what));
        return ok;
    }
};

// A handle, closed when it goes.
class Socket
{
public:
    explicit Socket(Handle h = InvalidHandle) : m_h(h) { }
    Socket(Socket&& other) noexcept : m_h(std::exchange(other.m_h, InvalidHandle)) { }
    Socket& operator=(Socket&& other) noexcept
    {
        reset(std::exchange(other.m_h, InvalidHandle));
        return *this;
    }
    ~Socket() { reset(); }

    Handle get() const { return m_h; }
    bool isOpen() const { return m_h != InvalidHandle; }
    Handle release() { return std::exchange(m_h, InvalidHandle); }
    void reset(Handle h = InvalidHandle)
    {
        if (m_h != InvalidHandle)
            sockplatform::Close(m_h);
        m_h = h;
    }

private:
    Handle m_h;
};

// Makes the close send a reset instead of an orderly end. The platform code
// never does this, so the test does it itself.
void resetAndClose(Socket& s)
{
    const Handle h = s.release();
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    ::setsockopt(h, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
#ifdef _WIN32
    ::closesocket(h);
#else
    ::close(h);
#endif
}

// True when a program started from this one would get the handle too.
bool inheritable(Handle h)
{
#ifdef _WIN32
    DWORD flags = 0;
    return !::GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)
           || (flags & HANDLE_FLAG_INHERIT) != 0;
#else
    const int flags = ::fcntl(h, F_GETFD);
    return flags < 0 || (flags & FD_CLOEXEC) == 0;
#endif
}

// Polls until the handle is readable: true when it is, false after `limit`.
bool waitReadable(Handle h, milliseconds limit = NetworkWait)
{
    const auto deadline = steady_clock::now() + limit;
    while (steady_clock::now() < deadline) {
        const std::int32_t r = sockplatform::PollReadable(h);
        if (r != 0)
            return r == 1;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

// Reads until `count` bytes have come, the peer ends the connection, or the
// wait runs out.
std::string receiveUpTo(Handle h, std::size_t count, milliseconds limit = NetworkWait)
{
    std::string bytes;
    std::vector<char> buffer(65536);
    const auto deadline = steady_clock::now() + limit;
    while (bytes.size() < count && steady_clock::now() < deadline) {
        if (!waitReadable(h, std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now())))
            break;
        const std::int32_t n = sockplatform::Receive(h, buffer);
        if (n <= 0)
            break;
        bytes.append(buffer.data(), std::size_t(n));
    }
    return bytes;
}

sockplatform::AddressRecord loopback6(std::uint16_t port)
{
    sockplatform::AddressRecord record;
    sockplatform::ParseIpv6("::1", record);
    sockplatform::SetRecordPort(record, port);
    return record;
}

// A socket bound to the address, port 0 giving a port the system picks.
Socket boundTo(const sockplatform::AddressRecord& address)
{
    Socket s(sockplatform::CreateTcp(sockplatform::RecordFamily(address)));
    if (s.isOpen() && sockplatform::Bind(s.get(), address) != 0)
        s.reset();
    return s;
}

// A listening socket on 127.0.0.1 (or another address) at a port the
// system picked.
struct Listener
{
    Socket s;
    std::uint16_t port = 0;

    bool open(int backlog = 8, const sockplatform::AddressRecord& at = sockplatform::Ipv4Record(Loopback, 0))
    {
        s = boundTo(at);
        if (!s.isOpen() || sockplatform::Listen(s.get(), backlog) != 0)
            return false;
        port = sockplatform::LocalPort(s.get());
        return port != 0;
    }
};

// Whether this system gives IPv6 on loopback: a socket bound to ::1.
bool ipv6OnLoopback()
{
    return boundTo(loopback6(0)).isOpen();
}

// A listener that accepts nothing, its queue filled: Linux drops every
// further SYN to it, as a firewall that drops packets would.
struct FullQueue
{
    Listener listener;
    std::vector<Socket> fillers;

    bool open()
    {
        if (!listener.open(0))
            return false;
        for (int i = 0; i < 4; ++i) {
            bool connected = false;
            fillers.emplace_back(sockplatform::StartConnect(address(), connected));
        }
        std::this_thread::sleep_for(50ms); // the handshakes that can complete have
        return true;
    }
    sockplatform::AddressRecord address() const { return sockplatform::Ipv4Record(Loopback, listener.port); }
};

// Both ends of one loopback connection: `client` connected, `server` accepted.
struct Connection
{
    Socket client;
    Socket server;

    bool open()
    {
        Listener listener;
        if (!listener.open())
            return false;
        client = Socket(sockplatform::CreateTcp());
        if (!client.isOpen()
            || sockplatform::Connect(client.get(), sockplatform::Ipv4Record(Loopback, listener.port)) != 0
            || !waitReadable(listener.s.get()))
            return false;
        sockplatform::AddressRecord peer;
        server = Socket(sockplatform::Accept(listener.s.get(), peer));
        return server.isOpen();
    }
};

std::string allByteValues()
{
    std::string bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[std::size_t(i)] = char(i);
    return bytes;
}

std::int32_t sendAll(Handle h, const std::string& bytes, milliseconds limit = NetworkWait)
{
    return sockplatform::SendAll(h, std::span<const char>(bytes.data(), bytes.size()), limit);
}

std::string show(std::int32_t n) { return std::to_string(n); }

// --- The cases --------------------------------------------------------------

void startup(Faults& f)
{
    f.expect(sockplatform::Startup() == 0, "Startup failed");
    Socket s(sockplatform::CreateTcp());
    f.expect(s.isOpen(), "no socket after Startup");
}

void addressText(Faults& f)
{
    // The text, and the dotted text of what it parses to ("" for no address).
    const std::pair<std::string, std::string> rows[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"0.1.20.200", "0.1.20.200"},
        {"192.168.100.254", "192.168.100.254"},
        {"127.1", "127.0.0.1"},
        {"10.1.258", "10.1.1.2"},
        {"0x7f.1", "127.0.0.1"},
        {"0177.0.0.1", "127.0.0.1"},
        {"2130706433", "127.0.0.1"},
        {"", ""},
        {"localhost", ""},
        {"256.1.1.1", ""},
        {"1.2.3.4.5", ""},
        {"1.2.3.", ""},
        {"127.0.0.1x", ""},
        {"08.0.0.1", ""},
        {std::string("127.0.0.1\0x", 11), ""},
    };
    for (const auto& [text, expected] : rows) {
        const std::int32_t address = sockplatform::ParseIpv4(text);
        const std::string dotted = address == -1 ? std::string() : sockplatform::FormatIpv4(address);
        f.expect(dotted == expected,
                 "\"" + text + "\" gave \"" + dotted + "\", expected \"" + expected + "\"");
    }
    f.expect(sockplatform::FormatIpv4(-1) == "255.255.255.255", "all ones not 255.255.255.255");
}

void resolveLiteral(Faults& f)
{
    const std::vector<sockplatform::AddressRecord> found = sockplatform::LookupHost("127.0.0.1");
    f.expect(!found.empty(), "127.0.0.1 did not resolve")
        && f.expect(sockplatform::FormatAddress(found.front()) == "127.0.0.1",
                    "127.0.0.1 resolved to " + sockplatform::FormatAddress(found.front()));
}

void listen(Faults& f)
{
    Listener listener;
    if (!f.expect(listener.open(), "could not listen on 127.0.0.1, port 0"))
        return;
    // A second socket may not take a port that is listened on.
    Socket second(sockplatform::CreateTcp());
    f.expect(sockplatform::Bind(second.get(), sockplatform::Ipv4Record(Loopback, listener.port)) == -1,
             "a second socket was bound to a port in use");
}

void connectAndRefused(Faults& f)
{
    Listener listener;
    if (!f.expect(listener.open(), "no listener"))
        return;
    Socket client(sockplatform::CreateTcp());
    f.expect(sockplatform::Connect(client.get(), sockplatform::Ipv4Record(Loopback, listener.port)) == 0,
             "connect to a listener failed");

    // Bound but not listening: the port stays ours and refuses.
    Socket holder(sockplatform::CreateTcp());
    sockplatform::Bind(holder.get(), sockplatform::Ipv4Record(Loopback, 0));
    const std::uint16_t closed = sockplatform::LocalPort(holder.get());
    Socket refused(sockplatform::CreateTcp());
    f.expect(closed != 0
                 && sockplatform::Connect(refused.get(), sockplatform::Ipv4Record(Loopback, closed)) == -1,
             "connect to a port nobody listens on did not fail");

    // The bounded connect: a refusal is seen as soon as it comes and the
    // next address is tried at once, not after the 5 s stagger.
    const sockplatform::AddressRecord both[] = {sockplatform::Ipv4Record(Loopback, closed),
                                                sockplatform::Ipv4Record(Loopback, listener.port)};
    const auto start = steady_clock::now();
    const sockplatform::Connection c = sockplatform::ConnectFirst(both, 10s, 5s, {});
    const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    Socket connected(c.handle);
    f.expect(connected.isOpen() && c.index == 1,
             "ConnectFirst gave " + std::string(connected.isOpen() ? "a socket" : "nothing")
                 + " at index " + std::to_string(c.index) + ", not the listener's");
    f.expect(took < 4s, "the refusal was noticed only after " + std::to_string(took.count()) + " ms");
    f.expect(!connected.isOpen() || !inheritable(connected.get()), "the connected socket is inheritable");
    f.expect(connected.isOpen() && sendAll(connected.get(), "hi") == 2, "the connected socket does not send");
}

void boundedConnectToFullQueue(Faults& f)
{
    FullQueue silent;
    if (!f.expect(silent.open(), "no listener"))
        return;
    const sockplatform::AddressRecord target = silent.address();

    auto start = steady_clock::now();
    sockplatform::Connection c = sockplatform::ConnectFirst({&target, 1}, 500ms, 250ms, {});
    auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    Socket(c.handle).reset();
    f.expect(c.handle == InvalidHandle, "connected to a listener whose queue is full");
    f.expect(took < 5s, "a 500 ms connect went on for " + std::to_string(took.count()) + " ms");

    // Told to stop at the first chance, it stops.
    int asked = 0;
    start = steady_clock::now();
    c = sockplatform::ConnectFirst({&target, 1}, 10s, 250ms, [&] { return ++asked < 1; });
    took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    Socket(c.handle).reset();
    f.expect(c.handle == InvalidHandle && asked == 1,
             "after being told to stop: " + std::string(c.handle == InvalidHandle ? "no socket" : "a socket")
                 + ", asked " + std::to_string(asked) + " times");
    f.expect(took < 5s, "stopping took " + std::to_string(took.count()) + " ms");
}

void staggeredAttempts(Faults& f)
{
    // The first address drops every SYN, the others answer. The next attempt
    // must start after one stagger, not when the first has given up (which
    // it would only at the time limit), and it must go to the other family:
    // ::1 comes before the second IPv4 address.
    FullQueue silent;
    Listener four;
    Listener six;
    if (!f.expect(silent.open() && four.open(), "no listeners"))
        return;
    std::vector<sockplatform::AddressRecord> addresses = {silent.address(),
                                                          sockplatform::Ipv4Record(Loopback, four.port)};
    if (ipv6OnLoopback() && six.open(8, loopback6(0)))
        addresses.push_back(loopback6(six.port));
    const std::size_t expected = addresses.size() - 1;

    constexpr milliseconds stagger = 200ms;
    const auto start = steady_clock::now();
    const sockplatform::Connection c = sockplatform::ConnectFirst(addresses, 10s, stagger, {});
    const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    Socket connected(c.handle);
    f.expect(connected.isOpen() && c.index == expected,
             "connected: " + std::string(connected.isOpen() ? "yes" : "no") + ", to address "
                 + std::to_string(c.index) + ", expected " + std::to_string(expected));
    f.expect(took >= stagger && took < 3s,
             "connected after " + std::to_string(took.count()) + " ms with a stagger of 200 ms");
}

void accept(Faults& f)
{
    Listener listener;
    if (!f.expect(listener.open(), "no listener"))
        return;
    Socket client(sockplatform::CreateTcp());
    sockplatform::Connect(client.get(), sockplatform::Ipv4Record(Loopback, listener.port));
    if (!f.expect(waitReadable(listener.s.get()), "the listener never became readable"))
        return;
    sockplatform::AddressRecord peer;
    Socket server(sockplatform::Accept(listener.s.get(), peer));
    if (!f.expect(server.isOpen(), "accept failed"))
        return;
    f.expect(sockplatform::RecordPort(peer) == sockplatform::LocalPort(client.get()),
             "the peer's record has port " + std::to_string(sockplatform::RecordPort(peer))
                 + ", the client's port is " + std::to_string(sockplatform::LocalPort(client.get())));
    // The accepted connection's own end: the listener's address and port.
    const sockplatform::AddressRecord here = sockplatform::LocalAddress(server.get());
    std::array<std::uint8_t, 16> address{};
    f.expect(sockplatform::RecordAddressBytes(here, address) == 4 && address[0] == 127
                 && address[1] == 0 && address[2] == 0 && address[3] == 1
                 && sockplatform::RecordPort(here) == listener.port,
             "the accepted connection's own end is " + sockplatform::FormatAddress(here) + " port "
                 + std::to_string(sockplatform::RecordPort(here)));
    f.expect(sockplatform::RecordAddressBytes(sockplatform::LocalAddress(sockplatform::InvalidHandle),
                                              address) == 0,
             "an invalid handle has a local address");
    f.expect(sockplatform::PollReadable(listener.s.get()) == 0,
             "the listener is still readable with nothing left to accept");
    f.expect(!inheritable(listener.s.get()) && !inheritable(client.get()) && !inheritable(server.get()),
             std::string("inheritable:") + (inheritable(listener.s.get()) ? " the listener" : "")
                 + (inheritable(client.get()) ? " the client" : "")
                 + (inheritable(server.get()) ? " the accepted connection" : ""));

    // Bound, never listened on: a failure at once, not a wait.
    Socket unlistened(sockplatform::CreateTcp());
    sockplatform::Bind(unlistened.get(), sockplatform::Ipv4Record(Loopback, 0));
    f.expect(sockplatform::Accept(unlistened.get(), peer) == InvalidHandle,
             "accept on a socket that does not listen did not fail");
}

void readinessPolls(Faults& f)
{
    Connection c;
    if (!f.expect(c.open(), "no connection"))
        return;
    f.expect(sockplatform::PollReadable(c.server.get()) == 0, "readable with nothing sent");
    f.expect(sockplatform::IsWritable(c.client.get()), "a fresh connection is not writable");
    sendAll(c.client.get(), "x");
    f.expect(waitReadable(c.server.get()), "not readable after a byte was sent");

    f.expect(sockplatform::PollReadable(InvalidHandle) == -1, "no handle: PollReadable not -1");
    f.expect(sockplatform::IsWritable(InvalidHandle), "no handle: IsWritable not true");
    const Handle gone = sockplatform::CreateTcp();
    sockplatform::Close(gone);
    f.expect(sockplatform::PollReadable(gone) == -1,
             "closed handle: PollReadable gave " + show(sockplatform::PollReadable(gone)));
    f.expect(sockplatform::Receive(gone, std::span<char>()) == -1, "closed handle: Receive not -1");
}

void allByteValuesBothWays(Faults& f)
{
    Connection c;
    if (!f.expect(c.open(), "no connection"))
        return;
    const std::string bytes = allByteValues();
    f.expect(sendAll(c.client.get(), bytes) == 256, "client's send of 256 bytes failed");
    f.expect(receiveUpTo(c.server.get(), 256) == bytes, "the server did not get the 256 byte values");
    f.expect(sendAll(c.server.get(), bytes) == 256, "server's send of 256 bytes failed");
    f.expect(receiveUpTo(c.client.get(), 256) == bytes, "the client did not get the 256 byte values");
    f.expect(sendAll(c.client.get(), std::string()) == -1, "sending nothing did not give -1");
}

// Runs `send` while a watchdog resets the peer if it has not returned after
// `patience`: a send that blocks for good fails the case instead of hanging it.
std::int32_t sendWithWatchdog(Socket& peer, milliseconds patience, bool& stuck,
                              const std::function<std::int32_t()>& send)
{
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, patience, [&] { return done; })) {
            stuck = true;
            resetAndClose(peer);
        }
    });
    const std::int32_t result = send();
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
    return result;
}

// More than the send and receive buffers of a loopback connection hold.
constexpr std::size_t Plenty = 32 * 1024 * 1024;

// n bytes whose pattern (a period of 251) shows any byte lost or moved.
std::string patterned(std::size_t n)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = char(i % 251);
    return bytes;
}

void boundedSendToPeerThatNeverReads(Faults& f)
{
    Connection c;
    if (!f.expect(c.open(), "no connection"))
        return;
    const std::string bytes(Plenty, 's');
    bool stuck = false;
    const auto start = steady_clock::now();
    const std::int32_t result = sendWithWatchdog(c.server, 15s, stuck, [&] {
        return sendAll(c.client.get(), bytes, 300ms);
    });
    const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    if (!f.expect(!stuck, "the send was still blocked after 15 s"))
        return;
    f.expect(result == -1, "the send gave " + show(result) + ", not -1");
    f.expect(took >= 250ms, "gave up after " + std::to_string(took.count()) + " ms, before its limit");
    f.expect(!sockplatform::IsWritable(c.client.get()), "writable with full buffers");
}

void sendToSlowReaderCompletes(Faults& f)
{
    Connection c;
    if (!f.expect(c.open(), "no connection"))
        return;
    const std::string bytes = patterned(Plenty);
    std::string received;
    std::thread reader([&] { received = receiveUpTo(c.server.get(), bytes.size(), 60s); });
    const std::int32_t result = sendAll(c.client.get(), bytes, 30s);
    reader.join();
    f.expect(result == std::int32_t(bytes.size()), "the send gave " + show(result));
    f.expect(received == bytes, "the reader got " + std::to_string(received.size())
                                    + " bytes, or not the bytes sent");
}

// SendSome never waits: it takes what the buffers have room for, says 0 once
// they are full, and what it took is what arrives, in order; after the
// peer's reset it fails.
void sendSomeNeverWaits(Faults& f)
{
    Connection c;
    if (!f.expect(c.open(), "no connection"))
        return;
    const std::string bytes = patterned(Plenty);
    const std::span<const char> all(bytes.data(), bytes.size());
    f.expect(sockplatform::SendSome(c.client.get(), all.first(0)) == -1, "an empty send did not fail");
    std::size_t taken = 0;
    std::int64_t last = 1;
    const auto start = steady_clock::now();
    while (last > 0 && taken < bytes.size() && steady_clock::now() - start < 15s) {
        last = sockplatform::SendSome(c.client.get(), all.subspan(taken));
        if (last > 0)
            taken += std::size_t(last);
    }
    if (!f.expect(last == 0, "the send into full buffers gave " + std::to_string(last)))
        return;
    f.expect(taken > 0 && taken < bytes.size(), "took " + std::to_string(taken) + " bytes");
    f.expect(!sockplatform::IsWritable(c.client.get()), "writable with full buffers");
    std::string received;
    std::thread reader([&] { received = receiveUpTo(c.server.get(), taken + 3, 30s); });
    // Once the reader has made room, the plain send goes on after them.
    f.expect(sockplatform::WaitReady(c.client.get(), true, 10000), "no room after the reader");
    f.expect(sendAll(c.client.get(), "end", 10s) == 3, "the send after them failed");
    reader.join();
    f.expect(received == bytes.substr(0, taken) + "end",
             "the reader got " + std::to_string(received.size()) + " bytes, or not those taken");
    resetAndClose(c.server);
    waitReadable(c.client.get());
    for (int i = 0; i < 2; ++i) {
        const std::int64_t n = sockplatform::SendSome(c.client.get(), all.first(5));
        f.expect(n == -1, "send " + std::to_string(i + 1) + " after the reset gave " + std::to_string(n));
    }
}

void peerClose(Faults& f)
{
    Connection c;
    if (!f.expect(c.open(), "no connection"))
        return;
    sendAll(c.client.get(), "bye");
    c.client.reset();
    f.expect(receiveUpTo(c.server.get(), 3) == "bye", "the bytes before the close were lost");
    f.expect(waitReadable(c.server.get()), "the close did not make the socket readable");
    std::array<char, 16> buffer;
    f.expect(sockplatform::Receive(c.server.get(), buffer) == 0, "the read after the close was not 0");
}

void peerReset(Faults& f)
{
    Connection c;
    if (!f.expect(c.open(), "no connection"))
        return;
    resetAndClose(c.client);
    // Under Wine, WSAPoll reports the reset as POLLERR | POLLHUP without
    // POLLRDNORM: a poll that looked for data alone would never see it.
    f.expect(waitReadable(c.server.get()), "the reset did not make the socket readable");
    // Linux reads the reset as a failure (-1); Wine as an orderly end (0),
    // having spent the error already. Either ends the connection.
    std::array<char, 16> buffer;
    const std::int32_t r = sockplatform::Receive(c.server.get(), buffer);
    f.expect(r <= 0, "the read after the reset gave " + show(r));
    // Twice: on POSIX the second send after a reset is the one that would
    // raise SIGPIPE and end this program.
    for (int i = 0; i < 2; ++i) {
        const std::int32_t s = sendAll(c.server.get(), "after", 1s);
        f.expect(s == -1, "send " + std::to_string(i + 1) + " after the reset gave " + show(s));
    }
}

void ipv6AddressText(Faults& f)
{
    // The text, and the standard text of what it parses to ("" for none).
    const std::pair<std::string, std::string> rows[] = {
        {"::1", "::1"},
        {"2001:0DB8::0001", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"0:0:0:0:0:0:0:0", "::"},
        {"::ffff:192.0.2.1", "192.0.2.1"}, // an IPv4 peer seen through IPv6
        {"1::2::3", ""},
        {"[::1]", ""},
        {"1:2:3:4:5:6:7:8:9", ""},
        {"127.0.0.1", ""},
    };
    for (const auto& [text, expected] : rows) {
        sockplatform::AddressRecord record;
        const std::string shown = sockplatform::ParseIpv6(text, record)
            ? sockplatform::FormatAddress(sockplatform::Unmapped(record))
            : std::string();
        f.expect(shown == expected, "\"" + text + "\" gave \"" + shown + "\", expected \"" + expected + "\"");
    }
}

void ipv6Loopback(Faults& f)
{
    if (!ipv6OnLoopback()) {
        f.skipped = "no IPv6 on loopback here";
        return;
    }
    Listener listener;
    if (!f.expect(listener.open(8, loopback6(0)), "could not listen on ::1"))
        return;
    // Happy Eyeballs: ::1 at a port that refuses, then 127.0.0.1 at one
    // that listens; and ::1 itself.
    Listener four;
    Socket holder = boundTo(loopback6(0));
    const sockplatform::AddressRecord mixed[] = {
        loopback6(sockplatform::LocalPort(holder.get())),
        sockplatform::Ipv4Record(Loopback, four.open() ? four.port : 0)};
    const sockplatform::Connection first = sockplatform::ConnectFirst(mixed, 5s, 250ms, {});
    Socket viaFour(first.handle);
    f.expect(viaFour.isOpen() && first.index == 1, "::1 refused, 127.0.0.1 listening: not connected to the second");

    const sockplatform::AddressRecord target = loopback6(listener.port);
    const sockplatform::Connection c = sockplatform::ConnectFirst({&target, 1}, 5s, 250ms, {});
    Socket client(c.handle);
    if (!f.expect(client.isOpen(), "no connection to ::1") || !f.expect(waitReadable(listener.s.get()), "nothing to accept"))
        return;
    sockplatform::AddressRecord peer;
    Socket server(sockplatform::Accept(listener.s.get(), peer));
    if (!f.expect(server.isOpen(), "accept failed"))
        return;
    f.expect(sockplatform::FormatAddress(peer) == "::1", "the peer shows as \"" + sockplatform::FormatAddress(peer) + "\"");
    f.expect(sockplatform::RecordPort(peer) == sockplatform::LocalPort(client.get()), "the peer's port is not the client's");
    std::array<std::uint8_t, 16> here{};
    const std::array<std::uint8_t, 16> loopbackBytes = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    f.expect(sockplatform::RecordAddressBytes(sockplatform::LocalAddress(server.get()), here) == 16
                 && here == loopbackBytes,
             "the accepted connection's own end is not ::1 in 16 bytes");
    const std::string bytes = allByteValues();
    f.expect(sendAll(client.get(), bytes) == 256 && receiveUpTo(server.get(), 256) == bytes,
             "the 256 byte values did not cross over ::1");
}

void dualStackListener(Faults& f)
{
    if (!ipv6OnLoopback()) {
        f.skipped = "no IPv6 on loopback here";
        return;
    }
    // On :: as the program listens: every address, peers on loopback only.
    Listener listener;
    if (!f.expect(listener.open(8, sockplatform::AnyRecord(sockplatform::Family::IPv6, 0)),
                  "could not listen on ::"))
        return;
    const sockplatform::AddressRecord peers[] = {sockplatform::Ipv4Record(Loopback, listener.port),
                                                 loopback6(listener.port)};
    const char* expected[] = {"127.0.0.1", "::1"};
    for (int i = 0; i < 2; ++i) {
        const sockplatform::Connection c = sockplatform::ConnectFirst({&peers[i], 1}, 5s, 250ms, {});
        Socket client(c.handle);
        if (!f.expect(client.isOpen(), std::string("a peer on ") + expected[i] + " could not connect"))
            continue;
        sockplatform::AddressRecord peer;
        Socket server(waitReadable(listener.s.get()) ? sockplatform::Accept(listener.s.get(), peer) : InvalidHandle);
        const std::string shown = sockplatform::FormatAddress(sockplatform::Unmapped(peer));
        f.expect(server.isOpen() && shown == expected[i],
                 std::string("a peer on ") + expected[i] + " was accepted as \"" + shown + "\"");
    }
}

void cleanup(Faults& f)
{
    sockplatform::Cleanup();
    Socket s(sockplatform::CreateTcp());
#ifdef _WIN32
    // Winsock refuses every call once the last start-up is cleaned up.
    f.expect(!s.isOpen(), "a socket was made after Cleanup");
#else
    // POSIX has no such step: Cleanup must not take sockets away.
    f.expect(s.isOpen(), "no socket after Cleanup");
#endif
}

struct Case
{
    const char* name;
    void (*run)(Faults&);
};

// In order: start-up first, clean-up last.
constexpr Case Cases[] = {
    {"start-up", startup},
    {"address text both ways", addressText},
    {"resolving a literal", resolveLiteral},
    {"listen", listen},
    {"connect and refused", connectAndRefused},
    {"accept", accept},
    {"readiness polls", readinessPolls},
    {"all 256 byte values both ways", allByteValuesBothWays},
    {"bounded connect to a listener whose queue is full", boundedConnectToFullQueue},
    {"next address after one stagger, families in turn", staggeredAttempts},
    {"bounded send to a peer that never reads", boundedSendToPeerThatNeverReads},
    {"send to a slow reader completes", sendToSlowReaderCompletes},
    {"a send that never waits", sendSomeNeverWaits},
    {"peer's close", peerClose},
    {"peer's reset", peerReset},
    {"IPv6 address text both ways", ipv6AddressText},
    {"IPv6 over ::1", ipv6Loopback},
    {"listener on :: takes IPv4 and IPv6 peers", dualStackListener},
    {"clean-up", cleanup},
};

} // namespace

int main()
{
#ifdef _WIN32
    const char* platform = "Winsock";
    // Lines end in "\n" alone, as on the native build, for whoever reads them.
    _setmode(_fileno(stdout), _O_BINARY);
#else
#  ifdef PELLIX_PORTABLE_POSIX
    const char* platform = "POSIX, the portable way";
#  else
    const char* platform = "POSIX";
#  endif
    // Deadly, as in a program started from a shell, even when this one was
    // started with it ignored: a send after a reset that the socket layer
    // does not guard against ends the run, and the test fails.
    ::signal(SIGPIPE, SIG_DFL);
#endif
    std::printf("socket platform: %s\n", platform);
    int passed = 0;
    int failed = 0;
    for (const Case& c : Cases) {
        Faults f;
        const auto start = steady_clock::now();
        c.run(f);
        const auto ms = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
        if (!f.skipped.empty() && f.found.empty()) {
            std::printf("SKIP   %s: %s\n", c.name, f.skipped.c_str());
        } else if (f.found.empty()) {
            ++passed;
            std::printf("PASS   %s (%lld ms)\n", c.name, static_cast<long long>(ms));
        } else {
            ++failed;
            std::printf("FAIL   %s (%lld ms)\n", c.name, static_cast<long long>(ms));
            for (const std::string& what : f.found)
                std::printf("         %s\n", what.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

// The socket platform over Winsock 2: every Winsock call the program makes.
//
// Where Winsock differs from POSIX, as tst_sockplatform finds it (built with
// MinGW-w64 and run under Wine by `make test-windows`), and what is done here:
// - No MSG_DONTWAIT: a blocking send() to a peer that never reads does not
//   return. SendAll makes the socket non-blocking (FIONBIO) for its own length
//   and waits in WSAPoll up to its deadline, as the POSIX side waits in poll().
// - No close-on-exec: socket() and accept() give inheritable handles.
//   CreateTcp asks for WSA_FLAG_NO_HANDLE_INHERIT; Accept clears the flag on
//   the new handle, which does not take it from the listener.
// - The peer's reset: Wine's WSAPoll reports POLLERR | POLLHUP without
//   POLLRDNORM, and recv() then gives 0, not WSAECONNRESET. PollReadable counts
//   POLLHUP and POLLERR as readable (on both sides), and the caller ends the
//   connection on 0 and on -1 alike.
// - Start-up: nothing works before WSAStartup or after the last WSACleanup
//   (POSIX has neither step). Startup and Cleanup are those two calls.
// - No SIGPIPE: a send after the reset fails with an error, where POSIX needs
//   MSG_NOSIGNAL.
// - IPv6 literals: Wine's getaddrinfo (AI_NUMERICHOST) reads "[::1]" as ::1,
//   glibc's refuses it. ParseIpv6 refuses every character that no IPv6
//   literal holds before handing the text on.
// - IPv6 sockets are IPv6-only by default on Windows and dual-stack on Linux.
//   Bind clears IPV6_V6ONLY for an IPv6 address on both, so that a listener
//   on :: takes IPv4 peers.
// inet_addr under Wine gave the same result as glibc for every text tried.

#include "sockplatform.h"

// WSAPoll needs Windows Vista or later; Qt 6 itself needs Windows 10.
#ifndef _WIN32_WINNT
#  define _WIN32_WINNT 0x0A00
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

static_assert(std::is_same_v<sockplatform::Handle, SOCKET>);
static_assert(sockplatform::InvalidHandle == INVALID_SOCKET);

namespace {

using sockplatform::Handle;

int pollOne(Handle s, short events, short& revents)
{
    WSAPOLLFD fd{s, events, 0};
    const int r = WSAPoll(&fd, 1, 0);
    revents = fd.revents;
    return r;
}

// Waits at most `ms` for room in the send buffer: true when there is room
// (or the socket has failed, which the next send reports).
bool waitWritable(Handle s, int ms)
{
    WSAPOLLFD fd{s, POLLWRNORM, 0};
    return WSAPoll(&fd, 1, ms) != 0;
}

bool setBlocking(Handle s, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

// Puts the socket in non-blocking mode while it lives, then back in the
// blocking mode every socket here has otherwise (Winsock cannot be asked
// which mode a socket is in).
class NonBlockingWhile
{
public:
    explicit NonBlockingWhile(Handle s) : m_s(s), m_ok(setBlocking(s, false)) { }
    ~NonBlockingWhile()
    {
        if (m_ok)
            setBlocking(m_s, true);
    }
    NonBlockingWhile(const NonBlockingWhile&) = delete;
    NonBlockingWhile& operator=(const NonBlockingWhile&) = delete;

    explicit operator bool() const { return m_ok; }

private:
    Handle m_s;
    bool m_ok;
};

const sockaddr* asSockaddr(const sockplatform::AddressRecord& record)
{
    return reinterpret_cast<const sockaddr*>(record.bytes.data());
}

// A new socket of the family that no program started from this one inherits.
// socket() makes handles that are inherited; WSA_FLAG_OVERLAPPED keeps the
// rest of what socket() gives.
Handle newSocket(sockplatform::Family family)
{
    const int domain = family == sockplatform::Family::IPv6 ? AF_INET6 : AF_INET;
    return ::WSASocketW(domain, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

// What getaddrinfo gives for the text: the IPv4 and IPv6 records, in its
// order; nothing for a text holding a NUL, which it would read only up to.
std::vector<sockplatform::AddressRecord> addressesOf(const std::string& text, int family,
                                                     int flags)
{
    std::vector<sockplatform::AddressRecord> addresses;
    if (text.find('\0') != std::string::npos)
        return addresses;
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0)
        return addresses;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET || a->ai_family == AF_INET6)
            addresses.push_back(sockplatform::RecordOf(a->ai_addr, a->ai_addrlen));
    }
    ::freeaddrinfo(found);
    return addresses;
}

} // namespace

namespace sockplatform {

std::string FormatAddress(const AddressRecord& record)
{
    if (RecordFamily(record) == Family::None)
        return {};
    char text[NI_MAXHOST];
    if (::getnameinfo(asSockaddr(record), record.length, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return {};
    return text;
}

bool ParseIpv6(const std::string& text, AddressRecord& record)
{
    // Wine's getaddrinfo takes "[::1]" for ::1, glibc's does not: before a
    // scope, an IPv6 literal is hex digits, colons and the dots of a final
    // IPv4 part, nothing else.
    const std::string address = text.substr(0, text.find('%'));
    if (address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
        return false;
    // A literal only: never a lookup.
    const std::vector<AddressRecord> found = addressesOf(text, AF_INET6, AI_NUMERICHOST);
    if (found.empty())
        return false;
    record = found.front();
    return true;
}

int Startup()
{
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void Cleanup()
{
    WSACleanup();
}

std::int32_t ParseIpv4(const std::string& text)
{
    // A NUL would end the text early for inet_addr ("127.0.0.1\0junk").
    if (text.find('\0') != std::string::npos)
        return -1;
    return std::int32_t(inet_addr(text.c_str()));
}

std::string FormatIpv4(std::int32_t address)
{
    in_addr a{};
    std::memcpy(&a, &address, sizeof a);
    const char* text = inet_ntoa(a);
    if (!text)
        return {};
    // inet_ntoa's buffer is overwritten by the next call: copy it now.
    return std::string(text, strnlen(text, 16));
}

std::vector<AddressRecord> LookupHost(const std::string& name)
{
    return addressesOf(name, AF_UNSPEC, 0);
}

Handle StartConnect(const AddressRecord& address, bool& connected)
{
    connected = false;
    const Family family = RecordFamily(address);
    if (family == Family::None)
        return InvalidHandle;
    const Handle s = newSocket(family);
    if (s == INVALID_SOCKET)
        return InvalidHandle;
    if (!setBlocking(s, false)) {
        ::closesocket(s);
        return InvalidHandle;
    }
    if (::connect(s, asSockaddr(address), address.length) == 0) {
        connected = true;
        return s;
    }
    if (WSAGetLastError() == WSAEWOULDBLOCK)
        return s;
    ::closesocket(s);
    return InvalidHandle;
}

// select(), not WSAPoll: WSAPoll did not report a connect that failed (it
// waited out its time) before Windows 10 2004, whereas select() has always
// put a failed connect in its exception set. Windows' fd_set is a list of up
// to FD_SETSIZE handles, not a bitmap, so no handle value is out of reach.
void WaitForConnects(std::span<const Handle> sockets, int ms, std::span<int> outcome)
{
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    const std::size_t count = std::min<std::size_t>(sockets.size(), FD_SETSIZE);
    for (std::size_t i = 0; i < count; ++i) {
        FD_SET(sockets[i], &writable);
        FD_SET(sockets[i], &failed);
    }
    if (count == 0) {
        ::Sleep(DWORD(ms));
        return;
    }
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    if (::select(0, nullptr, &writable, &failed, &wait) <= 0)
        return;
    for (std::size_t i = 0; i < count; ++i) {
        if (FD_ISSET(sockets[i], &failed)) {
            outcome[i] = -1;
        } else if (FD_ISSET(sockets[i], &writable)) {
            int error = 0;
            int length = sizeof error;
            // A reset can only end a connection that was made: it is made,
            // and the receive step finds the peer gone at the next tick.
            const bool ok = ::getsockopt(sockets[i], SOL_SOCKET, SO_ERROR,
                                         reinterpret_cast<char*>(&error), &length) == 0
                && (error == 0 || error == WSAECONNRESET);
            outcome[i] = ok ? 1 : -1;
        }
    }
}

void FinishConnect(Handle s)
{
    setBlocking(s, true);
}

std::int32_t PollReadable(Handle s)
{
    if (s == InvalidHandle)
        return -1;
    short revents = 0;
    const int r = pollOne(s, POLLIN, revents);
    if (r < 0 || (revents & POLLNVAL))
        return -1;
    return (revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

bool IsWritable(Handle s)
{
    if (s == InvalidHandle)
        return true;
    short revents = 0;
    const int r = pollOne(s, POLLOUT, revents);
    if (r < 0 || (revents & POLLNVAL))
        return true;
    return (revents & (POLLOUT | POLLHUP | POLLERR)) != 0;
}

std::int32_t Receive(Handle s, std::span<char> bytes)
{
    const std::int32_t ready = PollReadable(s);
    if (ready <= 0)
        return ready;
    int n;
    do {
        n = ::recv(s, bytes.data(), int(bytes.size()), 0);
    } while (n < 0 && WSAGetLastError() == WSAEINTR);
    if (n <= 0)
        return n < 0 ? -1 : 0;
    return n;
}

std::int32_t SendAll(Handle s, std::span<const char> bytes, std::chrono::milliseconds timeLimit)
{
    if (!IsWritable(s) || bytes.empty())
        return -1;

    // Winsock has no MSG_DONTWAIT, and a blocking send() waits for as long as
    // the peer does not read. So the socket is non-blocking for the length of
    // this call only, and the wait is in WSAPoll, which can be bounded.
    const NonBlockingWhile nonBlocking(s);
    if (!nonBlocking)
        return -1;

    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = ::send(s, bytes.data() + sent, int(bytes.size() - sent), 0);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && WSAGetLastError() == WSAEINTR)
            continue;
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return -1;
        // The peer is not taking the bytes fast enough: wait for room, but not
        // past the deadline. A peer that never reads must not freeze the window.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitWritable(s, int(left.count())))
            return -1;
    }
    return std::int32_t(sent);
}

std::int64_t SendSome(Handle s, std::span<const char> bytes)
{
    if (s == InvalidHandle || bytes.empty())
        return -1;
    // Non-blocking for this one call, as in SendAll; one send() takes at most
    // an int's worth.
    const NonBlockingWhile nonBlocking(s);
    if (!nonBlocking)
        return -1;
    const int length = int(std::min<std::size_t>(bytes.size(), 1u << 30));
    for (;;) {
        const int n = ::send(s, bytes.data(), length, 0);
        if (n > 0)
            return n;
        if (n < 0 && WSAGetLastError() == WSAEINTR)
            continue;
        return n < 0 && WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
}

namespace {

// Winsock has no per-call flag for not waiting: the socket is polled
// first, so that a read never waits whatever its mode.
std::int32_t receiveNow(Handle s, std::span<char> bytes, int flags)
{
    int n;
    do {
        n = ::recv(s, bytes.data(), int(bytes.size()), flags);
    } while (n < 0 && WSAGetLastError() == WSAEINTR);
    if (n < 0)
        return WSAGetLastError() == WSAEWOULDBLOCK ? NothingWaiting : -1;
    return n;
}

} // namespace

std::int32_t ReceiveSome(Handle s, std::span<char> bytes)
{
    if (PollReadable(s) == 0)
        return NothingWaiting;
    return receiveNow(s, bytes, 0);
}

std::int32_t PeekSome(Handle s, std::span<char> bytes)
{
    if (PollReadable(s) == 0)
        return NothingWaiting;
    return receiveNow(s, bytes, MSG_PEEK);
}

void ShutdownSend(Handle s)
{
    if (s != InvalidHandle)
        ::shutdown(s, SD_SEND);
}


Handle CreateTcp(Family family)
{
    // Not inherited: no program the window might start gets a connection.
    return newSocket(family);
}

int Connect(Handle s, const AddressRecord& address)
{
    return ::connect(s, asSockaddr(address), address.length) == 0 ? 0 : -1;
}

int Bind(Handle s, const AddressRecord& address)
{
    // Winsock makes IPv6 sockets IPv6-only unless told otherwise (Linux does
    // the opposite): a listener on :: would not hear IPv4 peers.
    if (RecordFamily(address) == Family::IPv6) {
        const DWORD off = 0;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    }
    return ::bind(s, asSockaddr(address), address.length) == 0 ? 0 : -1;
}

int Listen(Handle s, int backlog)
{
    return ::listen(s, backlog) == 0 ? 0 : -1;
}

Handle Accept(Handle s, AddressRecord& peer)
{
    peer = AddressRecord{};
    int length = int(sizeof peer.bytes);
    const Handle c = ::accept(s, reinterpret_cast<sockaddr*>(peer.bytes.data()), &length);
    if (c == INVALID_SOCKET)
        return InvalidHandle;
    // An accepted handle is inheritable whatever the listener is.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    peer.length = std::min<std::int32_t>(length, std::int32_t(sizeof peer.bytes));
    return c;
}

AddressRecord LocalAddress(Handle s)
{
    AddressRecord record;
    int length = sizeof record.bytes;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(record.bytes.data()), &length) != 0)
        return AddressRecord{};
    record.length = std::int32_t(length);
    return record;
}

void Close(Handle s)
{
    if (s == InvalidHandle)
        return;
    ::shutdown(s, SD_BOTH);
    ::closesocket(s);
}

void Abort(Handle s)
{
    if (s == InvalidHandle)
        return;
    const linger now{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&now), sizeof now);
    ::closesocket(s);
}

bool SetNonBlocking(Handle s, bool nonBlocking)
{
    return setBlocking(s, !nonBlocking);
}

void IgnoreBrokenPipe() { }

bool WaitReady(Handle s, bool forWrite, int ms)
{
    WSAPOLLFD fd{s, short(forWrite ? POLLWRNORM : POLLRDNORM), 0};
    return WSAPoll(&fd, 1, ms) != 0;
}

} // namespace sockplatform

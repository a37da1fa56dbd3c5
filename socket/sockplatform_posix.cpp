// The socket platform over POSIX: every POSIX socket call the program makes.
//
// Linux makes a socket close-on-exec and non-blocking in the call that
// creates it (SOCK_CLOEXEC, SOCK_NONBLOCK, accept4) and keeps a send from
// raising SIGPIPE with MSG_NOSIGNAL. macOS has none of these and the older
// BSDs lack some, so each has a plain POSIX way beside it, taken where the
// build did not find the call (socket/CMakeLists.txt), or everywhere when
// PELLIX_PORTABLE_POSIX is defined:
// - socket() or accept(), then fcntl() for FD_CLOEXEC and O_NONBLOCK;
// - SO_NOSIGPIPE on every socket where it exists (macOS, the BSDs),
//   otherwise SIGPIPE ignored for the whole process before a socket is made.

#include "sockplatform.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>


#ifndef PELLIX_PORTABLE_POSIX
#  if defined(PELLIX_HAVE_SOCK_CLOEXEC) && defined(PELLIX_HAVE_SOCK_NONBLOCK)
#    define PELLIX_SOCKET_FLAGS 1
#  endif
#  if defined(PELLIX_HAVE_ACCEPT4) && defined(PELLIX_HAVE_SOCK_CLOEXEC)
#    define PELLIX_ACCEPT4 1
#  endif
#  if defined(PELLIX_HAVE_MSG_NOSIGNAL)
#    define PELLIX_SEND_NOSIGNAL 1
#  endif
#endif

namespace {

using sockplatform::Handle;

#ifdef PELLIX_SEND_NOSIGNAL
// A write after the peer's reset must not raise SIGPIPE.
constexpr int NoSigpipe = MSG_NOSIGNAL;
#else
constexpr int NoSigpipe = 0; // guardSigpipe has seen to it
#endif

bool setFlag(Handle s, int get, int set, int flag, bool on)
{
    const int flags = ::fcntl(s, get);
    return flags >= 0 && ::fcntl(s, set, on ? flags | flag : flags & ~flag) == 0;
}

[[maybe_unused]] bool setCloseOnExec(Handle s) { return setFlag(s, F_GETFD, F_SETFD, FD_CLOEXEC, true); }
bool setNonBlocking(Handle s, bool on) { return setFlag(s, F_GETFL, F_SETFL, O_NONBLOCK, on); }

// No SIGPIPE from a send on s after the peer's reset: true when that is so.
bool guardSigpipe([[maybe_unused]] Handle s)
{
#if defined(PELLIX_SEND_NOSIGNAL)
    return true; // every send passes MSG_NOSIGNAL
#elif defined(PELLIX_HAVE_SO_NOSIGPIPE)
    const int on = 1;
    return ::setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) == 0;
#else
    // Nothing per socket here: the signal is ignored for the whole process,
    // again for every socket in case something has put it back since.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
#endif
}

// A new TCP socket, close-on-exec so that no program the window might start
// inherits a connection, non-blocking when asked, and guarded against
// SIGPIPE; InvalidHandle on failure.
Handle newSocket(int domain, bool nonBlocking)
{
#ifdef PELLIX_SOCKET_FLAGS
    const Handle s = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                        IPPROTO_TCP);
    const bool ready = s >= 0 && guardSigpipe(s);
#else
    // Another thread starting a program between these calls would pass the
    // socket on: only the flags at creation close that gap.
    const Handle s = ::socket(domain, SOCK_STREAM, IPPROTO_TCP);
    const bool ready = s >= 0 && setCloseOnExec(s) && (!nonBlocking || setNonBlocking(s, true))
                       && guardSigpipe(s);
#endif
    if (!ready && s >= 0)
        ::close(s);
    return ready ? s : sockplatform::InvalidHandle;
}

// The next connection waiting on s, close-on-exec and guarded against
// SIGPIPE, as newSocket; -1 on failure, with errno.
Handle acceptOne(Handle s, sockaddr* peer, socklen_t* length)
{
#ifdef PELLIX_ACCEPT4
    const Handle c = ::accept4(s, peer, length, SOCK_CLOEXEC);
    const bool ready = c >= 0 && guardSigpipe(c);
#else
    const Handle c = ::accept(s, peer, length);
    const bool ready = c >= 0 && setCloseOnExec(c) && guardSigpipe(c);
#endif
    if (!ready && c >= 0)
        ::close(c);
    return ready ? c : -1;
}

int pollOne(Handle s, short events, short& revents)
{
    pollfd fd{s, events, 0};
    int r;
    do {
        r = ::poll(&fd, 1, 0);
    } while (r < 0 && errno == EINTR);
    revents = fd.revents;
    return r;
}

// Waits at most `ms` for room in the send buffer: true when there is room
// (or the socket has failed, which the next send reports).
bool waitWritable(Handle s, int ms)
{
    pollfd fd{s, POLLOUT, 0};
    return ::poll(&fd, 1, ms) != 0;
}

const sockaddr* asSockaddr(const sockplatform::AddressRecord& record)
{
    return reinterpret_cast<const sockaddr*>(record.bytes.data());
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
    if (::getnameinfo(asSockaddr(record), socklen_t(record.length), text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return {};
    return text;
}

bool ParseIpv6(const std::string& text, AddressRecord& record)
{
    // A literal only: never a lookup.
    const std::vector<AddressRecord> found = addressesOf(text, AF_INET6, AI_NUMERICHOST);
    if (found.empty())
        return false;
    record = found.front();
    return true;
}

int Startup() { return 0; }
void Cleanup() { }

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
    const Handle s = newSocket(family == Family::IPv6 ? AF_INET6 : AF_INET, true);
    if (s == InvalidHandle)
        return InvalidHandle;
    int r;
    do {
        r = ::connect(s, asSockaddr(address), socklen_t(address.length));
    } while (r != 0 && errno == EINTR);
    if (r == 0) {
        connected = true;
        return s;
    }
    if (errno == EINPROGRESS || errno == EALREADY)
        return s;
    ::close(s);
    return InvalidHandle;
}

void WaitForConnects(std::span<const Handle> sockets, int ms, std::span<int> outcome)
{
    std::vector<pollfd> fds;
    for (Handle s : sockets)
        fds.push_back(pollfd{s, POLLOUT, 0});
    if (::poll(fds.data(), nfds_t(fds.size()), ms) <= 0)
        return; // nothing yet, or interrupted: the caller asks again
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (!fds[i].revents)
            continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = EBADF;
        // A reset or a close can only end a connection that was made: it is
        // made, and the receive step finds the peer gone at the next tick, as
        // after a connect that returned at once.
        const bool made = error == 0 || error == ECONNRESET || error == EPIPE;
        outcome[i] = made ? 1 : -1;
    }
}

void FinishConnect(Handle s)
{
    setNonBlocking(s, false);
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
    ssize_t n;
    do {
        n = ::recv(s, bytes.data(), bytes.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return n < 0 ? -1 : 0;
    return std::int32_t(n);
}

std::int32_t SendAll(Handle s, std::span<const char> bytes, std::chrono::milliseconds timeLimit)
{
    if (!IsWritable(s) || bytes.empty())
        return -1;

    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        // MSG_DONTWAIT: the socket stays blocking; the wait is in poll()
        // instead, so that it can be bounded.
        const ssize_t n = ::send(s, bytes.data() + sent, bytes.size() - sent,
                                 NoSigpipe | MSG_DONTWAIT);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
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
    for (;;) {
        const ssize_t n = ::send(s, bytes.data(), bytes.size(), NoSigpipe | MSG_DONTWAIT);
        if (n > 0)
            return std::int64_t(n);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

namespace {

std::int32_t receiveNow(Handle s, std::span<char> bytes, int flags)
{
    ssize_t n;
    do {
        n = ::recv(s, bytes.data(), bytes.size(), flags | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? NothingWaiting : -1;
    return std::int32_t(n);
}

} // namespace

std::int32_t ReceiveSome(Handle s, std::span<char> bytes)
{
    return receiveNow(s, bytes, 0);
}

std::int32_t PeekSome(Handle s, std::span<char> bytes)
{
    return receiveNow(s, bytes, MSG_PEEK);
}

void ShutdownSend(Handle s)
{
    if (s != InvalidHandle)
        ::shutdown(s, SHUT_WR);
}


Handle CreateTcp(Family family)
{
    return newSocket(family == Family::IPv6 ? AF_INET6 : AF_INET, false);
}

int Connect(Handle s, const AddressRecord& address)
{
    const int r = ::connect(s, asSockaddr(address), socklen_t(address.length));
    if (r != 0 && errno == EINTR) {
        // The attempt goes on in the background: wait for its outcome.
        pollfd fd{s, POLLOUT, 0};
        while (::poll(&fd, 1, -1) < 0 && errno == EINTR) { }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return -1;
        return error == 0 ? 0 : -1;
    }
    return r == 0 ? 0 : -1;
}

int Bind(Handle s, const AddressRecord& address)
{
    // Without this, a port whose last connection is still in TIME_WAIT could
    // not be listened on again for a minute. It does not let two listeners
    // share a port.
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (RecordFamily(address) == Family::IPv6) {
        const int off = 0;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    return ::bind(s, asSockaddr(address), socklen_t(address.length)) == 0 ? 0 : -1;
}

int Listen(Handle s, int backlog)
{
    return ::listen(s, backlog) == 0 ? 0 : -1;
}

Handle Accept(Handle s, AddressRecord& peer)
{
    peer = AddressRecord{};
    socklen_t length = sizeof peer.bytes;
    Handle c;
    do {
        c = acceptOne(s, reinterpret_cast<sockaddr*>(peer.bytes.data()), &length);
    } while (c < 0 && errno == EINTR);
    if (c < 0)
        return InvalidHandle;
    peer.length = std::int32_t(std::min<socklen_t>(length, sizeof peer.bytes));
    return c;
}

AddressRecord LocalAddress(Handle s)
{
    AddressRecord record;
    socklen_t length = sizeof record.bytes;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(record.bytes.data()), &length) != 0)
        return AddressRecord{};
    record.length = std::int32_t(length);
    return record;
}

void Close(Handle s)
{
    if (s == InvalidHandle)
        return;
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
}

void Abort(Handle s)
{
    if (s == InvalidHandle)
        return;
    const linger now{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(s);
}

bool SetNonBlocking(Handle s, bool nonBlocking)
{
    return setNonBlocking(s, nonBlocking);
}

void IgnoreBrokenPipe()
{
#if defined(PELLIX_HAVE_SO_NOSIGPIPE)
    // Every socket made or accepted here already raises no SIGPIPE.
#else
    // A library's write() cannot pass MSG_NOSIGNAL: no SIGPIPE for the process.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

bool WaitReady(Handle s, bool forWrite, int ms)
{
    pollfd fd{s, short(forWrite ? POLLOUT : POLLIN), 0};
    return ::poll(&fd, 1, ms) != 0;
}

} // namespace sockplatform

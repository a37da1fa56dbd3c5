#include "mwinsock2.h"

#include <array>
#include <cstring>

#ifndef _WIN32
#  include <netdb.h>
#  include <poll.h>
#  include <sys/socket.h>
#  include <unistd.h>

#  include <cerrno>
#endif

// Every difference between the platforms lives in this one block.
namespace {

#ifdef _WIN32

using ByteCount = int;
constexpr int ShutBoth = SD_BOTH;

int pollOne(mWinsock2::SocketHandle s, short events, short& revents)
{
    WSAPOLLFD fd{s, events, 0};
    const int r = WSAPoll(&fd, 1, 0);
    revents = fd.revents;
    return r;
}

int sendSome(mWinsock2::SocketHandle s, const char* data, int length)
{
    return send(s, data, length, 0);
}

bool lastCallWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool lastCallInterrupted() { return WSAGetLastError() == WSAEINTR; }
void releaseHandle(mWinsock2::SocketHandle s) { closesocket(s); }

#else

using ByteCount = ssize_t;
constexpr int ShutBoth = SHUT_RDWR;

int pollOne(mWinsock2::SocketHandle s, short events, short& revents)
{
    pollfd fd{s, events, 0};
    int r;
    do {
        r = ::poll(&fd, 1, 0);
    } while (r < 0 && errno == EINTR);
    revents = fd.revents;
    return r;
}

// MSG_NOSIGNAL: a write after the peer's reset must not raise SIGPIPE.
// MSG_DONTWAIT: the socket stays blocking; SendText waits in poll() instead,
// so that the wait can be bounded.
ByteCount sendSome(mWinsock2::SocketHandle s, const char* data, std::size_t length)
{
    return ::send(s, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool lastCallWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
bool lastCallInterrupted() { return errno == EINTR; }
void releaseHandle(mWinsock2::SocketHandle s) { ::close(s); }

#endif

// Waits at most `ms` for room in the send buffer: true when there is room
// (or the socket has failed, which the next send reports).
bool waitWritable(mWinsock2::SocketHandle s, int ms)
{
#ifdef _WIN32
    WSAPOLLFD fd{s, POLLWRNORM, 0};
    return WSAPoll(&fd, 1, ms) != 0;
#else
    pollfd fd{s, POLLOUT, 0};
    const int r = ::poll(&fd, 1, ms);
    return r != 0;
#endif
}

} // namespace

namespace mWinsock2 {

int StartupSockets()
{
#ifdef _WIN32
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
#else
    return 0;
#endif
}

void CleanupSockets()
{
#ifdef _WIN32
    WSACleanup();
#endif
}

QByteArray ToCodePage(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.unicode() < 256) {
            bytes.append(char(c.unicode()));
            continue;
        }
        // One "?" for each character that Latin-1 lacks: a surrogate pair is
        // one character, not two.
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        bytes.append('?');
    }
    return bytes;
}

QString FromCodePage(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.data(), bytes.size());
}

Address TextToAddress(const QString& text)
{
    const QByteArray bytes = ToCodePage(text);
    // A NUL would end the text early for the platform ("127.0.0.1\0junk").
    if (bytes.contains('\0'))
        return AddressFailure;
    return Address(inet_addr(bytes.constData()));
}

QString AddressToText(Address address)
{
    in_addr a{};
    std::memcpy(&a, &address, sizeof a);
    const char* text = inet_ntoa(a);
    if (!text)
        return {};
    // The platform's buffer is overwritten by the next call: copy it now.
    return QString::fromLatin1(text, qsizetype(strnlen(text, 16)));
}

QString ResolveHost(const QString& host)
{
    if (TextToAddress(host) != AddressFailure)
        return host;

    const QByteArray name = ToCodePage(host);
    if (name.contains('\0'))
        return {};

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return {};

    std::array<unsigned char, 4> octets{};
    const auto* first = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(octets.data(), &first->sin_addr, octets.size());
    freeaddrinfo(found);

    QString dotted;
    for (unsigned char octet : octets)
        dotted += QString::number(octet) + u'.';
    dotted.chop(1);
    return dotted;
}

std::int32_t PollReadable(SocketHandle s)
{
    if (s == InvalidSocket)
        return -1;
    short revents = 0;
    const int r = pollOne(s, POLLIN, revents);
    if (r < 0 || (revents & POLLNVAL))
        return -1;
    return (revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

bool IsWritable(SocketHandle s)
{
    if (s == InvalidSocket)
        return true;
    short revents = 0;
    const int r = pollOne(s, POLLOUT, revents);
    if (r < 0 || (revents & POLLNVAL))
        return true;
    return (revents & (POLLOUT | POLLHUP | POLLERR)) != 0;
}

std::int32_t ReceiveText(SocketHandle s, QString& text)
{
    const std::int32_t ready = PollReadable(s);
    if (ready <= 0)
        return ready;

    std::array<char, 8192> buffer;
    ByteCount n;
    do {
        n = ::recv(s, buffer.data(), int(buffer.size()), 0);
    } while (n < 0 && lastCallInterrupted());
    if (n <= 0)
        return n < 0 ? -1 : 0;

    text = FromCodePage(QByteArrayView(buffer.data(), n));
    return std::int32_t(n);
}

std::int32_t SendText(SocketHandle s, const QString& text, std::chrono::milliseconds timeLimit)
{
    if (!IsWritable(s) || text.isEmpty())
        return -1;

    const QByteArray bytes = ToCodePage(text);
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const auto n = sendSome(s, bytes.constData() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && lastCallInterrupted())
            continue;
        if (n == 0 || !lastCallWouldBlock())
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

SocketHandle CreateTcpSocket()
{
#ifdef _WIN32
    return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#else
    // Close-on-exec: no program the window might start inherits a connection.
    const SocketHandle s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return s < 0 ? InvalidSocket : s;
#endif
}

int ConnectSocket(SocketHandle s, const SockAddrIn& address)
{
    const int r = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
#ifndef _WIN32
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
#endif
    return r == 0 ? 0 : -1;
}

int BindSocket(SocketHandle s, const SockAddrIn& address)
{
#ifndef _WIN32
    // Without this, a port whose last connection is still in TIME_WAIT could
    // not be listened on again for a minute. It does not let two listeners
    // share a port.
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    return ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : -1;
}

int StartListening(SocketHandle s, int backlog)
{
    return ::listen(s, backlog);
}

SocketHandle AcceptConnection(SocketHandle s, SockAddrIn& peer)
{
    peer = SockAddrIn{};
#ifdef _WIN32
    int length = sizeof peer;
    return ::accept(s, reinterpret_cast<sockaddr*>(&peer), &length);
#else
    socklen_t length = sizeof peer;
    SocketHandle c;
    do {
        c = ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    return c < 0 ? InvalidSocket : c;
#endif
}

void CloseSocket(SocketHandle s)
{
    if (s == InvalidSocket)
        return;
    ::shutdown(s, ShutBoth);
    releaseHandle(s);
}

} // namespace mWinsock2

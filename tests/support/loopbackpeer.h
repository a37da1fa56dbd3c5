#pragma once

// The far side of a connection, for tests: plain POSIX sockets on the
// loopback, independent of the code under test. Every wait is bounded.

#include <QByteArray>
#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <utility>
#include <vector>

namespace testpeer {

inline bool waitFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

inline sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline sockaddr_in6 loopback6(quint16 port)
{
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    return a;
}

// The local port a socket is bound to; 0 when it is not bound or not a socket.
inline quint16 localPort(int fd)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// One end of a TCP connection.
class Peer {
public:
    Peer() = default;
    explicit Peer(int fd) : m_fd(fd) { }
    Peer(Peer&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) { }
    Peer& operator=(Peer&& other) noexcept
    {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        return *this;
    }
    ~Peer() { close(); }

    // Over 127.0.0.1; a closed Peer when that fails.
    static Peer connectTo(quint16 port)
    {
        const sockaddr_in a = loopback(port);
        return connectToAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }

    // Over ::1; a closed Peer when that fails.
    static Peer connectTo6(quint16 port)
    {
        const sockaddr_in6 a = loopback6(port);
        return connectToAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Sends all of bytes, waiting at most timeoutMs for room.
    bool send(const QByteArray& bytes, int timeoutMs = 5000)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += n;
            else if (n < 0 && errno == EAGAIN && waitFor(m_fd, POLLOUT, timeoutMs))
                continue;
            else
                return false;
        }
        return true;
    }

    // Reads until `count` bytes have come, the peer closes, or timeoutMs passes.
    QByteArray read(qsizetype count, int timeoutMs = 5000)
    {
        QByteArray out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[65536];
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || !waitFor(m_fd, POLLIN, int(left)))
                break;
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            out.append(buffer, n);
        }
        return out;
    }

    // What arrives within timeoutMs, however much.
    QByteArray readFor(int timeoutMs) { return read(qsizetype(1) << 40, timeoutMs); }

    // True when the other side has closed: the next read gives end of file
    // (or an error) within timeoutMs.
    bool sawClose(int timeoutMs = 5000)
    {
        if (!waitFor(m_fd, POLLIN, timeoutMs))
            return false;
        char c;
        return ::recv(m_fd, &c, 1, MSG_PEEK) <= 0;
    }

    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }

    // Ends the connection with a reset instead of an orderly close.
    void reset()
    {
        const linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }

    // Nagle's algorithm off: what is sent leaves at once, and what it held
    // back goes now.
    void sendAtOnce()
    {
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    void setReceiveBuffer(int bytes) { ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

    void close()
    {
        if (m_fd >= 0)
            ::close(std::exchange(m_fd, -1));
    }

private:
    static Peer connectToAddress(const sockaddr* address, socklen_t length)
    {
        const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, address, length) == 0)
            return Peer(fd);
        if (fd >= 0)
            ::close(fd);
        return Peer();
    }

    int m_fd = -1;
};

// A listening socket on 127.0.0.1 at a port the system chooses.
class Listener {
public:
    enum Family { IPv4, IPv6 };

    // On 127.0.0.1, or on ::1 alone, at port (0: one the system chooses);
    // port() is 0 when that failed.
    explicit Listener(int backlog = 8, Family family = IPv4, quint16 port = 0)
    {
        const sockaddr_in a4 = loopback(port);
        const sockaddr_in6 a6 = loopback6(port);
        const bool six = family == IPv6;
        m_fd = ::socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        // The port of a listener that has just gone, its connections still
        // in TIME_WAIT, can be taken again.
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (six)
            ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        const auto* a = six ? reinterpret_cast<const sockaddr*>(&a6)
                            : reinterpret_cast<const sockaddr*>(&a4);
        if (m_fd < 0 || ::bind(m_fd, a, six ? sizeof a6 : sizeof a4) != 0
            || ::listen(m_fd, backlog) != 0 || (m_port = localPort(m_fd)) == 0) {
            ::close(std::exchange(m_fd, -1));
            return;
        }
    }
    ~Listener() { close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    quint16 port() const { return m_port; }
    int fd() const { return m_fd; }

    Peer accept(int timeoutMs = 5000)
    {
        if (!waitFor(m_fd, POLLIN, timeoutMs))
            return Peer();
        return Peer(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(std::exchange(m_fd, -1));
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// A listener whose accept queue is full: the kernel drops every further SYN
// to it, as a firewall that drops packets would.
class FullListener {
public:
    FullListener() : m_listener(0)
    {
        const sockaddr_in a = loopback(m_listener.port());
        for (int i = 0; i < 4; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
            m_fillers.push_back(fd);
        }
        ::usleep(50 * 1000); // the handshakes that can complete have
    }
    ~FullListener()
    {
        for (int fd : m_fillers)
            ::close(fd);
    }
    quint16 port() const { return m_listener.port(); }

private:
    Listener m_listener;
    std::vector<int> m_fillers;
};

// A port that nothing listens on at the moment of the call.
inline quint16 unusedPort()
{
    Listener l;
    return l.port();
}

inline int openDescriptorCount()
{
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++count;
        ::closedir(d);
    }
    return count;
}

} // namespace testpeer

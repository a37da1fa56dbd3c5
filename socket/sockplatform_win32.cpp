// The socket platform over Winsock 2: every Winsock call the program makes.

#include "sockplatform.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

static_assert(std::is_same_v<sockplatform::Handle, SOCKET>);
static_assert(sockplatform::InvalidHandle == INVALID_SOCKET);
static_assert(sizeof(sockplatform::AddressRecord::bytes) >= sizeof(sockaddr_storage));
static_assert(alignof(sockplatform::AddressRecord) >= alignof(sockaddr_storage));

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

const sockaddr* asSockaddr(const sockplatform::AddressRecord& record)
{
    return reinterpret_cast<const sockaddr*>(record.bytes.data());
}

} // namespace

namespace sockplatform {

AddressRecord Ipv4Record(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    AddressRecord record;
    std::memcpy(record.bytes.data(), &a, sizeof a);
    record.length = sizeof a;
    return record;
}

std::uint16_t RecordPort(const AddressRecord& record)
{
    sockaddr_in a{};
    if (record.length < std::int32_t(sizeof a))
        return 0;
    std::memcpy(&a, record.bytes.data(), sizeof a);
    return a.sin_family == AF_INET ? ntohs(a.sin_port) : 0;
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

bool LookupIpv4(const std::string& name, std::int32_t& address)
{
    if (name.find('\0') != std::string::npos)
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    const auto* first = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(&address, &first->sin_addr, sizeof address);
    freeaddrinfo(found);
    return true;
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

Handle CreateTcp()
{
    return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

int Connect(Handle s, const AddressRecord& address)
{
    return ::connect(s, asSockaddr(address), address.length) == 0 ? 0 : -1;
}

int Bind(Handle s, const AddressRecord& address)
{
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
    peer.length = std::min<std::int32_t>(length, std::int32_t(sizeof peer.bytes));
    return c;
}

void Close(Handle s)
{
    if (s == InvalidHandle)
        return;
    ::shutdown(s, SD_BOTH);
    ::closesocket(s);
}

} // namespace sockplatform

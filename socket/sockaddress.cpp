// Address records: the same code on every platform, which differ only in
// the headers that lay the records out.

#include "sockplatform.h"

#ifdef _WIN32
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <sys/socket.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstring>

static_assert(sizeof(sockplatform::AddressRecord::bytes) >= sizeof(sockaddr_storage));
static_assert(alignof(sockplatform::AddressRecord) >= alignof(sockaddr_storage));

namespace sockplatform {

AddressRecord RecordOf(const void* address, std::size_t length)
{
    AddressRecord record;
    length = std::min(length, sizeof record.bytes);
    std::memcpy(record.bytes.data(), address, length);
    record.length = std::int32_t(length);
    return record;
}

AddressRecord Ipv4Record(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return RecordOf(&a, sizeof a);
}

AddressRecord AnyRecord(Family family, std::uint16_t port)
{
    if (family != Family::IPv6)
        return Ipv4Record(INADDR_ANY, port);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    return RecordOf(&a, sizeof a);
}

Family RecordFamily(const AddressRecord& record)
{
    switch (reinterpret_cast<const sockaddr*>(record.bytes.data())->sa_family) {
    case AF_INET: return record.length >= std::int32_t(sizeof(sockaddr_in)) ? Family::IPv4 : Family::None;
    case AF_INET6: return record.length >= std::int32_t(sizeof(sockaddr_in6)) ? Family::IPv6 : Family::None;
    default: return Family::None;
    }
}

// The port sits at the same place in both families' records.
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));

std::uint16_t RecordPort(const AddressRecord& record)
{
    if (RecordFamily(record) == Family::None)
        return 0;
    std::uint16_t port;
    std::memcpy(&port, record.bytes.data() + offsetof(sockaddr_in, sin_port), sizeof port);
    return ntohs(port);
}

void SetRecordPort(AddressRecord& record, std::uint16_t port)
{
    if (RecordFamily(record) == Family::None)
        return;
    const std::uint16_t network = htons(port);
    std::memcpy(record.bytes.data() + offsetof(sockaddr_in, sin_port), &network, sizeof network);
}

std::size_t RecordAddressBytes(const AddressRecord& record, std::span<std::uint8_t, 16> bytes)
{
    switch (RecordFamily(record)) {
    case Family::IPv4: {
        sockaddr_in a;
        std::memcpy(&a, record.bytes.data(), sizeof a);
        std::memcpy(bytes.data(), &a.sin_addr, 4);
        return 4;
    }
    case Family::IPv6: {
        sockaddr_in6 a;
        std::memcpy(&a, record.bytes.data(), sizeof a);
        std::memcpy(bytes.data(), &a.sin6_addr, 16);
        return 16;
    }
    default:
        return 0;
    }
}

std::uint16_t LocalPort(Handle s)
{
    return RecordPort(LocalAddress(s));
}

AddressRecord Unmapped(const AddressRecord& record)
{
    if (RecordFamily(record) != Family::IPv6)
        return record;
    sockaddr_in6 a;
    std::memcpy(&a, record.bytes.data(), sizeof a);
    if (!IN6_IS_ADDR_V4MAPPED(&a.sin6_addr))
        return record;
    std::uint32_t v4;
    std::memcpy(&v4, a.sin6_addr.s6_addr + 12, sizeof v4);
    return Ipv4Record(ntohl(v4), ntohs(a.sin6_port));
}

} // namespace sockplatform

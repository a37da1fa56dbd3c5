#pragma once

// The platform's stream sockets, and nothing above them: no Qt, no text
// conversion, and not even the platform's own socket headers, so that this
// interface reads the same on every platform. sockplatform_posix.cpp and
// sockplatform_win32.cpp implement it; exactly one of them is built.
//
// Like the layer above, it keeps no state, and every failure is a result
// (-1, InvalidHandle, false or the empty text), never an exception.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace sockplatform {

#ifdef _WIN32
// SOCKET, an unsigned pointer-sized number (checked where winsock2.h is seen).
using Handle = std::uintptr_t;
inline constexpr Handle InvalidHandle = ~Handle(0);
#else
using Handle = int;
inline constexpr Handle InvalidHandle = -1;
#endif

// A socket address record exactly as the platform lays it out (a sockaddr of
// any family), held in a buffer as large and as aligned as sockaddr_storage.
// length is the number of bytes that are meaningful.
struct AddressRecord
{
    alignas(8) std::array<std::byte, 128> bytes{};
    std::int32_t length = 0;
};

// An IPv4 record; both numbers in host byte order (0x7f000001 is 127.0.0.1).
AddressRecord Ipv4Record(std::uint32_t address, std::uint16_t port);

// The port of an IPv4 record in host byte order; 0 for any other record.
std::uint16_t RecordPort(const AddressRecord& record);

// --- Start-up and shut-down -------------------------------------------------

// 0 on success, otherwise the platform's error number; always 0 where the
// platform has no such step.
int Startup();
void Cleanup();

// --- IPv4 addresses ---------------------------------------------------------

// inet_addr of the text: the address in network byte order, held signed, or
// -1 (all bits set) when it is not an address. A text holding a NUL is not
// an address.
std::int32_t ParseIpv4(const std::string& text);

// inet_ntoa of the address (network byte order); empty when it gives nothing.
std::string FormatIpv4(std::int32_t address);

// The first IPv4 address (network byte order) that the name resolves to, in
// address; false when it does not resolve. Blocks for the lookup.
bool LookupIpv4(const std::string& name, std::int32_t& address);

// --- Readiness and transfer -------------------------------------------------

// 1 when the socket can be read (data, the peer's close or an error waiting;
// on a listening socket, a connection to accept), 0 when not, -1 when the
// poll fails. Never waits.
std::int32_t PollReadable(Handle s);

// True when the send buffer has room, or when the poll fails. Never waits.
bool IsWritable(Handle s);

// One read of at most bytes.size() bytes, after a poll that does not wait:
// the number read; 0 when nothing is waiting or the peer has closed; -1 when
// the poll or the read fails. The peer's reset reads as -1 on Linux, but as 0
// under Wine, which has spent the error by then.
std::int32_t Receive(Handle s, std::span<char> bytes);

// Sends every byte: bytes.size(), or -1 when the socket is not writable,
// there is nothing to send, the send fails, or the peer does not take it all
// within timeLimit.
std::int32_t SendAll(Handle s, std::span<const char> bytes, std::chrono::milliseconds timeLimit);

// --- Handles ----------------------------------------------------------------

// A new blocking IPv4 TCP socket, or InvalidHandle.
Handle CreateTcp();

// Blocks until the connection is made or has failed: 0 on success, else -1.
int Connect(Handle s, const AddressRecord& address);

// 0 on success, else -1. The local port may be taken again at once after an
// earlier listener or connection on it has gone.
int Bind(Handle s, const AddressRecord& address);

// 0 on success, else -1.
int Listen(Handle s, int backlog);

// The accepted connection, with the peer's record in peer; InvalidHandle on
// failure.
Handle Accept(Handle s, AddressRecord& peer);

// The local port the socket is bound to (the one the system picked for port
// 0) in host byte order; 0 when it has none or on failure.
std::uint16_t LocalPort(Handle s);

// Shuts both directions down and releases the handle.
void Close(Handle s);

} // namespace sockplatform

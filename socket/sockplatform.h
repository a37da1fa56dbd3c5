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
#include <functional>
#include <span>
#include <string>
#include <vector>

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

enum class Family { None, IPv4, IPv6 };

// A record holding a copy of the platform's address record at address
// (a sockaddr of length bytes); what does not fit is cut off.
AddressRecord RecordOf(const void* address, std::size_t length);

// An IPv4 record; both numbers in host byte order (0x7f000001 is 127.0.0.1).
AddressRecord Ipv4Record(std::uint32_t address, std::uint16_t port);

// The record of every local address of the family (0.0.0.0 or ::) at port.
AddressRecord AnyRecord(Family family, std::uint16_t port);

Family RecordFamily(const AddressRecord& record);

// The port of an IPv4 or IPv6 record in host byte order; 0 for any other.
std::uint16_t RecordPort(const AddressRecord& record);
void SetRecordPort(AddressRecord& record, std::uint16_t port);

// The address of an IPv4 or IPv6 record as its bytes in network order, put
// at the start of bytes: 4, 16, or 0 for a record of no known family.
std::size_t RecordAddressBytes(const AddressRecord& record, std::span<std::uint8_t, 16> bytes);

// An IPv4-mapped IPv6 record (::ffff:a.b.c.d, what a dual-stack listener
// sees of an IPv4 peer) as the IPv4 record it stands for; others unchanged.
AddressRecord Unmapped(const AddressRecord& record);

// The standard text of the address without the port: dotted for IPv4, RFC
// 5952 for IPv6 ("::1"), with "%scope" where the record has a scope.
// Empty for a record of no known family.
std::string FormatAddress(const AddressRecord& record);

// An IPv6 literal ("::1", "2001:db8::1", "fe80::1%eth0"), never looked up:
// true with the record, port 0.
bool ParseIpv6(const std::string& text, AddressRecord& record);

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


// --- Bounded waits ----------------------------------------------------------

// Called between the short waits of a lookup or a connect, at least every
// WaitSlice; false ends the wait at once, as a failure.
using KeepWaiting = std::function<bool()>;
inline constexpr std::chrono::milliseconds WaitSlice{20};

// A name lookup: every address of either family, port 0, in the system's
// order of preference; nothing when the name does not resolve.
using Lookup = std::function<std::vector<AddressRecord>(const std::string& name)>;

// The system's lookup (getaddrinfo). Blocks, for as long as the system takes.
std::vector<AddressRecord> LookupHost(const std::string& name);

// lookup(name) on a thread of its own, waited for at most timeLimit: nothing
// when it has not answered by then or keepWaiting says stop (the thread is
// then left to finish on its own, and its answer dropped).
std::vector<AddressRecord> LookupWithin(const Lookup& lookup, const std::string& name,
                                        std::chrono::milliseconds timeLimit,
                                        const KeepWaiting& keepWaiting);

// The outcome of ConnectFirst: the connected socket, or InvalidHandle; index
// names the address connected to, or the last one tried.
struct Connection {
    Handle handle = InvalidHandle;
    std::size_t index = 0;
};

// Connects to the first of the addresses that answers, as RFC 8305 (Happy
// Eyeballs) has it: the families alternate, starting with the first
// address's; the next attempt starts when the current one has not connected
// within stagger or has failed; the first to connect wins and the others are
// closed. The whole attempt ends within timeLimit. The socket returned is
// blocking, like every other.
Connection ConnectFirst(std::span<const AddressRecord> addresses,
                        std::chrono::milliseconds timeLimit, std::chrono::milliseconds stagger,
                        const KeepWaiting& keepWaiting);

// What ConnectFirst is made of, per platform.
// A connect on a new non-blocking socket of the record's family: the handle,
// with connected set when it completed at once; InvalidHandle when it failed.
Handle StartConnect(const AddressRecord& address, bool& connected);
// Waits at most ms for any of the connects to end; outcome[i] becomes 1 when
// sockets[i] has connected, -1 when it has failed, and stays 0 otherwise.
void WaitForConnects(std::span<const Handle> sockets, int ms, std::span<int> outcome);
// The connected socket back in blocking mode.
void FinishConnect(Handle s);

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

// Sends what the send buffer takes of bytes at once, never waiting: the
// number taken (1 or more), 0 when the buffer is full, -1 when the send fails
// or there is nothing to send. The socket keeps its blocking mode.
std::int64_t SendSome(Handle s, std::span<const char> bytes);

// What ReceiveSome and PeekSome give when nothing is waiting.
inline constexpr std::int32_t NothingWaiting = -2;

// One read of at most bytes.size() bytes that never waits: the number read;
// 0 when the peer has ended its sending; NothingWaiting; -1 when the read
// fails (the peer's reset included).
std::int32_t ReceiveSome(Handle s, std::span<char> bytes);

// The same, leaving what it reads in the socket for the next read.
std::int32_t PeekSome(Handle s, std::span<char> bytes);

// Ends our sending (the peer reads its end), leaving the other direction open.
void ShutdownSend(Handle s);

// --- Handles ----------------------------------------------------------------

// A new blocking TCP socket of the family, or InvalidHandle.
Handle CreateTcp(Family family = Family::IPv4);

// Blocks until the connection is made or has failed: 0 on success, else -1.
int Connect(Handle s, const AddressRecord& address);

// 0 on success, else -1. The local port may be taken again at once after an
// earlier listener or connection on it has gone. An IPv6 socket bound to ::
// takes IPv4 peers too.
int Bind(Handle s, const AddressRecord& address);

// 0 on success, else -1.
int Listen(Handle s, int backlog);

// The accepted connection, with the peer's record in peer; InvalidHandle on
// failure.
Handle Accept(Handle s, AddressRecord& peer);

// The socket's own address and port (getsockname): for a connected socket,
// the local end of the connection; a record of no family on failure.
AddressRecord LocalAddress(Handle s);

// The local port the socket is bound to (the one the system picked for port
// 0) in host byte order; 0 when it has none or on failure.
std::uint16_t LocalPort(Handle s);

// Shuts both directions down and releases the handle.
void Close(Handle s);

// Releases the handle with a reset, so that the peer learns at once that the
// connection failed rather than ended.
void Abort(Handle s);

// --- For a TLS session over the socket ---------------------------------------

// Puts the socket in non-blocking mode (or back): true on success.
bool SetNonBlocking(Handle s, bool nonBlocking);

// Writes that a library makes on a socket of ours (TLS) cannot pass the
// flag that keeps a write after the peer's reset from ending the process:
// where the platform raises a signal for it, it is ignored from now on.
void IgnoreBrokenPipe();

// Waits at most ms for the socket to become readable (or, with forWrite,
// writable), or to fail: true when it is, false when the time ran out.
bool WaitReady(Handle s, bool forWrite, int ms);

} // namespace sockplatform

#pragma once

// mWinsock2: the socket layer. Thin procedures over the platform's IPv4
// stream sockets. It keeps no state: every procedure takes a handle or a
// text, and every failure is a result (-1, the empty text, or the failure
// address), never an exception or a message.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include "sockplatform.h"

#include <chrono>
#include <cstdint>
#include <vector>

#ifdef _WIN32
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#endif

namespace mWinsock2 {

#ifdef _WIN32
using SocketHandle = SOCKET;
inline const SocketHandle InvalidSocket = INVALID_SOCKET;
#else
using SocketHandle = int;
inline constexpr SocketHandle InvalidSocket = -1;
#endif

// An IPv4 socket address record: family, port and address in network byte order.
using SockAddrIn = sockaddr_in;

// A socket address record of either family, IPv4 or IPv6, with its port.
using SockAddr = sockplatform::AddressRecord;
using Family = sockplatform::Family;

// An IPv4 address in network byte order, held signed: its bytes in memory are
// the octets of the dotted text, first octet first.
using Address = std::int32_t;

// All bits set: what TextToAddress gives for a text that is not an address.
// It is also the valid address 255.255.255.255; the two cannot be told apart.
inline constexpr Address AddressFailure = -1;

// How long SendText may wait for a peer to take what it is given.
inline constexpr std::chrono::milliseconds SendTimeLimit{5000};

// How long a name lookup may take, and then the connect that follows it.
inline constexpr std::chrono::milliseconds ConnectTimeLimit{10000};

// How long one connect attempt goes on alone before the next address is
// tried beside it (RFC 8305).
inline constexpr std::chrono::milliseconds AttemptStagger{250};

// --- Socket interface start-up and shut-down --------------------------------

// 0 on success, otherwise the platform's error number. Always 0 where the
// platform has no such step.
int StartupSockets();
void CleanupSockets();

// --- Address conversion and name resolution ---------------------------------

// The address inet_addr gives for the text (a.b.c.d, a.b.c, a.b or a; each
// part decimal, octal or hex); AddressFailure when it is not an address.
Address TextToAddress(const QString& text);

// The dotted text of an address; the empty text when the platform gives none.
QString AddressToText(Address address);

// The text itself when it is already an address; otherwise the dotted text
// of the first IPv4 address the name resolves to; the empty text when it
// does not resolve. Blocks for the lookup.
QString ResolveHost(const QString& host);

// --- Either family ----------------------------------------------------------

using KeepWaiting = sockplatform::KeepWaiting;
using Lookup = sockplatform::Lookup;
using Connection = sockplatform::Connection;

// The standard text of the address: dotted for IPv4, RFC 5952 for IPv6; an
// IPv4 peer seen through an IPv6 socket reads as IPv4.
QString AddressToText(const SockAddr& address);

quint16 PortOf(const SockAddr& address);
void SetPort(SockAddr& address, quint16 port);

// The addresses to try for the host text, port 0: the one address of an IPv4
// text that TextToAddress accepts (127.1 included) or of an IPv6 literal;
// otherwise what lookup finds for the name, waited for at most timeLimit;
// nothing when the name does not resolve in that time.
std::vector<SockAddr> ResolveAddresses(const QString& host, const Lookup& lookup,
                                       std::chrono::milliseconds timeLimit,
                                       const KeepWaiting& keepWaiting);

// Connects to the first of the addresses to answer, trying them by RFC 8305
// within timeLimit (see sockplatform::ConnectFirst).
Connection ConnectFirst(const std::vector<SockAddr>& addresses,
                        std::chrono::milliseconds timeLimit, const KeepWaiting& keepWaiting);

// Whether this system makes IPv6 sockets at all.
bool Ipv6Available();

// --- Readiness polling and text transfer ------------------------------------

// 1 when the socket can be read (data, the peer's close or an error waiting;
// on a listening socket, a connection to accept), 0 when not, -1 when the
// poll fails (an invalid or closed handle included). Never waits.
std::int32_t PollReadable(SocketHandle s);

// True when the socket's send buffer has room, or when the poll fails.
// Never waits.
bool IsWritable(SocketHandle s);

// One read of at most 8192 bytes: n > 0 bytes read, and text now holds them
// as n characters; 0 when nothing is waiting or the peer has closed; -1 when
// the poll or the read fails. text changes only when the result is above 0.
std::int32_t ReceiveText(SocketHandle s, QString& text);

// Sends the text as one byte per character: the number of bytes sent, which
// is the whole text, or -1 when the socket is not writable, the text is
// empty, the send fails, or the peer does not take it all within timeLimit.
std::int32_t SendText(SocketHandle s, const QString& text,
                      std::chrono::milliseconds timeLimit = SendTimeLimit);

// Sends what the send buffer takes of the bytes at once, never waiting: the
// number taken (1 or more), 0 when the buffer is full, -1 when the send
// fails or there is nothing to send.
std::int64_t SendSome(SocketHandle s, QByteArrayView bytes);

// Waits at most ms for room in the send buffer (or a failure, which the next
// send reports): true when there is.
bool WaitWritable(SocketHandle s, int ms);

// --- The 8-bit code page: Latin-1, one byte per character -------------------

// Byte n becomes character n; a character outside Latin-1 becomes "?".
QByteArray ToCodePage(QStringView text);
QString FromCodePage(QByteArrayView bytes);

// --- Socket handles ---------------------------------------------------------

// A new blocking TCP socket of the family, or InvalidSocket.
SocketHandle CreateTcpSocket(Family family = Family::IPv4);

// Blocks until the connection is made or has failed: 0 on success.
int ConnectSocket(SocketHandle s, const SockAddrIn& address);

// 0 on success. The local port may be taken again at once after an earlier
// listener or connection on it has gone.
int BindSocket(SocketHandle s, const SockAddrIn& address);
// The same for a record of either family; an IPv6 socket bound to :: takes
// IPv4 peers too.
int BindSocket(SocketHandle s, const SockAddr& address);

int StartListening(SocketHandle s, int backlog);

// The handle of the accepted connection, with the peer's address written to
// peer; InvalidSocket on failure.
SocketHandle AcceptConnection(SocketHandle s, SockAddrIn& peer);
SocketHandle AcceptConnection(SocketHandle s, SockAddr& peer);

// The socket's own address: for a connection, its local end. A record of no
// family on failure.
SockAddr LocalAddress(SocketHandle s);

// Shuts both directions down and releases the handle. Results are not looked at.
void CloseSocket(SocketHandle s);

} // namespace mWinsock2

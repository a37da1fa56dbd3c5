#pragma once

// mWinsock2: the socket layer. Thin procedures over the platform's IPv4
// stream sockets. It keeps no state: every procedure takes a handle or a
// text, and every failure is a result (-1, the empty text, or the failure
// address), never an exception or a message.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <chrono>
#include <cstdint>

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

// An IPv4 address in network byte order, held signed: its bytes in memory are
// the octets of the dotted text, first octet first.
using Address = std::int32_t;

// All bits set: what TextToAddress gives for a text that is not an address.
// It is also the valid address 255.255.255.255; the two cannot be told apart.
inline constexpr Address AddressFailure = -1;

// How long SendText may wait for a peer to take what it is given.
inline constexpr std::chrono::milliseconds SendTimeLimit{5000};

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

// --- The 8-bit code page: Latin-1, one byte per character -------------------

// Byte n becomes character n; a character outside Latin-1 becomes "?".
QByteArray ToCodePage(QStringView text);
QString FromCodePage(QByteArrayView bytes);

// --- Socket handles ---------------------------------------------------------

// A new blocking IPv4 TCP socket, or InvalidSocket.
SocketHandle CreateTcpSocket();

// Blocks until the connection is made or has failed: 0 on success.
int ConnectSocket(SocketHandle s, const SockAddrIn& address);

// 0 on success. The local port may be taken again at once after an earlier
// listener or connection on it has gone.
int BindSocket(SocketHandle s, const SockAddrIn& address);

int StartListening(SocketHandle s, int backlog);

// The handle of the accepted connection, with the peer's address written to
// peer; InvalidSocket on failure.
SocketHandle AcceptConnection(SocketHandle s, SockAddrIn& peer);

// Shuts both directions down and releases the handle. Results are not looked at.
void CloseSocket(SocketHandle s);

} // namespace mWinsock2

#include "mwinsock2.h"

#include "sockplatform.h"

#include <array>
#include <cstring>
#include <string>
#include <type_traits>

// The platform code below this layer deals in bytes and its own names; this
// layer turns text into bytes and back, one byte per character (Latin-1), and
// gives the rest of the program the names it has always used.
namespace {

namespace platform = sockplatform;

static_assert(std::is_same_v<mWinsock2::SocketHandle, platform::Handle>);

platform::AddressRecord toRecord(const mWinsock2::SockAddrIn& address)
{
    return platform::RecordOf(&address, sizeof address);
}

std::string toBytes(const QString& text)
{
    const QByteArray bytes = mWinsock2::ToCodePage(text);
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

} // namespace

namespace mWinsock2 {

int StartupSockets()
{
    return platform::Startup();
}

void CleanupSockets()
{
    platform::Cleanup();
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
    return Address(platform::ParseIpv4(toBytes(text)));
}

QString AddressToText(Address address)
{
    const std::string text = platform::FormatIpv4(address);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString ResolveHost(const QString& host)
{
    if (TextToAddress(host) != AddressFailure)
        return host;
    for (const SockAddr& address : platform::LookupHost(toBytes(host)))
        if (platform::RecordFamily(address) == Family::IPv4)
            return AddressToText(address);
    return {};
}

QString AddressToText(const SockAddr& address)
{
    const std::string text = platform::FormatAddress(platform::Unmapped(address));
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

quint16 PortOf(const SockAddr& address)
{
    return platform::RecordPort(address);
}

void SetPort(SockAddr& address, quint16 port)
{
    platform::SetRecordPort(address, port);
}

std::vector<SockAddr> ResolveAddresses(const QString& host, const Lookup& lookup,
                                       std::chrono::milliseconds timeLimit,
                                       const KeepWaiting& keepWaiting)
{
    const Address v4 = TextToAddress(host);
    if (v4 != AddressFailure)
        return {platform::Ipv4Record(ntohl(std::uint32_t(v4)), 0)};
    const std::string name = toBytes(host);
    SockAddr v6;
    if (platform::ParseIpv6(name, v6))
        return {v6};
    // The platform would read a name only up to a NUL.
    if (name.empty() || name.find('\0') != std::string::npos)
        return {};
    return platform::LookupWithin(lookup, name, timeLimit, keepWaiting);
}

Connection ConnectFirst(const std::vector<SockAddr>& addresses,
                        std::chrono::milliseconds timeLimit, const KeepWaiting& keepWaiting)
{
    return platform::ConnectFirst(addresses, timeLimit, AttemptStagger, keepWaiting);
}

bool Ipv6Available()
{
    const SocketHandle probe = platform::CreateTcp(Family::IPv6);
    platform::Close(probe);
    return probe != InvalidSocket;
}

std::int32_t PollReadable(SocketHandle s)
{
    return platform::PollReadable(s);
}

bool IsWritable(SocketHandle s)
{
    return platform::IsWritable(s);
}

std::int32_t ReceiveText(SocketHandle s, QString& text)
{
    std::array<char, 8192> buffer;
    const std::int32_t n = platform::Receive(s, buffer);
    if (n > 0)
        text = FromCodePage(QByteArrayView(buffer.data(), n));
    return n;
}

std::int32_t SendText(SocketHandle s, const QString& text, std::chrono::milliseconds timeLimit)
{
    const QByteArray bytes = ToCodePage(text);
    return platform::SendAll(s, std::span<const char>(bytes.constData(), std::size_t(bytes.size())),
                             timeLimit);
}

std::int64_t SendSome(SocketHandle s, QByteArrayView bytes)
{
    return platform::SendSome(s, std::span<const char>(bytes.data(), std::size_t(bytes.size())));
}

bool WaitWritable(SocketHandle s, int ms)
{
    return platform::WaitReady(s, true, ms);
}

SocketHandle CreateTcpSocket(Family family)
{
    return platform::CreateTcp(family);
}

int ConnectSocket(SocketHandle s, const SockAddrIn& address)
{
    return platform::Connect(s, toRecord(address));
}

int BindSocket(SocketHandle s, const SockAddrIn& address)
{
    return platform::Bind(s, toRecord(address));
}

int BindSocket(SocketHandle s, const SockAddr& address)
{
    return platform::Bind(s, address);
}

int StartListening(SocketHandle s, int backlog)
{
    return platform::Listen(s, backlog);
}

SocketHandle AcceptConnection(SocketHandle s, SockAddrIn& peer)
{
    platform::AddressRecord record;
    const SocketHandle c = platform::Accept(s, record);
    peer = SockAddrIn{};
    if (c != InvalidSocket)
        std::memcpy(&peer, record.bytes.data(), sizeof peer);
    return c;
}

SocketHandle AcceptConnection(SocketHandle s, SockAddr& peer)
{
    return platform::Accept(s, peer);
}

SockAddr LocalAddress(SocketHandle s)
{
    return platform::LocalAddress(s);
}

void CloseSocket(SocketHandle s)
{
    platform::Close(s);
}

} // namespace mWinsock2

#include "proxy.h"

#include <QRegularExpression>
#include <QUrl>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>

namespace {

constexpr char SocksVersion = 5;
constexpr char NoLogin = 0;
constexpr char UserPassword = 2;
constexpr unsigned char NoAcceptableMethod = 0xff;
constexpr char LoginVersion = 1; // RFC 1929's sub-negotiation

// A name, a user name or a password travels with a one-byte length.
constexpr qsizetype MaxSocksField = 255;

const QString NotSocks = QStringLiteral("the proxy's answer is not SOCKS5");
const QString NotHttp = QStringLiteral("the proxy's answer is not HTTP");
const QString WantsLogin = QStringLiteral("the proxy wants a user name and password");
const QString RefusedLogin = QStringLiteral("the proxy refused the user name and password");

QByteArray bytes(std::initializer_list<char> list)
{
    return QByteArray(list.begin(), qsizetype(list.size()));
}

QByteArray withLength(const QByteArray& field)
{
    return char(field.size()) + field;
}

// Printable ASCII of a proxy's own words, at most a line's worth: what it
// sends is shown, never anything that could break the status line.
QString plainWords(QByteArrayView text)
{
    QString words;
    for (char c : text) {
        if (words.size() == 80)
            break;
        words += c >= 0x20 && c < 0x7f ? QChar::fromLatin1(c) : QChar(u'?');
    }
    return words.trimmed();
}

QString httpStatusName(int code)
{
    switch (code) {
    case 400: return QStringLiteral("Bad Request");
    case 403: return QStringLiteral("Forbidden");
    case 404: return QStringLiteral("Not Found");
    case 405: return QStringLiteral("Method Not Allowed");
    case 500: return QStringLiteral("Internal Server Error");
    case 501: return QStringLiteral("Not Implemented");
    case 502: return QStringLiteral("Bad Gateway");
    case 503: return QStringLiteral("Service Unavailable");
    case 504: return QStringLiteral("Gateway Timeout");
    }
    return {};
}

// A dotted-quad IPv4 or an IPv6 literal as its network-order bytes with the
// SOCKS5 address type; anything else a name for the proxy to resolve (type 3).
QByteArray socksAddress(const QString& host)
{
    static const QRegularExpression dottedQuad(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    const std::string text = host.toStdString();
    mWinsock2::SockAddr record;
    if (dottedQuad.match(host).hasMatch() && sockplatform::ParseIpv4(text) != -1)
        record = sockplatform::Ipv4Record(quint32(qFromBigEndian(sockplatform::ParseIpv4(text))), 0);
    else if (!sockplatform::ParseIpv6(text, record))
        return char(3) + withLength(host.toUtf8());
    std::array<std::uint8_t, 16> bytes{};
    const std::size_t n = sockplatform::RecordAddressBytes(record, bytes);
    return char(n == 4 ? 1 : 4) + QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(n));
}

} // namespace

// --- The proxy's URL ---------------------------------------------------------

std::optional<ProxySettings> ProxySettings::parse(const QString& url, QString* error)
{
    auto refuse = [error](const QString& why) -> std::optional<ProxySettings> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QUrl u(url.trimmed(), QUrl::StrictMode);
    ProxySettings proxy;
    const QString scheme = u.scheme().toLower();
    if (scheme == u"socks5" || scheme == u"socks5h")
        proxy.kind = Kind::Socks5;
    else if (scheme == u"http")
        proxy.kind = Kind::Http;
    else if (u.isValid() && url.contains(QStringLiteral("://")))
        return refuse(QStringLiteral("the proxy must be socks5:// or http://, not %1://").arg(scheme));
    else
        return refuse(QStringLiteral("a proxy is socks5://[USER:PASS@]HOST:PORT or "
                                     "http://[USER:PASS@]HOST:PORT"));
    if (!u.isValid() || u.host().isEmpty())
        return refuse(QStringLiteral("the proxy's URL names no host"));
    if (!u.path().isEmpty() && u.path() != u"/")
        return refuse(QStringLiteral("the proxy's URL has a path; only HOST:PORT is wanted"));
    if (u.hasQuery() || u.hasFragment())
        return refuse(QStringLiteral("the proxy's URL has more than HOST:PORT"));
    proxy.host = u.host();
    const int port = u.port(proxy.kind == Kind::Socks5 ? 1080 : 8080);
    if (port <= 0 || port > 65535)
        return refuse(QStringLiteral("the proxy's port is not from 1 to 65535"));
    proxy.port = quint16(port);
    proxy.user = u.userName(QUrl::FullyDecoded);
    proxy.password = u.password(QUrl::FullyDecoded);
    if (proxy.user.isEmpty() && !proxy.password.isEmpty())
        return refuse(QStringLiteral("the proxy's URL has a password but no user name"));
    if (proxy.kind == Kind::Socks5
        && (proxy.user.toUtf8().size() > MaxSocksField
            || proxy.password.toUtf8().size() > MaxSocksField))
        return refuse(QStringLiteral("a SOCKS5 user name or password is at most 255 bytes"));
    return proxy;
}

QString ProxySettings::displayUrl() const
{
    QUrl u;
    u.setScheme(kind == Kind::Socks5 ? QStringLiteral("socks5") : QStringLiteral("http"));
    u.setHost(host);
    u.setPort(port);
    u.setUserName(user, QUrl::DecodedMode);
    return u.toString();
}

QString ProxySettings::named() const
{
    return QStringLiteral("the proxy %1 port %2").arg(host).arg(port);
}

// --- The handshake -------------------------------------------------------------

ProxyHandshake::ProxyHandshake(const ProxySettings& proxy, const QString& targetHost,
                               quint16 targetPort)
    : m_proxy(proxy),
      m_targetHost(targetHost),
      m_targetPort(targetPort),
      m_stage(proxy.kind == ProxySettings::Kind::Socks5 ? Stage::SocksMethod : Stage::HttpAnswer)
{
    if (m_proxy.kind == ProxySettings::Kind::Http) {
        sendConnectRequest();
        return;
    }
    if (targetHost.toUtf8().size() > MaxSocksField) {
        fail(QStringLiteral("the host name is too long for a SOCKS5 proxy"));
        return;
    }
    // Logging in is offered only with a user name to log in with.
    m_outgoing = m_proxy.user.isEmpty() ? bytes({SocksVersion, 1, NoLogin})
                                        : bytes({SocksVersion, 2, NoLogin, UserPassword});
}

QByteArray ProxyHandshake::takeOutgoing()
{
    return std::exchange(m_outgoing, {});
}

void ProxyHandshake::fail(const QString& why)
{
    m_step = Step::Failed;
    m_failure = why;
    m_outgoing.clear();
}

void ProxyHandshake::closedEarly()
{
    if (m_step == Step::Waiting)
        fail(QStringLiteral("the proxy closed the connection before its answer was whole"));
}

void ProxyHandshake::sendConnectRequest()
{
    const QByteArray port = QByteArray::number(m_targetPort);
    if (m_proxy.kind == ProxySettings::Kind::Socks5) {
        m_outgoing = bytes({SocksVersion, 1, 0}) + socksAddress(m_targetHost)
            + char(m_targetPort >> 8) + char(m_targetPort & 0xff);
        m_stage = Stage::SocksReply;
        return;
    }
    // An IPv6 literal is written in brackets, as in a URL.
    const QByteArray host = m_targetHost.contains(u':') ? '[' + m_targetHost.toUtf8() + ']'
                                                        : m_targetHost.toUtf8();
    m_outgoing = "CONNECT " + host + ':' + port + " HTTP/1.1\r\nHost: " + host + ':' + port + "\r\n";
    if (!m_proxy.user.isEmpty())
        m_outgoing += "Proxy-Authorization: Basic "
            + (m_proxy.user + u':' + m_proxy.password).toUtf8().toBase64() + "\r\n";
    m_outgoing += "\r\n";
}

qsizetype ProxyHandshake::take(QByteArrayView received)
{
    if (m_step != Step::Waiting || received.isEmpty())
        return 0;
    return m_stage == Stage::HttpAnswer ? takeHttp(received) : takeSocks(received);
}

qsizetype ProxyHandshake::takeSocks(QByteArrayView received)
{
    // How long the message now being read is, as far as its bytes so far tell.
    auto expected = [this]() -> qsizetype {
        if (m_stage != Stage::SocksReply || m_answer.size() < 5)
            return m_stage == Stage::SocksReply ? 5 : 2;
        switch (m_answer.at(3)) {
        case 1: return 4 + 4 + 2;
        case 4: return 4 + 16 + 2;
        case 3: return 4 + 1 + quint8(m_answer.at(4)) + 2;
        }
        return 0; // an address type that does not exist
    };
    qsizetype taken = 0;
    while (taken < received.size() && m_answer.size() < expected()) {
        m_answer += received.at(taken++);
        // A refusal is clear from its first two bytes; the rest is not waited for.
        if (m_stage == Stage::SocksReply && m_answer.size() == 2 && m_answer.at(1) != 0)
            break;
    }
    const qsizetype want = expected();
    const bool refusedEarly = m_stage == Stage::SocksReply && m_answer.size() >= 2
        && m_answer.at(1) != 0;
    if (want == 0) {
        fail(NotSocks);
        return taken;
    }
    if (m_answer.size() < want && !refusedEarly) {
        if (m_answer.at(0) != (m_stage == Stage::SocksLogin ? LoginVersion : SocksVersion))
            fail(NotSocks);
        return taken;
    }

    const QByteArray answer = std::exchange(m_answer, {});
    switch (m_stage) {
    case Stage::SocksMethod:
        if (answer.at(0) != SocksVersion)
            fail(NotSocks);
        else if (answer.at(1) == NoLogin)
            sendConnectRequest();
        else if (answer.at(1) == UserPassword && !m_proxy.user.isEmpty()) {
            m_outgoing = bytes({LoginVersion}) + withLength(m_proxy.user.toUtf8())
                + withLength(m_proxy.password.toUtf8());
            m_stage = Stage::SocksLogin;
        } else if (quint8(answer.at(1)) == NoAcceptableMethod || answer.at(1) == UserPassword)
            fail(m_proxy.user.isEmpty() ? WantsLogin
                                        : QStringLiteral("the proxy accepts no way of logging in "
                                                         "that Pellix has"));
        else
            fail(QStringLiteral("the proxy chose a way of logging in that was not offered"));
        break;
    case Stage::SocksLogin:
        if (answer.at(0) != LoginVersion)
            fail(NotSocks);
        else if (answer.at(1) != 0)
            fail(RefusedLogin);
        else
            sendConnectRequest();
        break;
    case Stage::SocksReply:
        m_answer = answer;
        judgeSocksReply();
        break;
    case Stage::HttpAnswer:
        break;
    }
    return taken;
}

void ProxyHandshake::judgeSocksReply()
{
    if (m_answer.at(0) != SocksVersion) {
        fail(NotSocks);
        return;
    }
    const int code = quint8(m_answer.at(1));
    const QString unreachable = QStringLiteral("the proxy cannot reach %1: ").arg(m_targetHost);
    switch (code) {
    case 0: m_step = Step::Open; return;
    case 1: fail(QStringLiteral("the proxy failed: general SOCKS server failure")); return;
    case 2: fail(QStringLiteral("the proxy refused: connection not allowed by ruleset")); return;
    case 3: fail(unreachable + QStringLiteral("network unreachable")); return;
    case 4: fail(unreachable + QStringLiteral("host unreachable")); return;
    case 5: fail(unreachable + QStringLiteral("connection refused")); return;
    case 6: fail(unreachable + QStringLiteral("TTL expired")); return;
    case 7: fail(QStringLiteral("the proxy refused: command not supported")); return;
    case 8: fail(QStringLiteral("the proxy refused: address type not supported")); return;
    }
    fail(QStringLiteral("the proxy refused: reply code %1").arg(code));
}

qsizetype ProxyHandshake::takeHttp(QByteArrayView received)
{
    const qsizetype before = m_answer.size();
    m_answer += received.first(std::min(received.size(), MaxHttpAnswer + 1 - before));
    // The answer ends at its first empty line; the target's bytes may follow.
    qsizetype end = m_answer.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
    if (end >= 0)
        end += 4;
    else if (const qsizetype bare = m_answer.indexOf("\n\n", std::max<qsizetype>(0, before - 1));
             bare >= 0)
        end = bare + 2;
    static const QByteArray start("HTTP/");
    if (!m_answer.startsWith(start.left(std::min(m_answer.size(), start.size())))) {
        fail(NotHttp);
        return m_answer.size() - before;
    }
    if (end < 0) {
        if (m_answer.size() > MaxHttpAnswer)
            fail(QStringLiteral("the proxy's answer is too long"));
        return m_answer.size() - before;
    }
    m_answer.truncate(end);
    judgeHttpAnswer();
    return end - before;
}

void ProxyHandshake::judgeHttpAnswer()
{
    // HTTP/1.1 200 Connection established
    const qsizetype lineEnd = m_answer.indexOf('\n');
    const QByteArray line = m_answer.left(lineEnd).trimmed();
    const QList<QByteArray> parts = line.split(' ');
    bool isNumber = false;
    const int code = parts.size() >= 2 && parts.at(1).size() == 3 ? parts.at(1).toInt(&isNumber) : 0;
    if (!isNumber || code < 100) {
        fail(NotHttp);
        return;
    }
    if (code >= 200 && code < 300) {
        m_step = Step::Open;
        return;
    }
    const qsizetype reasonAt = line.indexOf(' ', line.indexOf(' ') + 1);
    QString reason = reasonAt < 0 ? QString() : plainWords(QByteArrayView(line).sliced(reasonAt + 1));
    if (reason.isEmpty())
        reason = httpStatusName(code);
    const QString status = reason.isEmpty() ? QString::number(code)
                                            : QStringLiteral("%1 %2").arg(code).arg(reason);
    // 401 is what some proxies (tinyproxy) answer to a wrong password.
    if (code == 407 || code == 401)
        fail(m_proxy.user.isEmpty() ? WantsLogin : RefusedLogin);
    else if (code == 502 || code == 503 || code == 504)
        fail(QStringLiteral("the proxy cannot reach %1: %2").arg(m_targetHost, status));
    else
        fail(QStringLiteral("the proxy refused: ") + status);
}

// --- Over a socket ---------------------------------------------------------------

QString RunProxyHandshake(mWinsock2::SocketHandle s, ProxyHandshake& handshake,
                          std::chrono::steady_clock::time_point deadline,
                          const mWinsock2::KeepWaiting& keepWaiting)
{
    using namespace std::chrono;
    const auto left = [deadline] {
        return std::max(milliseconds(0), duration_cast<milliseconds>(deadline - steady_clock::now()));
    };
    std::array<char, 4096> buffer;
    for (;;) {
        const QByteArray out = handshake.takeOutgoing();
        if (!out.isEmpty() && sockplatform::SendAll(s, out, left()) < 0)
            return QStringLiteral("the proxy does not take what is sent to it");
        if (handshake.step() == ProxyHandshake::Step::Open)
            return {};
        if (handshake.step() == ProxyHandshake::Step::Failed)
            return handshake.failure();
        if (left() == milliseconds(0))
            return QStringLiteral("the proxy did not answer in time");
        if (keepWaiting && !keepWaiting())
            return QStringLiteral("stopped while the proxy was answering");
        const int slice = int(std::min<milliseconds::rep>(left().count(), sockplatform::WaitSlice.count()));
        if (!sockplatform::WaitReady(s, false, slice))
            continue;
        const std::int32_t n = sockplatform::PeekSome(s, buffer);
        if (n == sockplatform::NothingWaiting)
            continue;
        if (n == 0) {
            handshake.closedEarly();
            continue;
        }
        if (n < 0)
            return QStringLiteral("the connection to the proxy failed");
        const qsizetype taken = handshake.take(QByteArrayView(buffer.data(), n));
        // What the proxy said is removed from the socket; the target's first
        // bytes after it stay there.
        if (taken > 0 && sockplatform::ReceiveSome(s, std::span(buffer.data(), std::size_t(taken))) != taken)
            return QStringLiteral("the connection to the proxy failed");
    }
}

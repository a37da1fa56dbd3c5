#include "endpoint.h"

#include <utility>

using namespace mWinsock2;

Endpoint::Endpoint(SocketHandle s, const SockAddr& address) : m_socket(s), m_address(address) { }

Endpoint::~Endpoint()
{
    if (m_session)
        m_session.reset();
    CloseSocket(m_socket);
}

Endpoint::Endpoint(Endpoint&& other) noexcept
    : m_socket(std::exchange(other.m_socket, InvalidSocket)),
      m_address(other.m_address),
      m_session(std::move(other.m_session)),
      m_readSize(other.m_readSize),
      m_outgoing(std::move(other.m_outgoing)),
      m_sentOfQueue(std::exchange(other.m_sentOfQueue, 0)),
      m_sendShutDown(std::exchange(other.m_sendShutDown, false))
{
}

Endpoint& Endpoint::operator=(Endpoint&& other) noexcept
{
    if (this == &other)
        return *this;
    m_session.reset();
    CloseSocket(m_socket);
    m_socket = std::exchange(other.m_socket, InvalidSocket);
    m_address = other.m_address;
    m_session = std::move(other.m_session);
    m_readSize = other.m_readSize;
    m_outgoing = std::move(other.m_outgoing);
    m_sentOfQueue = std::exchange(other.m_sentOfQueue, 0);
    m_sendShutDown = std::exchange(other.m_sendShutDown, false);
    return *this;
}

QString Endpoint::tlsError() const
{
    if (!m_session)
        return {};
    const std::string& error = m_session->error();
    return QString::fromUtf8(error.data(), qsizetype(error.size()));
}

Endpoint::Read Endpoint::receive(std::span<char> buffer)
{
    buffer = buffer.first(std::min<std::size_t>(buffer.size(), std::size_t(m_readSize)));
    if (m_session) {
        const tls::Session::Read read = m_session->receive(buffer);
        switch (read.outcome) {
        case tls::Session::Outcome::Data: return {Outcome::Data, read.count};
        case tls::Session::Outcome::Nothing: return {Outcome::Nothing, 0};
        case tls::Session::Outcome::Closed: return {Outcome::Closed, 0};
        case tls::Session::Outcome::ClosedUnconfirmed: return {Outcome::ClosedUnconfirmed, 0};
        case tls::Session::Outcome::Failed: break;
        }
        return {Outcome::Failed, 0};
    }
    const std::int32_t n = sockplatform::ReceiveSome(m_socket, buffer);
    if (n > 0)
        return {Outcome::Data, n};
    if (n == 0)
        return {Outcome::Closed, 0};
    return {n == sockplatform::NothingWaiting ? Outcome::Nothing : Outcome::Failed, 0};
}

std::int32_t Endpoint::peek(std::span<char> buffer) const
{
    return sockplatform::PeekSome(m_socket, buffer);
}

bool Endpoint::sendAll(QByteArrayView bytes, std::chrono::milliseconds timeLimit)
{
    const std::span<const char> span(bytes.data(), std::size_t(bytes.size()));
    return m_session ? m_session->sendAll(span, timeLimit) >= 0
                     : sockplatform::SendAll(m_socket, span, timeLimit) >= 0;
}

bool Endpoint::flush()
{
    while (queued() > 0) {
        const std::span<const char> rest(m_outgoing.constData() + m_sentOfQueue,
                                         std::size_t(queued()));
        const std::int32_t n = m_session ? m_session->sendSome(rest)
                                         : sockplatform::SendSome(m_socket, rest);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        m_sentOfQueue += n;
    }
    // What went is dropped from the front now and then, not on every send.
    if (m_sentOfQueue == m_outgoing.size()) {
        m_outgoing.clear();
        m_sentOfQueue = 0;
    } else if (m_sentOfQueue > (1 << 20)) {
        m_outgoing.remove(0, m_sentOfQueue);
        m_sentOfQueue = 0;
    }
    return true;
}

bool Endpoint::write(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return true;
    if (queued() > 0) {
        queue(bytes);
        return flush();
    }
    const std::span<const char> span(bytes.data(), std::size_t(bytes.size()));
    const std::int32_t n = m_session ? m_session->sendSome(span)
                                     : sockplatform::SendSome(m_socket, span);
    if (n < 0)
        return false;
    if (n < bytes.size()) {
        queue(bytes.sliced(n));
        return flush();
    }
    return true;
}

void Endpoint::shutdownSend()
{
    if (m_sendShutDown || !isOpen())
        return;
    m_sendShutDown = true;
    if (m_session)
        m_session->close();
    sockplatform::ShutdownSend(m_socket);
}

void Endpoint::close()
{
    if (m_session) {
        m_session->close();
        m_session.reset();
    }
    CloseSocket(m_socket);
    m_socket = InvalidSocket;
    m_outgoing.clear();
    m_sentOfQueue = 0;
    m_sendShutDown = false;
}

void Endpoint::abort()
{
    m_session.reset();
    sockplatform::Abort(m_socket);
    m_socket = InvalidSocket;
    m_outgoing.clear();
    m_sentOfQueue = 0;
    m_sendShutDown = false;
}

#pragma once

#include "mwinsock2.h"
#include "tlssession.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

// One connected end of a conversation: its socket, its TLS session when the
// bytes are encrypted, its peer's address, the bytes waiting to go out to it,
// and how much one read takes. Connect's and Listen's peer and both legs of a
// relay are each one of these. It owns the socket: destroying an open
// endpoint closes it quietly.
class Endpoint {
public:
    // How much one read takes: the transcript's pace for a peer the user
    // talks to, a relay's for a leg it forwards at the network's speed.
    static constexpr std::int32_t TickReadSize = 8192;
    static constexpr std::int32_t RelayReadSize = 262144;

    Endpoint() = default;
    Endpoint(mWinsock2::SocketHandle s, const mWinsock2::SockAddr& address);
    ~Endpoint();
    Endpoint(Endpoint&& other) noexcept;
    Endpoint& operator=(Endpoint&& other) noexcept;
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    bool isOpen() const { return m_socket != mWinsock2::InvalidSocket; }
    // InvalidSocket when closed: a closed handle is never kept.
    mWinsock2::SocketHandle socket() const { return m_socket; }
    const mWinsock2::SockAddr& address() const { return m_address; }
    // The peer's address as the status lines write it ("127.0.0.1", "::1").
    QString addressText() const { return mWinsock2::AddressToText(m_address); }
    quint16 port() const { return mWinsock2::PortOf(m_address); }

    bool isTls() const { return m_session != nullptr; }
    tls::Session* session() const { return m_session.get(); }
    void setSession(std::unique_ptr<tls::Session> session) { m_session = std::move(session); }
    // The TLS session's reason for its last failure.
    QString tlsError() const;

    std::int32_t readSize() const { return m_readSize; }
    void setReadSize(std::int32_t size) { m_readSize = size; }

    // --- Reading, never waiting ----------------------------------------------
    enum class Outcome {
        Data,              // count bytes were read
        Nothing,           // nothing (whole) has arrived yet
        Closed,            // the peer ended its sending (for TLS: close_notify)
        ClosedUnconfirmed, // TLS: the connection ended without close_notify
        Failed,            // a reset or a failed read (TLS: see tlsError())
    };
    struct Read {
        Outcome outcome = Outcome::Nothing;
        std::int32_t count = 0;
    };
    // One read of at most readSize() bytes into buffer (which holds that many).
    Read receive(std::span<char> buffer);
    // What a plain read would give now, left in the socket for that read:
    // the count, 0 at the peer's end, sockplatform::NothingWaiting, or -1
    // when it fails (a reset: the read after it would give 0).
    std::int32_t peek(std::span<char> buffer) const;
    // Plain bytes already inside the TLS session, read from the network.
    bool hasPending() const { return m_session && m_session->pending(); }

    // --- Sending -------------------------------------------------------------
    // Every byte, waiting at most timeLimit for a peer that does not read:
    // false when not all of it went (an empty text fails, as it always has).
    bool sendAll(QByteArrayView bytes, std::chrono::milliseconds timeLimit);

    // Bytes to go out without waiting: queued, then written by flush as far
    // as the peer takes them.
    void queue(QByteArrayView bytes) { m_outgoing.append(bytes.data(), bytes.size()); }
    qint64 queued() const { return m_outgoing.size() - m_sentOfQueue; }
    // False when a send failed; what the peer did not take yet stays queued.
    bool flush();
    // As much of bytes as the peer takes now, straight from bytes when
    // nothing is queued before them; the rest queued. False when a send failed.
    bool write(QByteArrayView bytes);

    // --- Ending --------------------------------------------------------------
    // Ends our sending (close_notify first over TLS); the peer can still send.
    void shutdownSend();
    bool sendShutDown() const { return m_sendShutDown; }
    // close_notify over TLS, then both directions shut down and the socket
    // released.
    void close();
    // The socket released with a reset, the TLS session dropped unannounced.
    void abort();

private:
    mWinsock2::SocketHandle m_socket = mWinsock2::InvalidSocket;
    mWinsock2::SockAddr m_address{};
    std::unique_ptr<tls::Session> m_session;
    std::int32_t m_readSize = TickReadSize;
    QByteArray m_outgoing;
    qint64 m_sentOfQueue = 0;
    bool m_sendShutDown = false;
};

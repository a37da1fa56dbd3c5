#pragma once

#include "mwinsock2.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

// A proxy that outgoing connections go through: a SOCKS5 server (the
// target's name resolved by the proxy) or an HTTP proxy taking CONNECT.
struct ProxySettings {
    enum class Kind { Socks5, Http };
    Kind kind = Kind::Socks5;
    QString host;
    quint16 port = 0;
    QString user;     // empty: no logging in
    QString password; // never written anywhere but to the proxy

    // socks5://[USER[:PASS]@]HOST[:PORT] (socks5h:// alike; port 1080 when
    // none is given) or http://[USER[:PASS]@]HOST[:PORT] (port 8080); the
    // user name and password percent-encoded as in any URL. Nothing, with why
    // in *error (never quoting the password), when the text is none of these.
    static std::optional<ProxySettings> parse(const QString& url, QString* error = nullptr);
    // The URL without the password: what the window and the lines may show.
    QString displayUrl() const;
    // "the proxy HOST port PORT", as the status lines name it.
    QString named() const;
};

// The bytes a proxy and Pellix exchange before the tunnel to the target is
// open: no socket, no waiting. The answer is handed over as it arrives;
// take() keeps only the bytes that belong to the proxy's answers, so what the
// target sends right after the tunnel opens is left in the socket for the
// connection to read.
class ProxyHandshake {
public:
    enum class Step { Waiting, Open, Failed };

    ProxyHandshake(const ProxySettings& proxy, const QString& targetHost, quint16 targetPort);

    // Bytes to send to the proxy now (empty when there are none); each call
    // hands them over once.
    QByteArray takeOutgoing();
    // Reads the start of what the proxy has sent and not yet been taken: the
    // number of bytes of it that belong to its answer (they are to be removed
    // from the socket; the rest left there).
    qsizetype take(QByteArrayView received);
    // The proxy closed the connection before its answer was whole.
    void closedEarly();

    Step step() const { return m_step; }
    // Why it failed, in plain words with the proxy's own reason.
    const QString& failure() const { return m_failure; }

    // The most an answer may hold before it is refused as too long.
    static constexpr qsizetype MaxHttpAnswer = 16384;

private:
    enum class Stage { SocksMethod, SocksLogin, SocksReply, HttpAnswer };
    void fail(const QString& why);
    void sendConnectRequest();
    qsizetype takeSocks(QByteArrayView received);
    qsizetype takeHttp(QByteArrayView received);
    void judgeSocksReply();
    void judgeHttpAnswer();

    ProxySettings m_proxy;
    QString m_targetHost;
    quint16 m_targetPort;
    Stage m_stage;
    Step m_step = Step::Waiting;
    QString m_failure;
    QByteArray m_outgoing;
    QByteArray m_answer; // the answer's bytes taken so far
};

// Runs the handshake over the connected socket s, waiting at most until
// deadline and asking keepWaiting between short waits: empty once the tunnel
// is open, else why not.
QString RunProxyHandshake(mWinsock2::SocketHandle s, ProxyHandshake& handshake,
                          std::chrono::steady_clock::time_point deadline,
                          const mWinsock2::KeepWaiting& keepWaiting);

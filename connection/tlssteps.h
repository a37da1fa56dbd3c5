#pragma once

#include "endpoint.h"
#include "windowops.h"

#include <chrono>
#include <functional>
#include <memory>

// What TLS trusts and shows, as the command line asks.
struct TlsSettings {
    QString caFile;            // PEM; empty: the system's trusted authorities
    QString certFile, keyFile; // PEM; ours, for a server that asks and for Listen;
                               // empty: none, and a certificate made for Listen
    bool insecure = false;     // go on with any certificate, saying so
};

// The TLS steps of connection control: a client handshake verified as the
// settings say (the user asked when the peer is not trusted), a server
// handshake taken a step a tick, the identity a listener serves with, and
// the status lines that say what the peer showed. When a handshake starts
// and what follows it stays with the state machine.
class TlsSteps {
public:
    using StatusLine = std::function<void(const QString& line)>;

    TlsSteps(WindowOps& window, StatusLine statusLine);

    // Ours is loaded from the new files when next needed, unless keepIdentity
    // (a listener still serves the one loaded before).
    void setSettings(TlsSettings settings, bool keepIdentity)
    {
        m_settings = std::move(settings);
        if (!keepIdentity)
            m_identity.reset();
    }
    const TlsSettings& settings() const { return m_settings; }

    // A client handshake over s, bounded by timeLimit and drawn by the
    // window meanwhile: the session, or nullptr when it failed or the user
    // did not trust the peer (the reason is written). facts: what the peer
    // showed. host: the SNI and the name checked.
    std::unique_ptr<tls::Session> clientHandshake(mWinsock2::SocketHandle s, const QString& host,
                                                  std::chrono::milliseconds timeLimit,
                                                  tls::PeerFacts& facts);
    void writeFacts(const tls::PeerFacts& facts, bool asClient);

    // Ours: loaded from the files once (a locked key unlocked then through
    // the window's passphrase dialog), or made once for a listener when
    // there are none; nullptr after writing failure and why not.
    const tls::Identity* identity(const QString& failure);
    // "TLS certificate made for this session, SHA-256: ..." (or of --cert).
    void writeIdentityLine();

    // An accepted peer in its server handshake, a step a tick, so that a peer
    // that stalls in it holds up nothing but itself.
    struct Handshaking {
        Endpoint peer;
        std::chrono::steady_clock::time_point deadline;
    };
    // Starts the handshake over the accepted peer; false (the peer closed,
    // the reason written) when the session cannot start.
    bool startServer(Handshaking& handshaking, std::chrono::milliseconds timeLimit);
    enum class Step { Done, Waiting, Failed };
    // One step; on Failed the reason is written and the peer closed.
    Step serverStep(Handshaking& handshaking, std::chrono::milliseconds timeLimit);
    // Says why the peer in its handshake failed, and closes it.
    void dropHandshaking(Handshaking& handshaking, const QString& reason);

private:
    tls::PassphraseSource passphraseSource();

    WindowOps& m_window;
    StatusLine m_statusLine;
    TlsSettings m_settings;
    std::unique_ptr<tls::Identity> m_identity;
};

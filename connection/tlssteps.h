#pragma once

#include "endpoint.h"
#include "windowops.h"

#include <QStringList>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What TLS trusts and shows, as the command line asks.
struct TlsSettings {
    QString caFile;            // PEM; empty: the system's trusted authorities
    QString certFile, keyFile; // PEM; ours, for a server that asks and for Listen;
                               // empty: none, and a certificate made for Listen
    bool insecure = false;     // go on with any certificate, saying so
    // SHA-256 fingerprints as the transcript writes them ("AB:CD:..."): a
    // certificate with one is trusted as it is; with any given, no other is.
    QStringList pins = {};
    QString serverName = {};    // sent as SNI and checked; empty: the host as typed
    bool verifyClients = false; // a listener takes only clients with a certificate of caFile
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

    // Why a server we connected to is trusted.
    enum class Trust {
        Verified, // its chain and name
        Pinned,   // its fingerprint, pinned
        Accepted, // the user went on, now or before for the same host and port
        Insecure, // --insecure
    };
    struct Checked {
        tls::PeerFacts facts; // what the server showed
        Trust trust = Trust::Verified;
    };

    // A client handshake over s, bounded by timeLimit and drawn by the
    // window meanwhile: the session, or nullptr when it failed or the peer
    // is not trusted (the reason is written). host: the SNI and the name
    // checked, unless the settings name another; with port, where a
    // certificate the user went on with is remembered for the run.
    std::unique_ptr<tls::Session> clientHandshake(mWinsock2::SocketHandle s, const QString& host,
                                                  quint16 port,
                                                  std::chrono::milliseconds timeLimit,
                                                  Checked& checked);
    // The lines about a server we connected to, and about a client that came.
    void writeFacts(const Checked& server);
    void writeFacts(const tls::PeerFacts& client);

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
    // Asks the user about a peer that is not trusted: true to go on.
    bool askToTrust(const tls::PeerFacts& facts, const QString& where);
    void writeCertificate(const tls::PeerFacts& facts);

    WindowOps& m_window;
    StatusLine m_statusLine;
    TlsSettings m_settings;
    std::unique_ptr<tls::Identity> m_identity;
    // For the rest of the run, never written anywhere: the certificate the
    // user last went on with for each "host port", and the fingerprints the
    // user pinned from the trust question.
    std::map<QString, std::string> m_accepted;
    std::vector<std::string> m_pinnedHere;
};

#pragma once

// TLS over a connected socket of the platform layer: a client or a server
// session, its handshake in non-blocking steps or bounded by a deadline, and
// the transfer of plain bytes through it with the same results and limits as
// the plain socket calls. Like sockplatform.h it names no library type: one
// file (tlssession_openssl.cpp) implements it with OpenSSL.
//
// A session puts its socket in non-blocking mode, so that no read ever waits
// for the rest of a record; every wait is a bounded poll.

#include "sockplatform.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tls {

using sockplatform::Handle;
using sockplatform::KeepWaiting;

// Why a handshake that did not end within timeLimit failed, in plain words:
// "the peer did not finish the handshake within 10 s".
std::string handshakeTooSlow(std::chrono::milliseconds timeLimit);

// What the peer showed once a handshake is done.
struct PeerFacts {
    std::string protocol;   // "TLSv1.3"
    std::string cipher;     // "TLS_AES_256_GCM_SHA384"
    bool hasCertificate = false;
    std::string subject;    // "CN=example.org,O=Example"
    std::string issuer;
    std::string expires;    // "2027-03-01 12:00:00 UTC"
    std::string fingerprint; // SHA-256 of the certificate, "AB:CD:..."
    // Client side: the chain leads to a trusted authority and names the host.
    // Server side: the client's chain leads to an authority it was checked
    // against (Identity::askForClientCertificates).
    bool verified = false;
    // Why not, in plain words with the library's own text: "the certificate
    // has expired (certificate has expired)". Empty when verified.
    std::string problem;
};

// Asks for the passphrase of the key in file and writes it into buffer;
// again: the last one given was wrong. Its length, or -1 when the user gives
// none. The passphrase goes nowhere else: the buffer is the library's, and
// wiped once the key is read.
using PassphraseSource = std::function<int(const std::string& file, bool again,
                                           std::span<char> buffer)>;

// Whether the files of a TLS set-up can be used, before any connection: each
// readable, PEM, certificates where certificates belong and a key where the
// key does, and the key matching the first certificate. A key locked by a
// passphrase is taken when it reads as an encrypted PEM key; it is matched
// once it has been unlocked. Empty names are not checked. The first problem,
// naming the file and why in plain words ("cannot use the key 'k.pem': not a
// PEM key (it holds a certificate)"); empty when there is none.
std::string checkFiles(const std::string& caFile, const std::string& certFile,
                       const std::string& keyFile);

class Identity;

struct ClientSettings {
    // The host as the user typed it: sent as SNI and checked against the
    // certificate; an address literal is checked as an address and sends no SNI.
    std::string host;
    std::string caFile; // PEM; empty: the system's trusted authorities
    // Ours, shown to a server that asks for a client certificate: only to a
    // peer whose own certificate has verified, unless anyCertificate. It must
    // outlive the session's start.
    const Identity* identity = nullptr;
    bool anyCertificate = false;
    // Fingerprints ("AB:CD:...") of certificates trusted as they are: a peer
    // showing one of them is shown ours too. onlyPinned: no other peer is,
    // however well its certificate verifies.
    std::vector<std::string> pinned;
    bool onlyPinned = false;
};

// Our certificate and key: served by a listener, shown by a client.
class Identity {
public:
    ~Identity();
    // From PEM files, a locked key unlocked through passphrase (asked again
    // after a wrong one, until it is right or none is given); nullptr with the
    // reason when they cannot be used.
    static std::unique_ptr<Identity> fromFiles(const std::string& certFile,
                                               const std::string& keyFile,
                                               const PassphraseSource& passphrase,
                                               std::string& error);
    // A fresh self-signed certificate and key, held in memory only.
    static std::unique_ptr<Identity> generate(const std::string& commonName, std::string& error);
    std::string fingerprint() const;
    // From now on a session served with this identity asks the client for a
    // certificate and ends the handshake unless the client shows one that
    // leads to an authority of caFile (PEM); false with the reason when the
    // file cannot be used.
    bool askForClientCertificates(const std::string& caFile, std::string& error);

    struct Data;
    const Data& data() const { return *m_data; }

private:
    explicit Identity(std::unique_ptr<Data> data);
    std::unique_ptr<Data> m_data;
};

class Session {
public:
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A session over the connected socket s; nullptr with the reason when the
    // settings cannot be used (a CA file or key that does not load).
    static std::unique_ptr<Session> client(Handle s, const ClientSettings& settings,
                                           std::string& error);
    static std::unique_ptr<Session> server(Handle s, const Identity& identity, std::string& error);

    enum class Progress { Done, Waiting, Failed };
    // One step of the handshake that never waits.
    Progress step();
    // Steps until the handshake is done (true) or has failed, timeLimit has
    // passed or keepWaiting said stop (false), waiting for the socket in
    // slices of sockplatform::WaitSlice.
    bool handshake(std::chrono::milliseconds timeLimit, const KeepWaiting& keepWaiting);
    // Why the handshake or the last transfer failed: plain words, then the
    // library's own reason.
    const std::string& error() const { return m_error; }
    PeerFacts peer() const;

    // Plain bytes held in the session, already read from the network.
    bool pending() const;

    enum class Outcome {
        Data,              // count bytes were read
        Nothing,           // nothing whole has arrived yet (or only TLS's own records)
        Closed,            // the peer ended the session (close_notify)
        ClosedUnconfirmed, // the connection ended without close_notify
        Failed,            // see error()
    };
    struct Read {
        Outcome outcome = Outcome::Nothing;
        std::int32_t count = 0;
    };
    // One read of at most bytes.size() plain bytes; never waits.
    Read receive(std::span<char> bytes);

    // Sends every byte: bytes.size(), or -1 when the socket is not writable,
    // there is nothing to send, the send fails, or the peer does not take it
    // all within timeLimit.
    std::int32_t sendAll(std::span<const char> bytes, std::chrono::milliseconds timeLimit);

    // Hands over what the connection takes of bytes now, never waiting: the
    // number taken (1 or more), 0 when nothing can go now, -1 when the send
    // fails (see error()) or there is nothing to send. After 0, the next
    // call must pass the same bytes again (writeOwed()).
    std::int64_t sendSome(std::span<const char> bytes);
    // The last sendSome stopped inside a record: its rest is sealed and goes
    // with the next call, which must begin with the same bytes.
    bool writeOwed() const;

    // Sends close_notify when the session is up, without waiting for the
    // peer's; the socket stays open for the caller to close.
    void close();

    struct Data;

private:
    Session(Handle s, std::unique_ptr<Data> data);
    Handle m_socket;
    std::unique_ptr<Data> m_data;
    std::string m_error;
};

} // namespace tls

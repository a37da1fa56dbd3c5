#pragma once

#include "filesend.h"
#include "lineend.h"
#include "mwinsock2.h"
#include "tlssession.h"
#include "windowops.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The connection state machine, as the bodies of the main window's event
// handlers. One instance, owned by the window; every handler runs on the
// window's thread to completion.
class ConnectionControl {
public:
    enum State : std::int16_t {
        stateNone = 0, // before start-up has completed
        stateIdle = 1,
        stateListening = 2,
        stateAccepted = 3,
        stateConnected = 5,
    };

    // The socket interface's start-up and shut-down, replaceable in tests.
    struct Platform {
        std::function<int()> startup = mWinsock2::StartupSockets;
        std::function<void()> cleanup = mWinsock2::CleanupSockets;
        // The name lookup behind Connect.
        mWinsock2::Lookup lookup = sockplatform::LookupHost;
        // Whether Listen may take peers of both families on one IPv6 socket.
        std::function<bool()> ipv6 = mWinsock2::Ipv6Available;
    };

    // What TLS trusts and shows, as the command line asks.
    struct TlsSettings {
        QString caFile;            // PEM; empty: the system's trusted authorities
        QString certFile, keyFile; // PEM; ours, for a server that asks and for Listen;
                                   // empty: none, and a certificate made for Listen
        bool insecure = false;     // go on with any certificate, saying so
    };

    explicit ConnectionControl(WindowOps& window);
    ConnectionControl(WindowOps& window, Platform platform);
    ~ConnectionControl();

    ConnectionControl(const ConnectionControl&) = delete;
    ConnectionControl& operator=(const ConnectionControl&) = delete;

    void Form_Load();
    void Form_Unload();

    void cmdConnetti_Click();
    void cmdStartListen_Click();
    void cmdDisconnect_Click();
    void cmdSend_Click();
    // keyCode: one byte to send, as the window gives it: the typed character's
    // code in Latin-1, or one byte of its UTF-8 form (13 for Enter: CR LF).
    void txtDati_KeyPress(std::int16_t keyCode);
    void tmrReceive_Timer();
    // "Start TLS": a client handshake over the open plain connection, once
    // the user has had the peer agree to it in the peer's own protocol.
    void mnuStartTls_Click();
    bool canStartTls() const;
    bool isTls() const { return m_session != nullptr; }

    // Sends the file's bytes over the open connection, in steps; keys and
    // the send button are refused meanwhile, with one line saying so.
    void sendFile(const QString& path);
    void cancelFileSend();
    bool isSendingFile() const { return m_fileSend && m_fileSend->running(); }
    // The file send under way or the last one; nullptr before the first.
    const FileSend* fileSend() const { return m_fileSend.get(); }

    // What Enter in the transcript sends.
    void setLineEnd(LineEnd end) { m_lineEnd = end; }
    LineEnd lineEnd() const { return m_lineEnd; }

    State connState() const { return ConnState; }
    mWinsock2::SocketHandle listenSocket() const { return ListenSocket; }
    mWinsock2::SocketHandle connSocket() const { return ConnSocket; }
    const mWinsock2::SockAddr& listenAddr() const { return ListenAddr; }
    const mWinsock2::SockAddr& remoteAddr() const { return RemoteAddr; }

    // How long one send may wait for a peer that does not read.
    void setSendTimeLimit(std::chrono::milliseconds limit) { m_sendTimeLimit = limit; }
    // How long Connect's name lookup may take, and then its connect.
    void setConnectTimeLimit(std::chrono::milliseconds limit) { m_connectTimeLimit = limit; }
    // Ours is loaded from the new files when next needed, unless a listener
    // still serves the one loaded before.
    void setTlsSettings(TlsSettings settings);

private:
    void listen();
    void stop();
    void acceptStep();
    void peerAccepted();
    void serverHandshakeStep();
    // Says why the peer in its handshake failed, and closes it.
    void dropHandshakingPeer(const QString& reason);
    void receiveStep();
    void receiveTlsStep();
    // Shows what arrived in plain text and is still waiting; false when the
    // peer has gone (the Disconnect action has run).
    bool showWaitingPlainText();
    // A client handshake over s, verified as the settings say: the session,
    // or nullptr when it failed or the user did not trust the peer (the
    // reason is written). facts: what the peer showed.
    std::unique_ptr<tls::Session> clientHandshake(mWinsock2::SocketHandle s, const QString& host,
                                                  tls::PeerFacts& facts);
    // Ours: loaded from the files once (a locked key unlocked then), or made
    // once for Listen when there are none; nullptr after writing failure and
    // why not.
    const tls::Identity* ourIdentity(const QString& failure);
    // Unlocks a key through the window's passphrase dialog.
    tls::PassphraseSource passphraseSource();
    void writeTlsFacts(const tls::PeerFacts& facts, bool asClient);
    // Sends text, echoes what went on the wire and moves the caret to the
    // end; on failure performs the Disconnect action. True when sent.
    bool sendAndEcho(const QString& text);
    void writeStatusLine(const QString& line);
    // Tells the window that the connection over ConnSocket to RemoteAddr
    // has begun.
    void startConversation(bool openedHere);
    // True, with one line per file, while a file is going out or the send
    // buffer is still full of its end.
    bool refusedForFile();

    WindowOps& m_window;
    Platform m_platform;
    std::chrono::milliseconds m_sendTimeLimit = mWinsock2::SendTimeLimit;
    std::chrono::milliseconds m_connectTimeLimit = mWinsock2::ConnectTimeLimit;
    bool m_unloaded = false;
    LineEnd m_lineEnd = LineEnd::CrLf;
    std::unique_ptr<FileSend> m_fileSend;
    bool m_refusedForFile = false; // the line has been written for this file
    // A file send has ended and the send buffer has not had room since.
    bool m_fileQueued = false;

    TlsSettings m_tlsSettings;
    // The TLS session over ConnSocket, when the connection is encrypted.
    std::unique_ptr<tls::Session> m_session;
    std::unique_ptr<tls::Identity> m_identity; // ours, once loaded or made
    bool m_listenTls = false;
    bool m_upgrading = false; // Start TLS's handshake is under way
    QString m_connectedHost;  // the host text of the open outgoing connection
    // An accepted peer still in its handshake; it becomes the connection
    // when the handshake is done.
    struct HandshakingPeer {
        mWinsock2::SocketHandle socket;
        mWinsock2::SockAddr address;
        std::unique_ptr<tls::Session> session;
        std::chrono::steady_clock::time_point deadline;
    };
    std::optional<HandshakingPeer> m_handshaking;

    State ConnState = stateNone;
    // Outside the states that use them both handles are InvalidSocket: a
    // closed handle is never kept, so no later call can reach whatever the
    // system hands that number to next.
    mWinsock2::SocketHandle ListenSocket = mWinsock2::InvalidSocket;
    mWinsock2::SocketHandle ConnSocket = mWinsock2::InvalidSocket;
    // Either family: the listening socket's own address (:: for both
    // families where the system has IPv6), and the peer's.
    mWinsock2::SockAddr ListenAddr{};
    mWinsock2::SockAddr RemoteAddr{};
};

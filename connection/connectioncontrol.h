#pragma once

#include "endpoint.h"
#include "filesend.h"
#include "lineend.h"
#include "mwinsock2.h"
#include "proxy.h"
#include "tlssteps.h"
#include "windowops.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The connection state machine, as the bodies of the main window's event
// handlers. One instance, owned by the window; every handler runs on the
// window's thread to completion.
class Relay;

class ConnectionControl {
public:
    enum State : std::int16_t {
        stateNone = 0, // before start-up has completed
        stateIdle = 1,
        stateListening = 2,
        stateAccepted = 3,
        stateReconnecting = 4,    // a Connect connection lost: the next try waits (Reconnect on)
        stateConnected = 5,
        stateRelaying = 6,        // listening on the local port for a client to relay
        stateRelayConnecting = 7, // a client accepted: its server being connected and checked
        stateRelayed = 8,         // a client and its server passed on to each other
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

    using TlsSettings = ::TlsSettings;

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
    bool isTls() const { return m_peer.isTls(); }

    // "Relay" and its "Stop": listen on the local port and pass each client,
    // one at a time, on to the remote host and port.
    void cmdRelay_Click();
    bool isRelaying() const
    {
        return ConnState == stateRelaying || ConnState == stateRelayConnecting
            || ConnState == stateRelayed;
    }
    // One end of the open pair; nullptr outside stateRelayed.
    const Endpoint* relayEndpoint(RelaySide side) const;

    // One of Pellix's own lines, on a line of its own, after whatever a
    // relayed pair has passed on before it.
    void writeStatusLine(const QString& line);

    // What sendBytes did with the bytes.
    enum class SendOutcome {
        Sent,         // every byte went, and shows when Local Echo is on
        Busy,         // skipWhenBusy and the peer has no room now: nothing went
        Refused,      // a file is going out: nothing went, one line says so
        NotConnected, // no open connection (or pair) to send to
        Failed,       // the send failed and the connection has ended, as for the send box
    };
    // The one way for anything but the window's own keys and send box to
    // send: bytes as they are, to the peer, or in a relay to the side `to`
    // (the window's choice when none), refused while a file goes out and
    // echoed as keys are.
    SendOutcome sendBytes(QByteArrayView bytes, std::optional<RelaySide> to = std::nullopt,
                          bool skipWhenBusy = false);

    // Sends the file's bytes over the open connection, in steps; keys and
    // the send button are refused meanwhile, with one line saying so.
    void sendFile(const QString& path);
    void cancelFileSend();
    bool isSendingFile() const { return m_fileSend && m_fileSend->running(); }
    // The file send under way or the last one; nullptr before the first.
    const FileSend* fileSend() const { return m_fileSend.get(); }

    // "Reconnect": a Connect connection that ends without the user asking
    // is tried again, after 1 s, then 2, 4 ... up to 30 s between tries.
    // Turning it off stops the tries at once.
    void setReconnect(bool on);
    bool reconnects() const { return m_reconnect; }
    // The first wait and the longest (tests shorten them).
    void setReconnectWaits(std::chrono::milliseconds first, std::chrono::milliseconds longest)
    {
        m_firstWait = first;
        m_longestWait = longest;
    }

    // What Enter in the transcript sends.
    void setLineEnd(LineEnd end) { m_lineEnd = end; }
    LineEnd lineEnd() const { return m_lineEnd; }

    State connState() const { return ConnState; }
    mWinsock2::SocketHandle listenSocket() const { return ListenSocket; }
    mWinsock2::SocketHandle connSocket() const { return m_peer.socket(); }
    const mWinsock2::SockAddr& listenAddr() const { return ListenAddr; }
    const mWinsock2::SockAddr& remoteAddr() const { return RemoteAddr; }

    // How long one send may wait for a peer that does not read.
    void setSendTimeLimit(std::chrono::milliseconds limit) { m_sendTimeLimit = limit; }
    // How long Connect's name lookup may take, and then its connect.
    void setConnectTimeLimit(std::chrono::milliseconds limit) { m_connectTimeLimit = limit; }
    // The proxy that Connect and a relay's server leg go through (Listen
    // never does); none: straight to the host.
    void setProxy(std::optional<ProxySettings> proxy) { m_proxy = std::move(proxy); }
    const std::optional<ProxySettings>& proxy() const { return m_proxy; }
    // Ours is loaded from the new files when next needed, unless a listener
    // still serves the one loaded before.
    void setTlsSettings(TlsSettings settings)
    {
        m_tls.setSettings(std::move(settings), ConnState != stateNone && ConnState != stateIdle);
    }

private:
    void listen();
    void stop();
    // Connect's lookup, connect and handshake to the host and port in the
    // window: true when connected. A failed try of Reconnect says nothing
    // of its own: the next try's line follows.
    bool connectOut();
    // The next try of Reconnect, its wait and its line.
    void scheduleTry();
    void reconnectStep();
    void stopReconnecting();
    // The remote host and port boxes, Connect and the local port box.
    void enableConnect(bool on);
    // A listening socket on every local address at port: false (none kept)
    // when it cannot be made or bound.
    bool openListener(quint16 port, int backlog);
    // The bounded lookup and connect of Connect, through the proxy when one
    // is set: the connection, and the address connected to (the proxy's
    // through a proxy) or the last one tried. Why the proxy did not open the
    // way goes into proxyFailure.
    mWinsock2::Connection connectTo(const QString& host, quint16 port,
                                    mWinsock2::SockAddr& address, QString& proxyFailure);
    // Where a connect to host went, as the status lines say it.
    QString destination(const QString& host) const;
    void acceptStep();
    void peerAccepted();
    void tlsPeerAccepted(Endpoint peer);
    // The server handshake with an accepted peer, begun, and then a step a
    // tick: the peer once it is done.
    std::optional<Endpoint> startHandshake(Endpoint peer);
    std::optional<Endpoint> handshakeStep();
    void receiveStep();
    void receiveTlsStep();
    // Shows what arrived in plain text and is still waiting; false when the
    // peer has gone (the connection has then ended).
    bool showWaitingPlainText();
    // Shows what the peer sent and is still unread (in the socket, or
    // decrypted and held by TLS), in order, up to limit bytes: Nothing when
    // all of it is shown, Data when it stopped at the limit, or how the
    // peer's stream ended when it did.
    Endpoint::Outcome showUnread(qint64 limit);
    // The line for how the peer's stream ended; empty when it says nothing.
    QString endLine(Endpoint::Outcome end) const;
    // The one way a connection ends without the user asking (a failed
    // send, the peer's end, a stalled send buffer): what is still unread is
    // shown first, then why (when non-empty), then "Disconnected".
    void connectionLost(const QString& why);
    // Sends text, echoes what went on the wire and moves the caret to the
    // end; on failure performs the Disconnect action. True when sent.
    bool sendAndEcho(const QString& text);
    // Tells the window that the connection over ConnSocket to RemoteAddr
    // has begun.
    void startConversation(bool openedHere);
    // True, with one line per file, while a file is going out or the send
    // buffer is still full of its end.
    bool refusedForFile();

    void startRelay();
    void stopRelay();
    void relayAcceptStep();
    void relayClientReady(Endpoint client);
    // Connects to the server for m_relayClient and starts the pair, or
    // closes the client saying why.
    void connectServer();
    void relayEnded();
    // Takes up the TLS handshake the client has begun: TLS to the server
    // (verified, SNI serverName or the host as typed), then to the client.
    void upgradeRelay(const QString& serverName);
    // The user's bytes to one side of the pair, echoed when Local Echo is on:
    // false when that side could not take them (the pair has ended).
    bool sendToRelay(RelaySide to, QByteArrayView bytes);

    // What the end of a connection shows of a peer that keeps sending.
    static constexpr qint64 UnreadShownLimit = qint64(16) << 20;

    WindowOps& m_window;
    Platform m_platform;
    std::chrono::milliseconds m_sendTimeLimit = mWinsock2::SendTimeLimit;
    std::chrono::milliseconds m_connectTimeLimit = mWinsock2::ConnectTimeLimit;
    bool m_unloaded = false;
    bool m_reconnect = false;
    std::chrono::milliseconds m_firstWait{1000};
    std::chrono::milliseconds m_longestWait{30000};
    int m_tries = 0;      // since Connect, or since a connection that lasted
    bool m_trying = false; // a try's connect is under way
    std::chrono::steady_clock::time_point m_tryAt;
    std::chrono::steady_clock::time_point m_connectedAt;
    LineEnd m_lineEnd = LineEnd::CrLf;
    std::unique_ptr<FileSend> m_fileSend;
    bool m_refusedForFile = false; // the line has been written for this file
    // A file send has ended and the send buffer has not had room since.
    bool m_fileQueued = false;

    std::optional<ProxySettings> m_proxy;
    TlsSteps m_tls;
    bool m_listenTls = false;
    bool m_upgrading = false; // Start TLS's handshake is under way
    QString m_connectedHost;  // the host text of the open outgoing connection
    // An accepted peer still in its handshake; it becomes the connection
    // when the handshake is done.
    std::optional<TlsSteps::Handshaking> m_handshaking;

    State ConnState = stateNone;
    // Outside the states that use them both sockets are closed and hold
    // InvalidSocket: a closed handle is never kept, so no later call can
    // reach whatever the system hands that number to next.
    mWinsock2::SocketHandle ListenSocket = mWinsock2::InvalidSocket;
    // The peer of Connect or Listen: the data connection.
    Endpoint m_peer;
    // Either family: the listening socket's own address (:: for both
    // families where the system has IPv6), and the peer's.
    mWinsock2::SockAddr ListenAddr{};
    mWinsock2::SockAddr RemoteAddr{};

    // The relay: where its clients go, which legs are TLS, and the pair.
    QString m_relayHost;
    quint16 m_relayPort = 0;
    bool m_relayTlsClient = false;
    bool m_relayTlsServer = false;
    bool m_relayRecognise = true;
    bool m_relayIdentityShown = false;
    Endpoint m_relayClient; // accepted, waiting for its server
    std::unique_ptr<Relay> m_relay;
    // The pair that has just ended, kept until the next tick: it may still
    // be on the stack that ended it.
    std::unique_ptr<Relay> m_endedRelay;
};

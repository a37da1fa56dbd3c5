#pragma once

#include "conversation.h"
#include "textorigin.h"

#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

// The controls whose Enabled flag or caption connection control switches.
enum class Control {
    txtHostConn,
    txtPortConn,
    cmdConnetti,
    txtPort,
    cmdStartListen,
    cmdDisconnect,
    cmdSend,
    cmdRelay,  // caption "Relay" or "Stop", as cmdStartListen's is "Listen" or "Stop"
    cmdSendTo, // which side of a relay keys and the send box go to
};

// The two ends of a relay: the client that came to the local port, and the
// server it is relayed to.
enum class RelaySide { Client, Server };

// The user's answer to whether to go on with a peer that is not trusted.
struct TrustAnswer {
    TrustAnswer(bool goOn = false, bool pin = false) : goOn(goOn), pin(pin) { }
    bool goOn;
    bool pin; // trust that certificate wherever it shows, for the rest of the run
};

// The text boxes whose text connection control reads or writes.
enum class TextBox {
    txtHostConn,
    txtPortConn,
    txtPort,
    txtInvia,
};

// What the main window offers the connection handlers: the narrow set of
// operations they need, so that they can run against the real window or a
// recording stand-in.
class WindowOps {
public:
    virtual ~WindowOps() = default;

    // txtInvia reads as the bytes to send, one character a byte (a line
    // break as CR LF).
    virtual QString text(TextBox box) const = 0;
    virtual void setText(TextBox box, const QString& text) = 0;
    virtual void setEnabled(Control control, bool enabled) = 0;
    virtual void setCaption(Control control, const QString& caption) = 0;

    // chkEcho: 0 not checked, 1 checked, 2 grayed.
    virtual int echoValue() const = 0;

    // The transcript: a line break before what comes next, unless the
    // transcript is 2 characters or shorter or already ends in CR LF. The
    // break is the program's own (TextOrigin::Status).
    virtual void EnsureLineBreak() = 0;
    // Appends s, marked as coming from origin; the caret goes to the start and
    // the first line comes into view.
    virtual void AppendText(const QString& s, TextOrigin origin) = 0;
    // The same for bytes as they are.
    virtual void AppendBytes(QByteArrayView bytes, TextOrigin origin)
    {
        AppendText(QString::fromLatin1(bytes), origin);
    }
    // The caret after the last character, nothing selected, the end in view.
    virtual void ScrollToEnd() = 0;

    // Called again and again while a name lookup or a connect waits on the
    // network: lets the window repaint, acting on no click or key. False when
    // the attempt should end now (the window is closing).
    virtual bool keepWaiting() = 0;

    // The TLS check box: whether Connect and Listen use TLS.
    virtual bool tlsValue() const { return false; }
    // In a relay: whether the leg to that side uses TLS.
    virtual bool relayTlsValue(RelaySide leg) const
    {
        Q_UNUSED(leg);
        return tlsValue();
    }
    // In a relay: whether a TLS handshake that the client begins on a plain
    // pair is taken up (both legs then TLS), rather than passed on as bytes.
    virtual bool recogniseTlsValue() const { return true; }
    // In a relay: the side that keys and the send box go to.
    virtual RelaySide sendTarget() const { return RelaySide::Server; }
    // Runs work that may wait on the network (through keepWaiting), with the
    // wait shown; a close asked for meanwhile happens once work has returned.
    virtual void whileWaiting(const std::function<void()>& work) { work(); }
    // Shows why the peer's certificate is not trusted, with its facts, and
    // asks whether to go on all the same, and whether to pin it. The answer
    // offered first is no.
    virtual TrustAnswer askToTrust(const QString& facts)
    {
        Q_UNUSED(facts);
        return {};
    }

    // How far a file being sent has got: the line to show, and the part
    // sent (0 to 1); hidden again once the send has ended.
    virtual void showSendProgress(const QString& text, double fraction)
    {
        Q_UNUSED(text);
        Q_UNUSED(fraction);
    }
    virtual void hideSendProgress() { }
    // A connection has just been made (connected, or a peer accepted): the
    // status line that says so comes next.
    virtual void connectionStarted() { }
    // The connection of Connect or Listen is ready for the user's bytes: made,
    // its TLS handshake done and every line about it written.
    virtual void connectionReady() { }

    // Asks for the passphrase of the key in file, echo off; again: the one
    // given before was wrong. None when the user gives none. The caller wipes
    // the text once it has used it.
    virtual std::optional<QString> askPassphrase(const QString& file, bool again)
    {
        Q_UNUSED(file);
        Q_UNUSED(again);
        return std::nullopt;
    }

    // A connection has begun (its addresses and ports, TLS, which side
    // opened it) or the one begun has ended; for the transcript's capture.
    virtual void conversationStarted(const Conversation& conversation)
    {
        Q_UNUSED(conversation);
    }
    virtual void conversationEnded() { }

    // The "?" button: the banner line, and the help text once the window shows.
    virtual void cmdH_Click() = 0;

    // Shows the one message box of the program, then ends the program at
    // once: no other handler runs, the window's close handler included.
    virtual void reportStartupFailure(const QString& message) = 0;
};

#pragma once

#include "connectioncontrol.h"
#include "lineend.h"
#include "sendhistory.h"
#include "windowops.h"

#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class Answers;
class FindBar;
class MessageList;
class MessageSender;
class MessagesWindow;
class QAction;
class QActionGroup;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QKeyEvent;
class QMimeData;
class QTimer;
class TranscriptCapture;
class QToolButton;
class TranscriptLog;
class TranscriptView;

// The one window of Pellix: builds the controls, lays them out at fixed
// places, and forwards their events to the connection handlers.
class frmPellix : public QWidget, private WindowOps {
    Q_OBJECT

public:
    // What start-up and a failed start-up do, replaceable in tests.
    struct Hooks {
        ConnectionControl::Platform platform;
        // Ends the program at once after the start-up failure message.
        std::function<void(int status)> terminate;
        // Asks whether to go on with a peer whose certificate is not trusted,
        // and whether to pin it (a dialog by default).
        std::function<TrustAnswer(const QString& facts)> askToTrust;
        // Asks for the passphrase of a locked key (a dialog by default).
        std::function<std::optional<QString>(const QString& file, bool again)> askPassphrase;
        // How long that dialog takes no key and no click once it shows.
        std::chrono::milliseconds trustDelay = std::chrono::seconds(1);
    };

    explicit frmPellix(QWidget* parent = nullptr);
    explicit frmPellix(Hooks hooks, QWidget* parent = nullptr);
    ~frmPellix() override;

    static QString BannerLine();

    ConnectionControl& connection() { return m_connection; }

    // A handler waits on the network (a lookup or a connect): the window
    // shows the wait pointer and tells assistive technology it is busy.
    bool isWaiting() const { return m_waiting; }

    // Logs the transcript to log from now on, beginning with what the
    // transcript already holds (right after construction: the banner line).
    void startLog(std::unique_ptr<TranscriptLog> log);
    // The same for a capture of the session.
    void startCapture(std::unique_ptr<TranscriptCapture> capture);

    // What Enter in the transcript sends and what each line break of the
    // send box becomes ("Line End" in both context menus).
    void setLineEnd(LineEnd end);
    LineEnd lineEnd() const { return m_lineEnd; }

    // The handlers of the window's own controls.
    void cmdClear_Click();
    void cmdH_Click() override;
    void txtHostConn_GotFocus();
    void txtPortConn_GotFocus();
    void txtPort_GotFocus();

    // The controls, for the event wiring and for tests.
    QLineEdit* txtHostConn = nullptr;
    QLineEdit* txtPortConn = nullptr;
    QPushButton* cmdConnetti = nullptr;
    QLineEdit* txtPort = nullptr;
    QPushButton* cmdStartListen = nullptr;
    // In the room between Listen and Disconnect: start and stop a relay;
    // its menu holds the relay's TLS choices.
    QToolButton* cmdRelay = nullptr;
    QPushButton* cmdDisconnect = nullptr;
    // In the room between Disconnect and Local Echo: which side of a relay
    // keys and the send box go to.
    QToolButton* cmdSendTo = nullptr;
    QCheckBox* chkEcho = nullptr;
    QCheckBox* chkTls = nullptr;
    QPushButton* cmdH = nullptr;
    QPushButton* cmdClear = nullptr;
    TranscriptView* txtDati = nullptr;
    QPlainTextEdit* txtInvia = nullptr;
    QPushButton* cmdSend = nullptr;
    QTimer* tmrReceive = nullptr;

    // Laid over the transcript's bottom edge while finding (F3, Shift+F3,
    // the transcript's "Find..."): not one of the window's fixed controls.
    FindBar* findBar = nullptr;
    // "Send as Hex" in the send box's context menu: checked, the send box is
    // read as hex bytes.
    QAction* actSendHex = nullptr;
    // "Reconnect": a Connect connection that ends without the user asking comes back.
    QAction* actReconnect = nullptr;
    // "Line End" in both context menus: "CR LF", "LF", "CR", "None".
    QMenu* mnuLineEnd = nullptr;
    // "Send File..." in the send box's context menu, and its opposite while
    // a file goes out.
    QAction* actSendFile = nullptr;
    QAction* actCancelSend = nullptr;
    // Laid over the transcript's top edge while a file goes out: how far it
    // has got, and Cancel.
    QFrame* sendProgress = nullptr;
    QLabel* lblSendProgress = nullptr;
    QProgressBar* barSendProgress = nullptr;
    QPushButton* cmdCancelSend = nullptr;
    // The relay button's menu: with the TLS box ticked, which legs of a
    // relay use TLS; and whether a TLS handshake the client begins on a
    // plain relay is taken up (otherwise passed through as bytes).
    QAction* actTlsToClient = nullptr;
    QAction* actTlsToServer = nullptr;
    QAction* actTakeUpTls = nullptr;
    // "Send to Client" and "Send to Server" in the transcript's menu.
    QAction* actSendToClient = nullptr;
    QAction* actSendToServer = nullptr;

    // "Rules" in both context menus: answers by rule on or off as a whole.
    QAction* actRules = nullptr;
    // The rules that answer what arrives, fed the bytes the transcript is given.
    Answers& answers() { return *m_answers; }
    // The saved messages, what sends them, and the "Messages" window over
    // them (opened by Shift+F2 and from both context menus).
    MessageList* messages = nullptr;
    MessageSender* messageSender = nullptr;
    MessagesWindow* messagesWindow = nullptr;
    void showMessagesWindow();
    // "Send Message", "Messages..." and "Stop All Repeats", for a context menu.
    void addMessagesMenu(QMenu* menu);

    RelaySide sendTarget() const override;
    void setSendTarget(RelaySide side);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void wireEvents();
    static void SelectAllOnFocus(QLineEdit* box);
    void showSendBoxMenu(const QPoint& pos);
    void setSendAsHex(bool hex);
    void createLineEndMenu();
    void createAnswers();
    // The rules answered by, read again from the list.
    void updateRules();
    void createSendProgress();
    void createMessages();
    // A line of the messages or their rules, shown as connection control's
    // own lines are, the end in view.
    void writeStatusLine(const QString& line);
    void chooseFileToSend();
    // The send box's recall keys (Ctrl+Up, Ctrl+Down): true when taken.
    bool recallKey(QKeyEvent* event);
    // A file dragged onto the send box: its path when it can be sent now.
    QString droppableFile(const QMimeData* data) const;
    // The send box's text as the user typed it, a line break as LF.
    QString sendBoxText() const;
    // In hex mode: whether the send box is hex, keeping its bytes for the
    // send that follows; if not, says what is wrong and where, and selects it.
    bool sendBoxIsReady();
    // The send box as the connection sends it, one character a byte; in hex
    // mode the bytes sendBoxIsReady read.
    QString sendBoxBytes() const;

    // What the connection handlers may do to the window.
    QString text(TextBox box) const override;
    void setText(TextBox box, const QString& text) override;
    void setEnabled(Control control, bool enabled) override;
    void setCaption(Control control, const QString& caption) override;
    int echoValue() const override;
    bool tlsValue() const override;
    TrustAnswer askToTrust(const QString& facts) override;
    void connectionStarted() override;
    std::optional<QString> askPassphrase(const QString& file, bool again) override;
    void EnsureLineBreak() override;
    void AppendText(const QString& s, TextOrigin origin) override;
    void AppendBytes(QByteArrayView bytes, TextOrigin origin) override;
    bool relayTlsValue(RelaySide leg) const override;
    bool recogniseTlsValue() const override;
    void ScrollToEnd() override;
    void conversationStarted(const Conversation& conversation) override;
    void conversationEnded() override;
    void connectionReady() override;
    void reportStartupFailure(const QString& message) override;
    bool keepWaiting() override;
    void showSendProgress(const QString& text, double fraction) override;
    void hideSendProgress() override;

    QWidget* control(Control c) const;

    // Runs a handler that may wait on the network (through keepWaiting) and
    // shows the wait for as long as it runs; a close asked for meanwhile ends
    // the wait and happens once the handler has returned.
    void whileWaiting(const std::function<void()>& handler) override;
    void showWaiting(bool waiting);

    Hooks m_hooks;
    ConnectionControl m_connection;
    bool m_ended = false; // start-up failed: no handler runs any more
    bool m_focusGivenOut = false; // a control of the window has had the focus
    bool m_waiting = false;       // a handler waits on the network
    bool m_closeRequested = false; // the window was closed while it waited
    LineEnd m_lineEnd = LineEnd::CrLf;
    QActionGroup* m_lineEnds = nullptr;
    SendHistory m_history;
    QString m_hexToSend; // Send as Hex: the send box's bytes, read once
    Answers* m_answers = nullptr;
};

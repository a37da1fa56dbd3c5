#pragma once

#include "connectioncontrol.h"
#include "windowops.h"

#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
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
    };

    explicit frmPellix(QWidget* parent = nullptr);
    explicit frmPellix(Hooks hooks, QWidget* parent = nullptr);
    ~frmPellix() override;

    static QString BannerLine();

    ConnectionControl& connection() { return m_connection; }

    // Logs the transcript to log from now on, beginning with what the
    // transcript already holds (right after construction: the banner line).
    void startLog(std::unique_ptr<TranscriptLog> log);

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
    QPushButton* cmdDisconnect = nullptr;
    QCheckBox* chkEcho = nullptr;
    QPushButton* cmdH = nullptr;
    QPushButton* cmdClear = nullptr;
    TranscriptView* txtDati = nullptr;
    QPlainTextEdit* txtInvia = nullptr;
    QPushButton* cmdSend = nullptr;
    QTimer* tmrReceive = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void wireEvents();
    static void SelectAllOnFocus(QLineEdit* box);

    // What the connection handlers may do to the window.
    QString text(TextBox box) const override;
    void setText(TextBox box, const QString& text) override;
    void setEnabled(Control control, bool enabled) override;
    void setCaption(Control control, const QString& caption) override;
    int echoValue() const override;
    void EnsureLineBreak() override;
    void AppendText(const QString& s, TextOrigin origin) override;
    void ScrollToEnd() override;
    void reportStartupFailure(const QString& message) override;
    bool keepWaiting() override;

    QWidget* control(Control c) const;

    Hooks m_hooks;
    ConnectionControl m_connection;
    bool m_ended = false; // start-up failed: no handler runs any more
    bool m_focusGivenOut = false; // a control of the window has had the focus
    bool m_waiting = false;       // a handler waits on the network
    bool m_closeRequested = false; // the window was closed while it waited
};

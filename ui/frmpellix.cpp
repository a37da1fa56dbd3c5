#include "frmpellix.h"

#include "answers.h"
#include "messagerules.h"
#include "findbar.h"
#include "fixedfont.h"
#include "hexbytes.h"
#include "keycodes.h"
#include "messagebytes.h"
#include "messagelist.h"
#include "messagesender.h"
#include "messageswindow.h"
#include "proxydialog.h"
#include "transcriptview.h"
#include "trustdialog.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QFocusEvent>
#include <QFontInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStyleOptionButton>
#include <QTableView>
#include <QStylePainter>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QActionGroup>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdlib>
#include <limits>

#ifndef PELLIX_VERSION
#  define PELLIX_VERSION "0.0.0"
#endif
#ifndef PELLIX_HOMEPAGE
#  define PELLIX_HOMEPAGE "https://pellix.example.org"
#endif

namespace {

const QString CrLf = QStringLiteral("\r\n");

// A push button whose caption breaks at its spaces when the button is too
// narrow for it on one line ("S E N D" stands as four letters one above another).
class WrappingButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString caption = option.text;
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
        // Too narrow for one line: a line for each word, as a caption breaks
        // at every space of a narrow button.
        const bool fits = fontMetrics().horizontalAdvance(caption) <= area.width();
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::ButtonText));
        painter.drawText(area, Qt::AlignCenter,
                         fits ? caption : caption.split(u' ', Qt::SkipEmptyParts).join(u'\n'));
    }
};

// The window as assistive technology sees it: what Qt makes of a plain
// widget (role Client), and busy while a handler waits on the network.
class WindowAccessible : public QAccessibleWidget {
public:
    explicit WindowAccessible(frmPellix* window) : QAccessibleWidget(window) { }

    QAccessible::State state() const override
    {
        QAccessible::State st = QAccessibleWidget::state();
        st.busy = static_cast<const frmPellix*>(widget())->isWaiting();
        return st;
    }
};

QAccessibleInterface* createForWindow(const QString& className, QObject* object)
{
    if (className == QLatin1String(frmPellix::staticMetaObject.className()))
        if (auto* window = qobject_cast<frmPellix*>(object))
            return new WindowAccessible(window);
    return nullptr;
}

void terminateAtOnce(int status)
{
    std::_Exit(status);
}

} // namespace

frmPellix::frmPellix(QWidget* parent)
    : frmPellix(Hooks{}, parent)
{
}

frmPellix::frmPellix(Hooks hooks, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint),
      m_hooks(std::move(hooks)),
      m_connection(*this, m_hooks.platform)
{
    if (!m_hooks.terminate)
        m_hooks.terminate = terminateAtOnce;
    static const bool accessibleInstalled = [] {
        QAccessible::installFactory(createForWindow);
        return true;
    }();
    Q_UNUSED(accessibleInstalled);

    setObjectName(QStringLiteral("frmPellix"));
    setWindowTitle(QStringLiteral("Pellix"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/pellix.ico")));
    setFixedSize(694, 525);
    // The captions were laid out for a small sans serif of 8 points: the
    // window's own font, which every control but the two text areas uses.
    QFont captions = font();
    captions.setPointSize(8);
    setFont(captions);

    createControls();
    createAnswers();
    wireEvents();
    m_connection.Form_Load();
}

frmPellix::~frmPellix() = default;

QString frmPellix::BannerLine()
{
    return QStringLiteral("Pellix " PELLIX_VERSION);
}

// --- Building the window -------------------------------------------------------

void frmPellix::createControls()
{
    auto lineEdit = [this](const char* name, const QString& text, QRect geometry,
                           const QString& role) {
        auto* box = new QLineEdit(text, this);
        box->setObjectName(QLatin1String(name));
        box->setGeometry(geometry);
        box->setAccessibleName(role);
        box->setToolTip(role);
        // No length limit: a long pasted text is read whole, never cut short.
        box->setMaxLength(std::numeric_limits<int>::max());
        return box;
    };
    auto button = [this](QPushButton* b, const char* name, QRect geometry, const QString& role) {
        b->setObjectName(QLatin1String(name));
        b->setGeometry(geometry);
        b->setAutoDefault(false);
        b->setDefault(false);
        b->setAccessibleName(role);
        b->setToolTip(role);
        return b;
    };

    txtHostConn = lineEdit("txtHostConn", QStringLiteral("127.0.0.1"), {4, 4, 117, 21},
                           tr("Remote host"));
    txtPortConn = lineEdit("txtPortConn", QStringLiteral("1234"), {124, 4, 45, 21},
                           tr("Remote port"));
    cmdConnetti = button(new QPushButton(QStringLiteral("Connect"), this), "cmdConnetti",
                         {172, 4, 53, 21}, tr("Connect to the remote host and port"));
    txtPort = lineEdit("txtPort", QStringLiteral("1234"), {252, 4, 45, 21},
                       tr("Local port to listen on"));
    cmdStartListen = button(new QPushButton(QStringLiteral("Listen"), this), "cmdStartListen",
                            {300, 4, 45, 21}, tr("Listen on the local port, or stop listening"));
    cmdRelay = new QToolButton(this);
    cmdRelay->setObjectName(QStringLiteral("cmdRelay"));
    cmdRelay->setText(QStringLiteral("\u21c4"));
    cmdRelay->setGeometry(347, 4, 24, 21);
    cmdRelay->setFocusPolicy(Qt::StrongFocus);
    cmdRelay->setPopupMode(QToolButton::MenuButtonPopup);
    cmdRelay->setCheckable(true);
    cmdRelay->setAccessibleName(tr("Relay"));
    cmdRelay->setToolTip(tr("Relay: listen on the local port and pass each client on to the "
                            "remote host and port, both directions shown (its TLS choices: the "
                            "arrow, or Alt+Down)"));
    auto* relayMenu = new QMenu(cmdRelay);
    actTlsToClient = relayMenu->addAction(tr("TLS to the &Client"));
    actTlsToServer = relayMenu->addAction(tr("TLS to the &Server"));
    relayMenu->addSeparator();
    actTakeUpTls = relayMenu->addAction(tr("&Take Up TLS the Client Begins"));
    for (QAction* action : {actTlsToClient, actTlsToServer, actTakeUpTls}) {
        action->setCheckable(true);
        action->setChecked(true);
    }
    actTlsToClient->setToolTip(tr("With TLS ticked, a relay's listener speaks TLS to its clients"));
    actTlsToServer->setToolTip(tr("With TLS ticked, a relay speaks TLS to the server, verified"));
    actTakeUpTls->setToolTip(tr("A client that begins TLS on a plain relay (STARTTLS) is answered "
                                "with TLS on both legs; otherwise its TLS passes through as bytes"));
    relayMenu->setToolTipsVisible(true);
    cmdRelay->setMenu(relayMenu);

    cmdDisconnect = button(new QPushButton(QStringLiteral("Disconnect"), this), "cmdDisconnect",
                           {372, 4, 77, 21}, tr("End the connection"));
    cmdDisconnect->setEnabled(false);

    cmdSendTo = new QToolButton(this);
    cmdSendTo->setObjectName(QStringLiteral("cmdSendTo"));
    cmdSendTo->setGeometry(451, 4, 24, 21);
    cmdSendTo->setFocusPolicy(Qt::StrongFocus);
    cmdSendTo->setEnabled(false);

    chkEcho = new QCheckBox(QStringLiteral("Local Echo"), this);
    chkEcho->setObjectName(QStringLiteral("chkEcho"));
    chkEcho->setGeometry(476, 4, 77, 21);
    chkEcho->setCheckState(Qt::Checked);
    // Less room between the box and its caption, so that "Local Echo" fits.
    chkEcho->setStyleSheet(QStringLiteral("QCheckBox { spacing: 2px; }"));
    chkEcho->setAccessibleName(tr("Local echo"));
    chkEcho->setToolTip(tr("Show what is sent in the transcript"));

    // In the room between Local Echo and "?": whether Connect and Listen use TLS.
    chkTls = new QCheckBox(QStringLiteral("TLS"), this);
    chkTls->setObjectName(QStringLiteral("chkTls"));
    chkTls->setGeometry(558, 4, 42, 21);
    chkTls->setStyleSheet(QStringLiteral("QCheckBox { spacing: 2px; }"));
    chkTls->setAccessibleName(tr("Use TLS"));
    chkTls->setToolTip(tr("Connect and Listen over TLS: encrypted, and the peer's certificate "
                          "verified"));

    cmdH = button(new QPushButton(QStringLiteral("?"), this), "cmdH", {604, 4, 29, 21},
                  tr("About Pellix"));
    cmdClear = button(new QPushButton(QStringLiteral("Clear"), this), "cmdClear",
                      {644, 4, 45, 21}, tr("Clear the transcript"));

    txtDati = new TranscriptView(this);
    txtDati->setObjectName(QStringLiteral("txtDati"));
    txtDati->setGeometry(4, 28, 685, 417);
    txtDati->setFont(transcriptFont());
    txtDati->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtDati->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtDati->setAccessibleName(tr("Transcript"));
    txtDati->setToolTip(
        tr("Transcript: what arrives; keys typed here go to the peer.\n"
           "What arrived is in the text colour, what was sent (the echo) in blue, "
           "Pellix's own lines in amber.\n"
           "In a relay: the client's bytes in green, the server's in purple; what you "
           "sent to the server in blue, to the client in teal.\n"
           "A boxed pair of hex digits is a control character; a filled one, a byte "
           "that is not valid UTF-8.\nEncoding, Hex View and Timestamps: in the context menu."));

    txtInvia = new QPlainTextEdit(this);
    txtInvia->setObjectName(QStringLiteral("txtInvia"));
    txtInvia->setGeometry(4, 456, 661, 65);
    txtInvia->setFont(transcriptFont());
    txtInvia->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtInvia->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtInvia->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtInvia->setTabChangesFocus(true);
    txtInvia->setContextMenuPolicy(Qt::CustomContextMenu);
    actSendHex = new QAction(tr("Send as &Hex"), this);
    actSendHex->setCheckable(true);
    setSendAsHex(false);
    createLineEndMenu();
    actReconnect = new QAction(tr("&Reconnect"), this);
    actReconnect->setCheckable(true);
    actReconnect->setToolTip(tr("When a connection made by Connect ends without Disconnect, "
                                "connect again after 1 s, 2, 4 ... up to 30 s between tries"));
    actSendFile = new QAction(tr("Send &File..."), this);
    actSendFile->setToolTip(tr("Send a file's bytes exactly as they are; dropping a file on "
                               "the send box does the same"));
    actCancelSend = new QAction(tr("&Cancel Sending File"), this);

    cmdSend = button(new WrappingButton(QStringLiteral("S E N D"), this), "cmdSend",
                     {668, 456, 21, 65}, tr("Send the send box"));
    cmdSend->setEnabled(false);

    tmrReceive = new QTimer(this);
    tmrReceive->setObjectName(QStringLiteral("tmrReceive"));
    tmrReceive->setInterval(100);

    findBar = new FindBar(txtDati, this);
    createSendProgress();
    createMessages();

    // The find bar, while it shows, comes between the transcript and the send box.
    actSendToClient = new QAction(tr("Send to &Client"), this);
    actSendToServer = new QAction(tr("Send to &Server"), this);
    auto* sendTo = new QActionGroup(this);
    for (QAction* action : {actSendToClient, actSendToServer}) {
        action->setCheckable(true);
        sendTo->addAction(action);
    }
    setSendTarget(RelaySide::Server);

    QWidget* order[] = {txtHostConn, txtPortConn, cmdConnetti, txtPort, cmdStartListen, cmdRelay,
                        cmdDisconnect, cmdSendTo, chkEcho, chkTls, cmdH, cmdClear, txtDati,
                        cmdCancelSend, findBar->field, findBar->matchCase, findBar->hex, findBar->previous,
                        findBar->next, findBar->closeButton, txtInvia, cmdSend};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void frmPellix::wireEvents()
{
    connect(cmdConnetti, &QPushButton::clicked, this,
            [this] { whileWaiting([this] { m_connection.cmdConnetti_Click(); }); });
    txtDati->addMenuSection([this](QMenu* menu) {
        QAction* startTls = menu->addAction(tr("Start &TLS"), this, [this] {
            // After the menu has gone; the handshake waits as a connect does.
            QTimer::singleShot(0, this, [this] {
                whileWaiting([this] { m_connection.mnuStartTls_Click(); });
            });
        });
        startTls->setEnabled(m_connection.canStartTls());
        startTls->setToolTip(tr("Begin TLS on this connection, once the peer has agreed to it "
                                "(STARTTLS, STLS, AUTH TLS)"));
        menu->addMenu(mnuLineEnd);
        QAction* proxy = menu->addAction(tr("&Proxy..."), this, [this] {
            QTimer::singleShot(0, this, [this] {
                ProxyDialog dialog(m_connection.proxy(), this);
                if (dialog.exec() == QDialog::Accepted)
                    m_connection.setProxy(dialog.proxy());
            });
        });
        proxy->setToolTip(m_connection.proxy()
                              ? tr("Connect goes through %1").arg(m_connection.proxy()->displayUrl())
                              : tr("Connect through a SOCKS5 or HTTP proxy"));
        menu->addAction(actReconnect);
        addMessagesMenu(menu);
    });
    connect(actReconnect, &QAction::toggled, this,
            [this](bool on) { m_connection.setReconnect(on); });
    connect(cmdStartListen, &QPushButton::clicked, this,
            [this] { m_connection.cmdStartListen_Click(); });
    connect(cmdRelay, &QToolButton::clicked, this, [this] {
        m_connection.cmdRelay_Click();
        // The button shows whether a relay runs, not what the click made it.
        cmdRelay->setChecked(m_connection.isRelaying());
    });
    connect(cmdSendTo, &QToolButton::clicked, this, [this] {
        setSendTarget(sendTarget() == RelaySide::Server ? RelaySide::Client : RelaySide::Server);
    });
    connect(actSendToClient, &QAction::triggered, this,
            [this] { setSendTarget(RelaySide::Client); });
    connect(actSendToServer, &QAction::triggered, this,
            [this] { setSendTarget(RelaySide::Server); });
    txtDati->addMenuSection([this](QMenu* menu) {
        menu->addSeparator();
        menu->addAction(actSendToClient);
        menu->addAction(actSendToServer);
        actSendToClient->setEnabled(cmdSendTo->isEnabled());
        actSendToServer->setEnabled(cmdSendTo->isEnabled());
    });
    connect(cmdDisconnect, &QPushButton::clicked, this,
            [this] { m_connection.cmdDisconnect_Click(); });
    connect(cmdSend, &QPushButton::clicked, this, [this] {
        if (!sendBoxIsReady())
            return;
        const QString typed = sendBoxText();
        if (!actSendHex->isChecked() && !typed.isEmpty() && sendBoxBytes().isEmpty()) {
            // Only line breaks, and the line end is None: nothing goes out,
            // which is not the empty send box that ends the connection.
            txtInvia->clear();
            return;
        }
        m_connection.cmdSend_Click();
        if (!typed.isEmpty() && txtInvia->document()->isEmpty())
            m_history.add(typed);
    });
    connect(actSendFile, &QAction::triggered, this, &frmPellix::chooseFileToSend);
    connect(actCancelSend, &QAction::triggered, this, [this] { m_connection.cancelFileSend(); });
    connect(cmdCancelSend, &QPushButton::clicked, this, [this] { m_connection.cancelFileSend(); });
    txtInvia->installEventFilter(this);
    txtInvia->viewport()->installEventFilter(this);
    connect(txtInvia, &QWidget::customContextMenuRequested, this, &frmPellix::showSendBoxMenu);
    connect(actSendHex, &QAction::toggled, this, &frmPellix::setSendAsHex);
    connect(cmdClear, &QPushButton::clicked, this, &frmPellix::cmdClear_Click);
    connect(cmdH, &QPushButton::clicked, this, &frmPellix::cmdH_Click);
    connect(tmrReceive, &QTimer::timeout, this, [this] { m_connection.tmrReceive_Timer(); });
    connect(txtDati, &TranscriptView::keyPressed, this, [this](QKeyEvent* event) {
        // In UTF-8 a character is its bytes, each handed on as one key.
        for (std::int16_t code : KeyCodesFor(event->key(), event->modifiers(), event->text(),
                                             txtDati->encoding()))
            m_connection.txtDati_KeyPress(code);
    });

    // F3 and Shift+F3 send nothing to the peer, so they are free for finding
    // (Ctrl+F is not: it sends 6). The menu shows them but leaves them to
    // the window's shortcuts.
    auto* findNext = new QShortcut(QKeySequence(Qt::Key_F3), this);
    connect(findNext, &QShortcut::activated, this, [this] { findBar->find(FindDirection::Forward); });
    auto* findPrevious = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this);
    connect(findPrevious, &QShortcut::activated, this,
            [this] { findBar->find(FindDirection::Backward); });
    txtDati->addMenuSection([this](QMenu* menu) {
        menu->addAction(tr("&Find..."), findBar, &FindBar::open);
        QAction* next = menu->addAction(tr("Find &Next"), this,
                                        [this] { findBar->find(FindDirection::Forward); });
        QAction* previous = menu->addAction(tr("Find &Previous"), this,
                                            [this] { findBar->find(FindDirection::Backward); });
        next->setShortcut(QKeySequence(Qt::Key_F3));
        previous->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3));
        next->setShortcutContext(Qt::WidgetShortcut);
        previous->setShortcutContext(Qt::WidgetShortcut);
    });
    for (QLineEdit* box : {txtHostConn, txtPortConn, txtPort})
        box->installEventFilter(this);
    cmdRelay->installEventFilter(this); // Alt+Down opens its menu
    // Told after the focus-in event itself, so the first focus still selects.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && isAncestorOf(now))
            m_focusGivenOut = true;
    });
    tmrReceive->start();
}

// --- Focus -------------------------------------------------------------------

bool frmPellix::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == txtInvia && event->type() == QEvent::KeyPress
        && recallKey(static_cast<QKeyEvent*>(event)))
        return true;
    if (watched == txtInvia->viewport()
        && (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove
            || event->type() == QEvent::Drop)) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QMimeData* data = drop->mimeData();
        const bool files = data->hasUrls() && !data->urls().isEmpty()
            && data->urls().first().isLocalFile();
        if (files) {
            // A file dropped is sent, never pasted in as its address.
            const QString path = droppableFile(data);
            if (path.isEmpty()) {
                drop->ignore();
                return true;
            }
            drop->acceptProposedAction();
            if (event->type() == QEvent::Drop)
                m_connection.sendFile(path);
            return true;
        }
    }
    if (watched == cmdRelay && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Down && (key->modifiers() & Qt::AltModifier)) {
            cmdRelay->showMenu();
            return true;
        }
    }
    if (event->type() == QEvent::FocusIn) {
        // Coming back to the window, or out of a menu, the focus returns to
        // where it was and so does the caret; only the window's very first
        // focus arrives that way and still selects.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        const bool returning = m_focusGivenOut
            && (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason);
        if (returning)
            return QWidget::eventFilter(watched, event);
        // Select after the event has run its course: a click places the caret
        // once the focus has arrived, and would undo an earlier selection.
        void (frmPellix::*handler)() = nullptr;
        if (watched == txtHostConn)
            handler = &frmPellix::txtHostConn_GotFocus;
        else if (watched == txtPortConn)
            handler = &frmPellix::txtPortConn_GotFocus;
        else if (watched == txtPort)
            handler = &frmPellix::txtPort_GotFocus;
        if (handler)
            QTimer::singleShot(0, this, handler);
    }
    return QWidget::eventFilter(watched, event);
}

void frmPellix::SelectAllOnFocus(QLineEdit* box)
{
    box->setSelection(0, int(box->text().size()));
}

void frmPellix::txtHostConn_GotFocus() { SelectAllOnFocus(txtHostConn); }
void frmPellix::txtPortConn_GotFocus() { SelectAllOnFocus(txtPortConn); }
void frmPellix::txtPort_GotFocus() { SelectAllOnFocus(txtPort); }

// --- The send box ---------------------------------------------------------------

void frmPellix::showSendBoxMenu(const QPoint& pos)
{
    const std::unique_ptr<QMenu> menu(txtInvia->createStandardContextMenu(pos));
    menu->addSeparator();
    menu->addAction(actSendHex);
    menu->addMenu(mnuLineEnd);
    menu->addSeparator();
    const bool sending = m_connection.isSendingFile();
    const ConnectionControl::State state = m_connection.connState();
    actSendFile->setEnabled(!sending
                            && (state == ConnectionControl::stateAccepted
                                || state == ConnectionControl::stateConnected));
    menu->addAction(sending ? actCancelSend : actSendFile);
    addMessagesMenu(menu.get());
    menu->exec(txtInvia->viewport()->mapToGlobal(pos));
}

void frmPellix::setSendAsHex(bool hex)
{
    // The mode and the line end show in the empty box, in its tool tip and
    // to a screen reader.
    const QString end = m_lineEnd == LineEnd::None ? tr("nothing (Line End: None)")
                                                   : lineEndLabel(m_lineEnd);
    txtInvia->setPlaceholderText(hex ? tr("Hex bytes to send, for example 00 01 ff") : QString());
    txtInvia->setAccessibleName(hex ? tr("Send box, hex bytes") : tr("Send box"));
    const QString tip = hex
        ? tr("Bytes written in hex (00 01 ff, 0001FF or 0x00, 0x01), sent as a whole with "
             "S E N D; line breaks only separate them.\nEnter in the transcript sends %1.")
              .arg(end)
        : tr("Text to send as a whole with S E N D; each line break goes out as %1.\n"
             "Ctrl+Up and Ctrl+Down bring back what was sent before.")
              .arg(end);
    txtInvia->setToolTip(tip);
    txtInvia->setAccessibleDescription(tip);
}

void frmPellix::createLineEndMenu()
{
    mnuLineEnd = new QMenu(tr("Line &End"), this);
    mnuLineEnd->setToolTipsVisible(true);
    m_lineEnds = new QActionGroup(this);
    for (LineEnd end : {LineEnd::CrLf, LineEnd::Lf, LineEnd::Cr, LineEnd::None}) {
        QAction* action = mnuLineEnd->addAction(lineEndLabel(end));
        action->setCheckable(true);
        action->setChecked(end == m_lineEnd);
        action->setData(int(end));
        action->setToolTip(end == LineEnd::None
                               ? tr("Enter sends nothing; the send box's line breaks are dropped")
                               : tr("Enter, and each line break of the send box, send %1")
                                     .arg(lineEndLabel(end)));
        m_lineEnds->addAction(action);
        connect(action, &QAction::triggered, this, [this, end] { setLineEnd(end); });
    }
}

void frmPellix::createAnswers()
{
    m_answers = new Answers(
        [this](const QByteArray& answer, RelaySide to) {
            // A failed send has ended the connection, as the send box's does;
            // one refused while a file goes out has said so.
            m_connection.sendBytes(answer, to);
        },
        [this](const QString& line) { writeStatusLine(line); }, this);
    actRules = new QAction(tr("R&ules"), this);
    actRules->setCheckable(true);
    actRules->setChecked(m_answers->isEnabled());
    actRules->setToolTip(tr("Answer what arrives by the messages' rules"));
    connect(actRules, &QAction::toggled, m_answers, &Answers::setEnabled);
    QPushButton* rulesButton = messagesWindow->cmdRules;
    rulesButton->setChecked(actRules->isChecked());
    connect(rulesButton, &QPushButton::toggled, actRules, &QAction::setChecked);
    connect(actRules, &QAction::toggled, rulesButton, &QPushButton::setChecked);

    // The rules follow the list, and what their texts stand for follows the
    // line end and the transcript's reading of characters.
    connect(messages, &QAbstractItemModel::rowsInserted, this, &frmPellix::updateRules);
    connect(messages, &QAbstractItemModel::rowsRemoved, this, &frmPellix::updateRules);
    connect(messages, &QAbstractItemModel::rowsMoved, this, &frmPellix::updateRules);
    connect(messages, &QAbstractItemModel::modelReset, this, &frmPellix::updateRules);
    connect(messages, &QAbstractItemModel::dataChanged, this, &frmPellix::updateRules);
    connect(txtDati, &TranscriptView::encodingChanged, this, &frmPellix::updateRules);
    // A list replaced whole is a file opened (Open..., --messages): its rules are on.
    connect(messages, &QAbstractItemModel::modelReset, actRules, [this] { actRules->setChecked(true); });
}

void frmPellix::updateRules()
{
    m_answers->setRules(answerRules(messages->messages(), m_lineEnd,
                                    txtDati->encoding() == TextEncoding::Utf8));
}

void frmPellix::setLineEnd(LineEnd end)
{
    m_lineEnd = end;
    updateRules();
    m_connection.setLineEnd(end);
    for (QAction* action : m_lineEnds->actions())
        action->setChecked(action->data().toInt() == int(end));
    setSendAsHex(actSendHex->isChecked());
}

void frmPellix::createSendProgress()
{
    // Over the transcript's top edge, clear of its scroll bar; the find bar
    // has the bottom edge.
    sendProgress = new QFrame(this);
    sendProgress->setObjectName(QStringLiteral("sendProgress"));
    sendProgress->setFrameShape(QFrame::StyledPanel);
    sendProgress->setAutoFillBackground(true);
    sendProgress->setGeometry(5, 29, 666, 26);
    auto* layout = new QHBoxLayout(sendProgress);
    layout->setContentsMargins(4, 1, 2, 1);
    lblSendProgress = new QLabel(sendProgress);
    lblSendProgress->setAccessibleName(tr("Sending a file"));
    barSendProgress = new QProgressBar(sendProgress);
    barSendProgress->setRange(0, 1000);
    barSendProgress->setTextVisible(false);
    barSendProgress->setFixedWidth(110);
    barSendProgress->setAccessibleName(tr("Part of the file sent"));
    cmdCancelSend = new QPushButton(tr("Cancel"), sendProgress);
    cmdCancelSend->setObjectName(QStringLiteral("cmdCancelSend"));
    cmdCancelSend->setAutoDefault(false);
    cmdCancelSend->setToolTip(tr("Stop sending the file"));
    cmdCancelSend->setAccessibleName(tr("Cancel sending the file"));
    layout->addWidget(lblSendProgress, 1);
    layout->addWidget(barSendProgress);
    layout->addWidget(cmdCancelSend);
    sendProgress->hide();
}

void frmPellix::showSendProgress(const QString& text, double fraction)
{
    lblSendProgress->setText(text);
    barSendProgress->setValue(int(fraction * 1000));
    if (sendProgress->isHidden()) {
        sendProgress->show();
        sendProgress->raise();
    }
}

void frmPellix::hideSendProgress()
{
    // The focus, if it was on Cancel, goes back where keys are typed.
    if (cmdCancelSend->hasFocus())
        txtInvia->setFocus(Qt::OtherFocusReason);
    sendProgress->hide();
}

void frmPellix::chooseFileToSend()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Send File"));
    if (!path.isEmpty())
        m_connection.sendFile(path);
}

QString frmPellix::droppableFile(const QMimeData* data) const
{
    const ConnectionControl::State state = m_connection.connState();
    if ((state != ConnectionControl::stateAccepted && state != ConnectionControl::stateConnected)
        || m_connection.isSendingFile())
        return {};
    // One file at a time: a drop of several sends none.
    const QList<QUrl> urls = data->urls();
    return urls.size() == 1 && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

bool frmPellix::recallKey(QKeyEvent* event)
{
    // The box itself does nothing with Ctrl+Up and Ctrl+Down (plain Up and
    // Down move the caret, Alt with them is the Mac's start and end of line).
    if ((event->modifiers() & ~Qt::KeypadModifier) != Qt::ControlModifier)
        return false;
    std::optional<QString> text;
    if (event->key() == Qt::Key_Up)
        text = m_history.older(sendBoxText());
    else if (event->key() == Qt::Key_Down)
        text = m_history.newer();
    else
        return false;
    if (text) {
        txtInvia->setPlainText(*text);
        txtInvia->moveCursor(QTextCursor::End);
    }
    return true;
}

QString frmPellix::sendBoxText() const
{
    QString raw = txtInvia->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, u'\n');
    raw.replace(QChar::LineSeparator, u'\n');
    return raw;
}

bool frmPellix::sendBoxIsReady()
{
    m_hexToSend.clear();
    if (!actSendHex->isChecked())
        return true;
    const HexBytes parsed = ParseHexBytes(txtInvia->toPlainText());
    if (parsed.ok()) {
        m_hexToSend = QString::fromLatin1(parsed.bytes);
        return true;
    }
    QMessageBox::warning(this, QStringLiteral("Pellix"),
                         tr("Nothing was sent. The send box is in hex (Send as Hex), "
                            "and %1.").arg(parsed.error));
    QTextCursor cursor = txtInvia->textCursor();
    cursor.setPosition(int(parsed.errorAt));
    cursor.setPosition(int(parsed.errorAt + parsed.errorLength), QTextCursor::KeepAnchor);
    txtInvia->setTextCursor(cursor);
    txtInvia->setFocus(Qt::OtherFocusReason);
    return false;
}

QString frmPellix::sendBoxBytes() const
{
    if (actSendHex->isChecked())
        return m_hexToSend;
    // The raw text keeps every character as typed (toPlainText() would
    // turn a no-break space into a space); each line break is the line end.
    const QString end = lineEndText(m_lineEnd);
    QString raw = txtInvia->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, end);
    raw.replace(QChar::LineSeparator, end);
    // In UTF-8 each character goes out as its UTF-8 bytes, a character a byte.
    if (txtDati->encoding() == TextEncoding::Utf8)
        return QString::fromLatin1(raw.toUtf8());
    return raw;
}

// --- Transcript and help ---------------------------------------------------------

void frmPellix::cmdClear_Click()
{
    txtDati->clear();
}

void frmPellix::cmdH_Click()
{
    EnsureLineBreak();
    AppendText(BannerLine() + CrLf, TextOrigin::Status);
    if (!isVisible())
        return;
    AppendText(QStringLiteral("( " PELLIX_HOMEPAGE " )") + CrLf, TextOrigin::Status);
    AppendText(CrLf, TextOrigin::Status);
    AppendText(QStringLiteral("  *WARNING*  No emulation/ansi support in this *PELLIX* version!")
                   + CrLf,
               TextOrigin::Status);
    ScrollToEnd();
}

void frmPellix::startLog(std::unique_ptr<TranscriptLog> log)
{
    txtDati->startLog(std::move(log), true);
}

void frmPellix::connectionStarted()
{
    // Since Connected counts from the status line that follows; a line break
    // written before it belongs to what came before.
    txtDati->EnsureLineBreak();
    txtDati->markConnectionStart();
    // Each connection is a stream of its own, and its rules may answer again.
    m_answers->connectionEnded();
}

void frmPellix::startCapture(std::unique_ptr<TranscriptCapture> capture)
{
    txtDati->startCapture(std::move(capture), true);
}

void frmPellix::conversationStarted(const Conversation& conversation)
{
    txtDati->startConversation(conversation);
}

void frmPellix::conversationEnded()
{
    messageSender->stopAll(tr("disconnected"));
    txtDati->endConversation();
    m_answers->connectionEnded();
}

void frmPellix::writeStatusLine(const QString& line)
{
    m_connection.writeStatusLine(line);
    txtDati->ScrollToEnd();
}

void frmPellix::connectionReady()
{
    messageSender->connectionReady();
}

// --- Saved messages --------------------------------------------------------------

void frmPellix::createMessages()
{
    messages = new MessageList(this);
    MessageSender::Context context;
    context.send = [this](QByteArrayView bytes, bool skipWhenBusy) {
        return m_connection.sendBytes(bytes, std::nullopt, skipWhenBusy);
    };
    context.lineEnd = [this] { return m_lineEnd; };
    context.utf8 = [this] { return txtDati->encoding() == TextEncoding::Utf8; };
    context.statusLine = [this](const QString& line) { writeStatusLine(line); };
    messageSender = new MessageSender(*messages, std::move(context), this);
    messagesWindow = new MessagesWindow(*messages, *messageSender, this);

    // The keys that send a message: none of them types into the transcript,
    // and F3 stays Find Next.
    for (const QString& key : messageKeys()) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        connect(shortcut, &QShortcut::activated, this,
                [this, key] { messageSender->send(messages->rowOfKey(key)); });
    }
    auto* open = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F2), this);
    connect(open, &QShortcut::activated, this, &frmPellix::showMessagesWindow);
}

void frmPellix::showMessagesWindow()
{
    messagesWindow->show();
    messagesWindow->raise();
    messagesWindow->activateWindow();
    if (messagesWindow->selectedRow() < 0 && messages->size() > 0)
        messagesWindow->selectRow(0);
    messagesWindow->tblMessages->setFocus(Qt::OtherFocusReason);
}

void frmPellix::addMessagesMenu(QMenu* menu)
{
    menu->addSeparator();
    QMenu* send = menu->addMenu(tr("Send &Message"));
    send->setEnabled(messages->size() > 0);
    for (int row = 0; row < messages->size(); ++row) {
        const Message& message = messages->at(row);
        // The name as it is: an & in it is not a mnemonic.
        QString label = message.name;
        label.replace(u'&', QStringLiteral("&&"));
        QAction* action = send->addAction(label, this, [this, row] { messageSender->send(row); });
        if (!message.key.isEmpty())
            action->setShortcut(QKeySequence(message.key));
        // Shown beside the item; the window's own shortcut sends it.
        action->setShortcutContext(Qt::WidgetShortcut);
    }
    QAction* window = menu->addAction(tr("Messa&ges..."), this, &frmPellix::showMessagesWindow);
    window->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F2));
    window->setShortcutContext(Qt::WidgetShortcut);
    QAction* stop = menu->addAction(tr("Stop All &Repeats"), this,
                                    [this] { messageSender->stopAll(tr("stopped by the user")); });
    stop->setEnabled(!messageSender->schedule().isEmpty());
    menu->addAction(actRules);
}

void frmPellix::EnsureLineBreak() { txtDati->EnsureLineBreak(); }
// What arrives is matched by the rules after the transcript has it, so that a
// rule's line follows the bytes that stopped it.
void frmPellix::AppendText(const QString& s, TextOrigin origin)
{
    txtDati->AppendText(s, origin);
    if (origin == TextOrigin::Received)
        m_answers->receivedLatin1(std::nullopt, s);
}
void frmPellix::AppendBytes(QByteArrayView bytes, TextOrigin origin)
{
    txtDati->AppendBytes(bytes, origin);
    if (origin == TextOrigin::Received)
        m_answers->received(std::nullopt, bytes);
    else if (origin == TextOrigin::FromClient || origin == TextOrigin::FromServer)
        m_answers->received(origin == TextOrigin::FromClient ? RelaySide::Client : RelaySide::Server,
                            bytes);
}
void frmPellix::ScrollToEnd() { txtDati->ScrollToEnd(); }

// --- Start-up and shut-down ------------------------------------------------------

void frmPellix::reportStartupFailure(const QString& message)
{
    m_ended = true;
    tmrReceive->stop();
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Pellix"), message, QMessageBox::Ok);
    box.exec();
    m_hooks.terminate(EXIT_FAILURE);
}

bool frmPellix::keepWaiting()
{
    // Paint, timers and the window system's own messages go on; clicks and
    // keys wait in the queue until the attempt is over.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return !m_closeRequested;
}

void frmPellix::whileWaiting(const std::function<void()>& handler)
{
    // A wait started from within another (by a timer that fires while the
    // first one waits) is shown already, and the outer one does the close.
    if (m_waiting) {
        handler();
        return;
    }
    showWaiting(true);
    handler();
    showWaiting(false);
    if (m_closeRequested)
        close();
}

void frmPellix::showWaiting(bool waiting)
{
    m_waiting = waiting;
    // The wait pointer rather than the busy one: no click or key is acted on
    // until the wait is over, so the arrow should not invite them.
    if (waiting)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
    QAccessible::State changed;
    changed.busy = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

void frmPellix::closeEvent(QCloseEvent* event)
{
    if (m_waiting) {
        m_closeRequested = true;
        event->ignore();
        return;
    }
    if (!m_ended)
        m_connection.Form_Unload();
    // The Messages window goes with the main one.
    messagesWindow->close();
    event->accept();
}

// --- What the connection handlers may do to the window ---------------------------

bool frmPellix::tlsValue() const
{
    return chkTls->isChecked();
}

bool frmPellix::relayTlsValue(RelaySide leg) const
{
    return chkTls->isChecked()
        && (leg == RelaySide::Client ? actTlsToClient : actTlsToServer)->isChecked();
}

bool frmPellix::recogniseTlsValue() const
{
    return actTakeUpTls->isChecked();
}

RelaySide frmPellix::sendTarget() const
{
    return actSendToClient->isChecked() ? RelaySide::Client : RelaySide::Server;
}

void frmPellix::setSendTarget(RelaySide side)
{
    const bool toClient = side == RelaySide::Client;
    actSendToClient->setChecked(toClient);
    actSendToServer->setChecked(!toClient);
    cmdSendTo->setText(toClient ? QStringLiteral("\u2192C") : QStringLiteral("\u2192S"));
    cmdSendTo->setAccessibleName(toClient ? tr("Keys go to the client") : tr("Keys go to the server"));
    cmdSendTo->setToolTip(toClient ? tr("In a relay, keys and the send box go to the client; "
                                        "click to send to the server")
                                   : tr("In a relay, keys and the send box go to the server; "
                                        "click to send to the client"));
}

TrustAnswer frmPellix::askToTrust(const QString& facts)
{
    if (m_hooks.askToTrust)
        return m_hooks.askToTrust(facts);
    TrustDialog dialog(facts, m_hooks.trustDelay, this);
    const bool goOn = dialog.exec() == QDialog::Accepted;
    return {goOn, goOn && dialog.pin->isChecked()};
}

std::optional<QString> frmPellix::askPassphrase(const QString& file, bool again)
{
    if (m_hooks.askPassphrase)
        return m_hooks.askPassphrase(file, again);
    // A box of its own rather than QInputDialog, which keeps a copy of the
    // text at every key: here the line edit holds the one copy while typing.
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("dlgPassphrase"));
    dialog.setWindowTitle(QStringLiteral("Pellix"));
    auto* label = new QLabel((again ? tr("The passphrase is wrong. Try again, or Cancel.\n\n")
                                    : QString())
                                 + tr("The key %1 is locked. Its passphrase:").arg(file),
                             &dialog);
    label->setObjectName(QStringLiteral("lblPassphrase"));
    label->setWordWrap(true);
    auto* edit = new QLineEdit(&dialog);
    edit->setObjectName(QStringLiteral("txtPassphrase"));
    edit->setEchoMode(QLineEdit::Password);
    edit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    label->setBuddy(edit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(label);
    layout->addWidget(edit);
    layout->addWidget(buttons);
    // Wide enough for a key file's path on one line, as far as it can be.
    dialog.setMinimumWidth(dialog.fontMetrics().averageCharWidth() * 60);
    // Asked from within a handler that shows the wait: the dialog takes clicks.
    QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    const bool given = dialog.exec() == QDialog::Accepted;
    QGuiApplication::restoreOverrideCursor();
    QString passphrase = edit->text();
    // The box lets go of its text, leaving the caller the one copy to wipe.
    edit->clear();
    if (given)
        return passphrase;
    passphrase.fill(QChar(0));
    return std::nullopt;
}

QWidget* frmPellix::control(Control c) const
{
    switch (c) {
    case Control::txtHostConn: return txtHostConn;
    case Control::txtPortConn: return txtPortConn;
    case Control::cmdConnetti: return cmdConnetti;
    case Control::txtPort: return txtPort;
    case Control::cmdStartListen: return cmdStartListen;
    case Control::cmdDisconnect: return cmdDisconnect;
    case Control::cmdSend: return cmdSend;
    case Control::cmdRelay: return cmdRelay;
    case Control::cmdSendTo: return cmdSendTo;
    }
    return nullptr;
}

QString frmPellix::text(TextBox box) const
{
    switch (box) {
    case TextBox::txtHostConn: return txtHostConn->text();
    case TextBox::txtPortConn: return txtPortConn->text();
    case TextBox::txtPort: return txtPort->text();
    case TextBox::txtInvia: return sendBoxBytes();
    }
    return {};
}

void frmPellix::setText(TextBox box, const QString& text)
{
    switch (box) {
    case TextBox::txtHostConn: txtHostConn->setText(text); break;
    case TextBox::txtPortConn: txtPortConn->setText(text); break;
    case TextBox::txtPort: txtPort->setText(text); break;
    case TextBox::txtInvia: txtInvia->setPlainText(text); break;
    }
}

void frmPellix::setEnabled(Control c, bool enabled)
{
    control(c)->setEnabled(enabled);
    // Outside a relay, a relay can start exactly when a connect can.
    if (c == Control::cmdConnetti && !m_connection.isRelaying())
        cmdRelay->setEnabled(enabled);
}

void frmPellix::setCaption(Control c, const QString& caption)
{
    if (c == Control::cmdRelay) {
        // The button's face stays its arrows; pressed while a relay runs.
        const bool stop = caption == u"Stop";
        cmdRelay->setChecked(stop);
        cmdRelay->setAccessibleName(stop ? tr("Stop relaying") : tr("Relay"));
        return;
    }
    if (auto* b = qobject_cast<QPushButton*>(control(c)))
        b->setText(caption);
}

int frmPellix::echoValue() const
{
    switch (chkEcho->checkState()) {
    case Qt::Unchecked: return 0;
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    }
    return 0;
}

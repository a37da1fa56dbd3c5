#include "frmpellix.h"

#include "fixedfont.h"
#include "keycodes.h"
#include "transcriptview.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFontInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextDocument>
#include <QTimer>

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
    cmdDisconnect = button(new QPushButton(QStringLiteral("Disconnect"), this), "cmdDisconnect",
                           {372, 4, 77, 21}, tr("End the connection"));
    cmdDisconnect->setEnabled(false);

    chkEcho = new QCheckBox(QStringLiteral("Local Echo"), this);
    chkEcho->setObjectName(QStringLiteral("chkEcho"));
    chkEcho->setGeometry(476, 4, 77, 21);
    chkEcho->setCheckState(Qt::Checked);
    // Less room between the box and its caption, so that "Local Echo" fits.
    chkEcho->setStyleSheet(QStringLiteral("QCheckBox { spacing: 2px; }"));
    chkEcho->setAccessibleName(tr("Local echo"));
    chkEcho->setToolTip(tr("Show what is sent in the transcript"));

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
           "A boxed pair of hex digits is a control character; a filled one, a byte "
           "that is not valid UTF-8.\nEncoding and Hex View: in the context menu."));

    txtInvia = new QPlainTextEdit(this);
    txtInvia->setObjectName(QStringLiteral("txtInvia"));
    txtInvia->setGeometry(4, 456, 661, 65);
    txtInvia->setFont(transcriptFont());
    txtInvia->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtInvia->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtInvia->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtInvia->setTabChangesFocus(true);
    txtInvia->setAccessibleName(tr("Send box"));
    txtInvia->setToolTip(tr("Text to send as a whole with S E N D"));

    cmdSend = button(new WrappingButton(QStringLiteral("S E N D"), this), "cmdSend",
                     {668, 456, 21, 65}, tr("Send the send box"));
    cmdSend->setEnabled(false);

    tmrReceive = new QTimer(this);
    tmrReceive->setObjectName(QStringLiteral("tmrReceive"));
    tmrReceive->setInterval(100);

    QWidget* order[] = {txtHostConn, txtPortConn, cmdConnetti, txtPort, cmdStartListen,
                        cmdDisconnect, chkEcho, cmdH, cmdClear, txtDati, txtInvia, cmdSend};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void frmPellix::wireEvents()
{
    connect(cmdConnetti, &QPushButton::clicked, this, [this] {
        // The lookup and the connect wait with the window drawn (keepWaiting);
        // a close asked for meanwhile ends the wait and happens after it.
        m_waiting = true;
        m_connection.cmdConnetti_Click();
        m_waiting = false;
        if (m_closeRequested)
            close();
    });
    connect(cmdStartListen, &QPushButton::clicked, this,
            [this] { m_connection.cmdStartListen_Click(); });
    connect(cmdDisconnect, &QPushButton::clicked, this,
            [this] { m_connection.cmdDisconnect_Click(); });
    connect(cmdSend, &QPushButton::clicked, this, [this] { m_connection.cmdSend_Click(); });
    connect(cmdClear, &QPushButton::clicked, this, &frmPellix::cmdClear_Click);
    connect(cmdH, &QPushButton::clicked, this, &frmPellix::cmdH_Click);
    connect(tmrReceive, &QTimer::timeout, this, [this] { m_connection.tmrReceive_Timer(); });
    connect(txtDati, &TranscriptView::keyPressed, this, [this](QKeyEvent* event) {
        for (std::int16_t code : KeyCodesFor(event->key(), event->modifiers(), event->text()))
            m_connection.txtDati_KeyPress(code);
    });
    for (QLineEdit* box : {txtHostConn, txtPortConn, txtPort})
        box->installEventFilter(this);
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

void frmPellix::EnsureLineBreak() { txtDati->EnsureLineBreak(); }
void frmPellix::AppendText(const QString& s, TextOrigin origin)
{
    txtDati->AppendText(s, origin);
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

void frmPellix::closeEvent(QCloseEvent* event)
{
    if (m_waiting) {
        m_closeRequested = true;
        event->ignore();
        return;
    }
    if (!m_ended)
        m_connection.Form_Unload();
    event->accept();
}

// --- What the connection handlers may do to the window ---------------------------

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
    }
    return nullptr;
}

QString frmPellix::text(TextBox box) const
{
    switch (box) {
    case TextBox::txtHostConn: return txtHostConn->text();
    case TextBox::txtPortConn: return txtPortConn->text();
    case TextBox::txtPort: return txtPort->text();
    case TextBox::txtInvia: {
        // The raw text keeps every character as typed (toPlainText() would
        // turn a no-break space into a space); each line break is CR LF.
        QString raw = txtInvia->document()->toRawText();
        raw.replace(QChar::ParagraphSeparator, CrLf);
        raw.replace(QChar::LineSeparator, CrLf);
        return raw;
    }
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
}

void frmPellix::setCaption(Control c, const QString& caption)
{
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

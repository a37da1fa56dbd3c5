#include "findbar.h"
#include "fixedfont.h"
#include "frmpellix.h"
#include "transcriptview.h"

#include <QCheckBox>
#include <QFile>
#include <QFontInfo>
#include <QImageReader>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <memory>

namespace {

const QString CrLf = QStringLiteral("\r\n");

QString helpBlock()
{
    return frmPellix::BannerLine() + CrLf + "( https://pellix.example.org )" + CrLf + CrLf
        + "  *WARNING*  No emulation/ansi support in this *PELLIX* version!" + CrLf;
}

} // namespace

class tst_Window : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowFrame();
    void controls_data();
    void controls();
    void fixedPitchFonts();
    void captionsFit();
    void multiLineBoxes();
    void noDefaultButton();
    void tabOrder();
    void focusSelectsWholeText_data();
    void focusSelectsWholeText();
    void firstFocusSelectsHost();
    void emptyBoxGetsEmptySelection();
    void clickSelectsWholeText();
    void startupTranscriptHoldsBannerOnly();
    void helpText_data();
    void helpText();
    void clearChangesNothingElse();
    void icon();
    void startupFailure();
    void closingIdleOnlyShutsInterfaceDown();
    void find();

private:
    std::unique_ptr<frmPellix> m_window;
    int m_cleanups = 0;
};

void tst_Window::init()
{
    m_cleanups = 0;
    frmPellix::Hooks hooks;
    hooks.platform.cleanup = [this] { ++m_cleanups; };
    m_window = std::make_unique<frmPellix>(hooks);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Window::cleanup()
{
    m_window.reset();
}

void tst_Window::windowFrame()
{
    frmPellix& w = *m_window;
    QCOMPARE(w.objectName(), QStringLiteral("frmPellix"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Pellix"));
    QCOMPARE(w.size(), QSize(694, 525));
    QCOMPARE(w.minimumSize(), QSize(694, 525));
    QCOMPARE(w.maximumSize(), QSize(694, 525));
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);

    // Collapsing and restoring keeps the layout and the contents.
    const QString before = w.txtDati->plainText();
    w.showMinimized();
    w.showNormal();
    QCOMPARE(w.size(), QSize(694, 525));
    QCOMPARE(w.txtDati->geometry(), QRect(4, 28, 685, 417));
    QCOMPARE(w.txtDati->plainText(), before);
}

void tst_Window::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("txtHostConn") << "txtHostConn" << "QLineEdit" << "127.0.0.1" << QRect(4, 4, 117, 21) << true;
    QTest::newRow("txtPortConn") << "txtPortConn" << "QLineEdit" << "1234" << QRect(124, 4, 45, 21) << true;
    QTest::newRow("cmdConnetti") << "cmdConnetti" << "QPushButton" << "Connect" << QRect(172, 4, 53, 21) << true;
    QTest::newRow("txtPort") << "txtPort" << "QLineEdit" << "1234" << QRect(252, 4, 45, 21) << true;
    QTest::newRow("cmdStartListen") << "cmdStartListen" << "QPushButton" << "Listen" << QRect(300, 4, 45, 21) << true;
    QTest::newRow("cmdDisconnect") << "cmdDisconnect" << "QPushButton" << "Disconnect" << QRect(372, 4, 77, 21) << false;
    QTest::newRow("chkEcho") << "chkEcho" << "QCheckBox" << "Local Echo" << QRect(476, 4, 77, 21) << true;
    QTest::newRow("chkTls") << "chkTls" << "QCheckBox" << "TLS" << QRect(558, 4, 42, 21) << true;
    QTest::newRow("cmdH") << "cmdH" << "QPushButton" << "?" << QRect(604, 4, 29, 21) << true;
    QTest::newRow("cmdClear") << "cmdClear" << "QPushButton" << "Clear" << QRect(644, 4, 45, 21) << true;
    QTest::newRow("txtDati") << "txtDati" << "TranscriptView" << "" << QRect(4, 28, 685, 417) << true;
    QTest::newRow("txtInvia") << "txtInvia" << "QPlainTextEdit" << "" << QRect(4, 456, 661, 65) << true;
    QTest::newRow("cmdSend") << "cmdSend" << "QPushButton" << "S E N D" << QRect(668, 456, 21, 65) << false;
}

void tst_Window::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(bool, enabled);

    auto* widget = m_window->findChild<QWidget*>(name);
    QVERIFY(widget);
    QVERIFY(widget->inherits(qPrintable(className)));
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->isEnabled(), enabled);
    QVERIFY2(!widget->accessibleName().isEmpty(), "no accessible name");
    QVERIFY2(!widget->toolTip().isEmpty(), "no tool tip");

    if (auto* box = qobject_cast<QLineEdit*>(widget))
        QCOMPARE(box->text(), caption);
    else if (auto* button = qobject_cast<QAbstractButton*>(widget))
        QCOMPARE(button->text(), caption);
    else if (auto* view = qobject_cast<TranscriptView*>(widget))
        QCOMPARE(view->plainText(), frmPellix::BannerLine() + CrLf);
    else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget))
        QVERIFY(edit->document()->isEmpty());

    if (name == "chkEcho")
        QCOMPARE(m_window->chkEcho->checkState(), Qt::Checked);
}

void tst_Window::fixedPitchFonts()
{
    for (QWidget* box : {static_cast<QWidget*>(m_window->txtDati),
                         static_cast<QWidget*>(m_window->txtInvia)}) {
        // Equal advances, not fontconfig's spacing flag: some monospaced faces
        // (Noto Sans Mono) do not carry the flag.
        const QFontInfo info(box->font());
        QVERIFY2(hasEqualAdvances(box->font()), qPrintable(info.family()));
        QCOMPARE(info.pointSize(), 9);
        QVERIFY(!info.bold() && !info.italic() && !info.underline() && !info.strikeOut());
    }
    QCOMPARE(m_window->cmdConnetti->font(), m_window->font());
}

void tst_Window::captionsFit()
{
    // Every caption shows whole in its fixed place; the send button's
    // caption stands one letter a line.
    QVERIFY2(m_window->chkEcho->sizeHint().width() <= m_window->chkEcho->width(),
             qPrintable(QString::number(m_window->chkEcho->sizeHint().width())));
    for (auto* button : m_window->findChildren<QPushButton*>()) {
        const QFontMetrics metrics(button->font());
        if (button == m_window->cmdSend) {
            const QStringList letters = button->text().split(u' ');
            QCOMPARE(letters.size(), 4);
            QVERIFY(letters.size() * metrics.height() <= button->height());
            continue;
        }
        QVERIFY2(metrics.horizontalAdvance(button->text()) + 4 <= button->width(),
                 qPrintable(button->objectName()));
    }
}

void tst_Window::multiLineBoxes()
{
    QPlainTextEdit* send = m_window->txtInvia;
    QCOMPARE(send->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(send->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(send->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(m_window->txtDati->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(m_window->txtDati->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(!send->isReadOnly());
    QCOMPARE(m_window->tmrReceive->interval(), 100);
    QVERIFY(m_window->tmrReceive->isActive());
}

void tst_Window::noDefaultButton()
{
    for (auto* button : m_window->findChildren<QPushButton*>()) {
        QVERIFY2(!button->isDefault() && !button->autoDefault(), qPrintable(button->objectName()));
    }
    // Enter in the send box is a line break there, nothing else.
    m_window->txtInvia->setFocus();
    QTest::keyClicks(m_window->txtInvia, "ab");
    QTest::keyClick(m_window->txtInvia, Qt::Key_Return);
    QTest::keyClicks(m_window->txtInvia, "c");
    QCOMPARE(m_window->txtInvia->toPlainText(), QStringLiteral("ab\nc"));
}

void tst_Window::tabOrder()
{
    // cmdSendTo, between Disconnect and Local Echo, is disabled outside a relay.
    const QStringList expected = {"txtPortConn", "cmdConnetti", "txtPort", "cmdStartListen",
                                  "cmdRelay", "chkEcho", "chkTls", "cmdH", "cmdClear", "txtDati",
                                  "txtInvia", "txtHostConn"};
    m_window->activateWindow();
    m_window->txtHostConn->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(), m_window->txtHostConn);
    for (const QString& name : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), name);
    }
}

void tst_Window::focusSelectsWholeText_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Qt::FocusReason>("reason");
    QTest::addColumn<bool>("selects");
    for (const char* name : {"txtHostConn", "txtPortConn", "txtPort"})
        QTest::addRow("%s by Tab", name) << name << Qt::TabFocusReason << true;
    QTest::newRow("by Shift+Tab") << "txtPort" << Qt::BacktabFocusReason << true;
    // The focus coming back keeps the caret where the user left it.
    QTest::newRow("window activated again") << "txtHostConn" << Qt::ActiveWindowFocusReason << false;
    QTest::newRow("menu closed") << "txtPortConn" << Qt::PopupFocusReason << false;
}

void tst_Window::focusSelectsWholeText()
{
    QFETCH(QString, name);
    QFETCH(Qt::FocusReason, reason);
    QFETCH(bool, selects);
    auto* box = m_window->findChild<QLineEdit*>(name);
    m_window->txtDati->setFocus();
    QTest::qWait(0); // the window's first focus has had its effect
    box->setCursorPosition(1);
    box->setFocus(reason);
    QTest::qWait(0);
    QCOMPARE(box->selectedText(), selects ? box->text() : QString());
    QCOMPARE(box->cursorPosition(), selects ? int(box->text().size()) : 1);
    if (!selects)
        return;
    QCOMPARE(box->selectionStart(), 0);
    QTest::keyClick(box, Qt::Key_7);
    QCOMPARE(box->text(), QStringLiteral("7"));
}

void tst_Window::firstFocusSelectsHost()
{
    frmPellix window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTRY_COMPARE(QApplication::focusWidget(), window.txtHostConn);
    QTRY_COMPARE(window.txtHostConn->selectedText(), QStringLiteral("127.0.0.1"));
}

void tst_Window::emptyBoxGetsEmptySelection()
{
    QLineEdit* box = m_window->txtPort;
    box->clear();
    m_window->txtDati->setFocus();
    box->setFocus(Qt::TabFocusReason);
    QTest::qWait(0);
    QCoreApplication::processEvents();
    QVERIFY(!box->hasSelectedText());
    QCOMPARE(box->cursorPosition(), 0);
}

void tst_Window::clickSelectsWholeText()
{
    QLineEdit* box = m_window->txtHostConn;
    m_window->txtDati->setFocus();
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(10, 10));
    QTRY_COMPARE(box->selectedText(), QStringLiteral("127.0.0.1"));
}

void tst_Window::startupTranscriptHoldsBannerOnly()
{
    QCOMPARE(m_window->txtDati->plainText(), frmPellix::BannerLine() + CrLf);
    QVERIFY(frmPellix::BannerLine().startsWith("Pellix "));
    QVERIFY(frmPellix::BannerLine().size() > 7);
}

void tst_Window::helpText_data()
{
    QTest::addColumn<QString>("before");   // the transcript before "?"
    QTest::addColumn<QString>("expected"); // what "?" turns it into

    const QString help = helpBlock();
    QTest::newRow("empty") << "" << help;
    QTest::newRow("ends in CR LF") << "abc\r\n" << "abc\r\n" + help;
    QTest::newRow("three characters") << "abc" << "abc\r\n" + help;
    QTest::newRow("two characters") << "ab" << "ab" + help;
    QTest::newRow("one character") << "a" << "a" + help;
    QTest::newRow("two characters CR LF") << "\r\n" << "\r\n" + help;
    QTest::newRow("bare LF at the end") << "abc\n" << "abc\n\r\n" + help;
    QTest::newRow("bare CR at the end") << "abc\r" << "abc\r\r\n" + help;
    QTest::newRow("LF CR at the end") << "ab\n\r" << "ab\n\r\r\n" + help;
}

void tst_Window::helpText()
{
    QFETCH(QString, before);
    QFETCH(QString, expected);
    m_window->cmdClear_Click();
    m_window->txtDati->AppendText(before);

    QTest::mouseClick(m_window->cmdH, Qt::LeftButton);
    QCOMPARE(m_window->txtDati->plainText(), expected);
    QCOMPARE(m_window->txtDati->caretPosition(), m_window->txtDati->length());
    QCOMPARE(m_window->txtDati->selectionLength(), 0);

    // Again: the whole block once more, on a line of its own.
    m_window->cmdH_Click();
    QCOMPARE(m_window->txtDati->plainText(), expected + helpBlock());
}

void tst_Window::clearChangesNothingElse()
{
    m_window->txtInvia->setPlainText("keep me");
    m_window->chkEcho->setCheckState(Qt::Unchecked);
    QTest::mouseClick(m_window->cmdClear, Qt::LeftButton);
    QCOMPARE(m_window->txtDati->plainText(), QString());
    QCOMPARE(m_window->txtInvia->toPlainText(), QStringLiteral("keep me"));
    QCOMPARE(m_window->chkEcho->checkState(), Qt::Unchecked);
    QCOMPARE(m_window->connection().connState(), ConnectionControl::stateIdle);

    // After Clear the banner starts at the very beginning.
    m_window->cmdH_Click();
    QCOMPARE(m_window->txtDati->plainText(), helpBlock());
}

void tst_Window::icon()
{
    QFile ico(QStringLiteral(":/icons/pellix.ico"));
    QVERIFY(ico.open(QIODevice::ReadOnly));
    const QByteArray bytes = ico.readAll();
    QVERIFY(bytes.size() > 6 + 6 * 16);
    const auto* d = reinterpret_cast<const uchar*>(bytes.constData());
    QCOMPARE(qFromLittleEndian<quint16>(d + 2), quint16(1)); // an icon
    QCOMPARE(qFromLittleEndian<quint16>(d + 4), quint16(6));

    QList<QPair<int, int>> images; // size, bits per pixel
    for (int i = 0; i < 6; ++i) {
        const uchar* entry = d + 6 + 16 * i;
        images.append({entry[0], qFromLittleEndian<quint16>(entry + 6)});
    }
    std::sort(images.begin(), images.end());
    const QList<QPair<int, int>> expected = {{16, 4}, {16, 8}, {32, 4}, {32, 8}, {48, 4}, {48, 8}};
    QCOMPARE(images, expected);

    // Qt reads every image back at its size.
    QImageReader reader(QStringLiteral(":/icons/pellix.ico"));
    QCOMPARE(reader.imageCount(), 6);
    for (int i = 0; i < 6; ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QVERIFY(image.width() == 16 || image.width() == 32 || image.width() == 48);
    }
    QVERIFY(!m_window->windowIcon().isNull());
}

void tst_Window::startupFailure()
{
    int terminatedWith = -1;
    int cleanups = 0;
    QString boxText, boxTitle;
    QMessageBox::StandardButtons boxButtons;
    QTimer::singleShot(0, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        boxText = box->text();
        boxTitle = box->windowTitle();
        boxButtons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });

    frmPellix::Hooks hooks;
    hooks.platform.startup = [] { return 10091; };
    hooks.platform.cleanup = [&] { ++cleanups; };
    hooks.terminate = [&](int status) { terminatedWith = status; };
    {
        frmPellix failed(hooks);
        QCOMPARE(boxText, QStringLiteral("WSAStartup() failed with error: 10091"));
        QCOMPARE(boxTitle, QStringLiteral("Pellix"));
        QCOMPARE(boxButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(terminatedWith > 0);
        QCOMPARE(failed.connection().connState(), ConnectionControl::stateNone);
        failed.close();
    }
    QCOMPARE(cleanups, 0);
}

void tst_Window::closingIdleOnlyShutsInterfaceDown()
{
    const QString before = m_window->txtDati->plainText();
    m_window->close();
    QCOMPARE(m_cleanups, 1);
    QCOMPARE(m_window->txtDati->plainText(), before);
    m_window->close();
    QCOMPARE(m_cleanups, 1);
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"

// The find bar through the window's keys and the transcript's menu: text
// across two appends, far below the first rows, then case, hex, UTF-8.
void tst_Window::find()
{
    frmPellix& w = *m_window;
    TranscriptView* t = w.txtDati;
    FindBar* bar = w.findBar;
    w.cmdClear_Click();
    for (int i = 0; i < 200; ++i)
        t->AppendText(QStringLiteral("line\r\n"));
    t->AppendText(QStringLiteral("Hel"));
    t->AppendText(QStringLiteral("lo world\r\n"));
    t->setFocus();

    // F3 with nothing to find opens the bar over the transcript's bottom edge.
    QTest::keyClick(t, Qt::Key_F3);
    QVERIFY(bar->isVisible());
    QCOMPARE(QApplication::focusWidget(), bar->field);
    QVERIFY(t->geometry().contains(bar->geometry()));
    QCOMPARE(t->geometry(), QRect(4, 28, 685, 417));

    QTest::keyClicks(bar->field, "hello");
    QTest::keyClick(bar->field, Qt::Key_Return);
    QCOMPARE(t->selectionStart(), 1200);
    QCOMPARE(t->selectionLength(), 5);
    QVERIFY(t->isPositionVisible(1200) && t->isPositionVisible(1205));
    QCOMPARE(bar->message(), QStringLiteral("Found on line 201"));
    QTest::keyClick(bar->field, Qt::Key_F3);
    QCOMPARE(bar->message(), QStringLiteral("Wrapped to the top; found on line 201"));

    bar->matchCase->setChecked(true);
    QTest::keyClick(bar->field, Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(bar->message(), QStringLiteral("Not found"));
    QCOMPARE(bar->field->accessibleDescription(), QStringLiteral("Not found"));
    QCOMPARE(t->selectionStart(), 1200);

    bar->hex->setChecked(true);
    bar->field->setText(QStringLiteral("0d 0a 48"));
    QTest::keyClick(t, Qt::Key_F3, Qt::ShiftModifier);
    QCOMPARE(t->selectionStart(), 1198);
    QCOMPARE(bar->message(), QStringLiteral("Found on line 200"));

    bar->hex->setChecked(false);
    bar->matchCase->setChecked(false);
    t->setEncoding(TextEncoding::Utf8);
    t->AppendText(QString::fromLatin1("CAF\xC3\x89"));
    bar->field->setText(QString::fromUtf8("caf\xC3\xA9"));
    QTest::keyClick(bar->field, Qt::Key_Return);
    // The match is the four characters as UTF-8 shows them.
    QCOMPARE(t->selectedText(), QString::fromUtf8("CAF\xC3\x89"));

    // In the hex view a match is told by its row, and bytes by their offset
    // in what came from the same side.
    t->EnsureLineBreak();
    t->AppendText(QStringLiteral("Disconnected\r\n"), TextOrigin::Status);
    t->setHexView(true);
    t->setSelection(0, 0);
    bar->field->setText(QStringLiteral("hello"));
    QTest::keyClick(bar->field, Qt::Key_Return);
    QCOMPARE(t->selectedText(), QStringLiteral("48 65 6C 6C 6F"));
    QCOMPARE(bar->message(), QStringLiteral("Found at offset 000004B0 on row 76"));
    bar->field->setText(QStringLiteral("disconnected"));
    QTest::keyClick(bar->field, Qt::Key_Return);
    QCOMPARE(t->selectedText(), QStringLiteral("Disconnected"));
    QCOMPARE(bar->message(), QStringLiteral("Found on row 78"));
    t->setHexView(false);

    // Escape closes the bar and gives the rows back; the menu opens it again.
    QTest::keyClick(bar->field, Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
    QCOMPARE(QApplication::focusWidget(), t);
    QCOMPARE(t->viewport()->geometry().bottom() + 1, t->horizontalScrollBar()->mapTo(t, QPoint()).y());
    std::unique_ptr<QMenu> menu(t->createContextMenu());
    for (QAction* action : menu->actions()) {
        if (action->text() == QStringLiteral("&Find..."))
            action->trigger();
    }
    QVERIFY(bar->isVisible());

    // With the gutter of times the bar spans it and the rows, and the found
    // text is in view right of the gutter; without, the rows alone again.
    const QRect rowsOnly = bar->geometry();
    t->setTimestampMode(TimestampMode::TimeOfDay);
    QApplication::processEvents();
    const QWidget* gutter = t->findChild<QWidget*>(QStringLiteral("gutter"));
    QCOMPARE(bar->geometry().left(), gutter->mapTo(&w, QPoint()).x());
    QCOMPARE(bar->geometry().right(), rowsOnly.right());
    QCOMPARE(bar->geometry().top(), t->viewport()->mapTo(&w, QPoint()).y() + t->viewport()->height());
    QTest::keyClick(bar->field, Qt::Key_Return);
    QVERIFY(t->isPositionVisible(t->selectionStart()));
    t->setTimestampMode(TimestampMode::Off);
    QApplication::processEvents();
    QCOMPARE(bar->geometry(), rowsOnly);
}

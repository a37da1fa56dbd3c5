#include "fixedfont.h"
#include "transcriptview.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <memory>

namespace {

QString latin1(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes);
}

// The view as the window sets it up: the window's font, shown at its size.
std::unique_ptr<TranscriptView> shownView()
{
    auto view = std::make_unique<TranscriptView>();
    view->setFont(transcriptFont());
    view->resize(685, 417);
    view->show();
    return view;
}

struct Grid {
    qreal cell;
    int row;
};

Grid gridOf(const TranscriptView& view)
{
    const QFontMetricsF fm(view.font());
    return {fm.horizontalAdvance(QLatin1Char('M')), int(std::ceil(fm.lineSpacing()))};
}

// The middle of the left half of the cell at (row, column) of the viewport.
QPoint cellPoint(const TranscriptView& view, int row, int column)
{
    const Grid g = gridOf(view);
    return QPoint(int(column * g.cell + g.cell / 4), row * g.row + g.row / 2);
}

// The menu's actions, separators left out.
QList<QAction*> actionsOf(const QMenu& menu)
{
    QList<QAction*> actions;
    for (QAction* a : menu.actions())
        if (!a->isSeparator())
            actions << a;
    return actions;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

QImage viewportImage(TranscriptView& view)
{
    return view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Whether any pixel of the rectangle differs from the base colour.
bool hasInk(const QImage& image, const QRect& rect, QColor base)
{
    const QRect r = rect.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (image.pixelColor(x, y) != base)
                return true;
    return false;
}

// Runs steps on view: "SECONDS|TEXT" appends TEXT (Latin-1) at that time,
// "mark" begins a connection, "clear", "utf-8", "latin-1" and "hex" as named.
void runSteps(TranscriptView& view, const QStringList& steps)
{
    qint64 now = 0;
    view.setClock([&now] { return now; });
    for (const QString& step : steps) {
        const qsizetype bar = step.indexOf(u'|');
        if (bar > 0) {
            now = qint64(std::llround(step.left(bar).toDouble() * 1e6));
            view.AppendText(step.mid(bar + 1));
        } else if (step == u"mark") {
            view.markConnectionStart();
        } else if (step == u"clear") {
            view.clear();
        } else if (step == u"hex") {
            view.setHexView(true);
        } else {
            view.setHexView(false);
            view.setEncoding(step == u"utf-8" ? TextEncoding::Utf8 : TextEncoding::Latin1);
        }
    }
    view.setClock(TranscriptTimes::systemNow);
}

// What the gutter says for each row of the view.
QStringList gutterTexts(const TranscriptView& view)
{
    QStringList texts;
    for (qint64 row = 0; row < view.mapping().rowCount(); ++row)
        texts << view.gutter().textAt(view.mapping().rowStart(row), view.length());
    return texts;
}

} // namespace

class tst_TranscriptView : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void appendKeepsEveryCharacter();
    void appendTurnsNonLatin1IntoQuestionMarks();
    void ensureLineBreak_data();
    void ensureLineBreak();
    void appendShowsTheStartAgain();
    void scrollToEnd_data();
    void scrollToEnd();
    void clearEmptiesTheText();
    void copy_data();
    void copy();
    void typingNeverChangesTheText();
    void keyPressedComesBeforeTheViewMoves();
    void navigation_data();
    void navigation();
    void navigationKeepsTheCaretInView();
    void mouseSelects();
    void contextMenu();
    void saveAsWritesExactBytes();
    void saveAsFailure_data();
    void saveAsFailure();
    void saveAsOffersACapture_data();
    void saveAsOffersACapture();
    void clearKeepsTheOpenConversation();
    void captureWriteErrorStopsCapturingOnce();
    void fileActionFailureIsShown_data();
    void fileActionFailureIsShown();
    void logFollowsEveryAppend_data();
    void logFollowsEveryAppend();
    void logWriteErrorStopsLoggingOnce();
    void tabsAreBlankCellsOnTheGrid();
    void specialCellsKeepTheGrid_data();
    void specialCellsKeepTheGrid();
    void selectionAndCaretArePainted();
    void timestamps_data();
    void timestamps();
    void timestampsLeaveTheBytesAlone_data();
    void timestampsLeaveTheBytesAlone();
    void gutterMovesTheRows_data();
    void gutterMovesTheRows();
};

void tst_TranscriptView::initTestCase()
{
    // Local time two hours east of UTC, whatever the machine's zone.
    qputenv("TZ", "XST-2");
    // Pixel tests below assume one cell per character of a monospaced font.
    auto view = shownView();
    QVERIFY2(hasEqualAdvances(view->font()),
             qPrintable("no monospaced font: " + QFontInfo(view->font()).family()));
}

void tst_TranscriptView::appendKeepsEveryCharacter()
{
    QString all;
    for (int c = 0; c < 256; ++c)
        all.append(QChar(char16_t(c)));
    TranscriptView view;
    view.AppendText(all.left(100));
    view.AppendText(all.mid(100));
    QCOMPARE(view.length(), 256);
    QCOMPARE(view.plainText(), all);
    QCOMPARE(view.property("plainText").toString(), all);
    QCOMPARE(view.plainText().at(0), QChar(u'\0'));
}

void tst_TranscriptView::appendTurnsNonLatin1IntoQuestionMarks()
{
    TranscriptView view;
    view.AppendText(QStringLiteral("a\u20acb\u00e9") + QString::fromUcs4(U"\U0001F600"));
    // The emoji is two UTF-16 characters, so two question marks.
    QCOMPARE(view.plainText(), QStringLiteral("a?b\u00e9??"));
    QCOMPARE(view.length(), 6);
}

void tst_TranscriptView::ensureLineBreak_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("0 characters") << QByteArray() << QByteArray();
    QTest::newRow("1 character") << QByteArray("a") << QByteArray("a");
    QTest::newRow("2 characters") << QByteArray("ab") << QByteArray("ab");
    QTest::newRow("2 characters, bare CR") << QByteArray("a\r") << QByteArray("a\r");
    QTest::newRow("2 characters, LF CR") << QByteArray("\n\r") << QByteArray("\n\r");
    QTest::newRow("3 characters") << QByteArray("abc") << QByteArray("abc\r\n");
    QTest::newRow("ends in CR LF") << QByteArray("ab\r\n") << QByteArray("ab\r\n");
    QTest::newRow("3 characters, ends in CR LF") << QByteArray("a\r\n") << QByteArray("a\r\n");
    QTest::newRow("ends in bare CR") << QByteArray("abc\r") << QByteArray("abc\r\r\n");
    QTest::newRow("ends in bare LF") << QByteArray("abc\n") << QByteArray("abc\n\r\n");
    QTest::newRow("ends in LF CR") << QByteArray("x\n\r") << QByteArray("x\n\r\r\n");
}

void tst_TranscriptView::ensureLineBreak()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    TranscriptView view;
    view.AppendText(latin1(before));
    view.EnsureLineBreak();
    QCOMPARE(view.plainText(), latin1(after));
    view.EnsureLineBreak();
    QCOMPARE(view.plainText(), latin1(after));
}

void tst_TranscriptView::appendShowsTheStartAgain()
{
    auto view = shownView();
    QByteArray text;
    for (int i = 0; i < 300; ++i)
        text += QByteArray(200, char('a' + i % 26)) + "\r\n";
    view->AppendText(latin1(text));
    view->ScrollToEnd();
    view->setSelection(1000, -50);
    QVERIFY(view->firstVisibleLine() > 0);
    QCOMPARE(view->selectionLength(), 50);

    // The scroll position is what was seen at the end above; AppendText
    // brings back the first row and column and drops the selection.
    view->horizontalScrollBar()->setValue(30);
    view->AppendText(QStringLiteral("more"));
    QCOMPARE(view->plainText(), latin1(text) + QStringLiteral("more"));
    QCOMPARE(view->caretPosition(), 0);
    QCOMPARE(view->selectionStart(), 0);
    QCOMPARE(view->selectionLength(), 0);
    QCOMPARE(view->firstVisibleLine(), 0);
    QCOMPARE(view->firstVisibleColumn(), 0);
    QVERIFY(view->isPositionVisible(0));
    QVERIFY(!view->isPositionVisible(view->length()));
}

void tst_TranscriptView::scrollToEnd_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("scrollsDown");
    QTest::addColumn<bool>("scrollsRight");

    QByteArray lines;
    for (int i = 0; i < 500; ++i)
        lines += QByteArray::number(i).rightJustified(80, '.') + "\r\n";
    QByteArray digits;
    for (int i = 0; i < 10000; ++i)
        digits += "0123456789";
    QByteArray tabbed;
    for (int i = 0; i < 5000; ++i)
        tabbed += "ab\tcdefghijklmnop\t";

    QTest::newRow("short") << QByteArray("hello") << false << false;
    QTest::newRow("80-column lines") << lines << true << false;
    QTest::newRow("100000 characters, no break") << digits << false << true;
    QTest::newRow("one line with tabs") << tabbed << false << true;
    QTest::newRow("lines, then a long last line") << lines + digits << true << true;
}

void tst_TranscriptView::scrollToEnd()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, scrollsDown);
    QFETCH(bool, scrollsRight);

    auto view = shownView();
    view->AppendText(latin1(text));
    view->setSelection(1, 2);
    view->ScrollToEnd();
    QCOMPARE(view->caretPosition(), text.size());
    QCOMPARE(view->selectionLength(), 0);
    QCOMPARE(view->selectionStart(), text.size());
    QVERIFY(view->isPositionVisible(text.size()));
    QCOMPARE(view->firstVisibleLine() > 0, scrollsDown);
    QCOMPARE(view->firstVisibleColumn() > 0, scrollsRight);

    // The last character is painted in its cell, which is in view.
    view->setSelection(0, 0);
    view->ScrollToEnd();
    qint64 last = text.size() - 1;
    while (text.at(last) == '\r' || text.at(last) == '\n' || text.at(last) == '\t')
        --last;
    const QImage image = viewportImage(*view);
    const Grid g = gridOf(*view);
    const int row = int(view->store().lineOf(last) - view->firstVisibleLine());
    const int cell = int(view->store().columnOf(last) - view->firstVisibleColumn());
    QVERIFY(row >= 0 && cell >= 0);
    const QRect lastCell(int(cell * g.cell), row * g.row, int(std::ceil(g.cell)), g.row);
    QVERIFY(hasInk(image, lastCell, view->palette().color(QPalette::Base)));
}

void tst_TranscriptView::clearEmptiesTheText()
{
    auto view = shownView();
    view->AppendText(QStringLiteral("abc\r"));
    view->ScrollToEnd();
    view->clear();
    QCOMPARE(view->length(), 0);
    QCOMPARE(view->caretPosition(), 0);
    QCOMPARE(view->store().lineCount(), 1);
    view->AppendText(QStringLiteral("\n"));
    QCOMPARE(view->store().lineCount(), 2);
}

void tst_TranscriptView::copy_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("copied");

    QTest::newRow("CR LF stays CR LF") << QByteArray("ab\r\ncd") << 0 << 6 << QByteArray("ab\r\ncd");
    QTest::newRow("bare CR stays") << QByteArray("ab\rcd") << 1 << 3 << QByteArray("b\rc");
    QTest::newRow("bare LF stays") << QByteArray("ab\ncd") << 0 << 3 << QByteArray("ab\n");
    QTest::newRow("NUL and tab") << QByteArray("x\0\ty", 4) << 0 << 4 << QByteArray("x\0\ty", 4);
    QTest::newRow("selected backwards") << QByteArray("hello") << 4 << -3 << QByteArray("ell");
    QTest::newRow("Latin-1 above 127") << QByteArray("\xe9\xa0\x85") << 0 << 3
                                       << QByteArray("\xe9\xa0\x85");
    QTest::newRow("clamped") << QByteArray("abc") << 1 << 100 << QByteArray("bc");
}

void tst_TranscriptView::copy()
{
    QFETCH(QByteArray, text);
    QFETCH(int, start);
    QFETCH(int, length);
    QFETCH(QByteArray, copied);

    TranscriptView view;
    view.AppendText(latin1(text));
    view.setSelection(start, length);
    QCOMPARE(view.selectedText(), latin1(copied));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    view.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), latin1(copied));

    // Nothing selected: the clipboard keeps what it had.
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    view.setSelection(1, 0);
    view.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
}

void tst_TranscriptView::typingNeverChangesTheText()
{
    auto view = shownView();
    const QString text = QStringLiteral("line one\r\nline two");
    view->AppendText(text);
    view->setSelection(2, 5);
    QList<int> keys;
    connect(view.get(), &TranscriptView::keyPressed, view.get(),
            [&](QKeyEvent* event) { keys << event->key(); });

    QTest::keyClicks(view.get(), "hello world");
    QTest::keyClick(view.get(), Qt::Key_Backspace);
    QTest::keyClick(view.get(), Qt::Key_Delete);
    QTest::keyClick(view.get(), Qt::Key_Return);
    // QTest presses the modifier keys too, and those are key presses as well.
    QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_Insert, Qt::ShiftModifier);
    QTest::sendKeyEvent(QTest::Click, view.get(), Qt::Key_unknown, QStringLiteral("\u00e9"),
                        Qt::NoModifier);

    QCOMPARE(view->plainText(), text);
    const QList<int> expected{Qt::Key_H, Qt::Key_E, Qt::Key_L, Qt::Key_L, Qt::Key_O,
                              Qt::Key_Space, Qt::Key_W, Qt::Key_O, Qt::Key_R, Qt::Key_L,
                              Qt::Key_D, Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Return,
                              Qt::Key_Control, Qt::Key_V, Qt::Key_Control, Qt::Key_X,
                              Qt::Key_Shift, Qt::Key_Insert, Qt::Key_unknown};
    QCOMPARE(keys, expected);
}

void tst_TranscriptView::keyPressedComesBeforeTheViewMoves()
{
    TranscriptView view;
    view.AppendText(QStringLiteral("abc"));
    QList<qint64> caretAtSignal;
    connect(&view, &TranscriptView::keyPressed, &view,
            [&](QKeyEvent*) { caretAtSignal << view.caretPosition(); });
    QTest::keyClick(&view, Qt::Key_Right);
    QTest::keyClick(&view, Qt::Key_Right);
    QCOMPARE(caretAtSignal, (QList<qint64>{0, 1}));
    QCOMPARE(view.caretPosition(), 2);
}

void tst_TranscriptView::navigation_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("start"); // setSelection() before the keys
    QTest::addColumn<int>("length");
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<int>("selStart");
    QTest::addColumn<int>("selLength");
    QTest::addColumn<int>("caret");

    // a0 b1 CR2 LF3 c4 d5 CR6 LF7 e8 f9 g10 h11, length 12
    const QByteArray t("ab\r\ncd\r\nefgh");
    const auto k = [](const char* s) { return QKeySequence(QString::fromLatin1(s)); };
    QTest::newRow("Right") << t << 0 << 0 << k("Right") << 1 << 0 << 1;
    QTest::newRow("Right over CR LF") << t << 2 << 0 << k("Right") << 4 << 0 << 4;
    QTest::newRow("Left over CR LF") << t << 4 << 0 << k("Left") << 2 << 0 << 2;
    QTest::newRow("Left at 0") << t << 0 << 0 << k("Left") << 0 << 0 << 0;
    QTest::newRow("Right at end") << t << 12 << 0 << k("Right") << 12 << 0 << 12;
    QTest::newRow("Shift+Right") << t << 0 << 0 << k("Shift+Right") << 0 << 1 << 1;
    QTest::newRow("Shift+Right twice") << t << 0 << 0 << k("Shift+Right, Shift+Right")
                                       << 0 << 2 << 2;
    QTest::newRow("Shift+Right over CR LF") << t << 1 << 0 << k("Shift+Right, Shift+Right")
                                            << 1 << 3 << 4;
    QTest::newRow("Shift+Left shrinks") << t << 4 << 2 << k("Shift+Left") << 4 << 1 << 5;
    QTest::newRow("Left collapses to start") << t << 4 << 2 << k("Left") << 4 << 0 << 4;
    QTest::newRow("Right collapses to end") << t << 6 << -2 << k("Right") << 6 << 0 << 6;
    QTest::newRow("Home") << t << 5 << 0 << k("Home") << 4 << 0 << 4;
    QTest::newRow("End") << t << 4 << 0 << k("End") << 6 << 0 << 6;
    QTest::newRow("Shift+End") << t << 4 << 0 << k("Shift+End") << 4 << 2 << 6;
    QTest::newRow("Shift+Home") << t << 10 << 0 << k("Shift+Home") << 8 << 2 << 8;
    QTest::newRow("Ctrl+End") << t << 1 << 0 << k("Ctrl+End") << 12 << 0 << 12;
    QTest::newRow("Ctrl+Home") << t << 9 << 0 << k("Ctrl+Home") << 0 << 0 << 0;
    QTest::newRow("Ctrl+Shift+End") << t << 4 << 0 << k("Ctrl+Shift+End") << 4 << 8 << 12;
    QTest::newRow("Ctrl+Shift+Home") << t << 5 << 0 << k("Ctrl+Shift+Home") << 0 << 5 << 0;
    QTest::newRow("Down keeps the column") << t << 1 << 0 << k("Down") << 5 << 0 << 5;
    QTest::newRow("Up keeps the column") << t << 9 << 0 << k("Up") << 5 << 0 << 5;
    QTest::newRow("Shift+Down") << t << 0 << 0 << k("Shift+Down") << 0 << 4 << 4;
    QTest::newRow("Shift+Up") << t << 9 << 0 << k("Shift+Up") << 5 << 4 << 5;
    QTest::newRow("Up on the first line") << t << 1 << 0 << k("Up") << 1 << 0 << 1;
    QTest::newRow("Down keeps the aim past a short line")
        << QByteArray("abcd\r\nx\r\nabcd") << 3 << 0 << k("Down, Down") << 12 << 0 << 12;
    QTest::newRow("Down to the end of a tab line") << QByteArray("abcdefghij\n\tz") << 9 << 0
                                                   << k("Down") << 13 << 0 << 13;
    QTest::newRow("Down onto a tab") << QByteArray("abcdefghij\n\tz") << 4 << 0
                                     << k("Down") << 11 << 0 << 11;
    QTest::newRow("PageDown") << t << 1 << 0 << k("PgDown") << 9 << 0 << 9;
    QTest::newRow("Shift+PageUp") << t << 11 << 0 << k("Shift+PgUp") << 2 << 9 << 2;
    QTest::newRow("Ctrl+A") << t << 5 << 0 << k("Ctrl+A") << 0 << 12 << 12;
    QTest::newRow("Ctrl+C keeps the selection") << t << 1 << 3 << k("Ctrl+C") << 1 << 3 << 4;
}

void tst_TranscriptView::navigation()
{
    QFETCH(QByteArray, text);
    QFETCH(int, start);
    QFETCH(int, length);
    QFETCH(QKeySequence, keys);
    QFETCH(int, selStart);
    QFETCH(int, selLength);
    QFETCH(int, caret);

    auto view = shownView();
    view->AppendText(latin1(text));
    view->setSelection(start, length);
    for (int i = 0; i < keys.count(); ++i)
        QTest::keyClick(view.get(), keys[i].key(), keys[i].keyboardModifiers());
    QCOMPARE(view->selectionStart(), selStart);
    QCOMPARE(view->selectionLength(), selLength);
    QCOMPARE(view->caretPosition(), caret);
    QCOMPARE(view->plainText(), latin1(text));
}

void tst_TranscriptView::navigationKeepsTheCaretInView()
{
    auto view = shownView();
    QByteArray text;
    for (int i = 0; i < 1000; ++i)
        text += QByteArray::number(i) + "\r\n";
    text += QByteArray(3000, 'x');
    view->AppendText(latin1(text));

    QTest::keyClick(view.get(), Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(view->caretPosition(), text.size());
    QVERIFY(view->isPositionVisible(text.size()));
    QTest::keyClick(view.get(), Qt::Key_Home);
    QVERIFY(view->isPositionVisible(view->caretPosition()));
    QCOMPARE(view->firstVisibleColumn(), 0);
    QTest::keyClick(view.get(), Qt::Key_PageUp);
    QVERIFY(view->isPositionVisible(view->caretPosition()));
    QVERIFY(view->store().lineOf(view->caretPosition()) < 1000);
    QTest::keyClick(view.get(), Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(view->firstVisibleLine(), 0);
    QVERIFY(view->isPositionVisible(0));
}

void tst_TranscriptView::mouseSelects()
{
    auto view = shownView();
    view->AppendText(QStringLiteral("first line\r\nxx foo_bar1 yy\r\n\tz"));
    QWidget* vp = view->viewport();

    QTest::mouseClick(vp, Qt::LeftButton, {}, cellPoint(*view, 1, 4));
    QCOMPARE(view->caretPosition(), 12 + 4);
    QCOMPARE(view->selectionLength(), 0);

    QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, cellPoint(*view, 0, 6));
    QCOMPARE(view->selectionStart(), 6);
    QCOMPARE(view->selectionLength(), 10);

    QTest::mouseDClick(vp, Qt::LeftButton, {}, cellPoint(*view, 1, 6));
    QCOMPARE(view->selectedText(), QStringLiteral("foo_bar1"));

    // A click past the end of a line puts the caret at its end.
    QTest::mouseClick(vp, Qt::LeftButton, {}, cellPoint(*view, 0, 40));
    QCOMPARE(view->caretPosition(), 10);
    // Clicking within a tab's cells lands on the tab; after them, on z.
    QTest::mouseClick(vp, Qt::LeftButton, {}, cellPoint(*view, 2, 3));
    QCOMPARE(view->caretPosition(), 28);
    QTest::mouseClick(vp, Qt::LeftButton, {}, cellPoint(*view, 2, 8));
    QCOMPARE(view->caretPosition(), 29);

    QTest::mousePress(vp, Qt::LeftButton, {}, cellPoint(*view, 0, 0));
    QTest::mouseMove(vp, cellPoint(*view, 1, 2));
    QTest::mouseRelease(vp, Qt::LeftButton, {}, cellPoint(*view, 1, 2));
    QCOMPARE(view->selectionStart(), 0);
    QCOMPARE(view->selectedText(), QStringLiteral("first line\r\nxx"));
    QCOMPARE(view->plainText(), QStringLiteral("first line\r\nxx foo_bar1 yy\r\n\tz"));
}

void tst_TranscriptView::contextMenu()
{
    TranscriptView view;
    view.AppendText(QStringLiteral("ab\rcd"));
    std::unique_ptr<QMenu> menu(view.createContextMenu());
    const QList<QAction*> actions = actionsOf(*menu);
    QCOMPARE(actions.size(), 7);
    QCOMPARE(actions[0]->text().remove(u'&'), QStringLiteral("Copy"));
    QCOMPARE(actions[1]->text().remove(u'&'), QStringLiteral("Select All"));
    QCOMPARE(actions[2]->text().remove(u'&'), QStringLiteral("Encoding"));
    QCOMPARE(actions[3]->text().remove(u'&'), QStringLiteral("Hex View"));
    QCOMPARE(actions[4]->text().remove(u'&'), QStringLiteral("Timestamps"));
    QCOMPARE(actions[5]->text().remove(u'&'), QStringLiteral("Save As..."));
    QCOMPARE(actions[6]->text().remove(u'&'), QStringLiteral("Log to File..."));
    QVERIFY(!actions[0]->isEnabled());
    // Every key typed in the transcript belongs to the peer (Ctrl+S is XOFF).
    for (int i = 2; i < 7; ++i)
        QVERIFY(actions[i]->shortcut().isEmpty());

    actions[1]->trigger();
    QCOMPARE(view.selectionLength(), 5);

    menu.reset(view.createContextMenu());
    QAction* copyAction = menu->actions().first();
    QVERIFY(copyAction->isEnabled());
    QGuiApplication::clipboard()->clear();
    copyAction->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("ab\rcd"));

    QTemporaryDir dir;
    view.startLog(TranscriptLog::open(dir.filePath(QStringLiteral("log")), nullptr), false);
    menu.reset(view.createContextMenu());
    QAction* stop = menu->actions().last();
    QCOMPARE(stop->text().remove(u'&'), QStringLiteral("Stop Logging"));
    stop->trigger();
    QVERIFY(!view.isLogging());
}

void tst_TranscriptView::saveAsWritesExactBytes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved"));
    QVERIFY(writeFile(path, "an older, longer file that the save replaces"));

    TranscriptView view;
    QByteArray all(256, 0);
    for (int b = 0; b < 256; ++b)
        all[b] = char(b);
    view.AppendText(latin1(all.left(14))); // ends in CR; the LF comes next
    view.AppendText(latin1(all.mid(14)));
    QString reason;
    QVERIFY2(view.saveAs(path, &reason), qPrintable(reason));
    QCOMPARE(readFile(path), all);
    QCOMPARE(view.plainText(), latin1(all));
}

void tst_TranscriptView::saveAsFailure_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("inside-a-file") << QStringLiteral("plain/saved");
    QTest::newRow("missing-folder") << QStringLiteral("missing/saved");
    QTest::newRow("a-folder") << QStringLiteral("folder");
}

// Root can write anywhere, so the failures are ones that bind root too.
void tst_TranscriptView::saveAsFailure()
{
    QFETCH(QString, target);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("plain")), "x"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));

    TranscriptView view;
    view.AppendText(QStringLiteral("kept\r\n"));
    QString reason;
    QVERIFY(!view.saveAs(dir.filePath(target), &reason));
    QVERIFY(!reason.isEmpty());
    QCOMPARE(view.plainText(), QStringLiteral("kept\r\n"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("plain"))), QByteArray("x"));
}

void tst_TranscriptView::saveAsOffersACapture_data()
{
    QTest::addColumn<int>("filter"); // of those the dialog offers
    QTest::newRow("exact bytes") << 0;
    QTest::newRow("wireshark capture") << 1;
}

// Save As's dialog offers the exact bytes first and the capture beside
// them; the kind chosen is what is written.
void tst_TranscriptView::saveAsOffersACapture()
{
    QFETCH(int, filter);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved"));
    TranscriptView view;
    view.startConversation({{{127, 0, 0, 1}, false, 1024}, {{127, 0, 0, 1}, false, 80}, false, true});
    view.AppendText(QStringLiteral("GET /\r\n"), TextOrigin::Sent);
    view.AppendText(QStringLiteral("hello"), TextOrigin::Received);
    view.endConversation();
    QStringList offered;
    view.setFileChooser([&](const QString&, bool, const QStringList& filters, QString* chosen) {
        offered = filters;
        *chosen = filters.value(filter);
        return path;
    });
    std::unique_ptr<QMenu> menu(view.createContextMenu());
    actionsOf(*menu).at(5)->trigger(); // Save As...
    QCOMPARE(offered, (QStringList{"Exact bytes (*)", "Wireshark capture (*.pcapng)"}));

    const QString direct = dir.filePath(QStringLiteral("direct"));
    QVERIFY(view.saveAs(direct, nullptr, SaveFormat::Capture));
    QVERIFY(readFile(direct).startsWith("\x0a\x0d\x0d\x0a"));
    QCOMPARE(readFile(path), filter == 0 ? view.store().bytes().toByteArray() : readFile(direct));
}

// Clear empties the transcript, not the connection: a capture saved after it
// still has the connection open, and what came after Clear on it; so has a
// capture begun then without what was shown.
void tst_TranscriptView::clearKeepsTheOpenConversation()
{
    QTemporaryDir dir;
    const QString saved = dir.filePath(QStringLiteral("saved.pcapng"));
    const QString live = dir.filePath(QStringLiteral("live.pcapng"));
    TranscriptView view;
    TranscriptTimes::Micros now = 1'000'000;
    view.setClock([&] { return now; });
    const Conversation open{{{10, 0, 0, 1}, false, 5000}, {{10, 0, 0, 2}, false, 23}, false, true};
    const Conversation ended{{{10, 0, 0, 1}, false, 4999}, {{10, 0, 0, 2}, false, 23}, false, true};
    view.startConversation(ended);
    view.endConversation();
    view.startConversation(open);
    view.AppendText(QStringLiteral("before Clear"));
    now = 2'000'000;
    view.clear();
    view.startCapture(TranscriptCapture::open(live, nullptr), false);
    view.AppendText(QStringLiteral("after Clear"));
    QString reason;
    QVERIFY2(view.saveAs(saved, &reason, SaveFormat::Capture), qPrintable(reason));

    auto captureFrom = [&](TranscriptTimes::Micros start) {
        QByteArray expected = CaptureEncoder::fileHeader();
        CaptureEncoder encoder;
        encoder.start(open, start, expected);
        encoder.append("after Clear", TextOrigin::Received, 2'000'000, expected);
        return expected;
    };
    QCOMPARE(readFile(saved), captureFrom(1'000'000));
    QCOMPARE(readFile(live), captureFrom(2'000'000));
}

// The menu's file actions: a failure is one message naming the file and the
// system's reason.
void tst_TranscriptView::fileActionFailureIsShown_data()
{
    QTest::addColumn<int>("action"); // in the menu, separators left out
    QTest::addColumn<QString>("verb");
    QTest::newRow("Save As") << 5 << "save";
    QTest::newRow("Log to File") << 6 << "log to";
}

void tst_TranscriptView::fileActionFailureIsShown()
{
    QFETCH(int, action);
    QFETCH(QString, verb);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing/file"));
    TranscriptView view;
    view.AppendText(QStringLiteral("kept"));
    view.setFileChooser([&](const QString&, bool, const QStringList&, QString*) { return path; });

    QString shown;
    int boxes = 0;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ++boxes;
            shown = box->text();
            box->close();
        }
    });
    std::unique_ptr<QMenu> menu(view.createContextMenu());
    const QList<QAction*> actions = actionsOf(*menu);
    actions.at(action)->trigger();
    QCOMPARE(boxes, 1);
    QVERIFY2(shown.contains(verb, Qt::CaseInsensitive) && shown.contains(path)
                 && shown.contains(QStringLiteral("No such file or directory")),
             qPrintable(shown));
    QCOMPARE(view.plainText(), QStringLiteral("kept"));
    QVERIFY(!view.isLogging());
}

void tst_TranscriptView::logFollowsEveryAppend_data()
{
    QTest::addColumn<bool>("withWhatIsShown");
    QTest::newRow("from-now-on") << false;
    QTest::newRow("from-the-start") << true;
}

// The log is the earlier file, then (optionally) what was shown, then every
// appended byte in order; Clear does not touch it.
void tst_TranscriptView::logFollowsEveryAppend()
{
    QFETCH(bool, withWhatIsShown);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    const QByteArray earlier("an earlier session\r\n");
    QVERIFY(writeFile(path, earlier));

    TranscriptView view;
    view.AppendText(QStringLiteral("shown before\r"));
    QString reason;
    auto log = TranscriptLog::open(path, &reason);
    QVERIFY2(log, qPrintable(reason));
    view.startLog(std::move(log), withWhatIsShown);
    QVERIFY(view.isLogging());

    QByteArray expected = earlier + (withWhatIsShown ? QByteArray("shown before\r") : QByteArray());
    for (const QByteArray& part : {QByteArray("\nnext\0line\xff\r"), QByteArray("\n\t\x7f")}) {
        view.AppendText(latin1(part));
        expected += part;
        QCOMPARE(readFile(path), expected); // on disk at once, not at the next flush
    }
    view.clear();
    view.AppendText(QStringLiteral("after clear \u20ac"));
    expected += "after clear ?";
    view.stopLog();
    view.AppendText(QStringLiteral("not logged"));
    QCOMPARE(readFile(path), expected);
}

void tst_TranscriptView::logWriteErrorStopsLoggingOnce()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full to fill");
    TranscriptView view;
    view.AppendText(QStringLiteral("before"));
    view.startLog(TranscriptLog::open(QStringLiteral("/dev/full"), nullptr), false);
    QVERIFY(view.isLogging());
    view.AppendText(QStringLiteral("x"));
    view.AppendText(QStringLiteral("y"));
    QVERIFY(!view.isLogging());
    const QString text = view.plainText();
    QVERIFY2(text.startsWith(QStringLiteral("beforex\r\nLogging stopped: /dev/full: ")), qPrintable(text));
    QCOMPARE(text.count(QStringLiteral("Logging stopped")), 1);
    QVERIFY(text.endsWith(QStringLiteral("\r\ny")));
}

// The file may grow no further (a full disk, as the file size limit has it):
// one line says so, and the capture ends.
void tst_TranscriptView::captureWriteErrorStopsCapturingOnce()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("full.pcapng"));
    TranscriptView view;
    view.startCapture(TranscriptCapture::open(path, nullptr), true);
    view.startConversation({{{127, 0, 0, 1}, false, 1}, {{127, 0, 0, 1}, false, 2}, false, true});
    QVERIFY(view.isCapturing());
    rlimit unlimited;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit small = unlimited;
    small.rlim_cur = rlim_t(QFileInfo(path).size() + 100);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN); // the write fails instead
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    view.AppendText(QString(1000, u'x'));
    view.AppendText(QStringLiteral("y"));
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(!view.isCapturing());
    const QString text = view.plainText();
    QVERIFY2(text.contains(QStringLiteral("\r\nCapture stopped: ") + path + QStringLiteral(": ")),
             qPrintable(text));
    QCOMPARE(text.count(QStringLiteral("Capture stopped")), 1);
    QVERIFY(text.endsWith(QStringLiteral("\r\ny")));
}

// A tab is blank cells up to the next multiple of 8: the text after it lands
// exactly where it would after as many spaces.
void tst_TranscriptView::tabsAreBlankCellsOnTheGrid()
{
    auto view = shownView();
    view->AppendText(latin1("ab\tX\r\n\t\tY"));
    const QImage tabs = viewportImage(*view);
    view->clear();
    view->AppendText(latin1("ab      X\r\n                Y"));
    const QImage spaces = viewportImage(*view);
    QCOMPARE(tabs, spaces);
}

void tst_TranscriptView::specialCellsKeepTheGrid_data()
{
    QTest::addColumn<QByteArray>("special");

    QTest::newRow("NUL") << QByteArray(1, '\0');
    QTest::newRow("SOH") << QByteArray("\x01");
    QTest::newRow("ESC") << QByteArray("\x1b");
    QTest::newRow("DEL") << QByteArray("\x7f");
    QTest::newRow("C1 0x85") << QByteArray("\x85");
    QTest::newRow("C1 0x9f") << QByteArray("\x9f");
    QTest::newRow("soft hyphen") << QByteArray("\xad");
    QTest::newRow("four controls") << QByteArray("\x01\x02\x03\x04", 4);
}

// A special cell shows something, and whatever its glyph's width, the
// characters after it stay on the grid.
void tst_TranscriptView::specialCellsKeepTheGrid()
{
    QFETCH(QByteArray, special);

    auto view = shownView();
    const Grid g = gridOf(*view);
    const QColor base = view->palette().color(QPalette::Base);
    const QByteArray plain(special.size(), 'o');
    view->AppendText(latin1(special + "  WXYZ"));
    const QImage withSpecial = viewportImage(*view);
    view->clear();
    view->AppendText(latin1(plain + "  WXYZ"));
    const QImage withPlain = viewportImage(*view);

    const int after = int(special.size()) + 2;
    const QRect tail(int(std::floor(after * g.cell)), 0, int(std::ceil(4 * g.cell)), g.row);
    QCOMPARE(withSpecial.copy(tail), withPlain.copy(tail));
    const QRect head(0, 0, int(std::ceil(special.size() * g.cell)), g.row);
    QVERIFY2(hasInk(withSpecial, head, base), "special cell drawn blank");
}

void tst_TranscriptView::selectionAndCaretArePainted()
{
    auto view = shownView();
    view->activateWindow();
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());
    const Grid g = gridOf(*view);
    const QColor base = view->palette().color(QPalette::Base);
    const QColor highlight = view->palette().color(QPalette::Highlight);
    view->AppendText(latin1("ab\r\n  \t\x01"));

    // A selected break shows as a highlighted cell after the line.
    const QPoint breakCell(int(2.5 * g.cell), g.row / 2);
    view->selectAll();
    QImage image = viewportImage(*view);
    QCOMPARE(image.pixelColor(breakCell), highlight);
    // The tab's blank cells are highlighted too.
    QCOMPARE(image.pixelColor(int(5.5 * g.cell), g.row + g.row / 2), highlight);

    // The caret: a bar at the left edge of its cell, in the focused view only.
    const QPoint caretPixel(0, g.row + g.row / 2);
    view->setSelection(4, 0);
    image = viewportImage(*view);
    QCOMPARE(image.pixelColor(breakCell), base);
    QVERIFY(image.pixelColor(caretPixel) != base);
    QCOMPARE(image.pixelColor(caretPixel + QPoint(2, 0)), base);
    view->clearFocus();
    QTRY_VERIFY(!view->hasFocus());
    QCOMPARE(viewportImage(*view).pixelColor(caretPixel), base);
}

// The gutter's text for each row, in each mode, with a clock that says what
// the test wants. Times are local: the test runs two hours east of UTC.
void tst_TranscriptView::timestamps_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("rows");
    using L = QStringList;
    const int day = int(TimestampMode::TimeOfDay);
    const int previous = int(TimestampMode::SincePrevious);
    const int connected = int(TimestampMode::SinceConnected);

    // The CR and the LF in two appends are one break: the row after it
    // starts at "cd", whose time it shows, not the LF's.
    const L split{"1|ab\r", "2|\n", "3|cd\r\n"};
    QTest::newRow("time of day, CR LF split")
        << day << split << L{"02:00:01.000", "02:00:03.000", ""};
    QTest::newRow("since previous, CR LF split") << previous << split << L{"", "+1.000", ""};
    QTest::newRow("off") << int(TimestampMode::Off) << split << L{"", "", ""};
    QTest::newRow("rows that start inside a run")
        << previous << L{"1|x\r\n", "3|a\r\nb\r\nc", "3.5|d\r\ne"}
        << L{"", "+2.000", "+2.000", "+2.000", "+0.500"};
    QTest::newRow("durations: minutes, hours, a clock set back")
        << previous << L{"0|a\r\n", "62.345|b\r\n", "3785.456|c\r\n", "3785.206|d"}
        << L{"", "+1:02.345", "+1:02:03.111", "-0.250"};
    QTest::newRow("since previous, across Clear")
        << previous << L{"1|x\r\n", "clear", "3.25|y\r\n"} << L{"+2.250", ""};
    QTest::newRow("time of day, across Clear")
        << day << L{"1|x\r\n", "clear", "3.25|y\r\n"} << L{"02:00:03.250", ""};
    QTest::newRow("since connected, two connections in turn")
        << connected
        << L{"1|Pellix\r\n", "mark", "2|Connected from: a\r\n", "2.5|hello\r\n", "4|Disconnected\r\n",
             "mark", "10|Connected from: b\r\n", "12|bye"}
        << L{"", "+0.000", "+0.500", "+2.000", "+0.000", "+2.000"};
    QTest::newRow("since connected, across Clear")
        << connected << L{"mark", "1|Connected to: a\r\n", "clear", "4|z"} << L{"+3.000"};
    QTest::newRow("hex rows: the run of each row's first byte")
        << day << L{"1|0123456789abcdef", "2|gh\r\n", "hex"}
        << L{"02:00:01.000", "02:00:02.000"};
    QTest::newRow("UTF-8 and back, a character split across appends")
        << day << L{"1|caf\xc3\xa9\r\n", "2|\xe2\x82", "3|\xac\r\nz", "utf-8"}
        << L{"02:00:01.000", "02:00:02.000", "02:00:03.000"};
    QTest::newRow("hex, then Latin-1 again")
        << previous << L{"1|abc\r\n", "1.5|def", "hex", "latin-1"} << L{"", "+0.500"};
}

void tst_TranscriptView::timestamps()
{
    QFETCH(int, mode);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, rows);
    TranscriptView view;
    // Times are kept while the gutter is off: it is turned on last.
    runSteps(view, steps);
    view.setTimestampMode(TimestampMode(mode));
    QCOMPARE(gutterTexts(view), rows);
}

void tst_TranscriptView::timestampsLeaveTheBytesAlone_data()
{
    QTest::addColumn<QString>("view");
    QTest::newRow("Latin-1") << "latin-1";
    QTest::newRow("UTF-8") << "utf-8";
    QTest::newRow("hex") << "hex";
}

// Copy, Save As and the log give the same with the gutter as without it.
void tst_TranscriptView::timestampsLeaveTheBytesAlone()
{
    QFETCH(QString, view);
    const QByteArray bytes("one\r\ntw\xc3\xb6\r\n\x01three");
    QTemporaryDir dir;
    auto outcome = [&](TimestampMode mode) {
        auto v = shownView();
        const QString log = dir.filePath(QStringLiteral("log%1").arg(int(mode)));
        v->startLog(TranscriptLog::open(log, nullptr), false);
        v->setTimestampMode(mode);
        runSteps(*v, {view, "1|" + latin1(bytes.left(7)), "2|" + latin1(bytes.mid(7))});
        v->selectAll();
        QGuiApplication::clipboard()->clear();
        v->copy();
        const QString saved = dir.filePath(QStringLiteral("saved%1").arg(int(mode)));
        v->saveAs(saved, nullptr);
        return QStringList{QGuiApplication::clipboard()->text(), latin1(readFile(saved)),
                           latin1(readFile(log)), v->plainText()};
    };
    const QStringList without = outcome(TimestampMode::Off);
    QCOMPARE(without.at(1), latin1(bytes));
    QCOMPARE(without.at(2), latin1(bytes));
    for (TimestampMode mode : {TimestampMode::TimeOfDay, TimestampMode::SincePrevious,
                               TimestampMode::SinceConnected})
        QCOMPARE(outcome(mode), without);
}

void tst_TranscriptView::gutterMovesTheRows_data()
{
    QTest::addColumn<QString>("view");
    QTest::addColumn<qint64>("rowOne"); // where the second row starts
    QTest::addColumn<bool>("scrolls");  // the widest row is wider than the view
    QTest::newRow("Latin-1") << "latin-1" << qint64(42) << true;
    QTest::newRow("UTF-8") << "utf-8" << qint64(42) << true;
    QTest::newRow("hex") << "hex" << qint64(16) << false;
}

// The rows sit right of the gutter, which lines up with them; a click in the
// gutter is a click at the left edge of the row, wherever it is scrolled to;
// the widest row's end can still be scrolled into view.
void tst_TranscriptView::gutterMovesTheRows()
{
    QFETCH(QString, view);
    QFETCH(qint64, rowOne);
    QFETCH(bool, scrolls);
    auto v = shownView();
    const QString wide = QString(40, u'w') + QStringLiteral("\r\n");
    runSteps(*v, {view, "1|" + wide, "2|" + QString(150, u'x') + QStringLiteral("\r\nend")});
    const QRect before = v->viewport()->geometry();
    v->setTimestampMode(TimestampMode::TimeOfDay);
    QApplication::processEvents();
    const QRect rows = v->viewport()->geometry();
    auto* gutter = v->findChild<QWidget*>(QStringLiteral("gutter"));
    QVERIFY(gutter && gutter->isVisible());
    QCOMPARE(gutter->geometry().right() + 1, rows.left());
    QCOMPARE(gutter->geometry().top(), rows.top());
    QCOMPARE(gutter->height(), rows.height());
    QCOMPARE(rows.left() - before.left(), v->gutterWidth());
    QCOMPARE(rows.right(), before.right());
    const Grid g = gridOf(*v);
    // Wide enough for "+99:59:59.999" and a blank.
    QVERIFY(v->gutterWidth() >= 14 * g.cell);

    // The end of the widest row: scrolled to, it is within the narrower rows.
    v->ensurePositionVisible(rowOne + 150);
    QCOMPARE(v->firstVisibleColumn() > 0, scrolls);
    const qint64 end = v->mapping().columnOf(std::min(v->length(), rowOne + 150));
    QVERIFY((end - v->firstVisibleColumn() + 1) * g.cell <= rows.width());

    QTest::mouseClick(gutter, Qt::LeftButton, {}, QPoint(gutter->width() / 2, g.row + g.row / 2));
    QCOMPARE(v->caretPosition(), v->mapping().positionAtColumn(1, v->firstVisibleColumn()));
    v->horizontalScrollBar()->setValue(0);
    QTest::mouseClick(gutter, Qt::LeftButton, {}, QPoint(2, g.row + g.row / 2));
    QCOMPARE(v->caretPosition(), rowOne);
    // Dragged from the gutter into the rows: a selection from the row's start.
    QTest::mousePress(gutter, Qt::LeftButton, {}, QPoint(2, g.row / 2));
    QMouseEvent move(QEvent::MouseMove, QPointF(cellPoint(*v, 1, 0)),
                     v->viewport()->mapToGlobal(QPointF(cellPoint(*v, 1, 0))), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(v->viewport(), &move);
    QTest::mouseRelease(v->viewport(), Qt::LeftButton, {}, cellPoint(*v, 1, 0));
    QCOMPARE(v->selectionStart(), 0);
    QCOMPARE(v->selectionLength(), rowOne);

    v->setTimestampMode(TimestampMode::Off);
    QApplication::processEvents();
    QVERIFY(!gutter->isVisible());
    QCOMPARE(v->viewport()->geometry(), before);
}

QTEST_MAIN(tst_TranscriptView)
#include "tst_transcriptview.moc"

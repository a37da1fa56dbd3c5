#include "findbar.h"
#include "transcriptview.h"

#include <QAccessible>
#include <QLineEdit>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTest>

#include <memory>
#include <vector>

using Boundary = QAccessible::TextBoundaryType;
Q_DECLARE_METATYPE(QAccessible::TextBoundaryType)

namespace {

// What the update handler saw: the event's type, the text it carries (what
// was inserted or removed) and its positions.
struct Seen {
    QAccessible::Event type;
    QString text;
    int position;
    int cursor;
    bool operator==(const Seen&) const = default;
};

char* toString(const Seen& s)
{
    return QTest::toString(QStringLiteral("{%1, \"%2\", %3, %4}")
                               .arg(int(s.type))
                               .arg(QString(s.text)
                                        .replace(u'\r', QStringLiteral("\\r"))
                                        .replace(u'\n', QStringLiteral("\\n")))
                               .arg(s.position)
                               .arg(s.cursor));
}

char* toString(const std::vector<Seen>& all)
{
    QString text;
    for (const Seen& s : all) {
        char* one = toString(s);
        text += QString::fromLatin1(one) + u' ';
        delete[] one;
    }
    return QTest::toString(text);
}

std::vector<Seen> seen;

void recordEvent(QAccessibleEvent* event)
{
    switch (event->type()) {
    case QAccessible::TextInserted: {
        auto* e = static_cast<QAccessibleTextInsertEvent*>(event);
        seen.push_back({e->type(), e->textInserted(), e->changePosition(), e->cursorPosition()});
        break;
    }
    case QAccessible::TextUpdated: {
        auto* e = static_cast<QAccessibleTextUpdateEvent*>(event);
        seen.push_back({e->type(), e->textInserted(), e->changePosition(), e->cursorPosition()});
        break;
    }
    case QAccessible::TextRemoved: {
        auto* e = static_cast<QAccessibleTextRemoveEvent*>(event);
        seen.push_back({e->type(), e->textRemoved(), e->changePosition(), e->cursorPosition()});
        break;
    }
    case QAccessible::TextSelectionChanged: {
        auto* e = static_cast<QAccessibleTextSelectionEvent*>(event);
        seen.push_back({e->type(), QString(), e->selectionStart(), e->selectionEnd()});
        break;
    }
    case QAccessible::TextCaretMoved: {
        auto* e = static_cast<QAccessibleTextCursorEvent*>(event);
        seen.push_back({e->type(), QString(), -1, e->cursorPosition()});
        break;
    }
    case QAccessible::DescriptionChanged:
    case QAccessible::Alert: {
        QAccessibleInterface* iface = event->accessibleInterface();
        const auto what = event->type() == QAccessible::Alert ? QAccessible::Name
                                                               : QAccessible::Description;
        seen.push_back({event->type(), iface ? iface->text(what) : QString(), -1, -1});
        break;
    }
    default:
        break;
    }
}

QAccessibleTextInterface* textOf(TranscriptView& view)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&view);
    return iface ? iface->textInterface() : nullptr;
}

const QString MillionLine = QString(1'000'000, u'x');

} // namespace

class tst_TranscriptAccessible : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { seen.clear(); }
    void exposesAReadOnlyTextBox();
    void boundaries_data();
    void boundaries();
    void geometryFollowsTheCells();
    void caretAndSelection();
    void events();
    void findOutcomeIsTold();
};

void tst_TranscriptAccessible::initTestCase()
{
    QAccessible::installUpdateHandler(recordEvent);
    // The bridge connects to the accessibility bus after start-up.
    if (qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"))
        QTRY_VERIFY_WITH_TIMEOUT(QAccessible::isActive(), 10000);
}

void tst_TranscriptAccessible::exposesAReadOnlyTextBox()
{
    TranscriptView view;
    view.setAccessibleName(QStringLiteral("Transcript"));
    QString all;
    for (int c = 0; c < 256; ++c)
        all.append(QChar(char16_t(c)));
    view.AppendText(all);

    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&view);
    QVERIFY(iface);
    QCOMPARE(iface->role(), QAccessible::EditableText);
    QVERIFY(iface->state().readOnly);
    QVERIFY(iface->state().multiLine);
    QVERIFY(!iface->state().editable);
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Transcript"));
    QAccessibleTextInterface* text = iface->textInterface();
    QVERIFY(text);
    QVERIFY(!iface->editableTextInterface());
    QCOMPARE(text->characterCount(), 256);
    QCOMPARE(text->text(0, -1), view.plainText());
    QCOMPARE(text->text(250, 256), all.mid(250));
    QCOMPARE(text->text(255, 300), all.mid(255));
}

void tst_TranscriptAccessible::boundaries_data()
{
    QTest::addColumn<QStringList>("appends");
    QTest::addColumn<Boundary>("boundary");
    // -1 before the offset, 0 at it, 1 after it.
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");

    const Boundary line = QAccessible::LineBoundary;
    const Boundary chr = QAccessible::CharBoundary;
    const Boundary word = QAccessible::WordBoundary;
    const Boundary sentence = QAccessible::SentenceBoundary;
    const QStringList crlf{QStringLiteral("ab\r\ncd")};
    QTest::newRow("CR LF: line at its start") << crlf << line << 0 << 1 << "ab\r\n" << 0 << 4;
    QTest::newRow("CR LF: line at the LF") << crlf << line << 0 << 3 << "ab\r\n" << 0 << 4;
    QTest::newRow("CR LF: line after") << crlf << line << 1 << 0 << "cd" << 4 << 6;
    QTest::newRow("CR LF: line before") << crlf << line << -1 << 5 << "ab\r\n" << 0 << 4;
    QTest::newRow("CR LF: nothing before the first line") << crlf << line << -1 << 3 << "" << -1 << -1;
    QTest::newRow("CR LF: paragraph is the line")
        << crlf << QAccessible::ParagraphBoundary << 0 << 5 << "cd" << 4 << 6;
    QTest::newRow("bare CR: line at the CR")
        << QStringList{"ab\rcd"} << line << 0 << 2 << "ab\r" << 0 << 3;
    QTest::newRow("bare CR: line after") << QStringList{"ab\rcd"} << line << 1 << 1 << "cd" << 3 << 5;
    QTest::newRow("bare LF: line at") << QStringList{"ab\ncd"} << line << 0 << 4 << "cd" << 3 << 5;
    QTest::newRow("LF CR: two breaks, an empty line between")
        << QStringList{"a\n\rb"} << line << 0 << 2 << "\r" << 2 << 3;
    const QStringList split{QStringLiteral("ab\r"), QStringLiteral("\ncd")};
    QTest::newRow("CR, LF in two appends: one break") << split << line << 0 << 0 << "ab\r\n" << 0 << 4;
    QTest::newRow("CR, LF in two appends: line after") << split << line << 1 << 0 << "cd" << 4 << 6;
    QTest::newRow("final break: an empty last line after it")
        << QStringList{"ab\r"} << line << 1 << 0 << "" << 3 << 3;
    QTest::newRow("final break: line at the end") << QStringList{"ab\r\n"} << line << 0 << 4 << "" << 4 << 4;
    QTest::newRow("final break: line before the end")
        << QStringList{"ab\r\n"} << line << -1 << 4 << "ab\r\n" << 0 << 4;
    QTest::newRow("offset -1 is the end") << QStringList{"ab\r\ncd"} << line << 0 << -1 << "cd" << 4 << 6;
    QTest::newRow("past the end") << crlf << line << 0 << 7 << "" << -1 << -1;
    QTest::newRow("negative") << crlf << chr << 0 << -2 << "" << -1 << -1;

    const QStringList crlfChar{QStringLiteral("a\r\nb")};
    QTest::newRow("char: CR LF is one, at the CR") << crlfChar << chr << 0 << 1 << "\r\n" << 1 << 3;
    QTest::newRow("char: CR LF is one, at the LF") << crlfChar << chr << 0 << 2 << "\r\n" << 1 << 3;
    QTest::newRow("char: after CR LF") << crlfChar << chr << 1 << 1 << "b" << 3 << 4;
    QTest::newRow("char: before the end") << crlfChar << chr << -1 << 4 << "b" << 3 << 4;
    QTest::newRow("char: at the end") << crlfChar << chr << 0 << 4 << "" << 4 << 4;
    QTest::newRow("char: nothing after the last") << crlfChar << chr << 1 << 3 << "" << -1 << -1;
    QTest::newRow("char: a tab is one") << QStringList{"a\tb"} << chr << 0 << 1 << "\t" << 1 << 2;
    QTest::newRow("char: control characters are kept")
        << QStringList{QString::fromLatin1("\x01\x1b[0m")} << chr << 1 << 0 << "\x1b" << 1 << 2;

    const QStringList words{QStringLiteral("hello, \t world_2\r\nx")};
    QTest::newRow("word at") << words << word << 0 << 10 << "world_2" << 9 << 16;
    QTest::newRow("word: blanks together") << words << word << 0 << 7 << " \t " << 6 << 9;
    QTest::newRow("word: punctuation alone") << words << word << 1 << 0 << "," << 5 << 6;
    QTest::newRow("word: the break is one") << words << word << 1 << 12 << "\r\n" << 16 << 18;
    QTest::newRow("word before") << words << word << -1 << 18 << "\r\n" << 16 << 18;
    QTest::newRow("word: control characters apart")
        << QStringList{QString::fromLatin1("\x1b[0m")} << word << 0 << 1 << "[" << 1 << 2;

    const QStringList sentences{QStringLiteral("Hi there.  Bye!\r\nNext one")};
    QTest::newRow("sentence with its blanks") << sentences << sentence << 0 << 3 << "Hi there.  " << 0 << 11;
    QTest::newRow("sentence: the break ends one") << sentences << sentence << 1 << 0 << "Bye!\r\n" << 11 << 17;
    QTest::newRow("sentence: a line starts one") << sentences << sentence << 0 << 20 << "Next one" << 17 << 25;
    QTest::newRow("sentence: no blank, no end")
        << QStringList{"a.b c"} << sentence << 0 << 4 << "a.b c" << 0 << 5;

    QTest::newRow("empty: line") << QStringList() << line << 0 << 0 << "" << 0 << 0;
    QTest::newRow("empty: char") << QStringList() << chr << 0 << 0 << "" << 0 << 0;
    QTest::newRow("empty: nothing before") << QStringList() << word << -1 << 0 << "" << -1 << -1;
    QTest::newRow("empty: nothing after") << QStringList() << line << 1 << 0 << "" << -1 << -1;
    QTest::newRow("whole text") << QStringList{"a\rb"} << QAccessible::NoBoundary << 0 << 1 << "a\rb" << 0 << 3;

    const QStringList million{MillionLine + QStringLiteral("\r\nend")};
    QTest::newRow("a million characters: line")
        << million << line << 0 << 500'000 << MillionLine + "\r\n" << 0 << 1'000'002;
    QTest::newRow("a million characters: line after") << million << line << 1 << 7 << "end" << 1'000'002 << 1'000'005;
    QTest::newRow("a million characters: char") << million << chr << 0 << 999'999 << "x" << 999'999 << 1'000'000;
    QTest::newRow("a million characters: word before the break")
        << million << word << -1 << 1'000'000 << MillionLine << 0 << 1'000'000;
}

void tst_TranscriptAccessible::boundaries()
{
    QFETCH(QStringList, appends);
    QFETCH(Boundary, boundary);
    QFETCH(int, side);
    QFETCH(int, offset);
    QFETCH(QString, expected);
    QFETCH(int, start);
    QFETCH(int, end);

    TranscriptView view;
    for (const QString& s : appends)
        view.AppendText(s);
    QAccessibleTextInterface* text = textOf(view);
    QVERIFY(text);
    int gotStart = -2;
    int gotEnd = -2;
    const QString got = side < 0 ? text->textBeforeOffset(offset, boundary, &gotStart, &gotEnd)
        : side > 0              ? text->textAfterOffset(offset, boundary, &gotStart, &gotEnd)
                                : text->textAtOffset(offset, boundary, &gotStart, &gotEnd);
    QCOMPARE(got, expected);
    QCOMPARE(gotStart, start);
    QCOMPARE(gotEnd, end);
    if (start >= 0)
        QCOMPARE(text->text(start, end), expected);
}

void tst_TranscriptAccessible::geometryFollowsTheCells()
{
    TranscriptView view;
    view.resize(300, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    // Line 0: "a", a tab to column 8, "b"; line 1 is 200 characters wide.
    view.AppendText(QStringLiteral("a\tb\r\n") + QString(200, u'y') + QStringLiteral("z"));
    QAccessibleTextInterface* text = textOf(view);
    QVERIFY(text);

    const QRect a = text->characterRect(0);
    const QRect tab = text->characterRect(1);
    const QRect b = text->characterRect(2);
    QVERIFY(!a.isEmpty());
    QCOMPARE(a.topLeft(), view.viewport()->mapToGlobal(QPoint(0, 0)));
    QCOMPARE(tab.left(), a.right() + 1);
    // The tab covers columns 1 to 7; b is in column 8.
    const qreal cell = QFontMetricsF(view.font()).horizontalAdvance(QLatin1Char('M'));
    QVERIFY(qAbs(b.left() - a.left() - 8 * cell) <= 1);
    QVERIFY(qAbs(tab.width() - 7 * cell) <= 1);
    QCOMPARE(b.top(), a.top());
    QCOMPARE(text->offsetAtPoint(b.center()), 2);
    QCOMPARE(text->offsetAtPoint(tab.center()), 1);
    QCOMPARE(text->offsetAtPoint(text->characterRect(5).center()), 5);
    QCOMPARE(text->characterRect(5).top(), a.bottom() + 1);
    // The break's cell after "b", then nothing.
    QCOMPARE(text->offsetAtPoint(text->characterRect(3).center()), 3);
    QCOMPARE(text->offsetAtPoint(b.center() + QPoint(2 * a.width(), 0)), -1);
    QCOMPARE(text->offsetAtPoint(view.viewport()->mapToGlobal(QPoint(-1, 1))), -1);

    // Scrolled: z, column 200 of line 1, into view.
    const int z = text->characterCount() - 1;
    QVERIFY(!view.isPositionVisible(z));
    text->scrollToSubstring(z, z + 1);
    QVERIFY(view.isPositionVisible(z));
    QVERIFY(view.firstVisibleColumn() > 0);
    const QRect zRect = text->characterRect(z);
    QVERIFY(view.viewport()->rect().contains(view.viewport()->mapFromGlobal(zRect.center())));
    QCOMPARE(text->offsetAtPoint(zRect.center()), z);
    // A range too wide to fit shows its start.
    text->scrollToSubstring(5, z);
    QVERIFY(view.isPositionVisible(5));
}

void tst_TranscriptAccessible::caretAndSelection()
{
    TranscriptView view;
    view.AppendText(QStringLiteral("one\r\ntwo"));
    QAccessibleTextInterface* text = textOf(view);
    QVERIFY(text);

    text->setCursorPosition(6);
    QCOMPARE(view.caretPosition(), 6);
    QCOMPARE(text->cursorPosition(), 6);
    QCOMPARE(text->selectionCount(), 0);
    int start = -2;
    int end = -2;
    text->selection(0, &start, &end);
    QCOMPARE(start, -1);

    // AT-SPI adds a selection as index selectionCount().
    text->setSelection(text->selectionCount(), 1, 7);
    QCOMPARE(view.selectedText(), QStringLiteral("ne\r\ntw"));
    QCOMPARE(text->selectionCount(), 1);
    text->selection(0, &start, &end);
    QCOMPARE(start, 1);
    QCOMPARE(end, 7);
    text->addSelection(8, 0);
    QCOMPARE(view.selectedText(), view.plainText());
    QCOMPARE(text->cursorPosition(), 0);
    text->removeSelection(0);
    QCOMPARE(text->selectionCount(), 0);
    QCOMPARE(view.caretPosition(), 0);
}

// QAccessible hands events to an update handler only while accessibility is
// active, and only a platform's bridge makes it so (QAccessible::setActive()
// does not): on xcb, Qt's AT-SPI bridge with QT_LINUX_ACCESSIBILITY_ALWAYS_ON
// inside a D-Bus session, as scripts/with-atspi.sh runs this test.
void tst_TranscriptAccessible::events()
{
    if (!QAccessible::isActive()) {
        if (qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"))
            QFAIL("QT_LINUX_ACCESSIBILITY_ALWAYS_ON is set but accessibility is not active");
        QSKIP("accessibility is not active on this platform (offscreen has no bridge)");
    }
    TranscriptView view;
    view.AppendText(QStringLiteral("ab\r"));
    // The store keeps a '?' for a character above 255; the event says so too.
    view.AppendText(QStringLiteral("\n\u20ac"));
    view.AppendText(QString());
    const std::vector<Seen> appended{{QAccessible::TextInserted, "ab\r", 0, 0},
                                     {QAccessible::TextInserted, "\n?", 3, 0}};
    QCOMPARE(seen, appended);

    seen.clear();
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_End, Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_Right);
    QTest::keyClick(&view, Qt::Key_Right);
    view.setSelection(1, 1);
    view.AppendText(QStringLiteral("x"));
    view.clear();
    const std::vector<Seen> moves{
        {QAccessible::TextCaretMoved, QString(), -1, 2},
        {QAccessible::TextSelectionChanged, QString(), 0, 2},
        // Right ends the selection where it was, then steps over the CR LF.
        {QAccessible::TextSelectionChanged, QString(), 2, 2},
        {QAccessible::TextCaretMoved, QString(), -1, 4},
        {QAccessible::TextCaretMoved, QString(), -1, 2},
        {QAccessible::TextSelectionChanged, QString(), 1, 2},
        // An append puts the caret at the start and selects nothing.
        {QAccessible::TextInserted, "x", 5, 0},
        {QAccessible::TextCaretMoved, QString(), -1, 0},
        {QAccessible::TextSelectionChanged, QString(), 0, 0},
        {QAccessible::TextRemoved, "ab\r\n?x", 0, 0},
    };
    QCOMPARE(seen, moves);

    // In the hex view the text from the last row on is told again after an
    // append: rows that come are inserted, a row of bytes that grows is
    // updated; a status line is its text.
    TranscriptView hex;
    hex.setHexView(true);
    hex.AppendText(QStringLiteral("Hi\r\n"), TextOrigin::Status);
    seen.clear();
    hex.AppendText(QStringLiteral("ab"));
    const auto& rows = static_cast<const HexMapping&>(hex.mapping());
    const QString ab = rows.rowText(1);
    hex.AppendText(QStringLiteral("c"));
    hex.AppendText(QStringLiteral("d"), TextOrigin::Sent);
    QCOMPARE(textOf(hex)->text(0, -1), QStringLiteral("Hi\r\n") + rows.rowText(1) + rows.rowText(2));
    const std::vector<Seen> hexRows{
        {QAccessible::TextInserted, ab, 4, 0},
        {QAccessible::TextUpdated, rows.rowText(1), 4, 0},
        {QAccessible::TextInserted, rows.rowText(2), 4 + HexMapping::RowChars, 0},
    };
    QCOMPARE(seen, hexRows);
}

QTEST_MAIN(tst_TranscriptAccessible)
#include "tst_transcriptaccessible.moc"

// The find bar's outcome goes to a screen reader as the find field's new
// description and as an alert from the bar's message.
void tst_TranscriptAccessible::findOutcomeIsTold()
{
    if (!QAccessible::isActive())
        QSKIP("accessibility is not active on this platform (offscreen has no bridge)");
    QWidget window;
    auto* view = new TranscriptView(&window);
    auto* bar = new FindBar(view, &window);
    window.show();
    view->AppendText(QStringLiteral("abc"));
    bar->field->setText(QStringLiteral("zz"));
    seen.clear();
    bar->find(FindDirection::Forward);
    const Seen described{QAccessible::DescriptionChanged, QStringLiteral("Not found"), -1, -1};
    const Seen alert{QAccessible::Alert, QStringLiteral("Not found"), -1, -1};
    QVERIFY(std::find(seen.begin(), seen.end(), described) != seen.end());
    QVERIFY(std::find(seen.begin(), seen.end(), alert) != seen.end());
}

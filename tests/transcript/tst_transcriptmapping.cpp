#include "fixedfont.h"
#include "transcriptmapping.h"
#include "transcriptview.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QClipboard>
#include <QFontMetricsF>
#include <QImage>
#include <QTest>

#include <cmath>

namespace {

// One letter a cell: t text one cell wide, W two cells, x an invalid byte,
// c a control character, b a tab.
QString kindsOf(const TranscriptMapping& map)
{
    QString kinds;
    for (qint64 row = 0; row < map.rowCount(); ++row)
        map.forEachCell(row, 0, map.rowColumns(row) + 1, [&](const TranscriptCell& c) {
            switch (c.kind) {
            case TranscriptCell::Text: kinds += c.width == 2 ? u'W' : u't'; break;
            case TranscriptCell::Invalid: kinds += u'x'; break;
            case TranscriptCell::Control: kinds += u'c'; break;
            case TranscriptCell::Tab: kinds += u'b'; break;
            default: kinds += u'?'; break;
            }
        });
    return kinds;
}

QString bytesAsText(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes);
}

// Appends in the hex view's tables: a letter for the origin (r received,
// s sent, t the program's own text), then the text; received bytes written
// as #N are N bytes A, B, C..., sent ones a, b, c...
using Appends = QStringList;

void appendAll(TranscriptView& view, const Appends& appends)
{
    for (const QString& append : appends) {
        const QChar who = append.front();
        QString text = append.mid(1);
        if (text.startsWith(u'#')) {
            const int n = text.mid(1).toInt();
            text.clear();
            for (int i = 0; i < n; ++i)
                text += QChar((who == u's' ? 'a' : 'A') + i % 26);
        }
        view.AppendText(text, who == u's'   ? TextOrigin::Sent
                              : who == u't' ? TextOrigin::Status
                                            : TextOrigin::Received);
    }
}

// The rows as they show, without the blanks at their ends.
QStringList hexRowsOf(const HexMapping& map)
{
    QStringList rows;
    for (qint64 row = 0; row < map.rowCount(); ++row) {
        QString text = map.rowText(row);
        while (!text.isEmpty() && text.back().isSpace())
            text.chop(1);
        rows.append(text);
    }
    return rows;
}

const HexMapping& hexOf(const TranscriptView& view)
{
    return static_cast<const HexMapping&>(view.mapping());
}

// A session in the hex view: the banner, bytes each way and status lines.
void showSession(TranscriptView& view)
{
    view.setHexView(true);
    appendAll(view, {"tPellix\r\n", "r#3", "s#2", "r#2", "tConnected\r\n", "r\r\n", "tBye\r\n"});
}

} // namespace

class tst_TranscriptMapping : public QObject {
    Q_OBJECT

private slots:
    void utf8Cells_data();
    void utf8Cells();
    void hexRows_data();
    void hexRows();
    void hexStreams_data();
    void hexStreams();
    void hexCopy_data();
    void hexCopy();
    void hexCaret_data();
    void hexCaret();
    void hexStreamsEndToEnd();
    void originRuns();
    void switchingKeepsTheBytesInView();
    void utf8EndToEnd();
};

void tst_TranscriptMapping::utf8Cells_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("kinds");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QString>("copied");

    const QChar bad(QChar::ReplacementCharacter);
    QTest::newRow("ASCII") << QByteArray("ab") << "tt" << 2 << "ab";
    QTest::newRow("two bytes") << QByteArray("caf\xc3\xa9") << "tttt" << 4 << u"caf\u00e9"_qs;
    QTest::newRow("combining mark on its base") << QByteArray("e\xcc\x81x") << "tt" << 2
                                                << u"e\u0301x"_qs;
    QTest::newRow("CJK is wide") << QByteArray("\xe6\x97\xa5z") << "Wt" << 3 << u"\u65e5z"_qs;
    QTest::newRow("emoji is wide") << QByteArray("\xf0\x9f\x98\x80") << "W" << 2
                                   << QString::fromUcs4(U"\U0001F600");
    QTest::newRow("emoji with skin tone") << QByteArray("\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd") << "W"
                                          << 2 << QString::fromUcs4(U"\U0001F44D\U0001F3FD");
    QTest::newRow("tab after a wide character") << QByteArray("\xe6\x97\xa5\tz") << "Wbt" << 9
                                                << u"\u65e5\tz"_qs;
    QTest::newRow("C1 control") << QByteArray("\xc2\x85") << "c" << 1 << u"\u0085"_qs;
    QTest::newRow("C0 controls and DEL") << QByteArray("\x1b\x7f", 2) << "cc" << 2 << "\x1b\x7f";
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << "xx" << 2 << QString(2, bad);
    QTest::newRow("overlong three bytes") << QByteArray("\xe0\x80\xaf") << "xxx" << 3
                                          << QString(3, bad);
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << "xxx" << 3 << QString(3, bad);
    QTest::newRow("lone continuation") << QByteArray("a\x80z") << "txt" << 3
                                       << QStringLiteral("a") + bad + u'z';
    QTest::newRow("F5 to FF") << QByteArray("\xf5\xfe\xff") << "xxx" << 3 << QString(3, bad);
    QTest::newRow("above U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << "xxxx" << 4
                                    << QString(4, bad);
    QTest::newRow("truncated at the end") << QByteArray("a\xe2\x82") << "txx" << 3
                                          << QStringLiteral("a") + bad + bad;
    QTest::newRow("truncated before a letter") << QByteArray("\xe2\x82z") << "xxt" << 3
                                               << QString(2, bad) + u'z';
}

// What a cell shows and what Copy gives for bytes read as UTF-8.
void tst_TranscriptMapping::utf8Cells()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, kinds);
    QFETCH(int, columns);
    QFETCH(QString, copied);

    TranscriptStore store;
    utf8::Index index;
    store.append(bytes);
    index.append(store);
    const Utf8Mapping map(store, index);
    QCOMPARE(kindsOf(map), kinds);
    QCOMPARE(map.rowColumns(0), columns);
    QCOMPARE(map.maxColumns(), columns);
    QCOMPARE(map.text(0, store.size()), copied);
    QCOMPARE(map.accessibleLength(), copied.size());
}

void tst_TranscriptMapping::hexRows_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("lastRow");

    const QString blank(HexMapping::RowColumns - 8, u' ');
    QTest::newRow("empty") << 0 << 1 << QStringLiteral("00000000") + blank;
    QTest::newRow("15 bytes")
        << 15 << 1
        << "00000000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F     ABCDEFGHIJKLMNO ";
    QTest::newRow("16 bytes: the next row is empty") << 16 << 2 << QStringLiteral("00000010") + blank;
    QTest::newRow("17 bytes")
        << 17 << 2 << "00000010  51                                                Q               ";
    QTest::newRow("40 bytes: a partial last row")
        << 40 << 3 << "00000020  61 62 63 64 65 66 67 68                           abcdefgh        ";
}

// Rows of 16 bytes at the edges of the transcript; Copy gives hex pairs.
void tst_TranscriptMapping::hexRows()
{
    QFETCH(int, size);
    QFETCH(int, rows);
    QFETCH(QString, lastRow);

    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char('A' + i));
    TranscriptStore store;
    TranscriptOrigins origins;
    HexIndex index;
    if (size > 0)
        origins.append(0, TextOrigin::Received);
    store.append(bytes);
    index.append(store, origins);
    const HexMapping map(store, index);
    QCOMPARE(map.rowCount(), rows);
    QCOMPARE(map.rowText(rows - 1), lastRow + u'\n');
    QCOMPARE(map.accessibleText(0, map.accessibleLength()).count(u'\n'), rows);
    QCOMPARE(map.rowOf(size), rows - 1);
    if (size >= 2)
        QCOMPARE(map.text(size - 2, size), bytes.right(2).toHex(' ').toUpper());
    // The caret at the end of the text is after its last byte.
    QCOMPARE(map.positionAtColumn(rows - 1, HexMapping::RowColumns), qint64(size));
}

void tst_TranscriptMapping::hexStreams_data()
{
    QTest::addColumn<Appends>("appends");
    QTest::addColumn<QStringList>("rows");

    QTest::newRow("each direction counts from 0; a row holds one origin")
        << Appends{"r#20", "s#5", "r#30"}
        << QStringList{
               "00000000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP",
               "00000010  51 52 53 54                                       QRST",
               "00000000  61 62 63 64 65                                    abcde",
               "00000014  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP",
               "00000024  51 52 53 54 55 56 57 58  59 5A 41 42 43 44        QRSTUVWXYZABCD"};
    QTest::newRow("an append continues a partial row of its origin")
        << Appends{"rAB", "rCD", "sx", "sy"}
        << QStringList{"00000000  41 42 43 44                                       ABCD",
                       "00000000  78 79                                             xy"};
    QTest::newRow("a full row, then the other side") << Appends{"r#16", "sa"}
        << QStringList{
               "00000000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP",
               "00000000  61                                                a"};
    QTest::newRow("status lines as text, a row a line, between the bytes")
        << Appends{"tPellix 1.0\r\n\r\nhelp\r\n", "r\r\n", "tDisconnected\r\n"}
        << QStringList{"Pellix 1.0", "", "help", "00000000  0D 0A                                             ..",
                       "Disconnected", ""};
    QTest::newRow("the break that ends a line of bytes gets no row")
        << Appends{"rabc", "t\r\nDisconnected\r\n", "rd"}
        << QStringList{"00000000  61 62 63                                          abc",
                       "Disconnected",
                       "00000003  64                                                d"};
    QTest::newRow("a break alone between two sides is an empty row")
        << Appends{"rab", "t\r\n", "sc"}
        << QStringList{"00000000  61 62                                             ab", "",
                       "00000000  63                                                c"};
    QTest::newRow("a status line cut by bytes, its tab and control as cells")
        << Appends{"ta\tb\x1b", "r\x01", "tz\r\n"}
        << QStringList{"a\tb\x1b", "00000000  01                                                .", "z",
                       ""};
    QTest::newRow("a line break split between the text and the bytes")
        << Appends{"tsaid\r", "r\nok"}
        << QStringList{"said", "00000000  0A 6F 6B                                          .ok"};
}

// Rows of bytes per origin with offsets per direction, status lines as rows
// of text, as appends of any size bring them.
void tst_TranscriptMapping::hexStreams()
{
    QFETCH(Appends, appends);
    QFETCH(QStringList, rows);

    TranscriptView view;
    view.setHexView(true);
    appendAll(view, appends);
    const HexMapping& map = hexOf(view);
    QCOMPARE(hexRowsOf(map), rows);
    // Every position is on the row that holds it, and its column maps back
    // to it; each row's text is its part of the accessible text.
    const qint64 n = view.store().size();
    qint64 lastRow = 0;
    for (qint64 pos = 0; pos <= n; pos = map.nextPosition(pos)) {
        const qint64 row = map.rowOf(pos);
        QVERIFY2(row >= lastRow, qPrintable(QStringLiteral("position %1").arg(pos)));
        lastRow = row;
        QVERIFY(map.rowStart(row) <= pos && pos <= map.rowEnd(row));
        QCOMPARE(map.positionAtColumn(row, map.columnOf(pos)), pos);
        QCOMPARE(map.positionOfOffset(map.offsetOf(pos)), pos);
        if (pos == n)
            break;
    }
    QCOMPARE(lastRow, map.rowCount() - 1);
    const QString all = map.accessibleText(0, map.accessibleLength());
    for (qint64 row = 0; row < map.rowCount(); ++row) {
        const qint64 from = map.rowOffset(row);
        const qint64 to = row + 1 < map.rowCount() ? map.rowOffset(row + 1) : all.size();
        QString part = all.mid(from, to - from);
        while (!part.isEmpty() && part.back().isSpace())
            part.chop(1);
        QCOMPARE(part, rows.at(row));
    }
}

void tst_TranscriptMapping::hexCopy_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("copied");

    // "Pellix\r\n" 0-7, ABC 8-10, ab 11-12, AB 13-14, "Connected\r\n" 15-25,
    // CR LF received 26-27, "Bye\r\n" 28-32.
    QTest::newRow("bytes as hex pairs") << 8 << 11 << "41 42 43";
    QTest::newRow("where the side changes") << 9 << 13 << "42 43\n61 62";
    QTest::newRow("a status line as its text") << 0 << 6 << "Pellix";
    QTest::newRow("from text into bytes") << 2 << 10 << "llix\r\n41 42";
    QTest::newRow("from bytes into text") << 13 << 20 << "41 42\nConne";
    QTest::newRow("bytes that are a line break, then text") << 26 << 33
        << "0D 0A\nBye\r\n";
}

// Copy in the hex view: the bytes as hex pairs, the status lines as text.
void tst_TranscriptMapping::hexCopy()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, copied);

    TranscriptView view;
    showSession(view);
    view.setSelection(from, to - from);
    QCOMPARE(view.selectedText(), copied);
}

void tst_TranscriptMapping::hexCaret_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("to");

    // The rows: 0 "Pellix", 1 ABC, 2 ab, 3 AB (at 00000003), 4 "Connected",
    // 5 0D 0A, 6 "Bye", 7 the empty row after it.
    QTest::newRow("right from a line's end to the bytes") << 6 << int(Qt::Key_Right) << 8;
    QTest::newRow("left from the bytes to the line's end") << 8 << int(Qt::Key_Left) << 6;
    QTest::newRow("right from bytes to the other side") << 10 << int(Qt::Key_Right) << 11;
    QTest::newRow("down keeps the column: into bytes") << 2 << int(Qt::Key_Down) << 8;
    QTest::newRow("down from bytes into text, at its end") << 13 << int(Qt::Key_Down) << 24;
    QTest::newRow("up out of a short row of bytes") << 12 << int(Qt::Key_Up) << 9;
    QTest::newRow("end of a row of bytes: its last byte") << 11 << int(Qt::Key_End) << 12;
    QTest::newRow("end of a status line: before its break") << 17 << int(Qt::Key_End) << 24;
    QTest::newRow("home of a status line") << 20 << int(Qt::Key_Home) << 15;
    QTest::newRow("down to the empty last row") << 29 << int(Qt::Key_Down) << 33;
}

// The caret through rows of bytes and rows of text.
void tst_TranscriptMapping::hexCaret()
{
    QFETCH(int, from);
    QFETCH(int, key);
    QFETCH(int, to);

    TranscriptView view;
    showSession(view);
    view.setSelection(from, 0);
    QTest::keyClick(&view, Qt::Key(key));
    QCOMPARE(view.caretPosition(), to);
}

// The hex view by stream through the view: hit-testing, a double click,
// the screen reader's rows and attributes, and Clear.
void tst_TranscriptMapping::hexStreamsEndToEnd()
{
    TranscriptView view;
    view.setFont(transcriptFont());
    view.resize(685, 417);
    showSession(view);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const HexMapping& map = hexOf(view);

    // A click on a row's hex digits or on its character puts the caret
    // there; a double click on a status line selects its word.
    QCOMPARE(map.positionAtColumn(2, HexMapping::CharColumn + 1), 12);
    const QFontMetricsF fm(view.font());
    const QPoint inConnected(int(fm.horizontalAdvance(u'M') * 4.2),
                             4 * int(std::ceil(fm.lineSpacing())) + 3);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, inConnected);
    QCOMPARE(view.selectedText(), QStringLiteral("Connected"));

    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(&view)->textInterface();
    const QString all = text->text(0, -1);
    QVERIFY2(all.startsWith(QStringLiteral("Pellix\r\n00000000  41 42 43")), qPrintable(all));
    QVERIFY(all.endsWith(QStringLiteral("  ..              \nBye\r\n")));
    int start = 0;
    int end = 0;
    QCOMPARE(text->textAtOffset(all.indexOf(u"Conn"), QAccessible::LineBoundary, &start, &end),
             QStringLiteral("Connected\r\n"));
    QCOMPARE(text->attributes(start + 2, &start, &end), QStringLiteral("origin:status;"));
    QCOMPARE(text->attributes(all.indexOf(u"61 62"), &start, &end), QStringLiteral("origin:sent;"));

    // A status line wider than the rows of bytes widens what scrolls.
    appendAll(view, {u't' + QString(100, u'x')});
    QCOMPARE(map.maxColumns(), 100);
    view.clear();
    QCOMPARE(map.maxColumns(), HexMapping::RowColumns);
    QCOMPARE(hexRowsOf(map), QStringList{"00000000"});
    appendAll(view, {"sz"});
    QCOMPARE(hexRowsOf(map), QStringList{"00000000  7A                                                z"});
}

// Who said what: runs that start where the origin changes, kept across a
// CR LF that two origins share and emptied with Clear.
void tst_TranscriptMapping::originRuns()
{
    TranscriptView view;
    view.AppendText(QStringLiteral("ab\r"), TextOrigin::Sent);
    view.AppendText(QStringLiteral("\ncd"));
    view.AppendText(QStringLiteral("e"));
    view.EnsureLineBreak();
    const TranscriptOrigins& runs = view.origins();
    QCOMPARE(runs.runCount(), 3);
    QCOMPARE(runs.originAt(2), TextOrigin::Sent);     // the CR
    QCOMPARE(runs.originAt(3), TextOrigin::Received); // its LF
    QCOMPARE(runs.originAt(6), TextOrigin::Received);
    QCOMPARE(runs.originAt(7), TextOrigin::Status);
    QCOMPARE(view.store().lineCount(), 3); // the CR LF is still one break

    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(&view)->textInterface();
    int start = 0;
    int end = 0;
    QCOMPARE(text->attributes(1, &start, &end), QStringLiteral("origin:sent;"));
    QCOMPARE(start, 0);
    QCOMPARE(end, 3);
    QCOMPARE(text->attributes(4, &start, &end), QStringLiteral("origin:received;"));
    QCOMPARE(end, 7);

    view.clear();
    QCOMPARE(runs.runCount(), 0);
    view.AppendText(QStringLiteral("x"), TextOrigin::Status);
    QCOMPARE(runs.runCount(), 1);
    QCOMPARE(runs.run(0).start, 0);

    // Each origin has its own ink on the screen.
    view.setFont(transcriptFont());
    view.resize(300, 100);
    view.AppendText(QStringLiteral("x"), TextOrigin::Sent);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QImage image = view.viewport()->grab().toImage();
    for (const TextOrigin origin : {TextOrigin::Status, TextOrigin::Sent}) {
        bool found = false;
        for (int y = 0; y < image.height() && !found; ++y)
            for (int x = 0; x < image.width() && !found; ++x)
                found = image.pixelColor(x, y) == view.originColor(origin);
        QVERIFY2(found, "an origin's ink is not on the screen");
    }
    QVERIFY(view.originColor(TextOrigin::Sent) != view.originColor(TextOrigin::Received));
}

// Switching the encoding or the hex view keeps the same bytes in view and
// selected, and never changes them.
void tst_TranscriptMapping::switchingKeepsTheBytesInView()
{
    TranscriptView view;
    view.setFont(transcriptFont());
    view.resize(685, 417);
    QString text;
    for (int i = 0; i < 1000; ++i)
        text += QStringLiteral("line %1 caf\u00c3\u00a9\r\n").arg(i, 4, 10, QLatin1Char('0'));
    view.AppendText(text);
    view.show();
    const qint64 wanted = view.store().lineStart(500);
    view.setSelection(wanted + 13, 2); // the two bytes of the e with acute
    view.ensurePositionVisible(view.store().lineStart(530));
    view.ensurePositionVisible(wanted);
    QCOMPARE(view.firstVisibleLine(), 500);
    const QByteArray before(view.store().bytes().data(), view.store().size());

    view.setEncoding(TextEncoding::Utf8);
    QCOMPARE(view.firstVisibleLine(), 500);
    QCOMPARE(view.selectedText(), QStringLiteral("\u00e9"));
    view.setHexView(true);
    QCOMPARE(view.firstVisibleLine(), wanted / HexMapping::BytesPerRow);
    QCOMPARE(view.selectedText(), QStringLiteral("C3 A9"));
    view.setHexView(false);
    view.setEncoding(TextEncoding::Latin1);
    // The hex view's first row began in line 499.
    QCOMPARE(view.firstVisibleLine(), 499);
    QVERIFY(view.isPositionVisible(wanted));
    QCOMPARE(view.selectedText(), QStringLiteral("\u00c3\u00a9"));
    QCOMPARE(QByteArray(view.store().bytes().data(), view.store().size()), before);
}

// UTF-8 from end to end: a character split across appends is one, for the
// caret, Copy and the screen reader alike.
void tst_TranscriptMapping::utf8EndToEnd()
{
    TranscriptView view;
    view.setEncoding(TextEncoding::Utf8);
    const QByteArray bytes("caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80!");
    view.AppendText(bytesAsText(bytes.left(4))); // cuts the e with acute
    QCOMPARE(view.mapping().accessibleLength(), 4);
    view.AppendText(bytesAsText(bytes.mid(4, 5))); // and the CJK character
    view.AppendText(bytesAsText(bytes.mid(9)));
    const QString shown = QStringLiteral("caf\u00e9 \u65e5") + QString::fromUcs4(U"\U0001F600!");

    view.selectAll();
    QCOMPARE(view.selectedText(), shown);
    view.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), shown);

    view.setSelection(3, 0);
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(view.selectedText(), QStringLiteral("\u00e9"));
    QCOMPARE(view.mapping().columnOf(view.store().size()), 10); // "café " 5, two wide, "!"

    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(&view)->textInterface();
    QCOMPARE(text->characterCount(), shown.size());
    QCOMPARE(text->text(0, -1), shown);
    int start = 0;
    int end = 0;
    QCOMPARE(text->textAtOffset(7, QAccessible::CharBoundary, &start, &end),
             QString::fromUcs4(U"\U0001F600"));
    QCOMPARE(text->cursorPosition(), 4);

    view.setHexView(true);
    QCOMPARE(text->text(0, HexMapping::RowChars),
             QStringLiteral("00000000  63 61 66 C3 A9 20 E6 97  A5 F0 9F 98 80 21"
                            "        caf.. .......!  \n"));
}

QTEST_MAIN(tst_TranscriptMapping)
#include "tst_transcriptmapping.moc"

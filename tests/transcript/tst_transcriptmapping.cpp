#include "fixedfont.h"
#include "transcriptmapping.h"
#include "transcriptview.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QTest>

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

} // namespace

class tst_TranscriptMapping : public QObject {
    Q_OBJECT

private slots:
    void utf8Cells_data();
    void utf8Cells();
    void hexRows_data();
    void hexRows();
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
    store.append(bytes);
    const HexMapping map(store);
    QCOMPARE(map.rowCount(), rows);
    QCOMPARE(map.rowText(rows - 1), lastRow + u'\n');
    QCOMPARE(map.accessibleText(0, map.accessibleLength()).count(u'\n'), rows);
    QCOMPARE(map.rowOf(size), rows - 1);
    if (size >= 2)
        QCOMPARE(map.text(size - 2, size), bytes.right(2).toHex(' ').toUpper());
    // The caret at the end of the text is after its last byte.
    QCOMPARE(map.positionAtColumn(rows - 1, HexMapping::RowColumns), qint64(size));
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

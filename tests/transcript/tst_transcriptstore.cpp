#include "transcriptstore.h"

#include <QRandomGenerator>
#include <QTest>

class tst_TranscriptStore : public QObject {
    Q_OBJECT

private slots:
    void keepsEveryByte();
    void lineBreaks_data();
    void lineBreaks();
    void chunkingDoesNotChangeTheIndex();
    void columns_data();
    void columns();
    void positionAtColumn_data();
    void positionAtColumn();
    void longTabLinesMapLikeAScan();
    void displayCharIsAlwaysVisible();
    void clearStartsOver();
};

void tst_TranscriptStore::keepsEveryByte()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));

    TranscriptStore whole;
    whole.append(all);
    QCOMPARE(whole.size(), 256);
    QCOMPARE(whole.bytes(), QByteArrayView(all));
    QCOMPARE(whole.at(0), uchar(0));

    TranscriptStore byteByByte;
    for (char c : all)
        byteByByte.append(QByteArrayView(&c, 1));
    QCOMPARE(byteByByte.bytes(), QByteArrayView(all));
    QCOMPARE(QByteArray(byteByByte.data(), byteByByte.size()), all);
}

void tst_TranscriptStore::lineBreaks_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArrayList>("lines");  // contents, breaks excluded
    QTest::addColumn<QByteArrayList>("breaks"); // the break after each line but the last

    using L = QByteArrayList;
    QTest::newRow("empty") << L{} << L{""} << L{};
    QTest::newRow("no break") << L{"abc"} << L{"abc"} << L{};
    QTest::newRow("CR LF") << L{"ab\r\ncd"} << L{"ab", "cd"} << L{"\r\n"};
    QTest::newRow("bare CR") << L{"ab\rcd"} << L{"ab", "cd"} << L{"\r"};
    QTest::newRow("bare LF") << L{"ab\ncd"} << L{"ab", "cd"} << L{"\n"};
    QTest::newRow("CR LF split") << L{"ab\r", "\ncd"} << L{"ab", "cd"} << L{"\r\n"};
    QTest::newRow("CR LF split, nothing after") << L{"ab\r", "\n"} << L{"ab", ""} << L{"\r\n"};
    QTest::newRow("CR then other append") << L{"ab\r", "cd"} << L{"ab", "cd"} << L{"\r"};
    QTest::newRow("CR, then CR LF") << L{"a\r", "\r\n"} << L{"a", "", ""} << L{"\r", "\r\n"};
    QTest::newRow("CR CR LF") << L{"a\r\r\nb"} << L{"a", "", "b"} << L{"\r", "\r\n"};
    QTest::newRow("LF CR") << L{"a\n\rb"} << L{"a", "", "b"} << L{"\n", "\r"};
    QTest::newRow("LF LF") << L{"\n\n"} << L{"", "", ""} << L{"\n", "\n"};
    QTest::newRow("one byte at a time")
        << L{"x", "\r", "\n", "\r", "\n", "\r", "y", "\n", "\r", "\t"}
        << L{"x", "", "", "y", "", "\t"} << L{"\r\n", "\r\n", "\r", "\n", "\r"};
    QTest::newRow("trailing CR") << L{"ab\r"} << L{"ab", ""} << L{"\r"};
}

// Checks each line's content and break, and that every position maps back
// to its line.
void tst_TranscriptStore::lineBreaks()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArrayList, breaks);

    TranscriptStore store;
    for (const QByteArray& chunk : chunks)
        store.append(chunk);
    QCOMPARE(store.bytes(), QByteArrayView(chunks.join()));
    QCOMPARE(store.lineCount(), lines.size());

    for (qint64 i = 0; i < store.lineCount(); ++i) {
        const qint64 start = store.lineStart(i);
        const qint64 end = store.lineEnd(i);
        QCOMPARE(store.bytes().sliced(start, end - start), QByteArrayView(lines.at(i)));
        const qint64 next = i + 1 < store.lineCount() ? store.lineStart(i + 1) : store.size() + 1;
        if (i + 1 < store.lineCount())
            QCOMPARE(store.bytes().sliced(end, next - end), QByteArrayView(breaks.at(i)));
        else
            QCOMPARE(end, store.size());
        for (qint64 pos = start; pos < next; ++pos)
            QCOMPARE(store.lineOf(pos), i);
    }
}

// The same bytes give the same index however they are cut into appends; this
// is where a CR LF across two appends or a tab flag on an open line goes wrong.
void tst_TranscriptStore::chunkingDoesNotChangeTheIndex()
{
    static const char alphabet[] = {'\r', '\n', '\t', 'a', 'b', ' ', '\0', char(0xe9)};
    QRandomGenerator rng(20240607);
    for (int round = 0; round < 50; ++round) {
        QByteArray text;
        const int n = rng.bounded(1, 400);
        for (int i = 0; i < n; ++i)
            text.append(alphabet[rng.bounded(int(sizeof alphabet))]);

        TranscriptStore whole;
        whole.append(text);
        TranscriptStore pieces;
        for (qsizetype at = 0; at < text.size();) {
            const qsizetype len = std::min<qsizetype>(rng.bounded(1, 6), text.size() - at);
            pieces.append(QByteArrayView(text).sliced(at, len));
            at += len;
        }

        QCOMPARE(pieces.bytes(), whole.bytes());
        QCOMPARE(pieces.lineCount(), whole.lineCount());
        QCOMPARE(pieces.maxColumns(), whole.maxColumns());
        qint64 widest = 0;
        for (qint64 i = 0; i < whole.lineCount(); ++i) {
            QCOMPARE(pieces.lineStart(i), whole.lineStart(i));
            QCOMPARE(pieces.lineHasTab(i), whole.lineHasTab(i));
            QCOMPARE(pieces.lineColumns(i), whole.lineColumns(i));
            widest = std::max(widest, whole.lineColumns(i));
        }
        QCOMPARE(whole.maxColumns(), widest);
    }
}

void tst_TranscriptStore::columns_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<qint64>("maxColumns");
    QTest::addColumn<qint64>("pos");
    QTest::addColumn<qint64>("column"); // columnOf(pos)

    using L = QByteArrayList;
    QTest::newRow("empty") << L{} << 0LL << 0LL << 0LL;
    QTest::newRow("plain") << L{"abc"} << 3LL << 2LL << 2LL;
    QTest::newRow("end of plain line") << L{"abc"} << 3LL << 3LL << 3LL;
    QTest::newRow("lone tab") << L{"\t"} << 8LL << 1LL << 8LL;
    QTest::newRow("tab after 1") << L{"a\tb"} << 9LL << 2LL << 8LL;
    QTest::newRow("tab after 7") << L{"1234567\tx"} << 9LL << 8LL << 8LL;
    QTest::newRow("tab after 8") << L{"12345678\tx"} << 17LL << 9LL << 16LL;
    QTest::newRow("two tabs") << L{"\t\tz"} << 17LL << 2LL << 16LL;
    QTest::newRow("widest line first") << L{"\t\t\r\nab"} << 16LL << 5LL << 1LL;
    QTest::newRow("widest line last") << L{"ab\r\n", "\t", "\tx"} << 17LL << 5LL << 8LL;
    QTest::newRow("widest line grows") << L{"abc", "def"} << 6LL << 4LL << 4LL;
    QTest::newRow("control bytes are one column") << L{QByteArray("\0\x01\x7f\x80", 4)} << 4LL
                                                  << 3LL << 3LL;
    QTest::newRow("position in a CR LF") << L{"ab\r\ncd"} << 2LL << 3LL << 2LL;
}

void tst_TranscriptStore::columns()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(qint64, maxColumns);
    QFETCH(qint64, pos);
    QFETCH(qint64, column);

    TranscriptStore store;
    for (const QByteArray& chunk : chunks)
        store.append(chunk);
    QCOMPARE(store.maxColumns(), maxColumns);
    QCOMPARE(store.columnOf(pos), column);
}

void tst_TranscriptStore::positionAtColumn_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint64>("line");
    QTest::addColumn<qint64>("column");
    QTest::addColumn<qint64>("pos");

    QTest::newRow("plain, inside") << QByteArray("abcdef") << 0LL << 4LL << 4LL;
    QTest::newRow("plain, past the end") << QByteArray("abc") << 0LL << 99LL << 3LL;
    QTest::newRow("plain, negative") << QByteArray("abc") << 0LL << -5LL << 0LL;
    QTest::newRow("second line") << QByteArray("ab\r\ncdef") << 1LL << 2LL << 6LL;
    QTest::newRow("stops at the break") << QByteArray("ab\r\ncdef") << 0LL << 5LL << 2LL;
    QTest::newRow("inside a tab") << QByteArray("a\tb") << 0LL << 5LL << 1LL;
    QTest::newRow("first cell of a tab") << QByteArray("a\tb") << 0LL << 1LL << 1LL;
    QTest::newRow("after a tab") << QByteArray("a\tb") << 0LL << 8LL << 2LL;
    QTest::newRow("tab line, past the end") << QByteArray("a\tb\rx") << 0LL << 40LL << 3LL;
}

void tst_TranscriptStore::positionAtColumn()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, line);
    QFETCH(qint64, column);
    QFETCH(qint64, pos);

    TranscriptStore store;
    store.append(text);
    QCOMPARE(store.positionAtColumn(line, column), pos);
}

// Lines with tabs far longer than the checkpoint spacing, cut into appends
// that put CR LF pairs across appends and across checkpoints: every position
// and column must map as a plain scan from the line start says.
void tst_TranscriptStore::longTabLinesMapLikeAScan()
{
    QRandomGenerator rng(7);
    QByteArray text;
    while (text.size() < 5 * TranscriptStore::CheckpointSpacing) {
        const int r = rng.bounded(100);
        text.append(r < 10 ? '\t' : r < 11 ? '\r' : r == 11 ? '\n' : char('a' + r % 26));
        // CR LF exactly across a checkpoint.
        if (text.size() == 2 * TranscriptStore::CheckpointSpacing - 1)
            text.append("\r\n");
    }
    text.append(QByteArray(3 * TranscriptStore::CheckpointSpacing, '\t'));

    TranscriptStore store;
    for (qsizetype at = 0; at < text.size();) {
        qsizetype len = std::min<qsizetype>(rng.bounded(1, 3000), text.size() - at);
        if (text.at(at + len - 1) != '\r' && at + len < text.size()
            && text.indexOf('\r', at) >= 0 && text.indexOf('\r', at) < at + len)
            len = text.indexOf('\r', at) - at + 1; // end this append on a CR
        store.append(QByteArrayView(text).sliced(at, len));
        at += len;
    }
    QCOMPARE(store.bytes(), QByteArrayView(text));

    qint64 widest = 0;
    for (qint64 line = 0; line < store.lineCount(); ++line) {
        const qint64 start = store.lineStart(line);
        const qint64 end = store.lineEnd(line);
        qint64 column = 0;
        for (qint64 pos = start; pos <= end; ++pos) {
            QCOMPARE(store.columnOf(pos), column);
            if (pos == end)
                break;
            const qint64 next = TranscriptStore::nextColumn(column, store.at(pos));
            // Every column a character covers maps back to it.
            for (qint64 c = column; c < next; ++c)
                QCOMPARE(store.positionAtColumn(line, c), pos);
            column = next;
        }
        QCOMPARE(store.positionAtColumn(line, column), end);
        QCOMPARE(store.positionAtColumn(line, column + 100), end);
        QCOMPARE(store.lineColumns(line), column);
        widest = std::max(widest, column);
    }
    QCOMPARE(store.maxColumns(), widest);
}

void tst_TranscriptStore::displayCharIsAlwaysVisible()
{
    // The bytes a text cell shows: all but the control bytes.
    for (int b = 0x20; b < 0x100; ++b) {
        if (b == 0x7f)
            b = 0xa0;
        const QChar c = TranscriptStore::displayChar(uchar(b));
        QVERIFY2(c.isPrint(), qPrintable(QString::number(b)));
        if (b == 0xad)
            QVERIFY(c.unicode() > 0xff);
        else
            QCOMPARE(c.unicode(), char16_t(b));
    }
}

void tst_TranscriptStore::clearStartsOver()
{
    TranscriptStore store;
    store.append("a\t\r\nbcdefghijk\r");
    store.clear();
    QCOMPARE(store.size(), 0);
    QCOMPARE(store.lineCount(), 1);
    QCOMPARE(store.maxColumns(), 0);
    // A CR before the clear must not join an LF after it.
    store.append("\nx");
    QCOMPARE(store.lineCount(), 2);
    QCOMPARE(store.lineStart(1), 1);
    QCOMPARE(store.maxColumns(), 1);
}

QTEST_APPLESS_MAIN(tst_TranscriptStore)
#include "tst_transcriptstore.moc"

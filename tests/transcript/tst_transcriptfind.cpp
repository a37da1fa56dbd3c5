#include "hexbytes.h"
#include "transcriptfind.h"

#include <QRandomGenerator>
#include <QTest>

Q_DECLARE_METATYPE(FindDirection)
Q_DECLARE_METATYPE(CaseFold)

class tst_TranscriptFind : public QObject {
    Q_OBJECT

private slots:
    void find_data();
    void find();
    void findAgreesWithPlainSearch();
    void hexBytes_data();
    void hexBytes();
};

void tst_TranscriptFind::find_data()
{
    QTest::addColumn<QByteArray>("haystack");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<FindDirection>("direction");
    QTest::addColumn<QByteArray>("needle");
    QTest::addColumn<CaseFold>("fold");
    QTest::addColumn<qint64>("found");
    QTest::addColumn<bool>("wrapped");

    const auto F = FindDirection::Forward;
    const auto B = FindDirection::Backward;
    const auto exact = CaseFold::None;
    const QByteArray hello("say hello, hello");
    QTest::newRow("forward") << hello << qint64(0) << F << QByteArray("hello") << exact << qint64(4) << false;
    QTest::newRow("forward from inside a match") << hello << qint64(5) << F << QByteArray("hello") << exact << qint64(11) << false;
    QTest::newRow("backward") << hello << qint64(11) << B << QByteArray("hello") << exact << qint64(4) << false;
    QTest::newRow("wraps to the top") << hello << qint64(12) << F << QByteArray("hello") << exact << qint64(4) << true;
    QTest::newRow("wraps to the bottom") << hello << qint64(4) << B << QByteArray("hello") << exact << qint64(11) << true;
    QTest::newRow("at the very start") << hello << qint64(1) << B << QByteArray("say") << exact << qint64(0) << false;
    QTest::newRow("at the very end") << hello << qint64(11) << F << QByteArray("hello") << exact << qint64(11) << false;
    QTest::newRow("not found") << hello << qint64(3) << F << QByteArray("help") << exact << qint64(-1) << false;
    QTest::newRow("longer than the text") << QByteArray("ab") << qint64(0) << F << QByteArray("abc") << exact << qint64(-1) << false;
    QTest::newRow("one byte backward") << QByteArray("cabc") << qint64(3) << B << QByteArray("c") << exact << qint64(0) << false;
    QTest::newRow("case differs, exact") << hello << qint64(0) << F << QByteArray("HELLO") << exact << qint64(-1) << false;
    QTest::newRow("ASCII folded") << QByteArray("x HeLLo") << qint64(0) << F << QByteArray("hEllO") << CaseFold::Latin1 << qint64(2) << false;
    QTest::newRow("Latin-1 letters folded") << QByteArray("\xC9T\xC9") << qint64(0) << F << QByteArray("\xE9t\xE9") << CaseFold::Latin1 << qint64(0) << false;
    QTest::newRow("Latin-1 signs not folded") << QByteArray("\xD7") << qint64(0) << F << QByteArray("\xF7") << CaseFold::Latin1 << qint64(-1) << false;
    QTest::newRow("multiplication sign is not the capital of division sign") << QByteArray("\xF7") << qint64(0) << F << QByteArray("\xD7") << CaseFold::Latin1 << qint64(-1) << false;
    QTest::newRow("bytes by value") << QByteArray("\x00\x01\xFF\x1B[", 5) << qint64(0) << F << QByteArray("\xFF\x1B") << exact << qint64(2) << false;
    QTest::newRow("UTF-8 folded") << QByteArray("CAF\xC3\x89!") << qint64(0) << F << QByteArray("caf\xC3\xA9") << CaseFold::Utf8 << qint64(0) << false;
    QTest::newRow("UTF-8 exact") << QByteArray("CAF\xC3\x89!") << qint64(0) << F << QByteArray("CAF\xC3\xA9") << exact << qint64(-1) << false;
    // Σ, and the final ς, fold to σ.
    QTest::newRow("UTF-8 final sigma") << QByteArray("\xCE\xA3\xCE\x9F\xCE\xA3") << qint64(0) << F << QByteArray("\xCF\x83\xCE\xBF\xCF\x82") << CaseFold::Utf8 << qint64(0) << false;
    // The byte classes of ω (CF 89) and Ω (CE A9) also admit Ή (CE 89).
    QTest::newRow("UTF-8 mixed forms rejected") << QByteArray("\xCE\x89") << qint64(0) << F << QByteArray("\xCF\x89") << CaseFold::Utf8 << qint64(-1) << false;
    QTest::newRow("UTF-8 Kelvin sign is not k") << QByteArray("\xE2\x84\xAA") << qint64(0) << F << QByteArray("k") << CaseFold::Utf8 << qint64(-1) << false;
    QTest::newRow("UTF-8 folded, invalid byte exact") << QByteArray("A\xFF" "B") << qint64(0) << F << QByteArray("a\xFF" "b") << CaseFold::Utf8 << qint64(0) << false;
}

void tst_TranscriptFind::find()
{
    QFETCH(QByteArray, haystack);
    QFETCH(qint64, from);
    QFETCH(FindDirection, direction);
    QFETCH(QByteArray, needle);
    QFETCH(CaseFold, fold);
    QFETCH(qint64, found);
    QFETCH(bool, wrapped);

    const FindResult result = findWrapping(haystack, from, direction, needle, fold);
    QCOMPARE(result.position, found);
    QCOMPARE(result.wrapped, wrapped);
}

// The skip tables against a search that tries every position.
void tst_TranscriptFind::findAgreesWithPlainSearch()
{
    const QByteArray alphabet("aAbB\xE9\xC9");
    auto folded = [](uchar b) {
        return (b >= 'A' && b <= 'Z') || b == 0xC9 ? uchar(b + 0x20) : b;
    };
    QRandomGenerator random(17);
    auto text = [&](int length) {
        QByteArray t;
        for (int i = 0; i < length; ++i)
            t.append(alphabet.at(random.bounded(int(alphabet.size()))));
        return t;
    };
    for (int round = 0; round < 300; ++round) {
        const QByteArray haystack = text(random.bounded(40));
        const QByteArray needle = text(1 + random.bounded(4));
        const CaseFold fold = round % 2 ? CaseFold::Latin1 : CaseFold::None;
        auto matchesAt = [&](qint64 s) {
            for (qint64 j = 0; j < needle.size(); ++j) {
                const uchar h = uchar(haystack[s + j]), n = uchar(needle[j]);
                if (fold == CaseFold::None ? h != n : folded(h) != folded(n))
                    return false;
            }
            return true;
        };
        for (qint64 from = 0; from <= haystack.size(); ++from) {
            qint64 forward = -1, backward = -1;
            for (qint64 s = 0; s + needle.size() <= haystack.size(); ++s) {
                if (matchesAt(s) && s >= from && forward < 0)
                    forward = s;
                if (matchesAt(s) && s < from)
                    backward = s;
            }
            const QByteArray row = haystack.toHex() + " / " + needle.toHex() + " from "
                + QByteArray::number(from);
            QVERIFY2(findBytes(haystack, from, FindDirection::Forward, needle, fold) == forward, row);
            QVERIFY2(findBytes(haystack, from, FindDirection::Backward, needle, fold) == backward, row);
        }
    }
}

void tst_TranscriptFind::hexBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error"); // empty: the text is hex
    QTest::addColumn<int>("errorAt");

    QTest::newRow("spaced") << "00 01 ff" << QByteArray("\x00\x01\xFF", 3) << "" << -1;
    QTest::newRow("run") << "0001FF" << QByteArray("\x00\x01\xFF", 3) << "" << -1;
    QTest::newRow("C source") << "0x1b, 0x5B,\n\t0X4142" << QByteArray("\x1B[AB") << "" << -1;
    QTest::newRow("empty") << "" << QByteArray() << "" << -1;
    QTest::newRow("not a digit") << "00 0g" << QByteArray() << "“g” at column 5 is not a hex digit" << 4;
    QTest::newRow("odd run") << "00 abc" << QByteArray() << "“abc” at column 4 has an odd number of hex digits: each byte takes two" << 3;
    QTest::newRow("split byte on line 2") << "00\r\n0 1" << QByteArray() << "“0” at line 2, column 1 has an odd number of hex digits: each byte takes two" << 4;
    QTest::newRow("prefix alone") << "ff 0x" << QByteArray() << "“0x” at column 4 has no hex digits after it" << 3;
    QTest::newRow("emoji") << QString::fromUtf8("0\xF0\x9F\x98\x80") << QByteArray() << QString::fromUtf8("“\xF0\x9F\x98\x80” at column 2 is not a hex digit") << 1;
}

void tst_TranscriptFind::hexBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    QFETCH(int, errorAt);

    const HexBytes parsed = ParseHexBytes(text);
    QCOMPARE(parsed.error, error);
    QCOMPARE(parsed.ok(), error.isEmpty());
    QCOMPARE(parsed.errorAt, qsizetype(errorAt));
    if (parsed.ok())
        QCOMPARE(parsed.bytes, bytes);
}

QTEST_GUILESS_MAIN(tst_TranscriptFind)
#include "tst_transcriptfind.moc"

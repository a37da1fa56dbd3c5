#include "answers.h"

#include <QElapsedTimer>
#include <QTest>

#include <optional>

Q_DECLARE_METATYPE(std::optional<RelaySide>)

class tst_Answers : public QObject {
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
};

namespace {

const QByteArray Ping = QByteArrayLiteral("PING\r\n");

// The stream cut at each of positions.
QByteArrayList cut(const QByteArray& stream, std::initializer_list<qsizetype> positions)
{
    QByteArrayList pieces;
    qsizetype from = 0;
    for (const qsizetype at : positions) {
        pieces << stream.mid(from, at - from);
        from = at;
    }
    return pieces << stream.mid(from);
}

} // namespace

void tst_Answers::answers_data()
{
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<bool>("regex");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<std::optional<RelaySide>>("from"); // none: Connect or Listen
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("answered");
    QTest::addColumn<bool>("stopped");

    const std::optional<RelaySide> peer;
    QTest::newRow("text whole") << Ping << false << QByteArrayList{"xx" + Ping + "yy"} << peer
                                << 0 << 1 << false;
    for (qsizetype at = 1; at < Ping.size(); ++at)
        QTest::addRow("text split at %d", int(at))
            << Ping << false << cut("ab" + Ping, {2 + at}) << peer << 0 << 1 << false;
    QByteArrayList bytewise;
    for (const char c : "x" + Ping)
        bytewise << QByteArray(1, c);
    QTest::newRow("text a byte a read") << Ping << false << bytewise << peer << 0 << 1 << false;
    QTest::newRow("twice in one read") << Ping << false << QByteArrayList{Ping + Ping} << peer
                                       << 0 << 2 << false;
    QTest::newRow("near miss") << Ping << false << QByteArrayList{"PIN", "G\n", "ING\r\n"}
                               << peer << 0 << 0 << false;
    QTest::newRow("no overlap") << QByteArray("aa") << false << QByteArrayList{"aaa"} << peer
                                << 0 << 1 << false;
    QTest::newRow("no overlap across reads")
        << QByteArray("aa") << false << QByteArrayList{"a", "aa", "a"} << peer << 0 << 2 << false;
    QTest::newRow("kept bytes after a match")
        << QByteArray("aba") << false << QByteArrayList{"abab", "a"} << peer << 0 << 1 << false;
    QTest::newRow("hex with NUL and high bytes")
        << QByteArray("\x00\xff\x0d", 3) << false
        << QByteArrayList{QByteArray("\x01\x00", 2), QByteArray("\xff\x0d\xfe", 3)} << peer << 0
        << 1 << false;
    QTest::newRow("regex split")
        << QByteArray(R"(\d+ OK\r\n)") << true << QByteArrayList{"x 12", "3 OK\r", "\n"} << peer
        << 0 << 1 << false;
    QTest::newRow("regex twice, split between")
        << QByteArray("login: ?") << true << QByteArrayList{"login: login", ": "} << peer << 0
        << 2 << false;
    QTest::newRow("regex bytes as Latin-1")
        << QByteArray(R"(\x{ff}\x{80}.)") << true
        << QByteArrayList{QByteArray("\x7f\xff", 2), QByteArray("\x80\xe9", 2)} << peer << 0 << 1
        << false;
    QTest::newRow("regex lookahead into the next read")
        << QByteArray("ab(?=c)") << true << QByteArrayList{"xab", "c"} << peer << 0 << 1 << false;
    QTest::newRow("regex empty match counts nothing")
        << QByteArray("x*") << true << QByteArrayList{"ab", "xx"} << peer << 0 << 1 << false;
    QTest::newRow("relay: the side listened to")
        << Ping << false << QByteArrayList{"PI", "NG\r\n"} << std::optional(RelaySide::Server) << 0
        << 1 << false;
    QTest::newRow("relay: the other side")
        << Ping << false << QByteArrayList{Ping} << std::optional(RelaySide::Client) << 0 << 0
        << false;
    QTest::newRow("delay") << Ping << false << QByteArrayList{Ping, Ping} << peer << 60 << 2
                           << false;
    QTest::newRow("storm: twenty in one read answered")
        << Ping << false << QByteArrayList{Ping.repeated(20)} << peer << 0 << 20 << false;
    QTest::newRow("storm: the twenty-first stops the rule")
        << Ping << false << QByteArrayList{Ping.repeated(15), Ping.repeated(10), Ping} << peer << 0
        << 20 << true;
    QTest::newRow("storm: a regex that matches its own echo")
        << QByteArray("PO?NG") << true << QByteArrayList(30, "PONG") << peer << 5 << 20 << true;
}

void tst_Answers::answers()
{
    QFETCH(QByteArray, pattern);
    QFETCH(bool, regex);
    QFETCH(QByteArrayList, pieces);
    QFETCH(std::optional<RelaySide>, from);
    QFETCH(int, delayMs);
    QFETCH(int, answered);
    QFETCH(bool, stopped);

    const auto matcher = [&] {
        return regex ? StreamMatcher(QRegularExpression(QString::fromLatin1(pattern)))
                     : StreamMatcher(pattern);
    };
    QElapsedTimer clock;
    QList<qint64> sentAt;
    QStringList lines;
    Answers answers(
        [&](const QByteArray& answer, RelaySide to) {
            QCOMPARE(answer, QByteArray("PONG\r\n"));
            QCOMPARE(to, RelaySide::Client);
            sentAt << clock.elapsed();
        },
        [&](const QString& line) { lines << line; });
    std::vector<Answers::Rule> rules;
    rules.push_back({"pong", matcher(), "PONG\r\n", delayMs, RelaySide::Server, RelaySide::Client});
    // A second expression that never matches: the two are screened together.
    if (regex)
        rules.push_back({"decoy", StreamMatcher(QRegularExpression("\\x{01}decoy")), {}, 0,
                         RelaySide::Server, RelaySide::Client});
    answers.setRules(std::move(rules));

    // The same stream through the matcher alone: it keeps no more than a
    // match could still need.
    StreamMatcher alone = matcher();
    const qsizetype most = regex ? StreamMatcher::RegexWindow - 1 : pattern.size() - 1;
    int found = 0;

    clock.start();
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        // Both ways in: as bytes (the relay's) and read as Latin-1 (the peer's).
        if (i % 2 == 0)
            answers.received(from, pieces[i]);
        else
            answers.receivedLatin1(from, QString::fromLatin1(pieces[i]));
        found += alone.feed(pieces[i]);
        QVERIFY(alone.kept() <= most);
    }
    // Never sent from within the append.
    QCOMPARE(sentAt.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(answers.waiting(), 0, 5000);
    QCOMPARE(sentAt.size(), answered);
    for (const qint64 at : sentAt)
        QVERIFY2(at >= delayMs, qPrintable(QString::number(at)));
    if (!from || *from == RelaySide::Server)
        QCOMPARE(found, stopped ? found : answered);
    QCOMPARE(lines, stopped ? QStringList{"Rule 'pong' stopped: more than 20 answers a second"}
                            : QStringList{});
}

QTEST_GUILESS_MAIN(tst_Answers)
#include "tst_answers.moc"

// The messages' own floor: the escapes and the file, without a window.

#include "messagebytes.h"
#include "messagefile.h"

#include <QTemporaryDir>
#include <QTest>

class tst_Messages : public QObject {
    Q_OBJECT

private slots:
    void escapes_data();
    void escapes();
    void fileRoundTrip();
    void fileErrors_data();
    void fileErrors();
};

void tst_Messages::escapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind"); // 0 text, 1 hex
    QTest::addColumn<bool>("utf8");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("errorAt"); // -1: no error

    QTest::newRow("every escape") << "\\r\\n\\t\\0\\\\" << 0 << false << QByteArray("\r\n\t\0\\", 5) << -1;
    QTest::newRow("\\xNN, either case, any byte") << "\\x02a\\xfF\\x00" << 0 << false
                                                   << QByteArray("\x02" "a\xff\x00", 4) << -1;
    QTest::newRow("a typed line break is the line end, nothing added")
        << "RT\nX" << 0 << false << QByteArray("RT\r\nX") << -1;
    QTest::newRow("Latin-1 is one byte") << "\u00e9" << 0 << false << QByteArray("\xe9") << -1;
    QTest::newRow("UTF-8 is its bytes") << "\u00e9\U0001F600" << 0 << true
                                        << QByteArray("\xc3\xa9\xf0\x9f\x98\x80") << -1;
    QTest::newRow("hex by the send box's rules") << "0x02, 41 ff" << 1 << false
                                                 << QByteArray("\x02" "A\xff") << -1;
    QTest::newRow("error: unknown escape") << "ab\\q" << 0 << false << QByteArray() << 2;
    QTest::newRow("error: \\x with one digit") << "\\x4" << 0 << false << QByteArray() << 0;
    QTest::newRow("error: \\x with no hex") << "a\\xg0" << 0 << false << QByteArray() << 1;
    QTest::newRow("error: backslash at the end") << "abc\\" << 0 << false << QByteArray() << 3;
    QTest::newRow("error: not Latin-1") << "a\u20ac" << 0 << false << QByteArray() << 1;
    QTest::newRow("error: not hex") << "41 zz" << 1 << false << QByteArray() << 3;
}

void tst_Messages::escapes()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(bool, utf8);
    QFETCH(QByteArray, bytes);
    QFETCH(int, errorAt);
    Message message;
    message.text = text;
    message.kind = kind ? Message::Kind::Hex : Message::Kind::Text;
    const MessageBytes got = messageBytes(message, LineEnd::CrLf, utf8);
    QCOMPARE(got.errorAt, qsizetype(errorAt));
    QCOMPARE(got.ok(), errorAt < 0);
    if (got.ok())
        QCOMPARE(got.bytes, bytes);
}

void tst_Messages::fileRoundTrip()
{
    // Every field, as Save As writes it and Open reads it back.
    Message full;
    full.name = QStringLiteral("read temp");
    full.text = QStringLiteral("RT\\r\\n\nline two with 'quotes' and \"more\"");
    full.key = QStringLiteral("F2");
    full.everyMs = 100;
    full.onConnect = true;
    Message hex;
    hex.name = QStringLiteral("frame");
    hex.kind = Message::Kind::Hex;
    hex.text = QStringLiteral("02 41 03");
    full.rule = Message::Rule{QStringLiteral("PING\\r\\n"), Message::PatternKind::Text, 0,
                              RelaySide::Server, RelaySide::Server, true};
    hex.rule = Message::Rule{QStringLiteral("(?i)^login: \\x{ff}"), Message::PatternKind::Regex,
                             250, RelaySide::Client, RelaySide::Server, true};
    const QList<Message> list{full, hex};
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("m.toml"));
    QString why;
    QVERIFY2(writeMessageFile(path, list, &why), qPrintable(why));
    const MessageFile read = readMessageFile(path);
    QVERIFY2(read.ok(), qPrintable(read.describe(path)));
    QCOMPARE(read.messages, list);
    // The example a person writes by hand, comment and literal string included.
    const MessageFile example = parseMessages("# the PLC in hall 3\n[[message]]\nname = \"read temp\"\n"
                                              "text = 'RT\\r\\n'\nkey = \"F2\"\nevery_ms = 100\n"
                                              "on_connect = true\n",
                                              QStringLiteral("x.toml"));
    QVERIFY(example.ok());
    QCOMPARE(example.messages.size(), 1);
    QCOMPARE(example.messages.first().text, QStringLiteral("RT\\r\\n"));
    const MessageFile answer = parseMessages("[[message]]\nname = \"pong\"\ntext = 'PONG\\r\\n'\n"
                                             "when_hex = '50 49'\nto = \"client\"\n",
                                             QStringLiteral("x.toml"));
    QVERIFY2(answer.ok(), qPrintable(answer.error));
    QCOMPARE(answer.messages.first().rule,
             (Message::Rule{QStringLiteral("50 49"), Message::PatternKind::Hex, 0,
                            RelaySide::Server, RelaySide::Client, true}));
}

void tst_Messages::fileErrors_data()
{
    QTest::addColumn<QByteArray>("toml");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("why");

    const QByteArray head = "# messages\n[[message]]\nname = \"a\"\n";
    QTest::newRow("not TOML") << QByteArray("[[message]]\nname = \"a\ntext = 'x'\n") << 2 << "";
    QTest::newRow("an escape Pellix does not have") << head + "text = 'A\\q'\n" << 4 << "\\q";
    QTest::newRow("not hex") << head + "hex = '41 4g'\n" << 4 << "hex digit";
    QTest::newRow("text and hex") << head + "text = 'x'\nhex = '41'\n" << 2 << "not both";
    QTest::newRow("no text") << head << 2 << "no text";
    QTest::newRow("a key no message may have") << head + "text = 'x'\nkey = \"F3\"\n" << 5 << "F3";
    QTest::newRow("every_ms under 10") << head + "text = 'x'\nevery_ms = 5\n" << 5 << "every_ms";
    QTest::newRow("every_ms not a number") << head + "text = 'x'\nevery_ms = '100'\n" << 5 << "every_ms";
    QTest::newRow("on_connect not true or false") << head + "text = 'x'\non_connect = 1\n" << 5 << "on_connect";
    QTest::newRow("an unknown key") << head + "text = 'x'\nevry_ms = 100\n" << 5 << "evry_ms";
    QTest::newRow("no name") << QByteArray("[[message]]\ntext = 'x'\n") << 1 << "no name";
    QTest::newRow("two of one name")
        << head + "text = 'x'\n\n[[message]]\nname = \"a\"\ntext = 'y'\n" << 6 << "named";
    QTest::newRow("two of one key")
        << head + "text = 'x'\nkey = \"F2\"\n[[message]]\nname = \"b\"\ntext = 'y'\nkey = \"F2\"\n"
        << 6 << "F2 already";
    QTest::newRow("rule: two patterns") << head + "text = 'x'\nwhen = 'a'\nwhen_regex = 'b'\n" << 6 << "one of when";
    QTest::newRow("rule: an escape Pellix does not have") << head + "text = 'x'\nwhen = 'A\\q'\n" << 5 << "\\q";
    QTest::newRow("rule: nothing to look for") << head + "text = 'x'\nwhen_hex = ''\n" << 5 << "nothing to look for";
    QTest::newRow("rule: a regex that does not compile") << head + "text = 'x'\nwhen_regex = 'a(b'\n" << 5 << "column 4";
    QTest::newRow("rule: a regex beyond Latin-1") << head + "text = 'x'\nwhen_regex = 'a\u20ac'\n" << 5 << "Latin-1";
    QTest::newRow("rule: delay_ms past a minute") << head + "text = 'x'\nwhen = 'a'\ndelay_ms = 60001\n" << 6 << "delay_ms";
    QTest::newRow("rule: a side that is neither") << head + "text = 'x'\nwhen = 'a'\nfrom = \"peer\"\n" << 6 << "from must";
    QTest::newRow("rule: to without a pattern") << head + "text = 'x'\nto = \"client\"\n" << 5 << "is missing";
    QTest::newRow("not a [[message]] table") << QByteArray("\n[messages]\nname = \"a\"\n") << 2 << "messages";
}

void tst_Messages::fileErrors()
{
    QFETCH(QByteArray, toml);
    QFETCH(int, line);
    QFETCH(QString, why);
    // A good message first: one error loads nothing, not the part before it.
    const MessageFile file = parseMessages("[[message]]\nname = \"first\"\ntext = 'ok'\n" + toml,
                                           QStringLiteral("m.toml"));
    QVERIFY(!file.ok());
    QVERIFY(file.messages.isEmpty());
    QCOMPARE(file.line, line + 3);
    QVERIFY2(file.error.contains(why), qPrintable(file.error));
    QVERIFY(file.describe(QStringLiteral("m.toml")).startsWith(QStringLiteral("m.toml, line %1: ").arg(line + 3)));
}

QTEST_GUILESS_MAIN(tst_Messages)
#include "tst_messages.moc"

// The capture writer read back by Wireshark's own tools: each direction's
// bytes exactly, addresses and ports as given, the handshake and the end,
// the direction flags and the comments, and no complaint from a dissector
// with the checksums checked.

#include "../support/tsharkreader.h"
#include "transcriptcapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(Conversation)

namespace {

ConversationEnd v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port)
{
    ConversationEnd end;
    end.address = {a, b, c, d};
    end.port = port;
    return end;
}

ConversationEnd v6(const QByteArray& hex, std::uint16_t port)
{
    ConversationEnd end;
    const QByteArray bytes = QByteArray::fromHex(hex);
    std::copy(bytes.begin(), bytes.end(), end.address.begin());
    end.ipv6 = true;
    end.port = port;
    return end;
}

QByteArray everyByte(int length)
{
    QByteArray bytes(length, 0);
    for (int i = 0; i < length; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xff);
    return bytes;
}

// One append of the transcript: who, what; its time a millisecond after the
// one before.
struct Step {
    TextOrigin origin;
    QByteArray bytes;
};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class tst_Capture : public QObject {
    Q_OBJECT

private slots:
    void conversationReadsBack_data();
    void conversationReadsBack();
    void packetsOfAShortExchange();

private:
    QTemporaryDir m_dir;
};

void tst_Capture::conversationReadsBack_data()
{
    QTest::addColumn<Conversation>("conversation");
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QString>("addresses"); // of the first packet: source|destination
    QTest::addColumn<QStringList>("segments"); // the payload length of each packet with one

    Conversation six{v6("00000000000000000000000000000001", 2323),
                     v6("fe800000000000000000000000000001", 50000), false, false};
    QTest::newRow("ipv6-opened-by-peer")
        << six
        << QList<Step>{{TextOrigin::Received, "hello\r\n"}, {TextOrigin::Sent, "hi\r\n"},
                       {TextOrigin::Sent, everyByte(1441)}}
        << "fe80::1|::1" << QStringList{"7", "4", "1440", "1"};
    // Odd lengths and a run just over one segment: the checksum's last
    // byte and the cut at 1460.
    Conversation binary{v4(10, 1, 2, 3, 502), v4(192, 168, 7, 9, 61000), false, true};
    QTest::newRow("every-byte-odd-lengths")
        << binary
        << QList<Step>{{TextOrigin::Sent, everyByte(1461)},
                       {TextOrigin::Received, everyByte(4097)},
                       {TextOrigin::Sent, everyByte(1)}}
        << "10.1.2.3|192.168.7.9"
        << QStringList{"1460", "1", "1460", "1460", "1177", "1"};
    QTest::newRow("runs-of-1460-and-1461")
        << binary
        << QList<Step>{{TextOrigin::Sent, everyByte(1460)}, {TextOrigin::Received, everyByte(1461)}}
        << "10.1.2.3|192.168.7.9" << QStringList{"1460", "1460", "1"};
}

void tst_Capture::conversationReadsBack()
{
    QFETCH(Conversation, conversation);
    QFETCH(QList<Step>, steps);
    QFETCH(QString, addresses);
    QFETCH(QStringList, segments);

    CaptureEncoder encoder;
    QByteArray file = CaptureEncoder::fileHeader();
    qint64 time = 1'700'000'000'000'000;
    encoder.start(conversation, time, file);
    QByteArray sent, received;
    for (const Step& step : steps) {
        encoder.append(step.bytes, step.origin, time += 1000, file);
        (step.origin == TextOrigin::Sent ? sent : received) += step.bytes;
    }
    encoder.end(time += 1000, file);
    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".pcapng");
    QVERIFY(writeFile(path, file));

    const auto sides = testcapture::follow(path, 0);
    QCOMPARE(sides[0], conversation.openedHere ? sent : received);
    QCOMPARE(sides[1], conversation.openedHere ? received : sent);
    const QStringList problems = testcapture::problems(path);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));

    const QString ip = conversation.here.ipv6 ? "ipv6" : "ip";
    const QStringList first =
        testcapture::fields(path, {ip + ".src", ip + ".dst", "tcp.srcport", "tcp.dstport"});
    QVERIFY(!first.isEmpty());
    const ConversationEnd& opener = conversation.openedHere ? conversation.here : conversation.peer;
    const ConversationEnd& other = conversation.openedHere ? conversation.peer : conversation.here;
    QCOMPARE(first.first(), addresses + QStringLiteral("|%1|%2").arg(opener.port).arg(other.port));
    // Every packet of one conversation, none left over: the end is a FIN
    // from each side that the other acknowledges.
    QStringList streams = testcapture::fields(path, {"tcp.stream"});
    streams.removeDuplicates();
    QCOMPARE(streams, QStringList{"0"});
    QCOMPARE(testcapture::fields(path, {"frame.number"}, "tcp.flags.fin == 1").size(), 2);
    // Both SYNs announce the Ethernet MSS of the family, and no segment is
    // longer.
    const QString mss = conversation.here.ipv6 ? "1440" : "1460";
    QCOMPARE(testcapture::fields(path, {"tcp.options.mss_val"}, "tcp.flags.syn == 1"),
             QStringList({mss, mss}));
    QCOMPARE(testcapture::fields(path, {"tcp.len"}, "tcp.len > 0"), segments);
}

// The packets of a short exchange as Wireshark lists them: who sent each,
// its flags, its length, and the comments.
void tst_Capture::packetsOfAShortExchange()
{
    CaptureEncoder encoder;
    QByteArray file = CaptureEncoder::fileHeader();
    encoder.append("Pellix 1.0\r\n", TextOrigin::Status, 1, file);
    encoder.append("no connection to put this on", TextOrigin::Received, 2, file);
    encoder.start({v4(127, 0, 0, 1, 5000), v4(127, 0, 0, 2, 7), true, true}, 3'000'000, file);
    encoder.append("Connected to: 127.0.0.2\r\n", TextOrigin::Status, 3'000'001, file);
    encoder.append("abc", TextOrigin::Sent, 3'500'000, file);
    encoder.append("abc", TextOrigin::Received, 4'250'000, file);
    encoder.append("Disconnected\r\n", TextOrigin::Status, 5'000'000, file);
    encoder.end(5'000'002, file);
    const QString path = m_dir.filePath(QStringLiteral("short.pcapng"));
    QVERIFY(writeFile(path, file));

    const QStringList packets = testcapture::fields(
        path, {"frame.time_epoch", "frame.packet_flags_direction", "tcp.flags.str", "tcp.len",
               "frame.comment"});
    // Direction 1 inbound, 2 outbound; the opener's SYN carries the lines
    // written before there was a connection; the bytes with none are left out.
    const QStringList expected = {
        "3.000000000|0x00000002|··········S·|0|Pellix 1.0,TLS: the payload is the decrypted "
        "stream; on the wire it was encrypted",
        "3.000000000|0x00000001|·······A··S·|0|",
        "3.000000000|0x00000002|·······A····|0|",
        "3.000001000|0x00000002|·······A····|0|Connected to: 127.0.0.2",
        "3.500000000|0x00000002|·······AP···|3|",
        "4.250000000|0x00000001|·······AP···|3|",
        "5.000000000|0x00000002|·······A····|0|Disconnected",
        "5.000002000|0x00000002|·······A···F|0|",
        "5.000002000|0x00000001|·······A···F|0|",
        "5.000002000|0x00000002|·······A····|0|",
    };
    QVERIFY2(packets == expected, qPrintable(packets.join(u'\n')));
}

QTEST_GUILESS_MAIN(tst_Capture)
#include "tst_capture.moc"

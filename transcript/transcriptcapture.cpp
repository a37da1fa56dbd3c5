#include "transcriptcapture.h"

#include <QString>

#include <algorithm>

namespace {

void put16(QByteArray& out, quint16 v)
{
    const char b[2] = {char(v), char(v >> 8)};
    out.append(b, 2);
}

void put32(QByteArray& out, quint32 v)
{
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.append(b, 4);
}

void padTo4(QByteArray& out)
{
    while (out.size() % 4 != 0)
        out.append('\0');
}

// One option of a block: code, length, value, padding to 32 bits.
void putOption(QByteArray& out, quint16 code, QByteArrayView value)
{
    put16(out, code);
    put16(out, quint16(value.size()));
    out.append(value.data(), value.size());
    padTo4(out);
}

// Writes the block's total length at its start and its end; the block
// began at offset start of out with its type and a placeholder.
void closeBlock(QByteArray& out, qsizetype start)
{
    const quint32 length = quint32(out.size() - start + 4);
    put32(out, length);
    for (int i = 0; i < 4; ++i)
        out[start + 4 + i] = char(length >> (8 * i));
}

void openBlock(QByteArray& out, quint32 type)
{
    put32(out, type);
    put32(out, 0);
}

constexpr quint16 OptEnd = 0, OptComment = 1;

// Big-endian, as on the wire.
void be16(uchar* p, quint16 v)
{
    p[0] = uchar(v >> 8);
    p[1] = uchar(v);
}

void be32(uchar* p, quint32 v)
{
    be16(p, quint16(v >> 16));
    be16(p + 2, quint16(v));
}

// The ones' complement sum of the bytes as 16-bit words, not yet folded.
quint64 sumOf(const uchar* p, qsizetype n, quint64 sum = 0)
{
    for (; n >= 2; p += 2, n -= 2)
        sum += quint32(p[0]) << 8 | p[1];
    if (n)
        sum += quint32(p[0]) << 8;
    return sum;
}

quint16 folded(quint64 sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

enum TcpFlag : quint8 { Fin = 0x01, Syn = 0x02, Psh = 0x08, Ack = 0x10 };

// A status line as a comment: the text without its line break, in UTF-8,
// short enough for one option.
QByteArray commentOf(QByteArrayView latin1)
{
    QString text = QString::fromLatin1(latin1).trimmed();
    text.truncate(30000); // at most 2 bytes each in UTF-8: under an option's 64 KiB
    return text.toUtf8();
}

// An address as 16 bytes: IPv4 as ::ffff:a.b.c.d, for a packet of IPv6.
std::array<std::uint8_t, 16> asIpv6(const ConversationEnd& end)
{
    if (end.ipv6)
        return end.address;
    std::array<std::uint8_t, 16> mapped{};
    mapped[10] = mapped[11] = 0xff;
    std::copy_n(end.address.begin(), 4, mapped.begin() + 12);
    return mapped;
}

} // namespace

// --- pcapng blocks -----------------------------------------------------------

namespace pcapng {

void appendSectionHeader(QByteArray& out, QByteArrayView application)
{
    const qsizetype start = out.size();
    openBlock(out, 0x0A0D0D0A);
    put32(out, 0x1A2B3C4D); // byte order
    put16(out, 1);
    put16(out, 0);
    put32(out, 0xffffffff); // section length: not known
    put32(out, 0xffffffff);
    putOption(out, 4, application); // shb_userappl
    putOption(out, OptEnd, {});
    closeBlock(out, start);
}

void appendInterface(QByteArray& out, quint16 linkType)
{
    const qsizetype start = out.size();
    openBlock(out, 1);
    put16(out, linkType);
    put16(out, 0);
    put32(out, 0); // no snapshot length
    const char resolution = 6; // if_tsresol: 10^-6 s
    putOption(out, 9, QByteArrayView(&resolution, 1));
    putOption(out, OptEnd, {});
    closeBlock(out, start);
}

void appendPacket(QByteArray& out, qint64 micros, QByteArrayView packet, Direction direction,
                  const QList<QByteArray>& comments)
{
    const qsizetype start = out.size();
    openBlock(out, 6);
    put32(out, 0); // interface 0
    put32(out, quint32(quint64(micros) >> 32));
    put32(out, quint32(quint64(micros)));
    put32(out, quint32(packet.size()));
    put32(out, quint32(packet.size()));
    out.append(packet.data(), packet.size());
    padTo4(out);
    for (const QByteArray& comment : comments)
        putOption(out, OptComment, comment);
    const char flags[4] = {char(direction), 0, 0, 0}; // epb_flags: bits 0-1 the direction
    putOption(out, 2, QByteArrayView(flags, 4));
    putOption(out, OptEnd, {});
    closeBlock(out, start);
}

} // namespace pcapng

// --- TCP conversations -------------------------------------------------------

QByteArray CaptureEncoder::fileHeader()
{
    QByteArray out;
    pcapng::appendSectionHeader(out, "Pellix");
    pcapng::appendInterface(out, pcapng::LinkTypeRaw);
    return out;
}

void CaptureEncoder::start(const Conversation& conversation, Micros time, QByteArray& out)
{
    if (m_open)
        end(time, out);
    m_conversation = conversation;
    m_open = true;
    // Initial sequence numbers as a stack would pick them, but from the
    // start time, so that the same transcript always gives the same file.
    const quint32 isn = quint32(quint64(time) * 2654435761u);
    m_next[Here] = isn;
    m_next[Peer] = isn ^ 0x5bd1e995u;
    m_ipId[Here] = quint16(isn);
    m_ipId[Peer] = quint16(isn >> 16);

    QList<QByteArray> comments;
    comments.swap(m_waiting);
    if (conversation.tls)
        comments.append("TLS: the payload is the decrypted stream; on the wire it was encrypted");
    const Side opener = conversation.openedHere ? Here : Peer;
    const Side answerer = conversation.openedHere ? Peer : Here;
    segment(opener, Syn, {}, time, comments, out);
    segment(answerer, Syn | Ack, {}, time, {}, out);
    segment(opener, Ack, {}, time, {}, out);
}

void CaptureEncoder::append(QByteArrayView bytes, TextOrigin origin, Micros time, QByteArray& out)
{
    if (origin == TextOrigin::Status) {
        QByteArray comment = commentOf(bytes);
        if (comment.isEmpty())
            return;
        if (m_open)
            segment(Here, Ack, {}, time, {comment}, out);
        else
            m_waiting.append(std::move(comment));
        return;
    }
    if (!m_open)
        return;
    // In a relay this side is the client's, the peer the server.
    const bool fromHere = origin == TextOrigin::Sent || origin == TextOrigin::FromClient
        || origin == TextOrigin::ToServer;
    const Side from = fromHere ? Here : Peer;
    while (!bytes.isEmpty()) {
        const qsizetype n = std::min<qsizetype>(bytes.size(), maxSegment());
        // PSH on the last segment of the run: the sender handed over no more.
        segment(from, n == bytes.size() ? Ack | Psh : Ack, bytes.first(n), time, {}, out);
        bytes = bytes.sliced(n);
    }
}

void CaptureEncoder::end(Micros time, QByteArray& out)
{
    if (!m_open)
        return;
    segment(Here, Fin | Ack, {}, time, {}, out);
    segment(Peer, Fin | Ack, {}, time, {}, out);
    segment(Here, Ack, {}, time, {}, out);
    m_open = false;
}

void CaptureEncoder::segment(Side from, quint8 flags, QByteArrayView payload, Micros time,
                             const QList<QByteArray>& comments, QByteArray& out)
{
    const ConversationEnd& src = from == Here ? m_conversation.here : m_conversation.peer;
    const ConversationEnd& dst = from == Here ? m_conversation.peer : m_conversation.here;
    const Side to = from == Here ? Peer : Here;
    const bool v6 = src.ipv6 || dst.ipv6;
    const int ipLength = v6 ? 40 : 20;
    const int tcpLength = (flags & Syn) ? 24 : 20; // a SYN says its MSS
    const qsizetype total = ipLength + tcpLength + payload.size();

    m_packet.resize(total);
    auto* p = reinterpret_cast<uchar*>(m_packet.data());
    std::fill_n(p, ipLength + tcpLength, uchar(0));

    // The pseudo-header's sum, which the TCP checksum covers too.
    quint64 pseudo = 0;
    if (v6) {
        const auto s = asIpv6(src), d = asIpv6(dst);
        p[0] = 0x60;
        be16(p + 4, quint16(tcpLength + payload.size()));
        p[6] = 6; // next header: TCP
        p[7] = 64;
        std::copy(s.begin(), s.end(), p + 8);
        std::copy(d.begin(), d.end(), p + 24);
        pseudo = sumOf(p + 8, 32) + quint64(tcpLength + payload.size()) + 6;
    } else {
        p[0] = 0x45;
        be16(p + 2, quint16(total));
        be16(p + 4, m_ipId[from]++);
        be16(p + 6, 0x4000); // don't fragment
        p[8] = 64;
        p[9] = 6; // TCP
        std::copy_n(src.address.begin(), 4, p + 12);
        std::copy_n(dst.address.begin(), 4, p + 16);
        be16(p + 10, folded(sumOf(p, 20)));
        pseudo = sumOf(p + 12, 8) + quint64(tcpLength + payload.size()) + 6;
    }

    uchar* tcp = p + ipLength;
    be16(tcp, src.port);
    be16(tcp + 2, dst.port);
    be32(tcp + 4, m_next[from]);
    be32(tcp + 8, (flags & Ack) ? m_next[to] : 0);
    tcp[12] = uchar((tcpLength / 4) << 4);
    tcp[13] = flags;
    be16(tcp + 14, 65535); // window
    if (flags & Syn) {
        tcp[20] = 2; // MSS
        tcp[21] = 4;
        be16(tcp + 22, quint16(maxSegment()));
    }
    std::copy(payload.begin(), payload.end(), tcp + tcpLength);
    be16(tcp + 16, folded(sumOf(tcp, tcpLength + payload.size(), pseudo)));

    m_next[from] += quint32(payload.size()) + ((flags & Syn) ? 1 : 0) + ((flags & Fin) ? 1 : 0);
    pcapng::appendPacket(out, time, m_packet,
                         from == Here ? pcapng::Direction::Outbound : pcapng::Direction::Inbound,
                         comments);
}

// --- the whole transcript ----------------------------------------------------

bool replayTranscript(CaptureEncoder& encoder, QByteArrayView bytes,
                      const TranscriptOrigins& origins, const TranscriptTimes& times,
                      const TranscriptConversations& conversations, QByteArray& out,
                      const std::function<bool(QByteArray&)>& flush)
{
    constexpr qsizetype FlushAt = 4 << 20;
    const qint64 n = bytes.size();
    qsizetype event = 0, time = 0, origin = 0;
    qint64 pos = 0;
    for (;;) {
        // An event at pos happened before the bytes from pos on were appended.
        while (event < conversations.count() && conversations.at(event).pos <= pos) {
            const TranscriptConversations::Event& e = conversations.at(event++);
            if (e.started)
                encoder.start(*e.started, e.time, out);
            else
                encoder.end(e.time, out);
        }
        if (pos >= n)
            break;
        // One append at a time, as they came: each run of times is one.
        while (time + 1 < times.runCount() && times.run(time + 1).start <= pos)
            ++time;
        while (origin + 1 < origins.runCount() && origins.run(origin + 1).start <= pos)
            ++origin;
        qint64 stop = n;
        if (time + 1 < times.runCount())
            stop = std::min(stop, times.run(time + 1).start);
        if (origin + 1 < origins.runCount())
            stop = std::min(stop, origins.run(origin + 1).start);
        if (event < conversations.count())
            stop = std::min(stop, conversations.at(event).pos);
        encoder.append(bytes.sliced(pos, stop - pos),
                       origins.runCount() ? origins.run(origin).origin : TextOrigin::Received,
                       times.runCount() ? times.run(time).time : 0, out);
        pos = stop;
        if (out.size() >= FlushAt && !flush(out))
            return false;
    }
    return out.isEmpty() || flush(out);
}

// --- written live ------------------------------------------------------------

TranscriptCapture::TranscriptCapture(std::unique_ptr<TranscriptLog> file)
    : m_file(std::move(file))
{
}

std::unique_ptr<TranscriptCapture> TranscriptCapture::over(std::unique_ptr<TranscriptLog> file,
                                                           QString* reason)
{
    if (!file || !file->empty(reason))
        return nullptr;
    std::unique_ptr<TranscriptCapture> capture(new TranscriptCapture(std::move(file)));
    QByteArray header = CaptureEncoder::fileHeader();
    if (!capture->write(header, reason))
        return nullptr;
    return capture;
}

std::unique_ptr<TranscriptCapture> TranscriptCapture::open(const QString& path, QString* reason)
{
    return over(TranscriptLog::open(path, reason), reason);
}

bool TranscriptCapture::write(QByteArray& blocks, QString* reason)
{
    const bool written = blocks.isEmpty() || m_file->write(blocks, reason);
    blocks.resize(0);
    return written;
}

bool TranscriptCapture::start(const Conversation& conversation, Micros time, QString* reason)
{
    m_encoder.start(conversation, time, m_blocks);
    return write(m_blocks, reason);
}

bool TranscriptCapture::append(QByteArrayView bytes, TextOrigin origin, Micros time,
                               QString* reason)
{
    m_encoder.append(bytes, origin, time, m_blocks);
    return write(m_blocks, reason);
}

bool TranscriptCapture::end(Micros time, QString* reason)
{
    m_encoder.end(time, m_blocks);
    return write(m_blocks, reason);
}

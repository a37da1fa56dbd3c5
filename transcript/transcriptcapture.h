#pragma once

#include "conversation.h"
#include "textorigin.h"
#include "transcriptlog.h"
#include "transcriptorigins.h"
#include "transcripttimes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The transcript as a capture file that Wireshark reads: pcapng, one raw IP
// interface (IPv4 and IPv6 packets with no link header), each connection a
// TCP conversation made up from what the transcript keeps. Written here
// rather than by a library: Debian's libpcap writes only the older pcap
// format, which has no direction flags and no comments, and Wireshark's own
// file library is large and pulls in GLib; the few blocks needed are simple.
namespace pcapng {

inline constexpr quint16 LinkTypeRaw = 101;

enum class Direction : quint32 { Inbound = 1, Outbound = 2 };

// A section header block (little-endian, length of the section unknown)
// naming the application.
void appendSectionHeader(QByteArray& out, QByteArrayView application);
// An interface description block: the link type, times in microseconds.
void appendInterface(QByteArray& out, quint16 linkType);
// An enhanced packet block on interface 0: time in microseconds since the
// epoch, the direction flag, and one comment option for each comment.
void appendPacket(QByteArray& out, qint64 micros, QByteArrayView packet, Direction direction,
                  const QList<QByteArray>& comments = {});

} // namespace pcapng

// Turns the transcript's events into capture blocks: a conversation's
// start becomes the three-way handshake, each run of received or sent bytes
// segments of at most MaxSegment bytes whose sequence and acknowledgement
// numbers run on per direction, each status line a packet comment, the end
// a FIN from each side. The same events give the same bytes, so a capture
// written live and one saved afterwards are alike.
class CaptureEncoder {
public:
    using Micros = TranscriptTimes::Micros;
    // What fits a 1500-byte Ethernet frame after the IP and TCP headers.
    static constexpr int MaxSegment = 1460;
    static constexpr int MaxSegment6 = 1440;

    // What every capture starts with: the section header and the interface.
    static QByteArray fileHeader();

    // Each appends the blocks of one event to out.
    void start(const Conversation& conversation, Micros time, QByteArray& out);
    // Received bytes travel from the peer, sent ones to it; a status line
    // rides as the comment of an empty ACK from this side, at its own time.
    // Outside a conversation bytes have no connection to go on and are left
    // out; status lines wait for the next conversation's SYN.
    void append(QByteArrayView bytes, TextOrigin origin, Micros time, QByteArray& out);
    void end(Micros time, QByteArray& out);

    bool inConversation() const { return m_open; }

private:
    enum Side { Here = 0, Peer = 1 };
    int maxSegment() const
    {
        return m_conversation.here.ipv6 || m_conversation.peer.ipv6 ? MaxSegment6 : MaxSegment;
    }
    void segment(Side from, quint8 flags, QByteArrayView payload, Micros time,
                 const QList<QByteArray>& comments, QByteArray& out);

    Conversation m_conversation;
    bool m_open = false;
    quint32 m_next[2] = {0, 0}; // the next sequence number each side sends
    quint16 m_ipId[2] = {0, 0};
    QList<QByteArray> m_waiting; // status lines for the next SYN
    QByteArray m_packet;         // reused for each packet
};

// Where each conversation began and ended in the transcript: a short list of
// events by position (the bytes from pos on come after the event), kept
// beside the store as the origins and times are.
class TranscriptConversations {
public:
    using Micros = TranscriptTimes::Micros;
    struct Event {
        qint64 pos;
        Micros time;
        std::optional<Conversation> started; // none: the open one ended
    };

    void start(qint64 pos, Micros time, const Conversation& conversation)
    {
        m_events.append({pos, time, conversation});
    }
    void end(qint64 pos, Micros time)
    {
        if (isOpen())
            m_events.append({pos, time, std::nullopt});
    }
    // With the transcript: a conversation still open goes on from the start.
    void clear()
    {
        const std::optional<Event> open = isOpen() ? std::optional(m_events.last()) : std::nullopt;
        m_events.clear();
        if (open)
            m_events.append({0, open->time, open->started});
    }
    bool isOpen() const { return !m_events.isEmpty() && m_events.last().started.has_value(); }
    qsizetype count() const { return m_events.size(); }
    const Event& at(qsizetype i) const { return m_events.at(i); }

private:
    QList<Event> m_events;
};

// Feeds encoder with the whole transcript, event by event, as it was
// appended; out is handed to flush whenever it has grown large and at the
// end (flush empties it; false stops the replay, and replay returns false).
bool replayTranscript(CaptureEncoder& encoder, QByteArrayView bytes,
                      const TranscriptOrigins& origins, const TranscriptTimes& times,
                      const TranscriptConversations& conversations, QByteArray& out,
                      const std::function<bool(QByteArray&)>& flush);

// A capture file written as the transcript grows, each event's blocks
// written through at once, so that a crash or a kill leaves a file that
// reads up to its last whole block. The file is replaced, not added to.
class TranscriptCapture {
public:
    using Micros = TranscriptTimes::Micros;

    // The capture in file, emptied and given its header: nullptr on failure,
    // with the system's reason in *reason.
    static std::unique_ptr<TranscriptCapture> over(std::unique_ptr<TranscriptLog> file,
                                                   QString* reason);
    // The same for the file at path, created when missing.
    static std::unique_ptr<TranscriptCapture> open(const QString& path, QString* reason);

    QString path() const { return m_file->path(); }
    CaptureEncoder& encoder() { return m_encoder; }

    // Each false when the blocks could not all be written; *reason says why.
    bool start(const Conversation& conversation, Micros time, QString* reason);
    bool append(QByteArrayView bytes, TextOrigin origin, Micros time, QString* reason);
    bool end(Micros time, QString* reason);
    // Writes out what the encoder has put there (after a replay).
    bool write(QByteArray& blocks, QString* reason);

private:
    explicit TranscriptCapture(std::unique_ptr<TranscriptLog> file);

    std::unique_ptr<TranscriptLog> m_file;
    CaptureEncoder m_encoder;
    QByteArray m_blocks;
};

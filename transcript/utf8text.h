#pragma once

#include <QList>
#include <QtGlobal>

class TranscriptStore;

// Reading the transcript's bytes as UTF-8: what a character is, how many
// cells it takes, and an index, kept up as bytes are appended, that lets a
// view start reading anywhere near a position without going back to the
// start of its line.
namespace utf8 {

struct Decoded {
    char32_t codePoint = 0;
    // Bytes of the valid sequence at p; 0 when the byte at p starts none;
    // -1 when the bytes up to the end are the start of one that more bytes
    // could complete.
    int length = 0;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
Decoded decode(const uchar* p, qint64 available);

// Two cells for East Asian wide and fullwidth characters (emoji among them),
// one for every other character.
int cellWidth(char32_t c);

// Marks and joiners that belong to the character before them.
bool joinsPrevious(char32_t c);

// One character as the UTF-8 view shows it: a character with the marks
// that sit on it, a TAB, a line-break byte, a control character, or a byte
// that is not part of a valid sequence.
struct Cluster {
    enum Kind : quint8 { Text, Tab, Break, Control, Invalid };
    Kind kind = Text;
    qint64 pos = 0;
    int length = 0; // bytes
    int width = 1;  // cells; a TAB's width depends on its column
    int units = 1;  // UTF-16 code units of its text
    char32_t value = 0; // the control character, or the invalid byte
};

// A character never joins more than this many code points: an endless run of
// marks costs no more than any other text.
constexpr int MaxJoined = 32;

// Calls visit(const Cluster&) for each cluster that starts in [from, end),
// from a position where one starts, until visit returns false. Bytes past
// end are not read.
template <class Visit>
void scan(const uchar* d, qint64 from, qint64 end, Visit&& visit)
{
    for (qint64 i = from; i < end;) {
        Cluster c;
        c.pos = i;
        c.length = 1;
        const uchar b = d[i];
        char32_t first = b;
        if (b < 0x80) {
            if (b == '\r' || b == '\n')
                c.kind = Cluster::Break;
            else if (b == '\t')
                c.kind = Cluster::Tab;
            else if (b < 0x20 || b == 0x7f)
                c.kind = Cluster::Control;
            c.value = b;
        } else {
            const Decoded dc = decode(d + i, end - i);
            if (dc.length <= 0) {
                c.kind = Cluster::Invalid;
                c.value = b;
            } else {
                c.length = dc.length;
                first = dc.codePoint;
                if (first < 0xa0) {
                    c.kind = Cluster::Control;
                    c.value = first;
                } else {
                    c.width = cellWidth(first);
                    c.units = first > 0xffff ? 2 : 1;
                }
            }
        }
        if (c.kind == Cluster::Text) {
            bool afterJoiner = first == 0x200d;
            for (int joined = 1; joined < MaxJoined; ++joined) {
                const qint64 j = i + c.length;
                if (j >= end || d[j] < 0x80)
                    break;
                const Decoded next = decode(d + j, end - j);
                if (next.length <= 0 || next.codePoint < 0xa0
                    || !(afterJoiner || joinsPrevious(next.codePoint)))
                    break;
                c.length += next.length;
                c.units += next.codePoint > 0xffff ? 2 : 1;
                c.width = std::max(c.width, cellWidth(next.codePoint));
                afterJoiner = next.codePoint == 0x200d;
            }
        }
        if (!visit(static_cast<const Cluster&>(c)))
            return;
        i += c.length;
    }
}

// Kept up by append() after each append to the store, and cleared with it:
// every 4096 bytes, where the first character at or after that point starts,
// its column in its line and the UTF-16 units of the text before it; and the
// widest line. 24 bytes per 4096 bytes of text.
class Index {
public:
    static constexpr int MarkShift = 12;

    struct Mark {
        qint64 pos = 0;
        qint64 column = 0;
        qint64 units = 0;
    };

    // Reads what the store gained since the last call: O(appended bytes),
    // plus the last character before them.
    void append(const TranscriptStore& store);
    void clear() { *this = Index(); }

    qint64 maxColumns() const { return std::max(m_widestDone, m_lastColumns); }
    qint64 lastLineColumns() const { return m_lastColumns; }
    // UTF-16 units of the whole text as shown.
    qint64 units() const { return m_units; }

    // The last mark at or before pos, or the start of the text.
    Mark markAtOrBefore(qint64 pos) const;
    // The last mark whose units are at or before units.
    Mark markAtOrBeforeUnits(qint64 units) const;

private:
    QList<Mark> m_marks;
    // From here on the characters are read again at the next append: the
    // last one may still gain a mark, or a sequence cut short be completed.
    Mark m_pending;
    qint64 m_widestDone = 0;
    qint64 m_lastColumns = 0;
    qint64 m_units = 0;
};

} // namespace utf8

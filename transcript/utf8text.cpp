#include "utf8text.h"

#include "transcriptstore.h"

#include <QChar>

#include <algorithm>
#include <iterator>

namespace utf8 {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// East Asian Width W and F (Unicode 14), unassigned gaps inside a range
// merged into it.
constexpr Range Wide[] = {
    {0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}, {0x23E9, 0x23EC}, {0x23F0, 0x23F0},
    {0x23F3, 0x23F3}, {0x25FD, 0x25FE}, {0x2614, 0x2615}, {0x2648, 0x2653}, {0x267F, 0x267F},
    {0x2693, 0x2693}, {0x26A1, 0x26A1}, {0x26AA, 0x26AB}, {0x26BD, 0x26BE}, {0x26C4, 0x26C5},
    {0x26CE, 0x26CE}, {0x26D4, 0x26D4}, {0x26EA, 0x26EA}, {0x26F2, 0x26F3}, {0x26F5, 0x26F5},
    {0x26FA, 0x26FA}, {0x26FD, 0x26FD}, {0x2705, 0x2705}, {0x270A, 0x270B}, {0x2728, 0x2728},
    {0x274C, 0x274C}, {0x274E, 0x274E}, {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2795, 0x2797},
    {0x27B0, 0x27B0}, {0x27BF, 0x27BF}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55},
    {0x2E80, 0x303E}, {0x3041, 0x3247}, {0x3250, 0x4DBF}, {0x4E00, 0xA4C6}, {0xA960, 0xA97C},
    {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE10, 0xFE19}, {0xFE30, 0xFE6B}, {0xFF01, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x16FE0, 0x1B2FB}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F320}, {0x1F32D, 0x1F335},
    {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA}, {0x1F3CF, 0x1F3D3},
    {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440},
    {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567},
    {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F},
    {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6DF},
    {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7F0}, {0x1F90C, 0x1F93A},
    {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAF6}, {0x20000, 0x3FFFD},
};

bool isContinuation(uchar b)
{
    return (b & 0xc0) == 0x80;
}

} // namespace

Decoded decode(const uchar* p, qint64 available)
{
    const uchar b = p[0];
    int length = 0;
    char32_t c = 0;
    uchar low = 0x80;
    uchar high = 0xbf;
    if (b >= 0xc2 && b <= 0xdf) {
        length = 2;
        c = b & 0x1f;
    } else if (b >= 0xe0 && b <= 0xef) {
        length = 3;
        c = b & 0x0f;
        if (b == 0xe0)
            low = 0xa0; // overlong below
        else if (b == 0xed)
            high = 0x9f; // surrogates above
    } else if (b >= 0xf0 && b <= 0xf4) {
        length = 4;
        c = b & 0x07;
        if (b == 0xf0)
            low = 0x90;
        else if (b == 0xf4)
            high = 0x8f;
    } else {
        return {};
    }
    for (int k = 1; k < length; ++k) {
        if (k >= available)
            return {0, -1};
        const uchar n = p[k];
        if (k == 1 ? (n < low || n > high) : !isContinuation(n))
            return {};
        c = (c << 6) | (n & 0x3f);
    }
    return {c, length};
}

int cellWidth(char32_t c)
{
    if (c < Wide[0].first)
        return 1;
    const auto it = std::upper_bound(std::begin(Wide), std::end(Wide), c,
                                     [](char32_t v, const Range& r) { return v < r.first; });
    return it != std::begin(Wide) && c <= std::prev(it)->last ? 2 : 1;
}

bool joinsPrevious(char32_t c)
{
    if (c == 0x200d || (c >= 0x1f3fb && c <= 0x1f3ff)) // joiner, skin tones
        return true;
    switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
        return true;
    default:
        return false;
    }
}

void Index::append(const TranscriptStore& store)
{
    const uchar* d = reinterpret_cast<const uchar*>(store.data());
    const qint64 end = store.size();
    const qint64 from = m_pending.pos;
    if (from >= end)
        return;
    while (!m_marks.isEmpty() && m_marks.last().pos >= from)
        m_marks.removeLast();

    // A sequence cut short at the end shows as invalid bytes until the rest
    // comes; the character before it may yet gain it as a mark.
    qint64 tail = end;
    for (int k = 1; k <= 3 && k <= end; ++k) {
        const Decoded dc = decode(d + end - k, k);
        if (dc.length < 0) {
            tail = end - k;
            break;
        }
    }

    qint64 nextMark = qint64(m_marks.size() + 1) << MarkShift;
    Mark at = m_pending;
    auto one = [&](const Cluster& c) {
        if (c.pos >= nextMark) {
            m_marks.append(at);
            nextMark += qint64(1) << MarkShift;
        }
        if (c.pos < tail)
            m_pending = at;
        switch (c.kind) {
        case Cluster::Break:
            m_widestDone = std::max(m_widestDone, at.column);
            at.column = 0;
            break;
        case Cluster::Tab:
            at.column = TranscriptStore::nextColumn(at.column, '\t');
            break;
        default:
            at.column += c.width;
            break;
        }
        at.units += c.units;
        at.pos += c.length;
        return false; // one cluster at a time: runs of plain ASCII go faster below
    };
    auto printable = [d](qint64 i) { return d[i] >= 0x20 && d[i] < 0x7f; };
    while (at.pos < end) {
        // Printable ASCII followed by ASCII is a cluster of one byte, one
        // cell and one unit that joins nothing: a whole run of them at once.
        qint64 j = at.pos;
        while (j + 1 < end && printable(j) && d[j + 1] < 0x80)
            ++j;
        if (j > at.pos) {
            const qint64 start = at.pos;
            const qint64 count = j - start;
            // A mark at the first cluster at or after each boundary, as below.
            for (; nextMark < j; nextMark += qint64(1) << MarkShift) {
                const qint64 p = std::max(nextMark, start);
                m_marks.append({p, at.column + (p - start), at.units + (p - start)});
            }
            const qint64 lastBeforeTail = std::min(j, tail) - 1;
            if (lastBeforeTail >= start)
                m_pending = {lastBeforeTail, at.column + (lastBeforeTail - start),
                             at.units + (lastBeforeTail - start)};
            at.pos += count;
            at.column += count;
            at.units += count;
            continue;
        }
        scan(d, at.pos, end, one);
    }
    m_lastColumns = at.column;
    m_units = at.units;
}

Index::Mark Index::markAtOrBefore(qint64 pos) const
{
    const auto it = std::upper_bound(m_marks.cbegin(), m_marks.cend(), pos,
                                     [](qint64 p, const Mark& m) { return p < m.pos; });
    return it == m_marks.cbegin() ? Mark{} : *std::prev(it);
}

Index::Mark Index::markAtOrBeforeUnits(qint64 units) const
{
    const auto it = std::upper_bound(m_marks.cbegin(), m_marks.cend(), units,
                                     [](qint64 u, const Mark& m) { return u < m.units; });
    return it == m_marks.cbegin() ? Mark{} : *std::prev(it);
}

} // namespace utf8

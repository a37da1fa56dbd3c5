#include "transcriptstore.h"

#include <algorithm>

void TranscriptStore::append(QByteArrayView in)
{
    if (in.isEmpty())
        return;
    const qint64 base = m_bytes.size();
    m_bytes.append(in.data(), in.size());

    const char* p = m_bytes.data();
    const qint64 n = m_bytes.size();
    constexpr qint64 mask = CheckpointSpacing - 1;
    qint64 column = m_lastColumns;
    bool tab = false;
    auto ordinary = [](char c) { return c != '\n' && c != '\r' && c != '\t'; };
    for (qint64 i = base; i < n; ++i) {
        if ((i & mask) == 0)
            m_checkpoints.append(column);
        const char c = p[i];
        if (ordinary(c)) {
            // A run of bytes a column each, up to the next break, tab or
            // checkpoint, in one step.
            const qint64 limit = std::min(n, (i | mask) + 1);
            qint64 j = i + 1;
            while (j < limit && ordinary(p[j]))
                ++j;
            column += j - i;
            i = j - 1;
        } else if (c == '\n' && i > 0 && p[i - 1] == '\r') {
            // The LF of a CR LF, also one that comes in the next append: the
            // empty line that the CR opened starts after it instead.
            m_lines.last() = (i + 1) << 1;
        } else if (c == '\r' || c == '\n') {
            m_maxColumns = std::max(m_maxColumns, column);
            if (tab)
                m_lines.last() |= 1;
            m_lines.append((i + 1) << 1);
            column = 0;
            tab = false;
        } else {
            column = (column / TabWidth + 1) * TabWidth;
            tab = true;
        }
    }
    if (tab)
        m_lines.last() |= 1;
    m_lastColumns = column;
    m_maxColumns = std::max(m_maxColumns, column);
}

void TranscriptStore::clear()
{
    m_bytes.clear();
    m_lines = firstLine();
    m_checkpoints.clear();
    m_lastColumns = 0;
    m_maxColumns = 0;
}

qint64 TranscriptStore::lineEnd(qint64 line) const
{
    if (line + 1 >= lineCount())
        return size();
    const qint64 next = lineStart(line + 1);
    // Lines hold no CR or LF, so a CR just before the final LF belongs to
    // the break.
    const char* p = m_bytes.data();
    if (next >= 2 && p[next - 1] == '\n' && p[next - 2] == '\r')
        return next - 2;
    return next - 1;
}

qint64 TranscriptStore::lineOf(qint64 pos) const
{
    const auto it = std::upper_bound(m_lines.cbegin(), m_lines.cend(), pos,
                                     [](qint64 p, qint64 entry) { return p < (entry >> 1); });
    return std::max<qint64>(0, (it - m_lines.cbegin()) - 1);
}

qint64 TranscriptStore::scanColumns(qint64 from, qint64 to, qint64 column) const
{
    const char* p = m_bytes.data();
    for (qint64 i = from; i < to; ++i)
        column = nextColumn(column, static_cast<uchar>(p[i]));
    return column;
}

qint64 TranscriptStore::tabLineColumn(qint64 start, qint64 pos) const
{
    qint64 k = pos >> CheckpointShift;
    if (k >= m_checkpoints.size())
        k = m_checkpoints.size() - 1;
    const qint64 at = k << CheckpointShift;
    if (k >= 0 && at > start)
        return scanColumns(at, pos, m_checkpoints.at(k));
    return scanColumns(start, pos, 0);
}

qint64 TranscriptStore::lineColumns(qint64 line) const
{
    if (line + 1 >= lineCount())
        return m_lastColumns;
    const qint64 start = lineStart(line);
    const qint64 end = lineEnd(line);
    return lineHasTab(line) ? tabLineColumn(start, end) : end - start;
}

qint64 TranscriptStore::columnOf(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, size());
    if (pos == size())
        return m_lastColumns;
    const qint64 line = lineOf(pos);
    const qint64 start = lineStart(line);
    const qint64 stop = std::min(pos, lineEnd(line));
    return lineHasTab(line) ? tabLineColumn(start, stop) : stop - start;
}

qint64 TranscriptStore::positionAtColumn(qint64 line, qint64 column) const
{
    const qint64 start = lineStart(line);
    const qint64 end = lineEnd(line);
    if (column <= 0)
        return start;
    if (!lineHasTab(line))
        return std::min(start + column, end);

    // Columns only grow along a line: start from the last checkpoint inside
    // it that is not past column.
    qint64 from = start;
    qint64 at = 0;
    qint64 lo = (start >> CheckpointShift) + 1;
    qint64 hi = std::min<qint64>(end >> CheckpointShift, m_checkpoints.size() - 1);
    while (lo <= hi) {
        const qint64 mid = lo + (hi - lo) / 2;
        if (m_checkpoints.at(mid) <= column) {
            from = mid << CheckpointShift;
            at = m_checkpoints.at(mid);
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    const char* p = m_bytes.data();
    for (qint64 i = from; i < end; ++i) {
        at = nextColumn(at, static_cast<uchar>(p[i]));
        if (column < at)
            return i;
    }
    return end;
}

QChar TranscriptStore::displayChar(uchar byte)
{
    // Text layout draws a soft hyphen as nothing unless it ends a line.
    if (byte == 0xad)
        return QChar(char16_t(0x2010));
    return QChar::fromLatin1(char(byte));
}

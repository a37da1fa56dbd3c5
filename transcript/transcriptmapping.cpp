#include "transcriptmapping.h"

#include <QChar>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <vector>

namespace {

bool isControlByte(uchar byte)
{
    return byte < 0x20 || byte == 0x7f || (byte >= 0x80 && byte < 0xa0);
}

bool isWordCharacter(char32_t c)
{
    return c == '_' || QChar::isLetterOrNumber(c);
}

QChar hexDigit(uint value)
{
    return QLatin1Char("0123456789ABCDEF"[value & 0xf]);
}

// The cells of the text [from, to) of a line, read as Latin-1, that reach
// into columns [left, right); columns count from the text's start.
void visitLatin1Cells(const TranscriptStore& store, qint64 line, qint64 from, qint64 to,
                      qint64 left, qint64 right,
                      const std::function<void(const TranscriptCell&)>& visit)
{
    const qint64 shift = store.columnOf(from);
    qint64 pos = std::max(from, store.positionAtColumn(line, shift + std::max<qint64>(0, left)));
    qint64 column = store.columnOf(pos) - shift;
    TranscriptCell cell;
    for (; pos < to && column < right; ++pos) {
        const uchar byte = store.at(pos);
        cell.pos = pos;
        cell.column = column;
        // Tab stops are the line's own.
        const qint64 width = TranscriptStore::nextColumn(column + shift, byte) - column - shift;
        if (byte == '\t') {
            cell.kind = TranscriptCell::Tab;
            cell.width = width;
        } else if (isControlByte(byte)) {
            cell.kind = TranscriptCell::Control;
            cell.width = 1;
            cell.value = byte;
        } else {
            cell.kind = TranscriptCell::Text;
            cell.width = 1;
            // In place: the cell's text keeps its buffer from one cell to the next.
            cell.text.resize(1);
            cell.text[0] = TranscriptStore::displayChar(byte);
        }
        visit(cell);
        column += cell.width;
    }
}

// The word of Latin-1 text around pos in [start, end): [from, to), empty when
// there is none.
std::pair<qint64, qint64> latin1WordAt(const TranscriptStore& store, qint64 pos, qint64 start,
                                       qint64 end)
{
    qint64 from = std::clamp(pos, start, end);
    if (from == end || !TranscriptStore::isWordByte(store.at(from))) {
        if (from > start && TranscriptStore::isWordByte(store.at(from - 1)))
            --from;
        else
            return {pos, pos};
    }
    qint64 to = from;
    while (from > start && TranscriptStore::isWordByte(store.at(from - 1)))
        --from;
    while (to < end && TranscriptStore::isWordByte(store.at(to)))
        ++to;
    return {from, to};
}

bool isLineBreakByte(uchar byte)
{
    return byte == '\r' || byte == '\n';
}

} // namespace

// --- every mapping whose rows are the store's lines ----------------------------

// A line break, one or two bytes, is one step.
qint64 TranscriptMapping::previousPosition(qint64 pos) const
{
    if (pos <= 0)
        return 0;
    const qint64 line = m_store.lineOf(pos);
    if (pos == m_store.lineStart(line))
        return m_store.lineEnd(line - 1);
    return std::min(pos - 1, m_store.lineEnd(line));
}

qint64 TranscriptMapping::nextPosition(qint64 pos) const
{
    if (pos >= m_store.size())
        return m_store.size();
    const qint64 line = m_store.lineOf(pos);
    if (pos >= m_store.lineEnd(line))
        return m_store.lineStart(line + 1);
    return pos + 1;
}

// --- Latin-1 ---------------------------------------------------------------------

void Latin1Mapping::forEachCell(qint64 row, qint64 left, qint64 right,
                                const std::function<void(const TranscriptCell&)>& visit) const
{
    visitLatin1Cells(m_store, row, m_store.lineStart(row), m_store.lineEnd(row), left, right,
                     visit);
}

QString Latin1Mapping::text(qint64 from, qint64 to) const
{
    return QString::fromLatin1(m_store.bytes().sliced(from, to - from));
}

std::pair<qint64, qint64> Latin1Mapping::wordAt(qint64 pos) const
{
    const qint64 line = m_store.lineOf(pos);
    return latin1WordAt(m_store, pos, m_store.lineStart(line), m_store.lineEnd(line));
}

// --- UTF-8 -------------------------------------------------------------------------

template <class Visit>
void Utf8Mapping::scanRow(qint64 row, qint64 pos, Visit&& visit) const
{
    const qint64 start = m_store.lineStart(row);
    const qint64 end = m_store.lineEnd(row);
    utf8::Index::Mark at = m_index.markAtOrBefore(std::min(pos, end));
    if (at.pos < start)
        at = {start, 0, 0};
    qint64 column = at.column;
    const auto* d = reinterpret_cast<const uchar*>(m_store.data());
    utf8::scan(d, at.pos, end, [&](const utf8::Cluster& c) {
        const qint64 width = c.kind == utf8::Cluster::Tab ? tabWidth(column) : c.width;
        if (!visit(c, column, width))
            return false;
        column += width;
        return true;
    });
}

qint64 Utf8Mapping::rowColumns(qint64 row) const
{
    if (row + 1 >= m_store.lineCount())
        return m_index.lastLineColumns();
    qint64 columns = 0;
    scanRow(row, m_store.lineEnd(row), [&](const utf8::Cluster&, qint64 column, qint64 width) {
        columns = column + width;
        return true;
    });
    // A row with no character after its mark: the mark's own column.
    const utf8::Index::Mark at = m_index.markAtOrBefore(m_store.lineEnd(row));
    if (columns == 0 && at.pos >= m_store.lineStart(row))
        columns = at.column;
    return columns;
}

qint64 Utf8Mapping::columnOf(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, m_store.size());
    const qint64 row = m_store.lineOf(pos);
    if (pos >= m_store.lineEnd(row))
        return rowColumns(row);
    qint64 result = 0;
    scanRow(row, pos, [&](const utf8::Cluster& c, qint64 column, qint64) {
        result = column;
        return c.pos + c.length <= pos;
    });
    return result;
}

qint64 Utf8Mapping::positionAtColumn(qint64 row, qint64 column) const
{
    const qint64 start = m_store.lineStart(row);
    const qint64 end = m_store.lineEnd(row);
    if (column <= 0)
        return start;
    // The last mark of the row at or before the column: marks only grow
    // along a row.
    qint64 lo = start;
    qint64 hi = end;
    while (lo < hi) {
        const qint64 mid = lo + (hi - lo + 1) / 2;
        const utf8::Index::Mark at = m_index.markAtOrBefore(mid);
        if (at.pos >= start && at.column > column)
            hi = std::min(mid - 1, at.pos - 1);
        else
            lo = mid;
    }
    qint64 result = end;
    scanRow(row, lo, [&](const utf8::Cluster& c, qint64 at, qint64 width) {
        if (column < at + width) {
            result = c.pos;
            return false;
        }
        return true;
    });
    return result;
}

qint64 Utf8Mapping::previousPosition(qint64 pos) const
{
    if (pos <= 0)
        return 0;
    const qint64 row = m_store.lineOf(pos);
    const qint64 start = m_store.lineStart(row);
    if (pos == start)
        return m_store.lineEnd(row - 1);
    pos = std::min(pos, m_store.lineEnd(row));
    qint64 result = start;
    // From a mark before the character that ends at pos.
    scanRow(row, pos - 1, [&](const utf8::Cluster& c, qint64, qint64) {
        if (c.pos >= pos)
            return false;
        result = c.pos;
        return true;
    });
    return result;
}

qint64 Utf8Mapping::nextPosition(qint64 pos) const
{
    if (pos >= m_store.size())
        return m_store.size();
    const qint64 row = m_store.lineOf(pos);
    const qint64 end = m_store.lineEnd(row);
    if (pos >= end)
        return m_store.lineStart(row + 1);
    qint64 result = end;
    scanRow(row, pos, [&](const utf8::Cluster& c, qint64, qint64) {
        result = c.pos + c.length;
        return result <= pos;
    });
    return result;
}

void Utf8Mapping::forEachCell(qint64 row, qint64 left, qint64 right,
                              const std::function<void(const TranscriptCell&)>& visit) const
{
    const auto* d = reinterpret_cast<const uchar*>(m_store.data());
    TranscriptCell cell;
    scanRow(row, positionAtColumn(row, left), [&](const utf8::Cluster& c, qint64 column,
                                                   qint64 width) {
        if (column >= right)
            return false;
        cell.pos = c.pos;
        cell.length = c.length;
        cell.column = column;
        cell.width = width;
        cell.value = c.value;
        switch (c.kind) {
        case utf8::Cluster::Text:
            cell.kind = TranscriptCell::Text;
            cell.text = QString::fromUtf8(reinterpret_cast<const char*>(d + c.pos), c.length);
            break;
        case utf8::Cluster::Tab:
            cell.kind = TranscriptCell::Tab;
            break;
        case utf8::Cluster::Invalid:
            cell.kind = TranscriptCell::Invalid;
            break;
        default:
            cell.kind = TranscriptCell::Control;
            break;
        }
        if (column + width > left)
            visit(cell);
        return true;
    });
}

// Characters as they are; control characters, TAB and line breaks as
// themselves; each invalid byte as U+FFFD.
QString Utf8Mapping::text(qint64 from, qint64 to) const
{
    QString out;
    if (to <= from)
        return out;
    const auto* d = reinterpret_cast<const uchar*>(m_store.data());
    const char* c8 = m_store.data();
    out.reserve(to - from);
    utf8::scan(d, from, m_store.size(), [&](const utf8::Cluster& c) {
        if (c.pos >= to)
            return false;
        switch (c.kind) {
        case utf8::Cluster::Text:
            out += QString::fromUtf8(c8 + c.pos, c.length);
            break;
        case utf8::Cluster::Invalid:
            out += QChar(QChar::ReplacementCharacter);
            break;
        default:
            out += QChar(char16_t(c.value));
            break;
        }
        return true;
    });
    return out;
}

std::pair<qint64, qint64> Utf8Mapping::wordAt(qint64 pos) const
{
    const qint64 row = m_store.lineOf(pos);
    const qint64 start = m_store.lineStart(row);
    const qint64 end = m_store.lineEnd(row);
    pos = std::clamp(pos, start, end);
    const auto* d = reinterpret_cast<const uchar*>(m_store.data());
    // The characters of a window around pos: a word longer than the window
    // is cut at its edge.
    constexpr qint64 Reach = 4096;
    struct Character {
        qint64 from, to;
        bool word;
    };
    std::vector<Character> near;
    qint64 at = -1; // the character that holds pos
    scanRow(row, std::max(start, pos - Reach), [&](const utf8::Cluster& c, qint64, qint64) {
        if (c.pos > pos + Reach)
            return false;
        const char32_t first = d[c.pos] < 0x80 ? d[c.pos]
                                               : utf8::decode(d + c.pos, c.length).codePoint;
        if (c.pos <= pos && pos < c.pos + c.length)
            at = qint64(near.size());
        near.push_back({c.pos, c.pos + c.length,
                        c.kind == utf8::Cluster::Text && isWordCharacter(first)});
        return true;
    });
    if (at < 0 || !near[std::size_t(at)].word) {
        // After a word's last character, as a double click past it.
        const qint64 before = at < 0 ? qint64(near.size()) - 1 : at - 1;
        if (before < 0 || !near[std::size_t(before)].word || near[std::size_t(before)].to != pos)
            return {pos, pos};
        at = before;
    }
    qint64 first = at;
    qint64 last = at;
    while (first > 0 && near[std::size_t(first - 1)].word)
        --first;
    while (last + 1 < qint64(near.size()) && near[std::size_t(last + 1)].word)
        ++last;
    return {near[std::size_t(first)].from, near[std::size_t(last)].to};
}

qint64 Utf8Mapping::offsetOf(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, m_store.size());
    if (pos == m_store.size())
        return m_index.units();
    const utf8::Index::Mark at = m_index.markAtOrBefore(pos);
    qint64 units = at.units;
    utf8::scan(reinterpret_cast<const uchar*>(m_store.data()), at.pos, m_store.size(),
               [&](const utf8::Cluster& c) {
                   if (c.pos + c.length > pos)
                       return false;
                   units += c.units;
                   return true;
               });
    return units;
}

qint64 Utf8Mapping::positionOfOffset(qint64 offset) const
{
    if (offset >= m_index.units())
        return m_store.size();
    if (offset <= 0)
        return 0;
    const utf8::Index::Mark at = m_index.markAtOrBeforeUnits(offset);
    qint64 units = at.units;
    qint64 pos = at.pos;
    utf8::scan(reinterpret_cast<const uchar*>(m_store.data()), at.pos, m_store.size(),
               [&](const utf8::Cluster& c) {
                   if (units + c.units > offset)
                       return false;
                   units += c.units;
                   pos = c.pos + c.length;
                   return true;
               });
    return pos;
}

// --- hex ------------------------------------------------------------------------------

qint64 HexMapping::rowCount() const
{
    const HexIndex::Run last = m_index.lastRun(m_store);
    return last.row + last.rows;
}

qint64 HexMapping::rowOf(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, m_store.size());
    const HexIndex::Run run = runOf(pos);
    const qint64 k = run.isText() ? m_store.lineOf(pos) - run.firstLine
                                  : (pos - run.start) / BytesPerRow;
    return run.row + std::clamp<qint64>(k, 0, run.rows - 1);
}

qint64 HexMapping::rowStart(qint64 row) const
{
    const HexIndex::Run run = runOfRow(row);
    return run.isText() ? textRow(run, row).from : byteRowStart(run, row);
}

qint64 HexMapping::rowEnd(qint64 row) const
{
    const HexIndex::Run run = runOfRow(row);
    return run.isText() ? textRow(run, row).end : byteRowEnd(run, row);
}

qint64 HexMapping::rowColumns(qint64 row) const
{
    const HexIndex::Run run = runOfRow(row);
    return run.isText() ? HexIndex::textColumns(textRow(run, row), m_store) : RowColumns;
}

qint64 HexMapping::columnOf(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, m_store.size());
    const HexIndex::Run run = runOf(pos);
    if (!run.isText())
        return hexColumn((pos - run.start) % BytesPerRow);
    const HexIndex::TextRow t = textRow(run, rowOf(pos));
    return m_store.columnOf(std::clamp(pos, t.from, t.to)) - m_store.columnOf(t.from);
}

qint64 HexMapping::positionAtColumn(qint64 row, qint64 column) const
{
    const HexIndex::Run run = runOfRow(row);
    if (run.isText()) {
        const HexIndex::TextRow t = textRow(run, row);
        if (column <= 0)
            return t.from;
        const qint64 at = m_store.positionAtColumn(t.line, m_store.columnOf(t.from) + column);
        return std::clamp(at, t.from, t.end);
    }
    qint64 index = 0;
    if (column >= CharColumn)
        index = column - CharColumn;
    else if (column > HexColumn)
        index = (column - HexColumn - (column > hexColumn(8) - 1 ? 1 : 0) + 1) / 3;
    const qint64 start = byteRowStart(run, row);
    return start + std::clamp<qint64>(index, 0, byteRowEnd(run, row) - start);
}

bool HexMapping::insideTextBreak(qint64 pos) const
{
    if (pos <= 0 || pos >= m_store.size() || !runOf(pos).isText())
        return false;
    return pos > m_store.lineEnd(m_store.lineOf(pos));
}

qint64 HexMapping::previousPosition(qint64 pos) const
{
    if (pos <= 0)
        return 0;
    qint64 before = std::min(pos, m_store.size()) - 1;
    const HexIndex::Run run = runOf(before);
    if (run.isText()) {
        if (insideTextBreak(before))
            before = std::max(run.start, m_store.lineEnd(m_store.lineOf(before)));
        // A break that gets no row is no place for the caret.
        if (before < run.textStart)
            before = std::max<qint64>(0, run.start - 1);
    }
    return before;
}

qint64 HexMapping::nextPosition(qint64 pos) const
{
    if (pos >= m_store.size())
        return m_store.size();
    pos = std::max<qint64>(0, pos);
    const HexIndex::Run run = runOf(pos);
    qint64 after = pos + 1;
    if (run.isText() && pos >= m_store.lineEnd(m_store.lineOf(pos)))
        after = std::min(run.end, m_store.lineStart(m_store.lineOf(pos) + 1));
    const HexIndex::Run next = runOf(after);
    if (next.isText() && after < next.textStart)
        after = next.textStart;
    return std::min(after, m_store.size());
}

void HexMapping::forEachCell(qint64 row, qint64 left, qint64 right,
                             const std::function<void(const TranscriptCell&)>& visit) const
{
    const HexIndex::Run run = runOfRow(row);
    if (run.isText()) {
        const HexIndex::TextRow t = textRow(run, row);
        visitLatin1Cells(m_store, t.line, t.from, t.to, left, right, visit);
        return;
    }
    const qint64 start = byteRowStart(run, row);
    const qint64 count = std::clamp<qint64>(run.end - start, 0, BytesPerRow);
    TranscriptCell cell;
    cell.kind = TranscriptCell::Label;
    cell.pos = start;
    cell.length = 0;
    cell.column = 0;
    cell.width = 8;
    cell.text = offsetText(run.offset + (start - run.start));
    if (left < cell.width)
        visit(cell);
    cell.length = 1;
    for (qint64 i = 0; i < count; ++i) {
        const uchar byte = m_store.at(start + i);
        cell.pos = start + i;
        cell.kind = TranscriptCell::Hex;
        cell.column = hexColumn(i);
        cell.width = 2;
        cell.value = byte;
        cell.text.resize(2);
        cell.text[0] = hexDigit(byte >> 4);
        cell.text[1] = hexDigit(byte);
        if (cell.column < right && cell.column + 2 > left)
            visit(cell);
        cell.kind = TranscriptCell::Text;
        cell.column = CharColumn + i;
        cell.width = 1;
        cell.text.resize(1);
        cell.text[0] = byte >= 0x20 && byte < 0x7f ? QChar::fromLatin1(char(byte)) : QChar(u'.');
        if (cell.column < right && cell.column + 1 > left)
            visit(cell);
    }
}

QString HexMapping::text(qint64 from, qint64 to) const
{
    QString out;
    from = std::max<qint64>(0, from);
    to = std::min(to, m_store.size());
    if (to <= from)
        return out;
    out.reserve((to - from) * 3);
    for (qsizetype i = m_index.runAtPosition(from); i < m_index.runCount(); ++i) {
        const HexIndex::Run run = m_index.run(i, m_store);
        if (run.start >= to)
            break;
        const qint64 a = std::max(from, run.start);
        const qint64 b = std::min(to, run.end);
        if (a >= b)
            continue;
        // Each origin's part on a line of its own, unless a line break of
        // the text already ends one or starts the next.
        if (!out.isEmpty() && !isLineBreakByte(uchar(out.back().unicode()))
            && !(run.isText() && isLineBreakByte(m_store.at(a))))
            out += u'\n';
        if (run.isText()) {
            out += QString::fromLatin1(m_store.bytes().sliced(a, b - a));
            continue;
        }
        for (qint64 p = a; p < b; ++p) {
            if (p > a)
                out += u' ';
            const uchar byte = m_store.at(p);
            out += hexDigit(byte >> 4);
            out += hexDigit(byte);
        }
    }
    return out;
}

std::pair<qint64, qint64> HexMapping::wordAt(qint64 pos) const
{
    if (pos < 0 || pos >= m_store.size())
        return {pos, pos};
    const HexIndex::Run run = runOf(pos);
    if (!run.isText())
        return {pos, pos + 1};
    const HexIndex::TextRow t = textRow(run, rowOf(pos));
    return latin1WordAt(m_store, pos, t.from, t.to);
}

qint64 HexMapping::accessibleLength() const
{
    const HexIndex::Run last = m_index.lastRun(m_store);
    return last.units + last.unitCount;
}

qint64 HexMapping::offsetOf(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, m_store.size());
    const HexIndex::Run run = runOf(pos);
    if (run.isText())
        return run.units + std::max<qint64>(0, pos - run.textStart);
    return run.units + (pos - run.start) / BytesPerRow * RowChars + columnOf(pos);
}

qint64 HexMapping::rowOffset(qint64 row) const
{
    const HexIndex::Run run = runOfRow(row);
    if (run.isText())
        return offsetOf(textRow(run, row).from);
    return run.units + (row - run.row) * RowChars;
}

qint64 HexMapping::positionOfOffset(qint64 offset) const
{
    offset = std::clamp<qint64>(offset, 0, accessibleLength());
    const HexIndex::Run run = m_index.run(m_index.runAtUnits(offset), m_store);
    const qint64 at = offset - run.units;
    if (run.isText())
        return std::clamp(run.textStart + at, run.textStart, run.last ? run.end : run.end - 1);
    const qint64 k = std::min(at / RowChars, run.rows - 1);
    return positionAtColumn(run.row + k, at - k * RowChars);
}

QString HexMapping::rowText(qint64 row) const
{
    const HexIndex::Run run = runOfRow(row);
    if (run.isText()) {
        const HexIndex::TextRow t = textRow(run, row);
        return QString::fromLatin1(m_store.bytes().sliced(t.from, t.to - t.from)) + u'\n';
    }
    QString line(RowChars, u' ');
    forEachCell(row, 0, RowColumns, [&](const TranscriptCell& cell) {
        line.replace(cell.column, cell.text.size(), cell.text);
    });
    line[RowColumns] = u'\n';
    return line;
}

QString HexMapping::accessibleText(qint64 from, qint64 to) const
{
    from = std::clamp<qint64>(from, 0, accessibleLength());
    to = std::clamp<qint64>(to, from, accessibleLength());
    QString out;
    for (qsizetype i = m_index.runAtUnits(from); i < m_index.runCount(); ++i) {
        const HexIndex::Run run = m_index.run(i, m_store);
        if (run.units >= to)
            break;
        const qint64 a = std::max(from, run.units) - run.units;
        const qint64 b = std::min(to, run.units + run.unitCount) - run.units;
        if (a >= b)
            continue;
        if (run.isText()) {
            // Its bytes, and the line feed after a run that ends without one.
            const qint64 bytes = run.end - run.textStart;
            const qint64 upTo = std::min(b, bytes);
            if (upTo > a)
                out += QString::fromLatin1(m_store.bytes().sliced(run.textStart + a, upTo - a));
            if (b > bytes)
                out += u'\n';
            continue;
        }
        for (qint64 k = a / RowChars; k * RowChars < b; ++k) {
            const qint64 rowFrom = std::max(a - k * RowChars, qint64(0));
            const qint64 rowTo = std::min(b - k * RowChars, RowChars);
            out += QStringView(rowText(run.row + k)).sliced(rowFrom, rowTo - rowFrom);
        }
    }
    return out;
}

qint64 HexMapping::streamOffset(qint64 pos) const
{
    const HexIndex::Run run = runOf(pos);
    return run.isText() ? -1 : run.offset + (pos - run.start);
}

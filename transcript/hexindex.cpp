#include "hexindex.h"

#include <algorithm>

void HexIndex::append(const TranscriptStore& store, const TranscriptOrigins& origins)
{
    // Runs only come at the end, and only the last one grows; runs made anew
    // since (after a clear) are read from the start.
    const qsizetype known = m_entries.size();
    if (known > origins.runCount()
        || (known > 0
            && (m_entries.last().pos != origins.run(known - 1).start
                || m_entries.last().origin != origins.run(known - 1).origin)))
        clear();
    for (qsizetype i = m_entries.size(); i < origins.runCount(); ++i) {
        const TranscriptOrigins::Run& r = origins.run(i);
        m_entries.append({r.start, 0, 0, 0, r.origin});
        if (i > 0) {
            // The run before is finished now: its end is this run's start.
            const Run before = run(i - 1, store);
            m_entries.last().row = before.row + before.rows;
            m_entries.last().units = before.units + before.unitCount;
            if (!before.isText())
                m_streamBytes[std::size_t(before.origin)] += before.end - before.start;
        }
        if (r.origin != TextOrigin::Status) {
            const auto stream = std::size_t(r.origin);
            if (m_streamBytes.size() <= stream)
                m_streamBytes.resize(stream + 1, 0);
            m_entries.last().offset = m_streamBytes[stream];
        }
    }

    // The width of every row of text since the last call.
    const Run last = lastRun(store);
    for (qsizetype i = runAtRow(m_measuredRow); i < runCount(); ++i) {
        const Run r = run(i, store);
        if (!r.isText())
            continue;
        for (qint64 k = std::max<qint64>(0, m_measuredRow - r.row); k < r.rows; ++k)
            m_widestText = std::max(m_widestText, textColumns(textRow(r, k, store), store));
    }
    m_measuredRow = last.row + last.rows - 1;
}

HexIndex::Run HexIndex::run(qsizetype i, const TranscriptStore& store) const
{
    Run r;
    if (m_entries.isEmpty())
        return r; // the empty transcript's row
    const Entry& e = m_entries.at(i);
    r.start = e.pos;
    r.last = i + 1 == m_entries.size();
    r.end = r.last ? store.size() : m_entries.at(i + 1).pos;
    r.origin = e.origin;
    r.row = e.row;
    r.units = e.units;
    r.offset = e.offset;
    if (!r.isText()) {
        const qint64 bytes = r.end - r.start;
        r.rows = r.last ? bytes / BytesPerRow + 1 : (bytes + BytesPerRow - 1) / BytesPerRow;
        r.unitCount = r.rows * ByteRowUnits;
        return r;
    }
    const qint64 first = store.lineOf(r.start);
    // The last run's last line is the one the next byte goes to.
    const qint64 lastLine = store.lineOf(r.last ? r.end : r.end - 1);
    const bool breakOnly = r.start != store.lineStart(first) && r.start >= store.lineEnd(first)
        && lastLine > first;
    r.firstLine = first + (breakOnly ? 1 : 0);
    r.textStart = breakOnly ? store.lineStart(r.firstLine) : r.start;
    r.rows = lastLine - r.firstLine + 1;
    r.unitCount = r.end - r.textStart;
    if (!r.last && store.at(r.end - 1) != '\r' && store.at(r.end - 1) != '\n')
        ++r.unitCount;
    return r;
}

HexIndex::TextRow HexIndex::textRow(const Run& run, qint64 k, const TranscriptStore& store)
{
    TextRow t;
    t.line = run.firstLine + k;
    t.from = k == 0 ? run.textStart : store.lineStart(t.line);
    const qint64 lineBreak = store.lineEnd(t.line);
    t.to = std::clamp(lineBreak, t.from, run.end);
    // A line cut by the next run ends before the run's last byte; the
    // position after it is the next run's.
    t.end = lineBreak >= run.end && !run.last ? std::max(t.from, run.end - 1) : t.to;
    return t;
}

template <class Key>
qsizetype HexIndex::entryAt(qint64 value, Key key) const
{
    const auto it = std::upper_bound(m_entries.cbegin(), m_entries.cend(), value,
                                     [&](qint64 v, const Entry& e) { return v < key(e); });
    return std::max<qsizetype>(0, (it - m_entries.cbegin()) - 1);
}

qsizetype HexIndex::runAtPosition(qint64 pos) const
{
    return entryAt(pos, [](const Entry& e) { return e.pos; });
}

qsizetype HexIndex::runAtRow(qint64 row) const
{
    return entryAt(row, [](const Entry& e) { return e.row; });
}

qsizetype HexIndex::runAtUnits(qint64 units) const
{
    return entryAt(units, [](const Entry& e) { return e.units; });
}

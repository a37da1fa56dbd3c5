#include "transcriptgutter.h"

#include <QDateTime>

#include <algorithm>
#include <limits>

void TranscriptGutter::setMode(TimestampMode mode)
{
    if (mode == m_mode)
        return;
    m_mode = mode;
    m_texts.clear();
}

void TranscriptGutter::appended(qint64 pos, Micros time)
{
    if (!m_markPending)
        return;
    m_markPending = false;
    m_marks.append({pos, time});
}

void TranscriptGutter::cleared()
{
    m_texts.clear();
    if (m_marks.isEmpty())
        return;
    const Micros latest = m_marks.last().time;
    m_marks = {{0, latest}};
}

QString TranscriptGutter::textAt(qint64 pos, qint64 size) const
{
    if (m_mode == TimestampMode::Off || pos < 0 || pos >= size)
        return {};
    const qsizetype run = m_times.runAt(pos);
    if (run < 0)
        return {};
    const auto it = m_texts.constFind(run);
    if (it != m_texts.cend())
        return *it;
    // The rows in view ask again at every paint: a few hundred texts are
    // plenty, and each costs a time-zone conversion to make.
    if (m_texts.size() > 1024)
        m_texts.clear();
    return *m_texts.insert(run, textOfRun(run));
}

QString TranscriptGutter::paddedTextAt(qint64 pos, qint64 size) const
{
    const QString text = textAt(pos, size);
    return QString(std::max<qint64>(0, TextCells - text.size()), u' ') + text + u' ';
}

QString TranscriptGutter::textOfRun(qsizetype run) const
{
    const TranscriptTimes::Run& r = m_times.run(run);
    switch (m_mode) {
    case TimestampMode::TimeOfDay:
        return timeOfDay(r.time);
    case TimestampMode::SincePrevious:
        return m_times.hasPrevious(run) ? duration(r.time - m_times.previousTime(run)) : QString();
    case TimestampMode::SinceConnected: {
        const auto mark = std::upper_bound(m_marks.cbegin(), m_marks.cend(), r.start,
                                           [](qint64 p, const Mark& m) { return p < m.pos; });
        return mark == m_marks.cbegin() ? QString() : duration(r.time - (mark - 1)->time);
    }
    case TimestampMode::Off:
        break;
    }
    return {};
}

QString TranscriptGutter::timeOfDay(Micros time)
{
    // Whole milliseconds, rounded down also before 1970.
    const qint64 ms = time >= 0 ? time / 1000 : -((-time + 999) / 1000);
    // The local offset from UTC changes only at a quarter of an hour (no
    // zone has ever moved its clocks elsewhere): asked of the system once a
    // quarter, not once a row, since asking reads the zone's rules.
    constexpr qint64 Quarter = 15 * 60 * 1000;
    const qint64 quarter = ms >= 0 ? ms / Quarter : -((-ms + Quarter - 1) / Quarter);
    thread_local qint64 knownQuarter = std::numeric_limits<qint64>::min();
    thread_local qint64 offsetMs = 0;
    if (quarter != knownQuarter) {
        knownQuarter = quarter;
        offsetMs = qint64(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime).offsetFromUtc()) * 1000;
    }
    constexpr qint64 Day = 24 * 3600 * 1000;
    const qint64 inDay = ((ms + offsetMs) % Day + Day) % Day;
    auto digits = [](qint64 n, int width) { return QStringLiteral("%1").arg(n, width, 10, QLatin1Char('0')); };
    return digits(inDay / 3600000, 2) + u':' + digits(inDay / 60000 % 60, 2) + u':'
        + digits(inDay / 1000 % 60, 2) + u'.' + digits(inDay % 1000, 3);
}

QString TranscriptGutter::duration(Micros micros)
{
    const bool negative = micros < 0;
    const qint64 ms = (negative ? -micros : micros) / 1000;
    const qint64 seconds = ms / 1000;
    const QString fraction = QStringLiteral(".%1").arg(ms % 1000, 3, 10, QLatin1Char('0'));
    auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    QString text;
    if (seconds < 60)
        text = QString::number(seconds);
    else if (seconds < 3600)
        text = QString::number(seconds / 60) + u':' + two(seconds % 60);
    else
        text = QString::number(seconds / 3600) + u':' + two(seconds / 60 % 60) + u':'
            + two(seconds % 60);
    return (negative ? u'-' : u'+') + text + fraction;
}

// --- the accessible text with the gutter ------------------------------------------

qint64 GutterMapping::rowAtOffset(qint64 offset, bool withGutter) const
{
    // Row starts only grow: the last one at or before offset.
    qint64 lo = 0;
    qint64 hi = m_rows.rowCount() - 1;
    auto start = [&](qint64 row) { return withGutter ? rowOffset(row) : m_rows.rowOffset(row); };
    if (offset < start(0))
        return -1;
    while (lo < hi) {
        const qint64 mid = lo + (hi - lo + 1) / 2;
        if (start(mid) <= offset)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

qint64 GutterMapping::positionOfOffset(qint64 offset) const
{
    const qint64 row = rowAtOffset(offset, true);
    if (row < 0)
        return m_rows.positionOfOffset(offset);
    if (offset < rowOffset(row) + TranscriptGutter::Cells)
        return m_rows.rowStart(row);
    return m_rows.positionOfOffset(offset - (row + 1) * TranscriptGutter::Cells);
}

QString GutterMapping::accessibleText(qint64 from, qint64 to) const
{
    constexpr qint64 G = TranscriptGutter::Cells;
    const qint64 length = accessibleLength();
    from = std::clamp<qint64>(from, 0, length);
    to = std::clamp<qint64>(to, from, length);
    QString out;
    const qint64 rows = m_rows.rowCount();
    for (qint64 row = rowAtOffset(from, true); from < to; ++row) {
        // This row's part: its gutter text, then its own text up to the next row's.
        const qint64 start = row < 0 ? 0 : rowOffset(row);
        const qint64 end = row + 1 < rows ? rowOffset(row + 1) : length;
        qint64 cells = start;
        if (row >= 0) {
            cells = start + G;
            if (from < cells) {
                const QString gutter = m_gutter.paddedTextAt(m_rows.rowStart(row), m_store.size());
                out += QStringView(gutter).mid(from - start, std::min(to, cells) - from);
                from = std::min(to, cells);
            }
        }
        const qint64 shift = (row + 1) * G;
        const qint64 upTo = std::min(to, end);
        if (from < upTo)
            out += m_rows.accessibleText(from - shift, upTo - shift);
        from = std::max(from, upTo);
    }
    return out;
}

qint64 GutterMapping::stableOffset() const
{
    // The rows' own stable offset, placed among the gutter texts; a row with
    // no byte yet gets its time with its first byte, so the text before it is
    // all that stays.
    const qint64 inner = m_rows.stableOffset();
    const qint64 row = rowAtOffset(inner, false);
    if (row < 0)
        return inner;
    const bool timeToCome = m_rows.rowStart(row) >= m_store.size();
    if (inner == m_rows.rowOffset(row) && timeToCome)
        return inner + row * TranscriptGutter::Cells;
    return inner + (row + 1) * TranscriptGutter::Cells;
}

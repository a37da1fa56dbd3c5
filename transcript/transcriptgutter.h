#pragma once

#include "transcriptmapping.h"
#include "transcripttimes.h"

#include <QHash>
#include <QList>
#include <QString>

// What the gutter at the left of the rows shows: nothing, or for each row the
// time of the run that holds its first byte: the local time of day, the time
// since the run before it, or the time since the connection it came in began.
enum class TimestampMode { Off, TimeOfDay, SincePrevious, SinceConnected };

// The texts of the gutter, from the times of the runs and the starts of the
// connections. A row's text never changes once its first byte is there, so
// texts are kept by run until the mode changes or the transcript is cleared.
class TranscriptGutter {
public:
    using Micros = TranscriptTimes::Micros;
    // The widest text, "+99:59:59.999", and a blank between it and the row.
    static constexpr qint64 TextCells = 13;
    static constexpr qint64 Cells = TextCells + 1;

    explicit TranscriptGutter(const TranscriptTimes& times) : m_times(times) { }

    TimestampMode mode() const { return m_mode; }
    bool isShown() const { return m_mode != TimestampMode::Off; }
    void setMode(TimestampMode mode);

    // The next append begins a connection: SinceConnected counts from it.
    void markConnectionStart() { m_markPending = true; }
    // A run of bytes was appended at pos, at time.
    void appended(qint64 pos, Micros time);
    // The transcript was emptied: what comes next is still in the latest
    // connection, and still some time after the last run.
    void cleared();

    // The text for the row that starts at pos (right-aligned in TextCells
    // when drawn): empty at or after the end, before the first connection in
    // SinceConnected, and for the very first run in SincePrevious.
    QString textAt(qint64 pos, qint64 size) const;
    // The same, padded on the left to TextCells and with the blank after it:
    // Cells characters.
    QString paddedTextAt(qint64 pos, qint64 size) const;

    // HH:MM:SS.mmm in local time.
    static QString timeOfDay(Micros time);
    // "+S.mmm", "+M:SS.mmm" or "+H:MM:SS.mmm" ('-' for a clock set back).
    static QString duration(Micros micros);

private:
    struct Mark {
        qint64 pos;
        Micros time;
    };
    QString textOfRun(qsizetype run) const;

    const TranscriptTimes& m_times;
    TimestampMode m_mode = TimestampMode::Off;
    QList<Mark> m_marks; // the start of each connection, in order
    bool m_markPending = false;
    mutable QHash<qsizetype, QString> m_texts; // by run
};

// The text a screen reader reads with the gutter shown: every row of the
// mapping's accessible text with its gutter text in front (Cells characters),
// so that reading a line reads its time. Offsets inside a row's gutter text
// stand for the row's first position.
class GutterMapping : public TranscriptMapping {
public:
    GutterMapping(const TranscriptStore& store, const TranscriptMapping& rows,
                  const TranscriptGutter& gutter)
        : TranscriptMapping(store), m_rows(rows), m_gutter(gutter) { }

    qint64 rowCount() const override { return m_rows.rowCount(); }
    qint64 rowOf(qint64 pos) const override { return m_rows.rowOf(pos); }
    qint64 rowStart(qint64 row) const override { return m_rows.rowStart(row); }
    qint64 rowEnd(qint64 row) const override { return m_rows.rowEnd(row); }
    qint64 maxColumns() const override { return m_rows.maxColumns(); }
    qint64 rowColumns(qint64 row) const override { return m_rows.rowColumns(row); }
    qint64 columnOf(qint64 pos) const override { return m_rows.columnOf(pos); }
    qint64 positionAtColumn(qint64 row, qint64 column) const override
    {
        return m_rows.positionAtColumn(row, column);
    }
    qint64 previousPosition(qint64 pos) const override { return m_rows.previousPosition(pos); }
    qint64 nextPosition(qint64 pos) const override { return m_rows.nextPosition(pos); }
    void forEachCell(qint64 row, qint64 left, qint64 right,
                     const std::function<void(const TranscriptCell&)>& visit) const override
    {
        m_rows.forEachCell(row, left, right, visit);
    }
    QString text(qint64 from, qint64 to) const override { return m_rows.text(from, to); }
    std::pair<qint64, qint64> wordAt(qint64 pos) const override { return m_rows.wordAt(pos); }

    qint64 accessibleLength() const override
    {
        return m_rows.accessibleLength() + m_rows.rowCount() * TranscriptGutter::Cells;
    }
    qint64 offsetOf(qint64 pos) const override
    {
        return m_rows.offsetOf(pos) + (m_rows.rowOf(pos) + 1) * TranscriptGutter::Cells;
    }
    qint64 positionOfOffset(qint64 offset) const override;
    QString accessibleText(qint64 from, qint64 to) const override;
    qint64 stableOffset() const override;

    // Where the row's gutter text starts.
    qint64 rowOffset(qint64 row) const override
    {
        return m_rows.rowOffset(row) + row * TranscriptGutter::Cells;
    }

private:
    // The last row whose text starts at or before offset (its gutter text
    // included with gutter), or -1 when offset comes before the first row's.
    qint64 rowAtOffset(qint64 offset, bool withGutter) const;

    const TranscriptMapping& m_rows;
    const TranscriptGutter& m_gutter;
};

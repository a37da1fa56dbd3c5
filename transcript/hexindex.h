#pragma once

#include "textorigin.h"
#include "transcriptorigins.h"
#include "transcriptstore.h"

#include <QList>

#include <vector>

// How the hex view lays the transcript out in rows, kept up after each append
// (like utf8::Index) so that no row is ever found by reading what comes
// before it.
//
// Each origin run is laid out on its own, from a new row. A run of any origin
// but Status is part of a stream of bytes with offsets of its own (what was
// received counts from 0, what was sent counts from 0, and so does each other
// origin), 16 bytes a row from the run's start, its offsets going on from
// where the stream's previous run stopped. A Status run (the program's own
// lines) shows as text, a row for each of its lines; a line break that
// starts a run and only ends a line of other bytes (the break EnsureLineBreak
// adds) gets no row of its own.
//
// The transcript's last run also has the row the next byte goes to when its
// last row is full (bytes) or ends in a line break (text); an empty
// transcript is one empty row of received bytes at offset 0.
//
// One entry per origin run, 40 bytes: a row is found by a binary search over
// the runs and, in a status run, over the store's lines.
class HexIndex {
public:
    static constexpr qint64 BytesPerRow = 16;
    // The accessible text of a row of bytes: 76 cells and a line feed.
    static constexpr qint64 ByteRowUnits = 77;

    // One run as it is laid out now (only the last run can still change).
    struct Run {
        qint64 start = 0;
        qint64 end = 0; // the next run's start, or the end of the transcript
        bool last = true;
        TextOrigin origin = TextOrigin::Received;
        qint64 row = 0; // its first row
        qint64 rows = 1;
        // Its accessible text: where it starts and its length. Bytes: each
        // row's cells and a line feed. Text: its bytes as Latin-1 from
        // textStart, and a line feed after a run that ends without a line
        // break, when another follows.
        qint64 units = 0;
        qint64 unitCount = ByteRowUnits;
        qint64 offset = 0;    // bytes: the bytes of its stream before it
        qint64 firstLine = 0; // text: the store's line of its first row
        qint64 textStart = 0; // text: after a break that gets no row
        bool isText() const { return origin == TextOrigin::Status; }
    };

    // A row of a status run.
    struct TextRow {
        qint64 line = 0; // the store's line it shows (a part of)
        qint64 from = 0; // its text [from, to), without the line break
        qint64 to = 0;
        qint64 end = 0;  // its last caret position
    };

    // Reads the runs and lines the transcript gained since the last call.
    void append(const TranscriptStore& store, const TranscriptOrigins& origins);
    void clear() { *this = HexIndex(); }

    // Always at least 1.
    qsizetype runCount() const { return std::max<qsizetype>(1, m_entries.size()); }
    Run run(qsizetype i, const TranscriptStore& store) const;
    Run lastRun(const TranscriptStore& store) const { return run(runCount() - 1, store); }
    // The run that holds the position (the position after a run's last byte
    // is the next run's), the row, or the accessible offset.
    qsizetype runAtPosition(qint64 pos) const;
    qsizetype runAtRow(qint64 row) const;
    qsizetype runAtUnits(qint64 units) const;

    // Row k of a status run.
    static TextRow textRow(const Run& run, qint64 k, const TranscriptStore& store);
    static qint64 textColumns(const TextRow& row, const TranscriptStore& store)
    {
        return store.columnOf(row.to) - store.columnOf(row.from);
    }
    // The widest row of text so far.
    qint64 widestText() const { return m_widestText; }

private:
    struct Entry {
        qint64 pos;
        qint64 row;
        qint64 units;
        qint64 offset;
        TextOrigin origin;
    };
    template <class Key>
    qsizetype entryAt(qint64 value, Key key) const;

    QList<Entry> m_entries;
    // The bytes of each stream in the runs before the last, by origin.
    std::vector<qint64> m_streamBytes;
    qint64 m_widestText = 0;
    // The rows from here on are measured again at the next append: the last
    // row may still grow.
    qint64 m_measuredRow = 0;
};

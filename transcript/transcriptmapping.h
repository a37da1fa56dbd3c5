#pragma once

#include "hexindex.h"
#include "transcriptstore.h"
#include "utf8text.h"

#include <QString>

#include <functional>

// One cell, or a run of cells, of a row as a view shows it.
struct TranscriptCell {
    enum Kind : quint8 {
        Text,    // text: one character, one or two cells
        Tab,     // blank cells up to the next tab stop
        Control, // a control character, drawn as a box that names it
        Invalid, // a byte that is no part of a valid UTF-8 sequence
        Label,   // the hex view's offsets: no byte of the transcript
        Hex,     // the hex view: a byte's two digits
    };
    Kind kind = Text;
    qint64 pos = 0;    // the first byte it shows
    qint64 length = 1; // the bytes it shows
    qint64 column = 0;
    qint64 width = 1;  // cells
    QString text;      // Text, Label, Hex: what to draw
    uint value = 0;    // Control, Invalid: the character or byte
};

// How the transcript's bytes become rows and cells in one way of looking at
// them. Positions are byte positions in the store; the caret stands between
// characters, so a position is always where a character starts, a line's
// end or the end of the text. Painting, hit-testing, caret movement,
// selection, copying and the accessible text all go through it.
class TranscriptMapping {
public:
    explicit TranscriptMapping(const TranscriptStore& store) : m_store(store) { }
    virtual ~TranscriptMapping() = default;

    virtual qint64 rowCount() const { return m_store.lineCount(); }
    virtual qint64 rowOf(qint64 pos) const { return m_store.lineOf(pos); }
    virtual qint64 rowStart(qint64 row) const { return m_store.lineStart(row); }
    // The last caret position of the row: its break, or the row's last byte.
    virtual qint64 rowEnd(qint64 row) const { return m_store.lineEnd(row); }
    virtual qint64 maxColumns() const = 0;
    virtual qint64 rowColumns(qint64 row) const = 0;
    virtual qint64 columnOf(qint64 pos) const = 0;
    // The character whose cells cover column, or rowEnd(row).
    virtual qint64 positionAtColumn(qint64 row, qint64 column) const = 0;
    virtual qint64 previousPosition(qint64 pos) const;
    virtual qint64 nextPosition(qint64 pos) const;
    // The cells of row that reach into columns [left, right), left to right.
    virtual void forEachCell(qint64 row, qint64 left, qint64 right,
                             const std::function<void(const TranscriptCell&)>& visit) const = 0;
    // What Copy gives for the bytes [from, to): the text as it is shown.
    virtual QString text(qint64 from, qint64 to) const = 0;
    // The word around pos: [start, end), empty when there is none.
    virtual std::pair<qint64, qint64> wordAt(qint64 pos) const = 0;

    // The text a screen reader reads, in UTF-16 units: its length, the
    // offset of a position and back, and a part of it.
    virtual qint64 accessibleLength() const = 0;
    virtual qint64 offsetOf(qint64 pos) const = 0;
    virtual qint64 positionOfOffset(qint64 offset) const = 0;
    virtual QString accessibleText(qint64 from, qint64 to) const = 0;
    // Where the accessible text of a row starts.
    virtual qint64 rowOffset(qint64 row) const { return offsetOf(rowStart(row)); }
    // The accessible text before this offset stays as it is whatever is
    // appended; after it, an append may change what is there.
    virtual qint64 stableOffset() const { return accessibleLength(); }

    // The cells a TAB at column takes.
    static qint64 tabWidth(qint64 column)
    {
        return TranscriptStore::nextColumn(column, '\t') - column;
    }

protected:
    const TranscriptStore& m_store;
};

// Latin-1: a byte a character, a cell a byte (a TAB to the next stop).
class Latin1Mapping : public TranscriptMapping {
public:
    using TranscriptMapping::TranscriptMapping;
    qint64 maxColumns() const override { return m_store.maxColumns(); }
    qint64 rowColumns(qint64 row) const override { return m_store.lineColumns(row); }
    qint64 columnOf(qint64 pos) const override { return m_store.columnOf(pos); }
    qint64 positionAtColumn(qint64 row, qint64 column) const override
    {
        return m_store.positionAtColumn(row, column);
    }
    void forEachCell(qint64 row, qint64 left, qint64 right,
                     const std::function<void(const TranscriptCell&)>& visit) const override;
    QString text(qint64 from, qint64 to) const override;
    std::pair<qint64, qint64> wordAt(qint64 pos) const override;
    qint64 accessibleLength() const override { return m_store.size(); }
    qint64 offsetOf(qint64 pos) const override { return pos; }
    qint64 positionOfOffset(qint64 offset) const override { return offset; }
    QString accessibleText(qint64 from, qint64 to) const override { return text(from, to); }
};

// UTF-8: a character (with its marks) a step, one or two cells; each byte
// that is no part of a valid sequence a cell of its own. Reads each line
// from the index's nearest mark, so a row costs what it shows, not what
// comes before it.
class Utf8Mapping : public TranscriptMapping {
public:
    Utf8Mapping(const TranscriptStore& store, const utf8::Index& index)
        : TranscriptMapping(store), m_index(index) { }
    qint64 maxColumns() const override { return m_index.maxColumns(); }
    qint64 rowColumns(qint64 row) const override;
    qint64 columnOf(qint64 pos) const override;
    qint64 positionAtColumn(qint64 row, qint64 column) const override;
    qint64 previousPosition(qint64 pos) const override;
    qint64 nextPosition(qint64 pos) const override;
    void forEachCell(qint64 row, qint64 left, qint64 right,
                     const std::function<void(const TranscriptCell&)>& visit) const override;
    QString text(qint64 from, qint64 to) const override;
    std::pair<qint64, qint64> wordAt(qint64 pos) const override;
    qint64 accessibleLength() const override { return m_index.units(); }
    qint64 offsetOf(qint64 pos) const override;
    qint64 positionOfOffset(qint64 offset) const override;
    QString accessibleText(qint64 from, qint64 to) const override
    {
        return text(positionOfOffset(from), positionOfOffset(to));
    }
    // A sequence cut short at the end shows as invalid bytes until the rest
    // comes.
    qint64 stableOffset() const override
    {
        return offsetOf(std::max<qint64>(0, m_store.size() - 3));
    }

private:
    // Visits the clusters of row from the last mark inside it at or before
    // pos (or the row's start), with the column of each.
    template <class Visit>
    void scanRow(qint64 row, qint64 pos, Visit&& visit) const;
    const utf8::Index& m_index;
};

// Hex: each stream's bytes 16 a row (the offset in the stream, the bytes in
// hex, the bytes as Latin-1 characters, '.' for those that are not
// printable), and the program's own lines as rows of text between them;
// HexIndex says which row is what.
class HexMapping : public TranscriptMapping {
public:
    static constexpr qint64 BytesPerRow = HexIndex::BytesPerRow;
    static constexpr qint64 HexColumn = 10;  // after "00000000  "
    static constexpr qint64 CharColumn = 60; // after the hex and two blanks
    static constexpr qint64 RowColumns = CharColumn + BytesPerRow;
    // A row of bytes in the accessible text: the row's cells and a line feed.
    static constexpr qint64 RowChars = RowColumns + 1;
    static_assert(RowChars == HexIndex::ByteRowUnits);

    HexMapping(const TranscriptStore& store, const HexIndex& index)
        : TranscriptMapping(store), m_index(index) { }
    qint64 rowCount() const override;
    qint64 rowOf(qint64 pos) const override;
    qint64 rowStart(qint64 row) const override;
    qint64 rowEnd(qint64 row) const override;
    qint64 maxColumns() const override { return std::max(RowColumns, m_index.widestText()); }
    qint64 rowColumns(qint64 row) const override;
    qint64 columnOf(qint64 pos) const override;
    qint64 positionAtColumn(qint64 row, qint64 column) const override;
    // A byte a step; a line break of a status line one step.
    qint64 previousPosition(qint64 pos) const override;
    qint64 nextPosition(qint64 pos) const override;
    void forEachCell(qint64 row, qint64 left, qint64 right,
                     const std::function<void(const TranscriptCell&)>& visit) const override;
    // The bytes as pairs of hex digits with a blank between them, the status
    // lines as their text, and a line feed where the origin changes.
    QString text(qint64 from, qint64 to) const override;
    std::pair<qint64, qint64> wordAt(qint64 pos) const override;
    qint64 accessibleLength() const override;
    qint64 offsetOf(qint64 pos) const override;
    qint64 positionOfOffset(qint64 offset) const override;
    QString accessibleText(qint64 from, qint64 to) const override;
    // A row of bytes starts with its offset, before its first byte.
    qint64 rowOffset(qint64 row) const override;
    // From the last row on.
    qint64 stableOffset() const override { return rowOffset(rowCount() - 1); }

    // The column of the hex digits of the index-th byte of a row (a blank
    // more after the eighth).
    static qint64 hexColumn(qint64 index) { return HexColumn + 3 * index + (index >= 8 ? 1 : 0); }
    // The row as its cells show it, and a line feed.
    QString rowText(qint64 row) const;
    // An offset as the rows show it: 8 hex digits or more.
    static QString offsetText(qint64 offset)
    {
        return QStringLiteral("%1").arg(offset, 8, 16, QLatin1Char('0')).toUpper();
    }
    // Where the byte at pos is in its stream; -1 in a status line.
    qint64 streamOffset(qint64 pos) const;

private:
    HexIndex::Run runOf(qint64 pos) const { return m_index.run(m_index.runAtPosition(pos), m_store); }
    HexIndex::Run runOfRow(qint64 row) const { return m_index.run(m_index.runAtRow(row), m_store); }
    // The start of the row of bytes and its last caret position.
    static qint64 byteRowStart(const HexIndex::Run& run, qint64 row)
    {
        return run.start + (row - run.row) * BytesPerRow;
    }
    static qint64 byteRowEnd(const HexIndex::Run& run, qint64 row)
    {
        return std::min(byteRowStart(run, row) + BytesPerRow - 1, run.last ? run.end : run.end - 1);
    }
    HexIndex::TextRow textRow(const HexIndex::Run& run, qint64 row) const
    {
        return HexIndex::textRow(run, row - run.row, m_store);
    }
    // Inside a line break of a status line, after its first byte.
    bool insideTextBreak(qint64 pos) const;

    const HexIndex& m_index;
};

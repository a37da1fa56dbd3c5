#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QList>

#include "growingarray.h"

// The transcript's text, kept exactly: one byte per character (every
// character is Latin-1), plus an index of line starts so that a view can find
// any row in O(log lines) and any column of a line without tabs in O(1).
//
// A line break is CR LF, a bare LF or a bare CR; each counts as one break,
// also when the CR and the LF arrive in two appends. The break characters
// stay in the text; lines never contain them.
//
// Display columns: a TAB advances to the next multiple of 8, every other
// byte takes one column. Mapping columns on a line without tabs is
// arithmetic; on a line with tabs it scans at most CheckpointSpacing bytes
// from the nearest checkpoint (the column of every CheckpointSpacing-th byte).
class TranscriptStore {
public:
    static constexpr qint64 TabWidth = 8;
    static constexpr int CheckpointShift = 12;
    static constexpr qint64 CheckpointSpacing = qint64(1) << CheckpointShift;

    qint64 size() const { return m_bytes.size(); }
    const char* data() const { return m_bytes.size() ? m_bytes.data() : ""; }
    QByteArrayView bytes() const { return QByteArrayView(data(), size()); }
    uchar at(qint64 pos) const { return static_cast<uchar>(m_bytes.at(pos)); }

    // O(bytes.size()): scans only what is appended.
    void append(QByteArrayView bytes);
    void clear();

    // Always at least 1: an empty store has one empty line.
    qint64 lineCount() const { return m_lines.size(); }
    qint64 lineStart(qint64 line) const { return m_lines.at(line) >> 1; }
    // The position of the line's break, or size() for the last line.
    qint64 lineEnd(qint64 line) const;
    // The line that holds pos; a position inside a break belongs to the line
    // the break ends, size() to the last line.
    qint64 lineOf(qint64 pos) const;
    bool lineHasTab(qint64 line) const { return (m_lines.at(line) & 1) != 0; }

    // The display width of the widest line.
    qint64 maxColumns() const { return m_maxColumns; }
    qint64 lineColumns(qint64 line) const;
    // The display column at which the character at pos starts.
    qint64 columnOf(qint64 pos) const;
    // The position of the character whose cells cover column (a tab covers
    // several), or lineEnd(line) when the line is narrower. O(1) without tabs.
    qint64 positionAtColumn(qint64 line, qint64 column) const;

    // The character a text cell shows for a byte that is not a control byte
    // (those are drawn as boxes): the Latin-1 character, but U+2010 (a
    // hyphen) for the soft hyphen 173, which would otherwise show as nothing.
    static QChar displayChar(uchar byte);
    // Letters, digits and '_': what a word is made of, for a double click
    // and for a screen reader alike.
    static bool isWordByte(uchar byte)
    {
        return byte == '_' || QChar::fromLatin1(char(byte)).isLetterOrNumber();
    }
    static qint64 nextColumn(qint64 column, uchar byte)
    {
        return byte == '\t' ? (column / TabWidth + 1) * TabWidth : column + 1;
    }

private:
    static GrowingArray<qint64> firstLine()
    {
        GrowingArray<qint64> lines;
        lines.append(0);
        return lines;
    }
    // The column reached after scanning [from, to) starting at column.
    qint64 scanColumns(qint64 from, qint64 to, qint64 column) const;
    // The column at which the byte at pos starts, pos in [start, end] of a
    // line with tabs.
    qint64 tabLineColumn(qint64 start, qint64 pos) const;

    GrowingArray<char> m_bytes;
    // Per line: start position << 1 | (the line contains a TAB), 8 bytes a
    // line; never empty.
    GrowingArray<qint64> m_lines = firstLine();
    // The column (within its line) at position k * CheckpointSpacing, for
    // every such position already appended; 1/512 byte per byte.
    GrowingArray<qint64> m_checkpoints;
    qint64 m_lastColumns = 0;
    qint64 m_maxColumns = 0;
};

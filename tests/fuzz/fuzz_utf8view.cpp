// The UTF-8 view under random appends: the same bytes appended whole and cut
// at random points must show the same cells, the same text and the same
// widths, and every byte that is no part of a valid sequence (as Qt's own
// decoder judges it) must be a cell of its own.
//
// The input is a list of steps, each led by one byte (its value modulo 4):
//   0..2  append the next L bytes, L = the following byte (0..255)
//   3     append one byte of the next byte, repeated 1 + next byte times
// The whole text is checked after every step against a store that was given
// all of it in one append.

#include "fuzzsupport.h"
#include "transcriptmapping.h"
#include "utf8text.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace {

constexpr qint64 MaxBytes = 16 * 1024;
constexpr int MaxSteps = 48;

struct Shown {
    std::vector<TranscriptCell> cells;
    QString text;
};

Shown show(const TranscriptStore& store, const Utf8Mapping& map)
{
    Shown shown;
    for (qint64 row = 0; row < map.rowCount(); ++row)
        map.forEachCell(row, 0, map.rowColumns(row) + 1,
                        [&](const TranscriptCell& c) { shown.cells.push_back(c); });
    shown.text = map.text(0, store.size());
    return shown;
}

// Whether Qt's decoder reads the bytes as exactly one character, with no
// replacement character unless the bytes spell one.
bool isOneValidCharacter(const QByteArray& bytes)
{
    const QString decoded = QString::fromUtf8(bytes);
    return decoded.toUcs4().size() == 1 && decoded.toUtf8() == bytes
        && (decoded != QString(QChar(QChar::ReplacementCharacter)) || bytes == "\xef\xbf\xbd");
}

void verify(const QByteArray& bytes, const TranscriptStore& cutStore, const utf8::Index& cutIndex)
{
    TranscriptStore wholeStore;
    utf8::Index wholeIndex;
    wholeStore.append(bytes);
    wholeIndex.append(wholeStore);
    const Utf8Mapping cut(cutStore, cutIndex);
    const Utf8Mapping whole(wholeStore, wholeIndex);

    FUZZ_CHECK(cutIndex.units() == wholeIndex.units(), "units %lld, whole %lld",
               static_cast<long long>(cutIndex.units()), static_cast<long long>(wholeIndex.units()));
    FUZZ_CHECK(cut.maxColumns() == whole.maxColumns(), "widest %lld, whole %lld",
               static_cast<long long>(cut.maxColumns()), static_cast<long long>(whole.maxColumns()));
    const Shown a = show(cutStore, cut);
    const Shown b = show(wholeStore, whole);
    FUZZ_CHECK(a.text == b.text, "the text differs from the text appended whole");
    FUZZ_CHECK(a.text.size() == cutIndex.units(), "text of %lld units, index says %lld",
               static_cast<long long>(a.text.size()), static_cast<long long>(cutIndex.units()));
    FUZZ_CHECK(a.cells.size() == b.cells.size(), "%zu cells, whole %zu", a.cells.size(),
               b.cells.size());

    qint64 next = 0;
    qint64 widest = 0;
    for (std::size_t i = 0; i < a.cells.size(); ++i) {
        const TranscriptCell& c = a.cells[i];
        const TranscriptCell& w = b.cells[i];
        FUZZ_CHECK(c.pos == w.pos && c.length == w.length && c.column == w.column
                       && c.width == w.width && c.kind == w.kind && c.text == w.text,
                   "cell %zu at %lld differs from the whole text's", i, static_cast<long long>(c.pos));
        // Every byte is in one cell: none dropped, none shown twice.
        while (next < c.pos && (bytes[next] == '\r' || bytes[next] == '\n'))
            ++next;
        FUZZ_CHECK(c.pos == next, "cell at %lld, expected one at %lld", static_cast<long long>(c.pos),
                   static_cast<long long>(next));
        next = c.pos + c.length;
        widest = std::max(widest, c.column + c.width);
        const QByteArray own = bytes.mid(c.pos, c.length);
        const uchar first = uchar(own.at(0));
        if (c.kind == TranscriptCell::Invalid) {
            FUZZ_CHECK(c.length == 1, "an invalid cell of %lld bytes", static_cast<long long>(c.length));
            // No valid character starts at an invalid byte.
            for (int k = 2; k <= 4; ++k)
                FUZZ_CHECK(c.pos + k > bytes.size() || !isOneValidCharacter(bytes.mid(c.pos, k)),
                           "byte %lld shown invalid, but starts a character of %d bytes",
                           static_cast<long long>(c.pos), k);
            FUZZ_CHECK(first >= 0x80, "ASCII byte %lld shown invalid", static_cast<long long>(c.pos));
        } else if (c.kind == TranscriptCell::Text) {
            FUZZ_CHECK(c.text == QString::fromUtf8(own) && c.text.toUtf8() == own,
                       "text cell at %lld is not the valid UTF-8 it shows", static_cast<long long>(c.pos));
            FUZZ_CHECK(c.width == 1 || c.width == 2, "width %lld", static_cast<long long>(c.width));
        }
        // The caret goes where the cell starts and steps over it whole: every
        // cell of a short text, some of a long one.
        if (a.cells.size() > 512 && i % (a.cells.size() / 256) != 0)
            continue;
        FUZZ_CHECK(cut.columnOf(c.pos) == c.column, "columnOf(%lld)", static_cast<long long>(c.pos));
        if (c.kind != TranscriptCell::Tab)
            FUZZ_CHECK(cut.positionAtColumn(cut.rowOf(c.pos), c.column + c.width - 1) == c.pos,
                       "positionAtColumn at %lld", static_cast<long long>(c.pos));
        FUZZ_CHECK(cut.nextPosition(c.pos) == c.pos + c.length || c.pos + c.length == cut.rowEnd(cut.rowOf(c.pos)),
                   "nextPosition(%lld)", static_cast<long long>(c.pos));
        FUZZ_CHECK(cut.positionOfOffset(cut.offsetOf(c.pos)) == c.pos, "offset of %lld",
                   static_cast<long long>(c.pos));
    }
    FUZZ_CHECK(widest <= cut.maxColumns(), "a cell reaches column %lld past the widest %lld",
               static_cast<long long>(widest), static_cast<long long>(cut.maxColumns()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Reader in(data, size);
    TranscriptStore store;
    utf8::Index index;
    QByteArray bytes;
    for (int step = 0; step < MaxSteps && !in.empty(); ++step) {
        const int op = in.byte() % 4;
        QByteArray chunk;
        if (op == 3) {
            const char byte = char(in.byte());
            chunk = QByteArray(1 + in.byte(), byte);
        } else {
            std::size_t got = 0;
            const std::uint8_t* p = in.take(in.byte(), got);
            chunk = QByteArray(reinterpret_cast<const char*>(p), qsizetype(got));
        }
        if (bytes.size() + chunk.size() > MaxBytes)
            break;
        store.append(chunk);
        index.append(store);
        bytes.append(chunk);
        verify(bytes, store, index);
    }
    return 0;
}

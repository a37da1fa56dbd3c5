// TranscriptStore under random appends and clears, checked after every step
// against a reference worked out from scratch from the bytes appended since
// the last clear.
//
// The input is a list of steps, each led by one byte (its value modulo 8):
//   0..4  append the next L bytes, L = the following byte (0..255)
//   5     append the next 16 * L bytes, L = the following byte
//   6     append one piece repeated: length 1 + (next byte % 16), count
//         1 + next byte, the piece itself after them (long lines and more
//         than one checkpoint from a short input)
//   7     clear
// Appends cut the text anywhere, so a CR LF is often split across two.

#include "fuzzsupport.h"
#include "transcriptstore.h"

#include <QByteArray>

#include <algorithm>
#include <vector>

namespace {

constexpr qint64 MaxBytes = 32 * 1024;
constexpr qint64 ThoroughBelow = 2048;
constexpr int MaxSteps = 64;

struct Line {
    qint64 start;
    qint64 end; // where the break starts, or the size for the last line
};

std::vector<Line> referenceLines(const QByteArray& b)
{
    std::vector<Line> lines;
    qint64 start = 0;
    for (qint64 i = 0; i < b.size(); ++i) {
        if (b[i] == '\r' && i + 1 < b.size() && b[i + 1] == '\n') {
            lines.push_back({start, i});
            start = i + 2;
            ++i;
        } else if (b[i] == '\r' || b[i] == '\n') {
            lines.push_back({start, i});
            start = i + 1;
        }
    }
    lines.push_back({start, b.size()});
    return lines;
}

// The display column at which each byte of the line starts, plus the width.
std::vector<qint64> referenceColumns(const QByteArray& b, const Line& line)
{
    std::vector<qint64> columns;
    columns.reserve(std::size_t(line.end - line.start + 1));
    qint64 column = 0;
    for (qint64 i = line.start; i < line.end; ++i) {
        columns.push_back(column);
        column = b[i] == '\t' ? (column / 8 + 1) * 8 : column + 1;
    }
    columns.push_back(column);
    return columns;
}

// The positions of a line to look at: all of a short line; for a long one
// its ends, the bytes around each checkpoint and some at random.
std::vector<qint64> samplePositions(const Line& line, fuzz::Mix& mix)
{
    std::vector<qint64> offsets;
    const qint64 length = line.end - line.start;
    if (length <= 96) {
        for (qint64 k = 0; k <= length; ++k)
            offsets.push_back(k);
        return offsets;
    }
    for (qint64 k = 0; k < 16; ++k) {
        offsets.push_back(k);
        offsets.push_back(length - k);
    }
    const qint64 spacing = TranscriptStore::CheckpointSpacing;
    for (qint64 at = (line.start / spacing + 1) * spacing; at <= line.end; at += spacing)
        for (qint64 d = -2; d <= 2; ++d)
            if (at + d >= line.start && at + d <= line.end)
                offsets.push_back(at + d - line.start);
    for (int k = 0; k < 24; ++k)
        offsets.push_back(qint64(mix.below(std::uint64_t(length) + 1)));
    return offsets;
}

// Every step checks the bytes, the line index and the widths; the thorough
// checks (lineOf at every position, sampled columnOf and positionAtColumn)
// run after steps on a small store, before each clear and at the end.
void verify(const TranscriptStore& store, const QByteArray& expected, fuzz::Mix& mix, bool thorough)
{
    FUZZ_CHECK(store.size() == expected.size(), "size %lld, appended %lld",
               static_cast<long long>(store.size()), static_cast<long long>(expected.size()));
    FUZZ_CHECK(store.bytes() == QByteArrayView(expected), "the bytes differ from those appended");
    FUZZ_CHECK(expected.isEmpty() || std::equal(expected.begin(), expected.end(), store.data()),
               "data() differs from bytes()");

    const std::vector<Line> lines = referenceLines(expected);
    FUZZ_CHECK(store.lineCount() == qint64(lines.size()), "%lld lines, expected %zu",
               static_cast<long long>(store.lineCount()), lines.size());

    qint64 widest = 0;
    for (qint64 i = 0; i < qint64(lines.size()); ++i) {
        const Line& line = lines[std::size_t(i)];
        FUZZ_CHECK(store.lineStart(i) == line.start, "line %lld starts at %lld, expected %lld",
                   static_cast<long long>(i), static_cast<long long>(store.lineStart(i)),
                   static_cast<long long>(line.start));
        FUZZ_CHECK(store.lineEnd(i) == line.end, "line %lld ends at %lld, expected %lld",
                   static_cast<long long>(i), static_cast<long long>(store.lineEnd(i)),
                   static_cast<long long>(line.end));
        FUZZ_CHECK(store.lineOf(store.lineStart(i)) == i, "lineOf(lineStart(%lld)) is %lld",
                   static_cast<long long>(i), static_cast<long long>(store.lineOf(store.lineStart(i))));
        const qint64 next = i + 1 < qint64(lines.size()) ? lines[std::size_t(i + 1)].start
                                                          : expected.size() + 1;
        for (qint64 pos = thorough ? line.start : next; pos < next; ++pos)
            FUZZ_CHECK(store.lineOf(pos) == i, "lineOf(%lld) is %lld, expected %lld",
                       static_cast<long long>(pos), static_cast<long long>(store.lineOf(pos)),
                       static_cast<long long>(i));

        const bool hasTab = std::find(expected.begin() + line.start, expected.begin() + line.end,
                                      '\t') != expected.begin() + line.end;
        FUZZ_CHECK(store.lineHasTab(i) == hasTab, "line %lld: tab flag %d",
                   static_cast<long long>(i), int(store.lineHasTab(i)));

        const std::vector<qint64> columns = referenceColumns(expected, line);
        const qint64 width = columns.back();
        widest = std::max(widest, width);
        FUZZ_CHECK(store.lineColumns(i) == width, "line %lld is %lld columns wide, expected %lld",
                   static_cast<long long>(i), static_cast<long long>(store.lineColumns(i)),
                   static_cast<long long>(width));
        // The break's own positions take the column where the line ends.
        for (qint64 pos = line.end; pos < std::min(next, expected.size() + 1); ++pos)
            FUZZ_CHECK(store.columnOf(pos) == width, "columnOf(%lld) in a break is %lld, width %lld",
                       static_cast<long long>(pos), static_cast<long long>(store.columnOf(pos)),
                       static_cast<long long>(width));

        if (!thorough)
            continue;
        auto expectAt = [&](qint64 column) {
            if (column <= 0)
                return line.start;
            // The byte whose cells cover column: columns[k] <= column < columns[k + 1].
            const auto it = std::upper_bound(columns.begin() + 1, columns.end(), column);
            return it == columns.end() ? line.end : line.start + (it - columns.begin()) - 1;
        };
        auto checkColumn = [&](qint64 column) {
            const qint64 got = store.positionAtColumn(i, column);
            FUZZ_CHECK(got == expectAt(column),
                       "positionAtColumn(%lld, %lld) is %lld, expected %lld",
                       static_cast<long long>(i), static_cast<long long>(column),
                       static_cast<long long>(got), static_cast<long long>(expectAt(column)));
        };
        for (const qint64 k : samplePositions(line, mix)) {
            const qint64 pos = line.start + k;
            FUZZ_CHECK(store.columnOf(pos) == columns[std::size_t(k)],
                       "columnOf(%lld) is %lld, expected %lld", static_cast<long long>(pos),
                       static_cast<long long>(store.columnOf(pos)),
                       static_cast<long long>(columns[std::size_t(k)]));
            checkColumn(columns[std::size_t(k)]);
            if (k < qint64(columns.size()) - 1) {
                const qint64 after = columns[std::size_t(k + 1)];
                checkColumn(after - 1); // the last cell of a tab
                if (after - columns[std::size_t(k)] > 2)
                    checkColumn(columns[std::size_t(k)] + 1);
            }
        }
        checkColumn(-1);
        checkColumn(width + 1);
        checkColumn(width + 1000);
    }
    FUZZ_CHECK(store.maxColumns() == widest, "maxColumns %lld, expected %lld",
               static_cast<long long>(store.maxColumns()), static_cast<long long>(widest));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Reader in(data, size);
    fuzz::Mix mix = fuzz::Mix::of(data, size);
    TranscriptStore store;
    QByteArray expected;

    verify(store, expected, mix, true);
    for (int step = 0; step < MaxSteps && !in.empty(); ++step) {
        const int op = in.byte() % 8;
        QByteArray chunk;
        if (op == 7) {
            verify(store, expected, mix, true);
            store.clear();
            expected.clear();
        } else if (op == 6) {
            const int length = 1 + in.byte() % 16;
            const int count = 1 + in.byte();
            std::size_t got = 0;
            const std::uint8_t* piece = in.take(std::size_t(length), got);
            for (int k = 0; k < count; ++k)
                chunk.append(reinterpret_cast<const char*>(piece), qsizetype(got));
        } else {
            const std::size_t length = op == 5 ? 16u * in.byte() : in.byte();
            std::size_t got = 0;
            const std::uint8_t* p = in.take(length, got);
            chunk = QByteArray(reinterpret_cast<const char*>(p), qsizetype(got));
        }
        if (op != 7) {
            if (expected.size() + chunk.size() > MaxBytes)
                break;
            store.append(chunk);
            expected.append(chunk);
        }
        verify(store, expected, mix, expected.size() <= ThoroughBelow);
    }
    verify(store, expected, mix, true);
    return 0;
}

// Finding a string that is not there in a 1 GB transcript: the whole store
// searched once per row, forward and backward, exact and with either case
// folding. The transcript is the benchmarks' 80-column lines, whose bytes are
// 80 of the 94 printable ASCII characters, so most needle bytes occur in it.
//
// Prints a Markdown table on stdout, progress on stderr.
// Run: build/bench/bench_find [megabytes]   (or: make bench)

#include "benchsupport.h"
#include "transcriptfind.h"
#include "transcriptstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1000;
    const qint64 size = megabytes * 1000 * 1000;

    std::fprintf(stderr, "filling %lld MB...\n", static_cast<long long>(megabytes));
    TranscriptStore store;
    bench::Stream stream(bench::Shape::Lines);
    for (qint64 done = 0; done < size; done += 8192)
        store.append(stream.next(std::min<qint64>(8192, size - done)));

    struct Row {
        const char* what;
        QByteArray needle;
        CaseFold fold;
    };
    const std::vector<Row> rows = {
        {"text, 16 bytes, exact", "Connection reset", CaseFold::None},
        {"text, 16 bytes, Latin-1 case folded", "Connection reset", CaseFold::Latin1},
        {"text, 16 bytes, UTF-8 case folded", "Connection reset", CaseFold::Utf8},
        {"UTF-8 text, 7 bytes, case folded", "caf\xC3\xA9 \xE2\x82\xAC", CaseFold::Utf8},
        {"text, 3 bytes, Latin-1 case folded", "xyz", CaseFold::Latin1},
        {"one byte (hex 07)", "\x07", CaseFold::None},
        {"bytes by value (hex 1B 5B 33 31 6D)", "\x1B[31m", CaseFold::None},
    };

    std::printf("## Finding a string absent from a %lld MB transcript\n\n",
                static_cast<long long>(megabytes));
    std::printf("| Needle | Forward (ms) | Backward (ms) |\n|---|---|---|\n");
    for (const Row& row : rows) {
        double ms[2];
        for (int d = 0; d < 2; ++d) {
            const auto direction = d == 0 ? FindDirection::Forward : FindDirection::Backward;
            std::vector<double> runs;
            for (int run = 0; run < 3; ++run) {
                QElapsedTimer timer;
                timer.start();
                const qint64 found = findWrapping(store.bytes(), d == 0 ? 0 : store.size(),
                                                  direction, row.needle, row.fold).position;
                runs.push_back(timer.nsecsElapsed() / 1e6);
                if (found >= 0) {
                    std::fprintf(stderr, "%s: found at %lld, but it should be absent\n", row.what,
                                 static_cast<long long>(found));
                    return 1;
                }
            }
            std::sort(runs.begin(), runs.end());
            ms[d] = runs[1];
        }
        std::printf("| %s | %.0f | %.0f |\n", row.what, ms[0], ms[1]);
        std::fflush(stdout);
    }
    std::printf("\nMedian of 3 searches each, each as the find bar makes it: from one end, "
                "then on from the other end over what is left (findWrapping).\n");
    return 0;
}

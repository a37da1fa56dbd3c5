// Sending a file from the whole window to a loopback peer that reads as fast
// as it can, beside `nc -N 127.0.0.1 PORT < FILE` sending the same file to
// the same kind of peer in the same run:
//
//   rate      bytes per second, from the start of the send until the peer
//             has read the last byte (for nc: from starting the command)
//   turns     how long the window's event loop went without a turn while
//             the file went out: the lateness of a 10 ms probe timer, with
//             the real 100 ms poll timer running beside it
//   memory    resident memory idle, at its highest during the send, and
//             after; Local Echo on, so its bound (64 KiB) is in the figure
//
// Prints Markdown on stdout, progress on stderr.
// Run: QT_QPA_PLATFORM=offscreen bench_filesend [MiB]   (or: make bench)
// The file is 1 GiB unless MiB says otherwise; it is written to a temporary
// folder first (and so read from the page cache by both).

#include "benchsupport.h"
#include "frmpellix.h"
#include "loopbackpeer.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <vector>

using testpeer::Listener;
using testpeer::Peer;

namespace {

constexpr double MB = 1000.0 * 1000.0;

// Reads everything the peer gets until count bytes have come or it closes:
// the seconds from start until the last byte.
std::future<double> readAll(Peer& peer, qint64 count, QElapsedTimer& start)
{
    return std::async(std::launch::async, [&peer, count, &start] {
        std::vector<char> buffer(256 * 1024);
        qint64 got = 0;
        while (got < count) {
            if (!testpeer::waitFor(peer.fd(), POLLIN, 30000))
                break;
            const ssize_t n = ::recv(peer.fd(), buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            got += n;
        }
        const double seconds = double(start.nsecsElapsed()) / 1e9;
        return got == count ? seconds : -1.0;
    });
}

struct PellixRun {
    double seconds = -1;
    bench::Summary lateness; // ms
    qint64 idleKiB = 0, peakKiB = 0, afterKiB = 0;
};

PellixRun runPellix(const QString& path, qint64 size)
{
    PellixRun run;
    frmPellix window(testwindow::loopbackHooks());
    window.chkEcho->setChecked(true);
    window.show();
    QTest::qWait(200);
    Listener listener;
    Peer peer = testwindow::connectTo(window, listener);
    if (!peer.isOpen())
        return run;
    QTest::qWait(200);
    run.idleKiB = bench::rssKiB();
    run.peakKiB = run.idleKiB;

    // The probe: a 10 ms timer; how late each of its turns comes.
    std::vector<double> late;
    QElapsedTimer probeClock;
    qint64 last = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    int samples = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = probeClock.nsecsElapsed();
        late.push_back(std::max(0.0, double(now - last) / 1e6 - 10.0));
        last = now;
        if (++samples % 20 == 0)
            run.peakKiB = std::max(run.peakKiB, bench::rssKiB());
    });

    QElapsedTimer start;
    start.start();
    auto done = readAll(peer, size, start);
    window.connection().sendFile(path);
    probeClock.start();
    probe.start();
    while (window.connection().isSendingFile())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    probe.stop();
    run.seconds = done.get();
    late.erase(late.begin()); // the first turn has no turn before it
    run.lateness = bench::summary(late);
    run.peakKiB = std::max(run.peakKiB, bench::rssKiB());
    run.afterKiB = bench::rssKiB();
    return run;
}

double runNc(const QString& nc, const QString& path, qint64 size)
{
    Listener listener;
    QProcess process;
    process.setStandardInputFile(path);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer start;
    start.start();
    process.start(nc, {QStringLiteral("-N"), QStringLiteral("127.0.0.1"),
                       QString::number(listener.port())});
    Peer peer = listener.accept(10000);
    if (!peer.isOpen())
        return -1;
    const double seconds = readAll(peer, size, start).get();
    peer.close(); // nc -N waits for the far end's close once it has sent all
    process.waitForFinished(30000);
    return seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const qint64 mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const qint64 size = mib * 1024 * 1024;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("send.bin"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        bench::Stream stream(bench::Shape::Lines);
        for (qint64 left = size; left > 0; left -= 1024 * 1024)
            file.write(stream.next(std::min<qint64>(left, 1024 * 1024)));
    }
    QString nc = QStandardPaths::findExecutable(QStringLiteral("nc.openbsd"));
    if (nc.isEmpty())
        nc = QStandardPaths::findExecutable(QStringLiteral("nc"));

    std::printf("# Sending a file\n\n");
    bench::printMachine();
    std::printf("A file of %lld MiB to a loopback peer reading 256 KiB at a time, as fast as "
                "it can; each sender twice, alternately.\n\n",
                (long long)mib);
    std::printf("| Sender | Run | Seconds | MB/s | Event loop lateness median / p99 / max (ms) "
                "| Memory idle / peak / after (MiB) |\n|---|---|---|---|---|---|\n");
    double bestNc = 0, bestPellix = 0;
    for (int round = 1; round <= 2; ++round) {
        if (!nc.isEmpty()) {
            std::fprintf(stderr, "nc, run %d\n", round);
            const double s = runNc(nc, path, size);
            if (s > 0)
                bestNc = std::max(bestNc, double(size) / s / MB);
            std::printf("| `nc -N` | %d | %.2f | %.0f | | |\n", round, s, s > 0 ? double(size) / s / MB : 0.0);
            std::fflush(stdout);
        }
        std::fprintf(stderr, "Pellix, run %d\n", round);
        const PellixRun r = runPellix(path, size);
        if (r.seconds > 0)
            bestPellix = std::max(bestPellix, double(size) / r.seconds / MB);
        std::printf("| Pellix | %d | %.2f | %.0f | %.2f / %.2f / %.2f | %.1f / %.1f / %.1f |\n",
                    round, r.seconds, r.seconds > 0 ? double(size) / r.seconds / MB : 0.0,
                    r.lateness.median, r.lateness.p99, r.lateness.max, r.idleKiB / 1024.0,
                    r.peakKiB / 1024.0, r.afterKiB / 1024.0);
        std::fflush(stdout);
    }
    if (bestNc > 0)
        std::printf("\nBest of each: Pellix %.0f MB/s, nc %.0f MB/s: Pellix at %.0f %% of nc.\n",
                    bestPellix, bestNc, 100.0 * bestPellix / bestNc);
    else
        std::printf("\nnc was not found: no figure beside it.\n");
    return 0;
}

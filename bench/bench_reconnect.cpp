// Reconnect with the real window (offscreen, its poll timer running): the CPU
// the process uses while the peer is down, beside the same window idle for
// as long; each try's wait as announced and as it came; and the time from
// the peer's return on the same port to "Connected to:".
// Usage: bench_reconnect [SECONDS_DOWN]   (60 by default)

#include "benchsupport.h"
#include "frmpellix.h"
#include "loopbackpeer.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <ctime>

namespace {

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Runs the event loop for ms; the CPU seconds the process used meanwhile.
double cpuWhileRunning(int ms)
{
    const double before = cpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return cpuSeconds() - before;
}

// A status line of the transcript and when it was appended (µs since the epoch).
struct Line {
    QString text;
    qint64 time;
};

QList<Line> statusLines(const TranscriptView& view, const QString& prefix)
{
    QList<Line> lines;
    const QByteArray bytes = view.store().bytes().toByteArray();
    for (qsizetype at = bytes.indexOf(prefix.toLatin1()); at >= 0;
         at = bytes.indexOf(prefix.toLatin1(), at + 1)) {
        const qsizetype end = bytes.indexOf("\r\n", at);
        const qsizetype run = view.times().runAt(at);
        lines.append({QString::fromLatin1(bytes.mid(at, end - at)), view.times().run(run).time});
    }
    return lines;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int down = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    std::printf("# bench_reconnect\n\n");
    bench::printMachine();

    frmPellix w(testwindow::loopbackHooks());
    w.show();
    const double idle = cpuWhileRunning(down * 1000);

    auto listener = std::make_unique<testpeer::Listener>();
    const quint16 port = listener->port();
    w.actReconnect->setChecked(true);
    testpeer::Peer peer = testwindow::connectTo(w, *listener);
    if (!peer.isOpen()) {
        std::fprintf(stderr, "the window did not connect\n");
        return 1;
    }
    // The peer goes away: its listener first, then the connection.
    listener.reset();
    peer.close();
    const double whileDown = cpuWhileRunning(down * 1000);

    listener = std::make_unique<testpeer::Listener>(8, testpeer::Listener::IPv4, port);
    const qint64 back = TranscriptTimes::systemNow();
    const qsizetype connectedBefore = statusLines(*w.txtDati, "Connected to:").size();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (statusLines(*w.txtDati, "Connected to:").size() > connectedBefore)
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(40000, &loop, &QEventLoop::quit);
    loop.exec();
    const QList<Line> connected = statusLines(*w.txtDati, "Connected to:");
    if (connected.size() <= connectedBefore) {
        std::fprintf(stderr, "the window did not connect again within 40 s\n");
        return 1;
    }

    std::printf("## CPU while the peer is down\n\n");
    std::printf("| %d s of | CPU s | share of one core |\n|---|---|---|\n", down);
    std::printf("| the window idle, not connected | %.3f | %.2f %% |\n", idle, idle * 100.0 / down);
    std::printf("| the peer down, Reconnect trying | %.3f | %.2f %% |\n\n", whileDown,
                whileDown * 100.0 / down);

    std::printf("## The tries\n\n| try | wait announced | from its line to the next line |\n"
                "|---|---|---|\n");
    const QList<Line> tries = statusLines(*w.txtDati, "Reconnecting to ");
    const QRegularExpression waitOf(QStringLiteral(" in ([0-9.]+) s \\(try ([0-9]+)\\)"));
    double shortest = 1e9, longest = 0;
    for (qsizetype i = 0; i < tries.size(); ++i) {
        const auto m = waitOf.match(tries[i].text);
        const qint64 next = i + 1 < tries.size() ? tries[i + 1].time : connected.last().time;
        const double gap = double(next - tries[i].time) / 1e6;
        shortest = std::min(shortest, gap);
        longest = std::max(longest, gap);
        std::printf("| %s | %s s | %.3f s%s |\n", qPrintable(m.captured(2)), qPrintable(m.captured(1)),
                    gap, i + 1 < tries.size() ? "" : " (to Connected to:)");
    }
    std::printf("\nShortest gap %.3f s, longest %.3f s.\n\n", shortest, longest);

    const Line& last = tries.last();
    const double lastWait = waitOf.match(last.text).captured(1).toDouble();
    const double due = double(last.time - back) / 1e6 + lastWait; // the try, after the return
    const double returnToConnected = double(connected.last().time - back) / 1e6;
    std::printf("## The peer's return\n\n| from the return | s |\n|---|---|\n");
    std::printf("| to the try that was due (the rest of its wait) | %.3f |\n", due);
    std::printf("| to \"Connected to:\" | %.3f |\n", returnToConnected);
    std::printf("| of which the try itself (the tick, the connect) | %.3f |\n", returnToConnected - due);
    return 0;
}

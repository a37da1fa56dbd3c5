// The whole window against a real peer on the loopback, as a user runs it:
//
//   idle      CPU of the window over a stretch of wall time (default 60 s),
//             first idle, then connected with nothing arriving; the real
//             100 ms poll timer runs.
//   key       a key typed into the transcript until send() has returned, and
//             until the peer has read the byte.
//   arrival   a byte written by the peer until the window has painted it,
//             with the real poll timer.
//   logging   the receive tick during a flood with the transcript logged to a
//             file, against the same tick without.
//   capture   the same tick with the capture written live, against the tick
//             with the plain log; and Save As of a 100 MB transcript as a
//             capture, beside Save As of its exact bytes.
//   receive   one poll tick that takes 8 KiB from the socket and shows it
//             (the handler, then the posted events that repaint), at 0, 10 and
//             100 MB of transcript; and memory per transcript byte at
//             100 MB. Beside it, the same tick done with whole-text
//             replacement in a QPlainTextEdit.
//
// Prints Markdown on stdout, progress on stderr.
// Run: QT_QPA_PLATFORM=offscreen bench_session   (or: make bench)
// Arguments pick parts: idle key arrival logging capture receive (all by default);
// receive-only leaves out the replacement column. PELLIX_BENCH_IDLE_SECONDS
// shortens the idle stretches.

#include "benchpeer.h"
#include "benchsupport.h"
#include "frmpellix.h"
#include "loopbackpeer.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <vector>

using testpeer::Listener;
using testpeer::Peer;

namespace {

constexpr qint64 MB = 1000 * 1000;
constexpr qint64 Chunk = 8192;

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A shown window connected to a fresh listener; the poll timer stopped
// unless keepTimer.
struct Session {
    explicit Session(bool keepTimer = false)
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            std::fprintf(stderr, "bench_session: the window was not exposed\n");
        if (!keepTimer)
            window.tmrReceive->stop();
    }

    bool connect()
    {
        peer = testwindow::connectTo(window, listener);
        return peer.isOpen();
    }

    ConnectionControl& conn() { return window.connection(); }
    qint64 shown() const { return window.txtDati->length(); }
    // One poll tick and what the event loop does next: the posted events,
    // among them the repaint of what the tick changed.
    void tick()
    {
        conn().tmrReceive_Timer();
        QCoreApplication::sendPostedEvents();
    }

    // Connected, the transcript cleared, for a flood: the window's socket.
    int connectForFlood();
    // The peer sends the next 8 KiB; then one tick, timed: its milliseconds.
    double floodTick(bench::Stream& stream, int fd);

    frmPellix window;
    Listener listener;
    Peer peer;
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_session: %s\n", what);
    std::exit(1);
}

int Session::connectForFlood()
{
    if (!connect())
        fail("could not connect");
    window.cmdClear_Click();
    tick();
    return int(conn().connSocket());
}

double Session::floodTick(bench::Stream& stream, int fd)
{
    if (!peer.send(stream.next(Chunk)) || !bench::waitForBytes(fd, Chunk))
        fail("peer could not send");
    QElapsedTimer t;
    t.start();
    tick();
    return t.nsecsElapsed() / 1e6;
}

// --- idle ----------------------------------------------------------------------

double idleCpuPercent(int seconds)
{
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    QElapsedTimer wall;
    wall.start();
    const double before = cpuSeconds();
    loop.exec();
    return 100.0 * (cpuSeconds() - before) / (wall.nsecsElapsed() / 1e9);
}

void benchIdle()
{
    const int seconds = qEnvironmentVariableIsSet("PELLIX_BENCH_IDLE_SECONDS")
        ? qEnvironmentVariableIntValue("PELLIX_BENCH_IDLE_SECONDS")
        : 60;
    Session idle(true);
    std::fprintf(stderr, "idle window, %d s ...\n", seconds);
    const double idlePercent = idleCpuPercent(seconds);

    if (!idle.connect())
        fail("could not connect");
    std::fprintf(stderr, "connected window, %d s ...\n", seconds);
    const double connectedPercent = idleCpuPercent(seconds);

    std::printf("## Idle\n\nCPU time of the process (getrusage) over %d s of wall time, the "
                "100 ms poll timer running.\n\n", seconds);
    std::printf("| Window | CPU, %% of one core |\n|---|---:|\n");
    std::printf("| idle | %.3f %% |\n| connected, nothing arriving | %.3f %% |\n\n", idlePercent,
                connectedPercent);
}

// --- key to socket ---------------------------------------------------------------

void benchKeys()
{
    constexpr int Keys = 2000;
    std::printf("## Key press to the socket\n\n%d key presses (a letter) sent to the transcript "
                "as events, the poll timer stopped. \"send() returned\": the key event's "
                "dispatch until it returned, the byte handed to the socket; \"peer read it\": "
                "until a blocking recv() on the peer's side had it.\n\n", Keys);
    std::printf("| Local Echo | send() returned, median | 99th percentile | peer read it, median "
                "| 99th percentile |\n|---|---:|---:|---:|---:|\n");
    for (bool echo : {true, false}) {
        Session s;
        if (!s.connect())
            fail("could not connect");
        s.window.chkEcho->setChecked(echo);
        s.window.txtDati->setFocus();
        std::vector<double> sent, read;
        for (int i = 0; i < Keys; ++i) {
            QElapsedTimer t;
            t.start();
            QTest::keyClick(s.window.txtDati, Qt::Key(Qt::Key_A + i % 26));
            sent.push_back(t.nsecsElapsed() / 1e6);
            if (s.peer.read(1, 1000).size() != 1)
                fail("a key did not reach the peer");
            read.push_back(t.nsecsElapsed() / 1e6);
            // Painting the echo belongs to the event loop, not to the key.
            QCoreApplication::processEvents();
        }
        const auto a = bench::summary(sent), b = bench::summary(read);
        std::printf("| %s | %.3f ms | %.3f ms | %.3f ms | %.3f ms |\n", echo ? "on" : "off",
                    a.median, a.p99, b.median, b.p99);
    }
    std::printf("\n");
}

// --- arrival to shown ----------------------------------------------------------

void benchArrival()
{
    constexpr int Samples = 100;
    Session s(true);
    if (!s.connect())
        fail("could not connect");
    std::mt19937 random(7);
    std::vector<double> delays;
    for (int i = 0; i < Samples; ++i) {
        // A random moment within the poll period.
        QTest::qWait(int(random() % 100));
        const qint64 before = s.shown();
        QElapsedTimer t;
        t.start();
        if (!s.peer.send("x"))
            fail("peer could not send");
        while (s.shown() == before && t.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        QCoreApplication::processEvents(); // the paint the append asked for
        delays.push_back(t.nsecsElapsed() / 1e6);
    }
    const auto d = bench::summary(delays);
    std::printf("## Bytes arriving to shown\n\n%d single bytes written by the peer at random "
                "moments, the real 100 ms poll timer and event loop running, until the "
                "transcript had the byte and had painted it.\n\n", Samples);
    std::printf("| median | 90th percentile | largest |\n|---:|---:|---:|\n");
    std::printf("| %.1f ms | %.1f ms | %.1f ms |\n\n", d.median, d.p90, d.max);
}

// --- receive tick ----------------------------------------------------------------

const std::vector<qint64> Sizes{0, 10 * MB, 100 * MB};
constexpr int TickSamples = 101;

void benchReceive(bench::Shape shape, std::vector<bench::Summary>& out, double& bytesPerByte)
{
    Session s;
    s.window.txtDati->resize(s.window.txtDati->size()); // as laid out
    if (!s.connect())
        fail("could not connect");
    s.window.cmdClear_Click();
    s.tick();
    const qint64 rssStart = bench::rssKiB();
    bench::Stream stream(shape);
    const int fd = int(s.conn().connSocket());

    for (qint64 size : Sizes) {
        // Fill as the peer would, through the socket and the handler.
        while (s.shown() < size) {
            const qint64 n = std::min(Chunk, size - s.shown());
            if (!s.peer.send(stream.next(n)) || !bench::waitForBytes(fd, n))
                fail("peer could not fill the transcript");
            s.conn().tmrReceive_Timer();
        }
        s.tick();
        std::vector<double> ms;
        for (int i = 0; i < TickSamples; ++i) {
            if (!s.peer.send(stream.next(Chunk)) || !bench::waitForBytes(fd, Chunk))
                fail("peer could not send");
            const qint64 before = s.shown();
            QElapsedTimer t;
            t.start();
            s.tick();
            ms.push_back(t.nsecsElapsed() / 1e6);
            if (s.shown() != before + Chunk)
                fail("a tick did not take 8 KiB");
        }
        out.push_back(bench::summary(ms));
        std::fprintf(stderr, "tick at %lld MB (%s): %.3f ms median\n", size / MB,
                     bench::shapeName(shape), out.back().median);
    }
    bytesPerByte = double(bench::rssKiB() - rssStart) * 1024 / s.shown();
}

// --- receive tick with logging ---------------------------------------------------

// The flood tick with the transcript logged to a file, against the same tick
// without: blocks of ticks in turn, so that both see the same machine.
void benchLogging()
{
    Session s;
    const int fd = s.connectForFlood();
    bench::Stream stream(bench::Shape::Lines);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("transcript.log"));
    constexpr int Blocks = 20, PerBlock = 51;
    std::vector<double> off, on;
    for (int block = 0; block < Blocks; ++block) {
        const bool logging = block % 2 == 1;
        if (logging)
            s.window.txtDati->startLog(TranscriptLog::open(path, nullptr), false);
        else
            s.window.txtDati->stopLog();
        for (int i = 0; i < PerBlock; ++i) {
            (logging ? on : off).push_back(s.floodTick(stream, fd));
        }
    }
    s.window.txtDati->stopLog();
    if (QFileInfo(path).size() != qint64(on.size()) * Chunk)
        fail("the log does not hold every logged byte");
    const bench::Summary a = bench::summary(off), b = bench::summary(on);
    std::printf("## Receive tick with logging\n\nThe receive tick of 8 KiB (80-column lines) "
                "during a flood, with the transcript logged to a file on this machine's disk "
                "and without; %d blocks of %d ticks in turn. Median (90th percentile).\n\n"
                "| Logging | Tick |\n|---|---:|\n| off | %.3f ms (%.3f) |\n| on | %.3f ms (%.3f) |"
                "\n\nLogging adds %.1f %% to the median tick (target: under 10 %%).\n\n",
                Blocks, PerBlock, a.median, a.p90, b.median, b.p90,
                (b.median / a.median - 1) * 100);
}

// The flood tick with the capture written live, against the same tick with
// the plain log: blocks of ticks in turn. Then Save As of 100 MB.
void benchCapture()
{
    Session s;
    const int fd = s.connectForFlood();
    bench::Stream stream(bench::Shape::Lines);
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("transcript.log"));
    const QString live = dir.filePath(QStringLiteral("live.pcapng"));
    TranscriptView& view = *s.window.txtDati;
    constexpr int Blocks = 40, PerBlock = 51;
    std::vector<double> logged, captured;
    for (int block = 0; block < Blocks; ++block) {
        const bool capturing = block % 2 == 1;
        // The capture starts with what is shown, the open connection's
        // handshake among it: not timed.
        view.stopLog();
        view.stopCapture();
        if (capturing)
            view.startCapture(TranscriptCapture::open(live, nullptr), true);
        else
            view.startLog(TranscriptLog::open(log, nullptr), false);
        for (int i = 0; i < PerBlock; ++i) {
            (capturing ? captured : logged).push_back(s.floodTick(stream, fd));
        }
    }
    if (!view.isCapturing() || QFileInfo(live).size() < view.length())
        fail("the capture does not hold what was shown");
    view.stopCapture();
    const bench::Summary a = bench::summary(logged), b = bench::summary(captured);

    // What the capture adds to a tick, alone: making the blocks of 8 KiB.
    CaptureEncoder encoder;
    QByteArray blocks;
    encoder.start({{{127, 0, 0, 1}, false, 40000}, {{127, 0, 0, 1}, false, 7}, false, true}, 0,
                  blocks);
    const QByteArray chunk = stream.next(Chunk);
    constexpr int Encodes = 10000;
    QElapsedTimer encoding;
    encoding.start();
    for (int i = 0; i < Encodes; ++i) {
        blocks.resize(0);
        encoder.append(chunk, TextOrigin::Received, i, blocks);
    }
    const double encodeMicros = encoding.nsecsElapsed() / 1e3 / Encodes;

    // 100 MB as the flood leaves it: 8 KiB appends from the peer, within
    // one connection.
    TranscriptView big;
    big.startConversation({{{127, 0, 0, 1}, false, 40000}, {{127, 0, 0, 1}, false, 7}, false, true});
    bench::Stream bigStream(bench::Shape::Lines);
    while (big.length() < 100 * MB)
        big.AppendText(QString::fromLatin1(bigStream.next(Chunk)));
    const QString saved = dir.filePath(QStringLiteral("saved"));
    auto timedSave = [&](SaveFormat format) {
        QElapsedTimer t;
        t.start();
        if (!big.saveAs(saved, nullptr, format))
            fail("Save As failed");
        return std::pair{t.nsecsElapsed() / 1e9, QFileInfo(saved).size()};
    };
    std::vector<double> asBytes, asCapture;
    qint64 captureSize = 0;
    for (int run = 0; run < 3; ++run) {
        asBytes.push_back(timedSave(SaveFormat::Bytes).first);
        const auto [seconds, size] = timedSave(SaveFormat::Capture);
        asCapture.push_back(seconds);
        captureSize = size;
    }
    std::printf("## Capture\n\nThe receive tick of 8 KiB (80-column lines) during a flood, with "
                "the capture written live (`--capture`) and with the plain log (`--output`), "
                "both to files on this machine's disk; %d blocks of %d ticks in turn. Median "
                "(90th percentile).\n\n| Written | Tick |\n|---|---:|\n| log | %.3f ms (%.3f) |\n"
                "| capture | %.3f ms (%.3f) |\n\nThe capture adds %.1f %% to the median tick of "
                "the log (target: within 10 %%); making the capture's blocks of 8 KiB takes %.1f µs "
                "of it.\n\n"
                "Save As of a %.0f MB transcript (8 KiB appends, one connection), three runs: "
                "exact bytes %.2f / %.2f / %.2f s, capture %.2f / %.2f / %.2f s (%.0f MB of "
                "pcapng; target: under 2 s).\n\n",
                Blocks, PerBlock, a.median, a.p90, b.median, b.p90,
                (b.median / a.median - 1) * 100, encodeMicros, big.length() / double(MB), asBytes[0], asBytes[1],
                asBytes[2], asCapture[0], asCapture[1], asCapture[2], captureSize / double(MB));
}

// The same tick with the whole text given to a QPlainTextEdit again.
std::vector<bench::Summary> benchReplace()
{
    std::vector<bench::Summary> out;
    Listener listener;
    const int fd = int(mWinsock2::CreateTcpSocket());
    const sockaddr_in a = testpeer::loopback(listener.port());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        fail("could not connect");
    Peer peer = listener.accept();
    bench::Stream stream(bench::Shape::Lines);

    for (qint64 size : Sizes) {
        auto edit = bench::newPlainTextEdit();
        QString text = QString::fromLatin1(stream.next(size));
        edit->setPlainText(text);
        bench::showEnd(*edit);
        std::vector<double> ms;
        QElapsedTimer budget;
        budget.start();
        while (ms.size() < 3 || (ms.size() < TickSamples && budget.elapsed() < 20000)) {
            if (!peer.send(stream.next(Chunk)) || !bench::waitForBytes(fd, Chunk))
                fail("peer could not send");
            QElapsedTimer t;
            t.start();
            QString received;
            if (mWinsock2::ReceiveText(fd, received) != Chunk)
                fail("short receive");
            text += received;
            edit->setPlainText(text);
            bench::showEnd(*edit);
            ms.push_back(t.nsecsElapsed() / 1e6);
        }
        out.push_back(bench::summary(ms));
        std::fprintf(stderr, "replacement tick at %lld MB: %.1f ms median (%zu samples)\n",
                     size / MB, out.back().median, ms.size());
    }
    mWinsock2::CloseSocket(fd);
    return out;
}

// withReplacement: also the replacement column, which takes a minute.
void reportReceive(bool withReplacement)
{
    std::vector<bench::Summary> lines, oneLine;
    double linesBytes = 0, oneLineBytes = 0;
    benchReceive(bench::Shape::Lines, lines, linesBytes);
    benchReceive(bench::Shape::OneLine, oneLine, oneLineBytes);
    const std::vector<bench::Summary> replace = withReplacement ? benchReplace()
                                                                : std::vector<bench::Summary>();

    std::printf("## Receive tick\n\nOne poll tick that receives 8 KiB from a real peer and "
                "shows it: the timer's handler, then the posted events the event loop would "
                "deliver next, which repaint the transcript (scrolled to the end) and its scroll "
                "bars. Median of %d ticks (90th percentile in brackets) at each "
                "transcript size. Replacement: the same 8 KiB received, then the whole text "
                "given again to a QPlainTextEdit (setPlainText, end scrolled into view, "
                "repaint), as few as 3 ticks where each takes seconds.\n\n", TickSamples);
    std::printf("| Transcript | Pellix, 80-column lines | Pellix, one line, no breaks "
                "| Replacement, 80-column lines |\n|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < Sizes.size(); ++i) {
        std::printf("| %lld MB | %.2f ms (%.2f) | %.2f ms (%.2f) ", Sizes[i] / MB,
                    lines[i].median, lines[i].p90, oneLine[i].median, oneLine[i].p90);
        if (i < replace.size())
            std::printf("| %.1f ms (%zu ticks) |\n", replace[i].median, replace[i].count);
        else
            std::printf("| not run |\n");
    }
    std::printf("\n## Memory\n\nResident memory (VmRSS) above the connected window with an "
                "empty transcript, after 100 MB received through the socket, per transcript "
                "byte: 80-column lines %.2f bytes, one line %.2f bytes.\n\n", linesBytes,
                oneLineBytes);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList parts = app.arguments().mid(1);
    const auto wanted = [&](const char* part) {
        return parts.isEmpty() || parts.contains(QLatin1String(part));
    };
    std::printf("# bench_session\n\n");
    bench::printMachine();
    if (wanted("idle"))
        benchIdle();
    if (wanted("key"))
        benchKeys();
    if (wanted("arrival"))
        benchArrival();
    if (wanted("logging"))
        benchLogging();
    if (wanted("capture"))
        benchCapture();
    if (wanted("receive") || wanted("receive-only"))
        reportReceive(!parts.contains(QLatin1String("receive-only")));
    return 0;
}

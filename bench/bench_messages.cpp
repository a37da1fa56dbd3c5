// Saved messages: a repeat's rate against a loopback peer that timestamps
// what arrives (every 100 ms for 60 s, every 10 ms for 10 s), the window's
// receive tick meanwhile beside the same tick with no repeat, and opening a
// file of 1,000 messages.
//
//   bench_messages [SECONDS_AT_100MS [SECONDS_AT_10MS]]

#include "benchsupport.h"
#include "frmpellix.h"
#include "loopbackpeer.h"
#include "messagebytes.h"
#include "messagefile.h"
#include "messagelist.h"
#include "messagesender.h"
#include "messageswindow.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
const QByteArray Beat("RT\r\n");

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_messages: %s\n", what);
    std::exit(1);
}

// The far end: reads and timestamps each beat as it arrives, and meanwhile
// sends 8 KiB every 100 ms for the window's receive tick to take.
class TimingPeer {
public:
    explicit TimingPeer(testpeer::Peer peer) : m_peer(std::move(peer))
    {
        m_thread = std::thread([this] { run(); });
    }
    ~TimingPeer()
    {
        m_stop = true;
        m_thread.join();
    }
    std::vector<Clock::time_point> takeArrivals()
    {
        const std::lock_guard lock(m_mutex);
        m_partial = 0;
        return std::exchange(m_arrivals, {});
    }

private:
    void run()
    {
        bench::Stream flow(bench::Shape::Lines);
        auto nextSend = Clock::now();
        char buffer[65536];
        while (!m_stop) {
            if (Clock::now() >= nextSend) {
                m_peer.send(flow.next(8192), 1000);
                nextSend += std::chrono::milliseconds(100);
            }
            if (!testpeer::waitFor(m_peer.fd(), POLLIN, 1))
                continue;
            const ssize_t n = ::recv(m_peer.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            const auto now = Clock::now();
            if (n <= 0)
                continue;
            const std::lock_guard lock(m_mutex);
            // A beat counts when its last byte has come.
            m_partial += n;
            for (; m_partial >= Beat.size(); m_partial -= Beat.size())
                m_arrivals.push_back(now);
        }
    }

    testpeer::Peer m_peer;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_arrivals;
    qint64 m_partial = 0;
};

// The window's receive tick, timed, on its own 100 ms timer for `seconds`;
// when periodMs, a repeat of that period runs meanwhile and its figures are
// printed.
bench::Summary run(frmPellix& window, TimingPeer& peer, int seconds, int periodMs,
                   const char* note = "")
{
    std::vector<double> ticks;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        QElapsedTimer t;
        t.start();
        window.connection().tmrReceive_Timer();
        QCoreApplication::sendPostedEvents();
        ticks.push_back(t.nsecsElapsed() / 1e6);
    });
    tick.start(100);
    peer.takeArrivals();
    QElapsedTimer elapsed;
    if (periodMs > 0) {
        window.messages->setMessages({Message{QStringLiteral("read temp"),
                                              QStringLiteral("RT\\r\\n"), Message::Kind::Text,
                                              {}, periodMs, false, std::nullopt}});
        elapsed.start();
        if (!window.messageSender->startRepeat(0))
            fail("the repeat did not start");
    }
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    if (periodMs > 0) {
        MessageSchedule& schedule = window.messageSender->schedule();
        const qint64 sent = schedule.sent(QStringLiteral("read temp"));
        const qint64 skipped = schedule.skipped(QStringLiteral("read temp"));
        const double ms = elapsed.nsecsElapsed() / 1e6;
        window.messageSender->stopAll(QStringLiteral("done"));
        QTest::qWait(200); // the last beats arrive
        const std::vector<Clock::time_point> arrivals = peer.takeArrivals();
        std::vector<double> intervals;
        for (std::size_t i = 1; i < arrivals.size(); ++i)
            intervals.push_back(std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
        const bench::Summary s = bench::summary(intervals);
        const double span = arrivals.size() > 1
            ? std::chrono::duration<double, std::milli>(arrivals.back() - arrivals.front()).count()
            : 0;
        std::printf("| every %d ms for %d s%s | %lld | %lld | %zu | %lld | %.2f | %.2f | %.2f | %+.2f |\n",
                    periodMs, seconds, note, qint64(ms / periodMs) + 1, sent, arrivals.size(), skipped,
                    s.median, s.p99, s.max, span - double(sent + skipped - 1) * periodMs);
        std::fflush(stdout);
    }
    tick.stop();
    return bench::summary(ticks);
}

void benchOpen()
{
    QList<Message> list;
    for (int i = 0; i < 1000; ++i)
        list.append(Message{QStringLiteral("message %1").arg(i),
                            QStringLiteral("CMD %1 \\x02payload\\x03\\r\\n").arg(i),
                            Message::Kind::Text,
                            i < 10 ? messageKeys().at(i) : QString(),
                            i % 3 == 0 ? 100 * (i + 1) : 0, i % 7 == 0, std::nullopt});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("many.toml"));
    QString why;
    if (!writeMessageFile(path, list, &why))
        fail("could not write the file");
    // Through the Messages window, shown, as Open... does: read, checked,
    // the list replaced and the table laid out.
    MessageList model;
    MessageSender sender(model, {[](QByteArrayView, bool) { return ConnectionControl::SendOutcome::Sent; },
                                 [] { return LineEnd::CrLf; }, [] { return false; },
                                 [](const QString&) {}});
    MessagesWindow window(model, sender);
    window.show();
    std::vector<double> ms;
    for (int i = 0; i < 21; ++i) {
        QElapsedTimer t;
        t.start();
        if (!window.openFile(path) || model.size() != 1000)
            fail("the file did not open");
        QCoreApplication::sendPostedEvents();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    const bench::Summary s = bench::summary(ms);
    std::printf("\nOpening a file of 1,000 messages (%lld bytes) in the shown Messages window, "
                "21 times: median %.2f ms, max %.2f ms (target: under 100 ms).\n",
                qint64(QFileInfo(path).size()), s.median, s.max);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const int slow = argc > 1 ? std::atoi(argv[1]) : 60;
    const int fast = argc > 2 ? std::atoi(argv[2]) : 10;
    std::printf("## Saved messages\n\n");
    bench::printMachine();

    frmPellix window(testwindow::loopbackHooks());
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        fail("the window was not exposed");
    window.tmrReceive->stop(); // the benchmark's own timer ticks, timed
    testpeer::Listener listener;
    testpeer::Peer far = testwindow::connectTo(window, listener);
    if (!far.isOpen())
        fail("could not connect");
    TimingPeer peer(std::move(far));

    std::printf("A repeat of 4 bytes (Local Echo on) to a loopback peer that timestamps each "
                "arrival; beside it the peer sends 8 KiB of 80-column lines every 100 ms for the receive tick.\n\n"
                "| repeat | beats due | sent | arrived | skipped | interval median ms | p99 ms | "
                "max ms | drift: first to last arrival less (beats - 1) periods, ms |\n|---|---|---|---|---|---|---|---|---|\n");
    const bench::Summary quiet = run(window, peer, 10, 0);
    const bench::Summary slowTicks = run(window, peer, slow, 100);
    const bench::Summary fastTicks = run(window, peer, fast, 10);
    // The same with Nagle's algorithm off on the window's socket: a small
    // write then never waits for the peer's acknowledgement of the one before.
    const int on = 1;
    ::setsockopt(int(window.connection().connSocket()), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    run(window, peer, fast, 10, ", Nagle off");
    std::printf("\nThe receive tick (8 KiB shown) meanwhile, ms:\n\n| while | ticks | median | p99 | max |\n"
                "|---|---|---|---|---|\n");
    const std::pair<const char*, bench::Summary> rows[] = {
        {"no repeat (10 s)", quiet}, {"every 100 ms", slowTicks}, {"every 10 ms", fastTicks}};
    for (const auto& [name, s] : rows)
        std::printf("| %s | %zu | %.3f | %.3f | %.3f |\n", name, s.count, s.median, s.p99, s.max);
    benchOpen();
    return 0;
}

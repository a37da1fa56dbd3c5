// Answers by rule, in the whole window against a real peer on the loopback:
//
//   tick      the receive tick of 8 KiB (80-column lines) with 20 rules on
//             (10 texts, 10 regular expressions, none matching) and with
//             Rules off, in alternating blocks, at 0, 10 and 100 MB of
//             transcript.
//   latency   a peer sends "PING\r\n" and waits for the "PONG\r\n" a rule
//             answers, over plain TCP and over TLS: first with the window's
//             tick run as soon as the PING is at its socket (what the answer
//             itself costs), then with the real 100 ms poll timer and the
//             PING sent at a random moment (what a device sees).
//
// Prints Markdown on stdout, progress on stderr.
// Usage: QT_QPA_PLATFORM=offscreen bench_rules [tick] [latency] [ROUNDS]
// (both parts and 1000 rounds by default).

#include "benchpeer.h"
#include "benchrules.h"
#include "benchsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr qint64 MB = 1000 * 1000;
constexpr qint64 Chunk = 8192;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_rules: %s\n", what);
    std::exit(1);
}

// --- the receive tick -----------------------------------------------------------

void benchTick(const QTemporaryDir& dir)
{
    bench::ConnectedWindow c(dir, false);
    c.window.answers().setRules(bench::twentyRules(RelaySide::Server));
    bench::Stream stream(bench::Shape::Lines);
    std::printf("## Receive tick with 20 rules\n\nOne poll tick that takes 8 KiB (80-column "
                "lines) from the socket and shows it, the posted repaint included, with Rules "
                "on (10 texts and 10 regular expressions, none of which the stream holds, so "
                "every byte is searched) and off, in 10 alternating blocks of 21 ticks at each "
                "size. Median (90th percentile).\n\n| Transcript | Rules off | Rules on | On "
                "against off |\n|---:|---:|---:|---:|\n");
    for (qint64 size : {qint64(0), 10 * MB, 100 * MB}) {
        while (c.window.txtDati->length() < size)
            c.window.txtDati->AppendText(QString::fromLatin1(
                stream.next(std::min(1 * MB, size - c.window.txtDati->length()))));
        std::vector<double> off, on;
        for (int block = 0; block < 10; ++block) {
            const bool rules = block % 2 == 1;
            c.window.actRules->setChecked(rules);
            for (int i = 0; i < 21; ++i) {
                if (!c.send(stream.next(Chunk)) || !bench::waitForBytes(c.fd(), Chunk))
                    fail("the peer could not send");
                const qint64 before = c.window.txtDati->length();
                QElapsedTimer t;
                t.start();
                c.tick();
                (rules ? on : off).push_back(t.nsecsElapsed() / 1e6);
                if (c.window.txtDati->length() != before + Chunk)
                    fail("a tick did not take 8 KiB");
            }
        }
        const bench::Summary a = bench::summary(off), b = bench::summary(on);
        std::printf("| %lld MB | %.3f ms (%.3f) | %.3f ms (%.3f) | %+.1f %% |\n", size / MB,
                    a.median, a.p90, b.median, b.p90, (b.median / a.median - 1) * 100);
        std::fflush(stdout);
    }
    if (c.window.answers().waiting() != 0 || bench::waitingBytes(c.plainPeer.fd()) != 0)
        fail("a rule answered the stream");
    std::printf("\n");
}

// --- answer latency -------------------------------------------------------------

// Rounds of PING and PONG from a thread of their own while the window runs;
// driven: the window's tick runs as soon as the PING has arrived, otherwise
// the real poll timer runs and each PING goes at a random moment.
bench::Summary latency(const QTemporaryDir& dir, bool tls, bool driven, int rounds)
{
    bench::ConnectedWindow c(dir, tls);
    std::vector<Answers::Rule> rules;
    rules.push_back({"pong", StreamMatcher(QByteArray("PING\r\n")), "PONG\r\n", 0,
                     RelaySide::Server, RelaySide::Server});
    c.window.answers().setRules(std::move(rules));
    std::vector<double> ms;
    std::atomic<bool> done{false};
    std::thread peer([&] {
        std::mt19937 random(7);
        for (int i = 0; i < rounds; ++i) {
            // Paced below the storm limit of 20 answers a second.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(driven ? 55 : 50 + int(random() % 100)));
            const auto start = Clock::now();
            if (!c.send("PING\r\n") || c.read(6) != "PONG\r\n")
                break;
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        done = true;
    });
    if (driven) {
        while (!done) {
            if (testpeer::waitFor(c.fd(), POLLIN, 1))
                c.tick();
            QCoreApplication::processEvents();
        }
    } else {
        c.window.tmrReceive->start();
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (done)
                loop.quit();
        });
        check.start(10);
        loop.exec();
    }
    peer.join();
    if (int(ms.size()) != rounds)
        fail("a PING was not answered");
    return bench::summary(ms);
}

void benchLatency(const QTemporaryDir& dir, int rounds)
{
    std::printf("## Answer latency\n\nFrom the peer's \"PING\\r\\n\" written until it has read "
                "the \"PONG\\r\\n\" a rule answered, %d rounds on the loopback, paced below the "
                "storm limit. Tick at once: the window's tick runs as soon as the PING is at "
                "its socket, so the figure is what matching and answering cost. Poll timer: the "
                "window's own 100 ms timer, the PING sent 50 to 150 ms after the last PONG, so "
                "the figure includes the wait for the next tick.\n\n| Connection | Tick at "
                "once: median | p99 | Poll timer: median | p99 |\n|---|---:|---:|---:|---:|\n",
                rounds);
    for (const bool tls : {false, true}) {
        const bench::Summary driven = latency(dir, tls, true, rounds);
        std::fprintf(stderr, "%s, tick at once: %.3f ms\n", tls ? "TLS" : "plain", driven.median);
        const bench::Summary timed = latency(dir, tls, false, rounds);
        std::fprintf(stderr, "%s, poll timer: %.1f ms\n", tls ? "TLS" : "plain", timed.median);
        std::printf("| %s | %.3f ms | %.3f ms | %.1f ms | %.1f ms |\n", tls ? "TLS 1.3" : "plain",
                    driven.median, driven.p99, timed.median, timed.p99);
        std::fflush(stdout);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QStringList parts = app.arguments().mid(1);
    int rounds = 1000;
    for (const QString& part : parts)
        if (part.toInt() > 0)
            rounds = part.toInt();
    const auto wanted = [&](const char* part) {
        return (!parts.contains(QLatin1String("tick")) && !parts.contains(QLatin1String("latency")))
            || parts.contains(QLatin1String(part));
    };
    QTemporaryDir dir;
    if (!dir.isValid() || !testtls::makeCertificates(dir.path()))
        fail("the openssl command made no certificates");
    std::printf("# bench_rules\n\n");
    bench::printMachine();
    if (wanted("tick"))
        benchTick(dir);
    if (wanted("latency"))
        benchLatency(dir, rounds);
    return 0;
}

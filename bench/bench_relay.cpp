// The relay beside socat, in the same run: a stream from a client through
// the relay to a server on the loopback (plain, and TLS on both legs), every
// byte kept in the transcript; and a small echo round trip.
//
// Usage: bench_relay [MB [CASE...]]   (default 1000 MB, TLS the same size;
// cases: socat socat-v relay relay-rules socat-tls relay-tls echo, all by default)

#include "benchrules.h"
#include "benchsupport.h"
#include "frmpellix.h"
#include "loopbackpeer.h"
#include "tlspeer.h"
#include "transcriptview.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

QString certDir;

struct Figures {
    double seconds = 0;
    qint64 received = 0;
    double worstTickMs = 0; // the longest the window's loop went without a turn
    qint64 memoryAboveTranscriptKiB = 0;
};

// A client that sends bytes of the 80-column stream and ends its side, and
// a server that reads until the end; over TLS when asked.
struct Ends {
    qint64 bytes = 0;
    bool tls = false;
    std::atomic<bool> done{false};
    Clock::time_point first{}, last{};
    qint64 received = 0;

    void serve(testpeer::Listener& listener)
    {
        testpeer::Peer tcp = listener.accept(30000);
        std::vector<char> buffer(1 << 18);
        if (tls) {
            testtls::Peer p = testtls::Peer::server(std::move(tcp), certDir + "/good.pem",
                                                    certDir + "/good.key");
            if (p.handshake())
                for (;;) {
                    const QByteArray got = p.read(1 << 16);
                    if (got.isEmpty())
                        break;
                    received += got.size();
                    if (received >= bytes)
                        break;
                }
        } else {
            for (;;) {
                const ssize_t n = ::recv(tcp.fd(), buffer.data(), buffer.size(), 0);
                if (n <= 0)
                    break;
                received += n;
            }
        }
        last = Clock::now();
        done = true;
    }

    void send(quint16 port)
    {
        testpeer::Peer tcp = testpeer::Peer::connectTo(port);
        bench::Stream stream(bench::Shape::Lines);
        const QByteArray chunk = stream.next(1 << 16);
        first = Clock::now();
        if (tls) {
            testtls::Peer p = testtls::Peer::client(std::move(tcp));
            if (!p.handshake())
                return;
            for (qint64 sent = 0; sent < bytes; sent += chunk.size())
                if (!p.write(chunk.left(std::min<qint64>(chunk.size(), bytes - sent))))
                    return;
            p.closeNotify();
            ::shutdown(p.tcp().fd(), SHUT_WR);
            // Held open until the server has it all.
            while (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return;
        }
        for (qint64 sent = 0; sent < bytes;) {
            const qint64 n = std::min<qint64>(chunk.size(), bytes - sent);
            if (!tcp.send(chunk.left(n), 30000))
                return;
            sent += n;
        }
        ::shutdown(tcp.fd(), SHUT_WR);
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
};

// Runs the event loop until done, measuring the longest turn and, with a
// window, the memory beside its transcript.
void loopUntil(const std::function<bool()>& done, Figures& figures, frmPellix* window)
{
    QElapsedTimer gap;
    gap.start();
    QTimer probe;
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        figures.worstTickMs = std::max(figures.worstTickMs, gap.nsecsElapsed() / 1e6 - 5);
        gap.restart();
    });
    const qint64 start = bench::rssKiB() - (window ? window->txtDati->length() / 1024 : 0);
    QTimer memory;
    memory.setInterval(200);
    QObject::connect(&memory, &QTimer::timeout, [&] {
        if (!window)
            return;
        const qint64 above = bench::rssKiB() - window->txtDati->length() / 1024 - start;
        figures.memoryAboveTranscriptKiB = std::max(figures.memoryAboveTranscriptKiB, above);
    });
    QEventLoop loop;
    QTimer check;
    check.setInterval(2);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    probe.start();
    memory.start();
    check.start();
    loop.exec();
}

std::unique_ptr<frmPellix> relayWindow(quint16 local, quint16 server, bool tls)
{
    auto window = std::make_unique<frmPellix>();
    window->connection().setTlsSettings(
        {certDir + "/ca.pem", certDir + "/good.pem", certDir + "/good.key", false});
    window->chkTls->setChecked(tls);
    window->show();
    window->txtPort->setText(QString::number(local));
    window->txtHostConn->setText("127.0.0.1");
    window->txtPortConn->setText(QString::number(server));
    window->cmdRelay->click();
    return window;
}

QProcess* startSocat(const QStringList& arguments, const QString& dumpFile = {})
{
    auto* socat = new QProcess;
    if (!dumpFile.isEmpty())
        socat->setStandardErrorFile(dumpFile);
    socat->start("socat", arguments);
    socat->waitForStarted();
    QThread::msleep(300);
    return socat;
}

void stopSocat(QProcess* socat)
{
    socat->terminate();
    if (!socat->waitForFinished(3000))
        socat->kill();
    socat->waitForFinished();
    delete socat;
}

// One stream through whatever listens on local and passes on to server.
Figures stream(qint64 bytes, bool tls, quint16 local, testpeer::Listener& server,
               frmPellix* window)
{
    Ends ends;
    ends.bytes = bytes;
    ends.tls = tls;
    Figures figures;
    std::thread sink([&] { ends.serve(server); });
    std::thread source([&] { ends.send(local); });
    if (window)
        loopUntil([&] { return ends.done.load(); }, figures, window);
    source.join();
    sink.join();
    figures.seconds = std::chrono::duration<double>(ends.last - ends.first).count();
    figures.received = ends.received;
    return figures;
}

void printStream(const char* what, qint64 bytes, const Figures& f, bool withWindow)
{
    const double mbs = f.received / 1e6 / f.seconds;
    std::printf("| %s | %lld | %.2f s | %.0f MB/s | %s | %s |\n", what,
                static_cast<long long>(f.received), f.seconds, mbs,
                withWindow ? qPrintable(QString::number(f.worstTickMs, 'f', 1) + " ms") : "",
                withWindow ? qPrintable(QString::number(f.memoryAboveTranscriptKiB / 1024) + " MiB")
                           : "");
    if (f.received != bytes)
        std::printf("|  (only %lld of %lld bytes arrived) | | | | | |\n",
                    static_cast<long long>(f.received), static_cast<long long>(bytes));
    std::fflush(stdout);
}

// The median round trip of a 32-byte request answered by an echo server.
double echoRoundTrip(quint16 local, testpeer::Listener& server, bool withLoop)
{
    std::atomic<bool> done{false};
    std::vector<double> samples;
    std::thread echo([&] {
        testpeer::Peer tcp = server.accept(10000);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(tcp.fd(), buffer, sizeof buffer, 0);
            if (n <= 0 || !tcp.send(QByteArray(buffer, int(n))))
                break;
        }
    });
    std::thread client([&] {
        testpeer::Peer tcp = testpeer::Peer::connectTo(local);
        const QByteArray request(32, 'q');
        for (int i = 0; i < 2000; ++i) {
            const auto start = Clock::now();
            if (!tcp.send(request) || tcp.read(request.size(), 5000).size() != request.size())
                break;
            if (i >= 100) // the first ones warm up
                samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start)
                                      .count());
        }
        tcp.close();
        done = true;
    });
    Figures unused;
    if (withLoop)
        loopUntil([&] { return done.load(); }, unused, nullptr);
    client.join();
    echo.join();
    return samples.empty() ? 0 : bench::summary(samples).median;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1000;
    QStringList cases;
    for (int i = 2; i < argc; ++i)
        cases.append(QString::fromLocal8Bit(argv[i]));
    auto wanted = [&](const char* name) { return cases.isEmpty() || cases.contains(name); };
    const qint64 bytes = megabytes * 1000 * 1000;
    QTemporaryDir dir;
    certDir = dir.path();
    if (!testtls::makeCertificates(certDir)) {
        std::fprintf(stderr, "bench_relay: the openssl command made no certificates\n");
        return 1;
    }
    bench::printMachine();
    std::printf("\n## A stream client to server, %lld MB of 80-column lines\n\n",
                static_cast<long long>(megabytes));
    std::printf("| Through | Bytes | Time | Rate | Longest window turn | Memory above the start, "
                "less the transcript's bytes (its indexes included) |\n"
                "|---|---:|---:|---:|---:|---:|\n");

    auto viaSocat = [&](const char* what, bool tls, const QString& dump) {
        testpeer::Listener server;
        const quint16 local = testpeer::unusedPort();
        const QString listen = tls ? QStringLiteral("OPENSSL-LISTEN:%1,reuseaddr,cert=%2/good.pem,"
                                                    "key=%2/good.key,verify=0")
                                         .arg(local)
                                         .arg(certDir)
                                   : QStringLiteral("TCP-LISTEN:%1,reuseaddr").arg(local);
        const QString connect = tls ? QStringLiteral("OPENSSL:127.0.0.1:%1,cafile=%2/ca.pem")
                                          .arg(server.port())
                                          .arg(certDir)
                                    : QStringLiteral("TCP:127.0.0.1:%1").arg(server.port());
        QStringList arguments{listen, connect};
        if (!dump.isEmpty())
            arguments.prepend("-v");
        QProcess* socat = startSocat(arguments, dump);
        const Figures f = stream(bytes, tls, local, server, nullptr);
        stopSocat(socat);
        printStream(what, bytes, f, false);
    };
    auto viaRelay = [&](const char* what, bool tls, bool rules = false) {
        testpeer::Listener server;
        const quint16 local = testpeer::unusedPort();
        std::unique_ptr<frmPellix> window = relayWindow(local, server.port(), tls);
        // On the stream's own direction, so that every byte is searched.
        if (rules)
            window->answers().setRules(bench::twentyRules(RelaySide::Client));
        const Figures f = stream(bytes, tls, local, server, window.get());
        printStream(what, bytes, f, true);
        std::printf("|  (the transcript holds %lld bytes) | | | | | |\n",
                    static_cast<long long>(window->txtDati->length()));
    };
    const QString dumpFile = dir.filePath("socat-v.txt");
    if (wanted("socat"))
        viaSocat("socat TCP-LISTEN TCP", false, {});
    if (wanted("socat-v"))
        viaSocat("socat -v (dump to a file)", false, dumpFile);
    QFile::remove(dumpFile);
    if (wanted("relay"))
        viaRelay("Pellix relay, every byte kept", false);
    if (wanted("relay-rules"))
        viaRelay("Pellix relay, every byte kept, 20 rules on the client's bytes", false, true);
    if (wanted("socat-tls"))
        viaSocat("socat OPENSSL-LISTEN OPENSSL", true, {});
    if (wanted("relay-tls"))
        viaRelay("Pellix relay, TLS both legs, decrypted bytes kept", true);
    if (!wanted("echo"))
        return 0;

    std::printf("\n## Echo round trip, 32 bytes, median of 1900\n\n| Through | Round trip |\n"
                "|---|---:|\n");
    {
        testpeer::Listener server;
        const quint16 local = testpeer::unusedPort();
        QProcess* socat = startSocat({QStringLiteral("TCP-LISTEN:%1,reuseaddr").arg(local),
                                      QStringLiteral("TCP:127.0.0.1:%1").arg(server.port())});
        std::printf("| socat | %.1f us |\n", echoRoundTrip(local, server, false));
        stopSocat(socat);
    }
    {
        testpeer::Listener server;
        const quint16 local = testpeer::unusedPort();
        std::unique_ptr<frmPellix> window = relayWindow(local, server.port(), false);
        std::printf("| Pellix relay | %.1f us |\n", echoRoundTrip(local, server, true));
    }
    std::fflush(stdout);
    return 0;
}

// TLS against peers on the loopback, with a test authority made by the
// openssl command when the benchmark runs:
//
//   handshake  Connect with TLS until the certificate is verified and shown,
//              against openssl s_server, beside openssl s_client connecting
//              to the same server in the same run (from its start to its
//              "CONNECTION ESTABLISHED"); median over 50 each.
//   receive    one poll tick that takes 8 KiB and shows it, over TLS and over
//              plain TCP, at 0, 10 and 100 MB of transcript, in the same run.
//
// Prints Markdown on stdout, progress on stderr.
// Run: QT_QPA_PLATFORM=offscreen bench_tls [handshake] [receive]   (or: make bench)

#include "benchpeer.h"
#include "benchsupport.h"
#include "frmpellix.h"
#include "loopbackpeer.h"
#include "tlspeer.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <future>

namespace {

constexpr qint64 MB = 1000 * 1000;
constexpr qint64 Chunk = 8192;
// A TLS 1.3 record of 8 KiB: a 5-byte header, the content type and a 16-byte tag.
constexpr qint64 RecordOverhead = 22;
constexpr int Handshakes = 50;
constexpr int TickSamples = 101;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_tls: %s\n", what);
    std::exit(1);
}


void benchHandshake(const QTemporaryDir& dir)
{
    bench::OpensslServer server(dir);
    frmPellix window(testwindow::loopbackHooks());
    window.tmrReceive->stop();
    window.show();
    window.connection().setTlsSettings({dir.filePath("ca.pem"), {}, {}, false});
    window.chkTls->setChecked(true);
    window.txtHostConn->setText("localhost");
    window.txtPortConn->setText(server.port);

    std::vector<double> pellix, sclient;
    for (int i = 0; i < Handshakes; ++i) {
        window.cmdClear_Click();
        QElapsedTimer t;
        t.start();
        window.cmdConnetti->click();
        pellix.push_back(t.nsecsElapsed() / 1e6);
        if (!window.txtDati->plainText().contains("Verified: "))
            fail("the handshake was not verified");
        window.connection().cmdDisconnect_Click();

        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        t.start();
        client.start("openssl", {"s_client", "-connect", "127.0.0.1:" + server.port, "-brief",
                                 "-verify_return_error", "-CAfile", dir.filePath("ca.pem"),
                                 "-servername", "localhost"});
        QByteArray out;
        while (!out.contains("CONNECTION ESTABLISHED") && client.waitForReadyRead(5000))
            out += client.readAll();
        sclient.push_back(t.nsecsElapsed() / 1e6);
        if (!out.contains("CONNECTION ESTABLISHED"))
            fail("openssl s_client did not connect");
        client.kill();
        client.waitForFinished();
    }
    const bench::Summary a = bench::summary(pellix), b = bench::summary(sclient);
    std::printf("## TLS handshake\n\nTo openssl s_server on the loopback (TLS 1.3, P-256 "
                "certificate from a test authority, verified against it with the name "
                "checked), %d times each, in turn. Pellix: the Connect click until the "
                "certificate is verified and its lines are written. openssl s_client: from "
                "starting the command to its \"CONNECTION ESTABLISHED\". Median (90th "
                "percentile).\n\n| Client | Handshake |\n|---|---:|\n"
                "| Pellix | %.2f ms (%.2f) |\n| openssl s_client | %.2f ms (%.2f) |\n\n",
                Handshakes, a.median, a.p90, b.median, b.p90);
}

// The receive tick of 8 KiB over TLS or plain TCP at 0, 10 and 100 MB.
std::vector<bench::Summary> benchReceive(const QTemporaryDir& dir, bool overTls)
{
    bench::ConnectedWindow c(dir, overTls);
    frmPellix& window = c.window;
    const int fd = c.fd();
    bench::Stream stream(bench::Shape::Lines);
    std::vector<bench::Summary> out;
    for (qint64 size : {qint64(0), 10 * MB, 100 * MB}) {
        while (window.txtDati->length() < size)
            window.txtDati->AppendText(QString::fromLatin1(stream.next(std::min(1 * MB, size - window.txtDati->length()))));
        std::vector<double> ms;
        for (int i = 0; i < TickSamples; ++i) {
            const QByteArray bytes = stream.next(Chunk);
            if (!c.send(bytes) || !bench::waitForBytes(fd, Chunk + (overTls ? RecordOverhead : 0)))
                fail("the peer could not send");
            const qint64 before = window.txtDati->length();
            QElapsedTimer t;
            t.start();
            window.connection().tmrReceive_Timer();
            QCoreApplication::sendPostedEvents();
            ms.push_back(t.nsecsElapsed() / 1e6);
            if (window.txtDati->length() != before + Chunk)
                fail("a tick did not take 8 KiB");
        }
        out.push_back(bench::summary(ms));
        std::fprintf(stderr, "%s tick at %lld MB: %.3f ms\n", overTls ? "TLS" : "plain",
                     size / MB, out.back().median);
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList parts = app.arguments().mid(1);
    const auto wanted = [&](const char* part) {
        return parts.isEmpty() || parts.contains(QLatin1String(part));
    };
    QTemporaryDir dir;
    if (!dir.isValid() || !testtls::makeCertificates(dir.path()))
        fail("the openssl command made no certificates");
    std::printf("# bench_tls\n\n");
    bench::printMachine();
    if (wanted("handshake"))
        benchHandshake(dir);
    if (wanted("receive")) {
        const auto plain = benchReceive(dir, false);
        const auto tls = benchReceive(dir, true);
        std::printf("## Receive tick over TLS\n\nOne poll tick that takes 8 KiB (80-column "
                    "lines) from the socket and shows it, the posted repaint included, over "
                    "plain TCP and over TLS 1.3 (AES-256-GCM), %d ticks at each size. Median "
                    "(90th percentile).\n\n| Transcript | Plain | TLS | TLS against plain |\n"
                    "|---:|---:|---:|---:|\n",
                    TickSamples);
        const char* sizes[] = {"0 MB", "10 MB", "100 MB"};
        for (std::size_t i = 0; i < plain.size(); ++i)
            std::printf("| %s | %.3f ms (%.3f) | %.3f ms (%.3f) | %+.1f %% |\n", sizes[i],
                        plain[i].median, plain[i].p90, tls[i].median, tls[i].p90,
                        (tls[i].median / plain[i].median - 1) * 100);
        std::printf("\n");
    }
    return 0;
}

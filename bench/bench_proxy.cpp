// Connect plus the TLS handshake (the certificate verified against a test
// authority, the name "localhost" checked) to openssl s_server on the
// loopback: straight, through a loopback SOCKS5 proxy (microsocks) and
// through an HTTP CONNECT proxy (tinyproxy), each beside ncat --proxy doing
// the same in the same run; median over 50 each.
//
// Prints Markdown on stdout, progress on stderr.
// Run: QT_QPA_PLATFORM=offscreen bench_proxy   (or: make bench)

#include "benchsupport.h"
#include "frmpellix.h"
#include "proxyprocess.h"
#include "tlspeer.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int Connects = 50;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_proxy: %s\n", what);
    std::exit(1);
}

struct Way {
    const char* name;
    QString scheme; // empty: straight to the server
    quint16 port = 0;
};

// A window set to connect the way given, with TLS, to localhost at port.
std::unique_ptr<frmPellix> windowFor(const QTemporaryDir& dir, const QString& port, const Way& way)
{
    auto window = std::make_unique<frmPellix>(testwindow::loopbackHooks());
    window->tmrReceive->stop();
    window->show();
    window->connection().setTlsSettings({dir.filePath("ca.pem"), {}, {}, false});
    if (!way.scheme.isEmpty())
        window->connection().setProxy(
            ProxySettings::parse(way.scheme + "://127.0.0.1:" + QString::number(way.port)));
    window->chkTls->setChecked(true);
    window->txtHostConn->setText("localhost");
    window->txtPortConn->setText(port);
    return window;
}

// Pellix: the Connect click until the certificate is verified and shown.
double pellixOnce(frmPellix& window)
{
    window.cmdClear_Click();
    QElapsedTimer t;
    t.start();
    window.cmdConnetti->click();
    const double ms = t.nsecsElapsed() / 1e6;
    if (!window.txtDati->plainText().contains("Verified: "))
        fail("the handshake was not verified");
    window.connection().cmdDisconnect_Click();
    return ms;
}

// ncat: from starting the command to its "SSL connection to" line.
double ncatOnce(const QTemporaryDir& dir, const QString& port, const Way& way)
{
    QStringList arguments{"-v", "--ssl", "--ssl-verify", "--ssl-trustfile", dir.filePath("ca.pem")};
    if (!way.scheme.isEmpty())
        arguments << "--proxy" << "127.0.0.1:" + QString::number(way.port) << "--proxy-type"
                  << way.scheme << "--proxy-dns" << "remote";
    arguments << "localhost" << port;
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    client.start("ncat", arguments);
    QByteArray out;
    while (!out.contains("SSL connection to") && client.waitForReadyRead(5000))
        out += client.readAll();
    const double ms = t.nsecsElapsed() / 1e6;
    if (!out.contains("SSL connection to"))
        fail("ncat did not connect");
    client.kill();
    client.waitForFinished();
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid() || !testtls::makeCertificates(dir.path()))
        fail("the openssl command made no certificates");
    bench::OpensslServer server(dir);
    QProcess socks, http;
    Way ways[] = {{"straight", {}, 0},
                  {"through SOCKS5 (microsocks)", "socks5", testproxy::startSocks(socks)},
                  {"through HTTP CONNECT (tinyproxy)", "http",
                   testproxy::startHttp(http, dir.filePath("tinyproxy.conf"),
                                        {quint16(server.port.toUInt())})}};
    if (ways[1].port == 0 || ways[2].port == 0)
        fail("a proxy did not start");

    std::printf("# bench_proxy\n\n");
    bench::printMachine();
    std::printf("## Connect and TLS through a proxy\n\nTo openssl s_server on the loopback (TLS "
                "1.3, P-256 certificate from a test authority, verified, the name localhost "
                "checked), %d times each way, the proxies on the loopback too, the target's "
                "name resolved by the proxy. Pellix: the Connect click until the certificate is "
                "verified and its lines are written. ncat --ssl-verify (--proxy-type socks5 or "
                "http, --proxy-dns remote): from starting the command to its \"SSL connection "
                "to\" line. Median (90th percentile); \"added\" is the median less the "
                "straight one's.\n\n| Way | Pellix | added | ncat | added |\n"
                "|---|---:|---:|---:|---:|\n",
                Connects);
    // In turns, so that the machine's other work weighs on every way alike.
    std::vector<std::unique_ptr<frmPellix>> windows;
    for (const Way& way : ways)
        windows.push_back(windowFor(dir, server.port, way));
    std::vector<double> pellixMs[3], ncatMs[3];
    for (int i = 0; i < Connects; ++i) {
        for (std::size_t w = 0; w < 3; ++w) {
            pellixMs[w].push_back(pellixOnce(*windows[w]));
            ncatMs[w].push_back(ncatOnce(dir, server.port, ways[w]));
            server.drain();
        }
    }
    const bench::Summary straightPellix = bench::summary(pellixMs[0]),
                         straightNcat = bench::summary(ncatMs[0]);
    for (std::size_t w = 0; w < 3; ++w) {
        const bench::Summary a = bench::summary(pellixMs[w]), b = bench::summary(ncatMs[w]);
        std::printf("| %s | %.2f ms (%.2f) | %+.2f ms | %.2f ms (%.2f) | %+.2f ms |\n",
                    ways[w].name, a.median, a.p90, a.median - straightPellix.median, b.median,
                    b.p90, b.median - straightNcat.median);
    }
    std::printf("\n");
    for (QProcess* p : {&socks, &http}) {
        p->kill();
        p->waitForFinished();
    }
    return 0;
}

// The command line read on its own: each argument list against what the
// program does with it (exit status, the stream written, whether a window
// appears) and, for a window, what it is asked to do.

#include "commandline.h"

#include <QtTest>

namespace {

enum Stream { None, Out, Err };

Stream streamOf(const CommandLine& c)
{
    switch (c.action) {
    case CommandLine::Action::Run: return None;
    case CommandLine::Action::UsageError: return Err;
    default: return Out;
    }
}

const QString Banner = QStringLiteral("Pellix 9.8.7");
const QString Usage = QStringLiteral("Usage: pellix [OPTIONS] [HOST [PORT]]");

} // namespace

class tst_CommandLine : public QObject {
    Q_OBJECT

private slots:
    void outcome_data();
    void outcome();
    void tlsOptions_data();
    void relayOptions_data();
    void relayOptions();
    void tlsOptions();
    void trustOptions_data();
    void trustOptions();
    void lineEnd_data();
    void lineEnd();
    void timestamps_data();
    void timestamps();
};

void tst_CommandLine::outcome_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("stream");
    QTest::addColumn<bool>("window");
    // For a window: what it is asked to do (0: no port given). For printed
    // text: a piece it must hold (for an error, the bad value as quoted).
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("listen");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("says");
    // For a window: how the transcript shows the bytes ("latin-1", "utf-8",
    // either with " hex").
    QTest::addColumn<QString>("view");

    using L = QStringList;
    auto run = [](const char* name, const L& args, const QString& host, int port, int listen,
                  const QString& output, const QString& view = QStringLiteral("latin-1")) {
        QTest::newRow(name) << args << 0 << int(None) << true << host << port << listen << output
                            << QString() << view;
    };
    auto out = [](const char* name, const L& args, const QString& says) {
        QTest::newRow(name) << args << 0 << int(Out) << false << QString() << 0 << 0 << QString()
                            << says << QString();
    };
    auto err = [](const char* name, const L& args, const QString& says) {
        QTest::newRow(name) << args << 2 << int(Err) << false << QString() << 0 << 0 << QString()
                            << says << QString();
    };
    const QString help = Usage;

    run("nothing", {}, "", 0, 0, "");
    run("host, the port box's port", {"example.org"}, "example.org", 0, 0, "");
    run("host and port", {"127.0.0.1", "23"}, "127.0.0.1", 23, 0, "");
    run("IPv6 host", {"::1", "23"}, "::1", 23, 0, "");
    run("port 1", {"h", "1"}, "h", 1, 0, "");
    run("port 65535", {"h", "65535"}, "h", 65535, 0, "");
    run("port with leading zeros", {"h", "000080"}, "h", 80, 0, "");
    run("-l PORT", {"-l", "2323"}, "", 0, 2323, "");
    run("-lPORT", {"-l2323"}, "", 0, 2323, "");
    run("--listen PORT", {"--listen", "2323"}, "", 0, 2323, "");
    run("--listen=PORT", {"--listen=2323"}, "", 0, 2323, "");
    run("the last --listen counts", {"-l", "1", "--listen", "2"}, "", 0, 2, "");
    run("-o FILE with host", {"-o", "s.log", "h", "7"}, "h", 7, 0, "s.log");
    run("--output=FILE with listen", {"--listen", "9", "--output=a=b.log"}, "", 0, 9, "a=b.log");
    run("options after the operands", {"h", "7", "-o", "s.log"}, "h", 7, 0, "s.log");
    run("a file named like an option", {"-o", "-l"}, "", 0, 0, "-l");
    run("-- ends the options", {"-o", "f", "--", "-h", "8"}, "-h", 8, 0, "f");
    run("--encoding utf-8", {"--encoding", "utf-8"}, "", 0, 0, "", "utf-8");
    run("--encoding=UTF-8 with host", {"--encoding=UTF-8", "h"}, "h", 0, 0, "", "utf-8");
    run("--encoding latin-1", {"--encoding=latin-1"}, "", 0, 0, "", "latin-1");
    run("--hex", {"--hex", "-l", "5"}, "", 0, 5, "", "latin-1 hex");
    run("--hex and utf-8", {"--encoding", "utf-8", "--hex"}, "", 0, 0, "", "utf-8 hex");

    out("-h", {"-h"}, help);
    out("--help", {"--help"}, help);
    out("-v", {"-v"}, Banner + u'\n');
    out("--version", {"--version"}, Banner + u'\n');
    out("short options together", {"-vh"}, Banner + u'\n');
    out("help before a bad option", {"--help", "--bogus"}, help);
    out("help despite bad operands", {"a", "0", "x", "-h"}, help);

    err("port 0", {"h", "0"}, "'0'");
    err("port 65536", {"h", "65536"}, "'65536'");
    err("port too long for any integer", {"h", "99999999999999999999"}, "'99999999999999999999'");
    err("port with a plus sign", {"h", "+80"}, "'+80'");
    err("port with a blank", {"h", " 80"}, "' 80'");
    err("port in hex", {"h", "0x50"}, "'0x50'");
    err("port with a fraction", {"h", "80.0"}, "'80.0'");
    err("port with an exponent", {"h", "1e3"}, "'1e3'");
    err("port in other digits", {"h", QStringLiteral("\uff18\uff10")}, QStringLiteral("'\uff18\uff10'"));
    err("empty port", {"h", ""}, "''");
    err("negative port", {"h", "-1"}, "'-1'");
    err("bad listen port", {"--listen=65536"}, "'65536' is not a port for --listen");
    err("empty listen port", {"-l", ""}, "'' is not a port for -l");
    err("control character in a value", {"-l", "1\n2"}, "'1\\x0a2'");
    err("-l without its port", {"-l"}, "'-l' needs a port");
    err("--listen without its port", {"--listen"}, "'--listen' needs a port");
    err("-o without its file", {"-o"}, "'-o' needs a file name");
    err("--output= with no file", {"--output="}, "'--output' needs a file name");
    err("unknown long option", {"--bogus=1", "h"}, "'--bogus'");
    err("abbreviated long option", {"--list", "5"}, "'--list'");
    err("unknown short option", {"-x"}, "'-x'");
    err("a Qt option", {"-platform", "offscreen"}, "'-p'");
    err("bad option before help", {"-x", "-h"}, "'-x'");
    err("--help with a value", {"--help=yes"}, "'--help' takes no value");
    err("host and --listen", {"h", "-l", "5"}, "'h'");
    err("--listen then host and port", {"-l", "5", "h", "6"}, "'h'");
    err("too many arguments", {"h", "1", "extra"}, "'extra'");
    err("empty host", {""}, "empty host name");
    err("--tls with a value", {"--tls=yes"}, "'--tls' takes no value");
    err("--ca-file without its file", {"h", "--ca-file"}, "'--ca-file' needs a file name");
    err("--cert without --key", {"--cert", "c.pem", "h"}, "--cert and --key go together");
    err("--key without --cert", {"--key=k.pem", "h"}, "--cert and --key go together");
    err("unknown encoding", {"--encoding", "utf8"}, "'utf8' is not an encoding (latin-1 or utf-8)");
    err("--encoding without its value", {"--encoding"}, "'--encoding' needs an encoding");
    err("--hex with a value", {"--hex=1"}, "'--hex' takes no value");
    err("--capture without its file", {"h", "--capture"}, "'--capture' needs a file name");
    err("unknown line end", {"--eol", "crlf2"}, "'crlf2' is not a line end (crlf, lf, cr or none)");
    err("--eol without its value", {"h", "--eol"}, "'--eol' needs a line end");
    err("--relay without the server", {"--relay", "8080", "h"}, "--relay needs the server's HOST and PORT");
    err("--relay and --listen", {"--relay", "8080", "-l", "9", "h", "80"}, "--relay and --listen exclude each other");
    err("bad relay port", {"--relay=0", "h", "80"}, "'0' is not a port for --relay");
    err("--relay without its port", {"--relay"}, "'--relay' needs a port");
    err("--tls-listen with a value", {"--tls-listen=1"}, "'--tls-listen' takes no value");
    const QString notPin = " is not a SHA-256 fingerprint (64 hex digits, colons optional)";
    err("--pin too short", {"--pin", "AB:CD", "h"}, "'AB:CD'" + notPin);
    err("--pin not hex", {"--pin=" + QString(63, 'a') + "g"}, QString(63, 'a') + "g'" + notPin);
    err("--pin with --insecure", {"--pin", QString(64, 'a'), "-k"}, "--pin and --insecure exclude");
    err("--servername without its name", {"h", "--servername"}, "'--servername' needs a name");
    err("--verify-clients without --ca-file", {"--verify-clients", "-l", "443"},
        "--verify-clients needs --ca-file");
    err("not a proxy, its password not shown", {"--proxy", "ftp://u:pw@h", "h"},
        "--proxy: the proxy must be socks5:// or http://, not ftp://;");
    err("--proxy without its URL", {"h", "--proxy"}, "'--proxy' needs a URL");
}

void tst_CommandLine::relayOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("relay");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    // --tls, --tls-listen, --tls-connect, --relay-raw, --reconnect
    QTest::addColumn<QList<bool>>("flags");

    using L = QStringList;
    QTest::newRow("plain relay") << L{"--relay", "8080", "example.org", "80"} << 8080
                                 << "example.org" << 80 << QList<bool>{false, false, false, false, false};
    QTest::newRow("options after the operands")
        << L{"h", "25", "--relay=2525", "--tls-connect"} << 2525 << "h" << 25
        << QList<bool>{false, false, true, false, false};
    QTest::newRow("TLS to the clients, raw")
        << L{"--tls-listen", "--relay-raw", "--relay", "1", "::1", "2"} << 1 << "::1" << 2
        << QList<bool>{false, true, false, true, false};
    QTest::newRow("--tls-listen outside a relay") << L{"--tls-listen", "-l", "443"} << 0 << ""
                                                  << 0 << QList<bool>{false, true, false, false, false};
    QTest::newRow("--reconnect") << L{"--reconnect", "h", "7"} << 0 << "h" << 7
                                 << QList<bool>{false, false, false, false, true};
}

void tst_CommandLine::relayOptions()
{
    QFETCH(QStringList, args);
    QFETCH(int, relay);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QList<bool>, flags);
    const CommandLine c = parseCommandLine(args, Banner);
    QCOMPARE(c.action, CommandLine::Action::Run);
    QCOMPARE(c.request.relayPort.value_or(0), relay);
    QCOMPARE(c.request.host, host);
    QCOMPARE(c.request.port.value_or(0), port);
    const StartupRequest& r = c.request;
    QCOMPARE((QList<bool>{r.tls, r.tlsListen, r.tlsConnect, r.relayRaw, r.reconnect}), flags);
}

void tst_CommandLine::tlsOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("insecure");
    QTest::addColumn<QStringList>("files"); // --ca-file, --cert, --key

    QTest::newRow("none") << QStringList{"h"} << false << false << QStringList{"", "", ""};
    QTest::newRow("--tls alone") << QStringList{"--tls", "h", "443"} << true << false
                                 << QStringList{"", "", ""};
    QTest::newRow("--insecure alone") << QStringList{"--insecure", "h"} << false << true
                                      << QStringList{"", "", ""};
    QTest::newRow("-k with -o") << QStringList{"-ko", "s.log", "h"} << false << true
                                << QStringList{"", "", ""};
    QTest::newRow("all, listening")
        << QStringList{"--tls", "--insecure", "--ca-file=ca.pem", "--cert", "c.pem", "--key",
                       "k.pem", "-l", "8443"}
        << true << true << QStringList{"ca.pem", "c.pem", "k.pem"};
}

void tst_CommandLine::tlsOptions()
{
    QFETCH(QStringList, args);
    QFETCH(bool, tls);
    QFETCH(bool, insecure);
    QFETCH(QStringList, files);
    const CommandLine c = parseCommandLine(args, Banner);
    QCOMPARE(c.action, CommandLine::Action::Run);
    QCOMPARE(c.request.tls, tls);
    QCOMPARE(c.request.insecure, insecure);
    QCOMPARE((QStringList{c.request.caFile, c.request.certFile, c.request.keyFile}), files);
}

void tst_CommandLine::trustOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("pins");
    QTest::addColumn<QString>("serverName");
    QTest::addColumn<bool>("verifyClients");
    const QString digits = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789ABCDEF";
    const QString written = QByteArray::fromHex(digits.toLatin1()).toHex(':').toUpper();
    QTest::newRow("pins in any case, colons optional")
        << QStringList{"--pin", digits, "h", "--pin=" + written.toLower()}
        << QStringList{written, written} << "" << false;
    QTest::newRow("a name to check, clients to check")
        << QStringList{"--servername", "staging.example", "--verify-clients", "--ca-file=ca.pem",
                       "h"}
        << QStringList{} << "staging.example" << true;
}

void tst_CommandLine::trustOptions()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, pins);
    QFETCH(QString, serverName);
    QFETCH(bool, verifyClients);
    const CommandLine c = parseCommandLine(args, Banner);
    QCOMPARE(c.action, CommandLine::Action::Run);
    QCOMPARE(c.request.pins, pins);
    QCOMPARE(c.request.serverName, serverName);
    QCOMPARE(c.request.verifyClients, verifyClients);
}

void tst_CommandLine::lineEnd_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("eol");
    QTest::newRow("default") << QStringList{"h"} << "crlf";
    QTest::newRow("--eol lf") << QStringList{"--eol", "lf", "h"} << "lf";
    QTest::newRow("--eol=CR, any case") << QStringList{"--eol=CR"} << "cr";
    QTest::newRow("--eol none after the operands") << QStringList{"h", "7", "--eol", "none"} << "none";
}

void tst_CommandLine::lineEnd()
{
    QFETCH(QStringList, args);
    QFETCH(QString, eol);
    const CommandLine c = parseCommandLine(args, Banner);
    QCOMPARE(c.action, CommandLine::Action::Run);
    QCOMPARE(c.request.eol, eol);
}

void tst_CommandLine::timestamps_data()
{
    using T = StartupRequest::Timestamps;
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("timestamps"); // -1: a usage error
    QTest::addColumn<QString>("host");
    QTest::newRow("none") << QStringList{"h"} << int(T::Off) << "h";
    QTest::newRow("bare: the time of day") << QStringList{"--timestamps", "h"} << int(T::TimeOfDay) << "h";
    QTest::newRow("absolute") << QStringList{"--timestamps=absolute"} << int(T::TimeOfDay) << "";
    QTest::newRow("delta") << QStringList{"h", "--timestamps=delta"} << int(T::SincePrevious) << "h";
    QTest::newRow("since-connect")
        << QStringList{"--timestamps=since-connect", "-l", "1"} << int(T::SinceConnected) << "";
    // Its value only ever follows '=': the next argument is an operand.
    QTest::newRow("a value apart is the host") << QStringList{"--timestamps", "delta"}
                                               << int(T::TimeOfDay) << "delta";
    QTest::newRow("unknown kind") << QStringList{"--timestamps=relative"} << -1 << "";
    QTest::newRow("empty kind") << QStringList{"--timestamps="} << -1 << "";
}

void tst_CommandLine::timestamps()
{
    QFETCH(QStringList, args);
    QFETCH(int, timestamps);
    QFETCH(QString, host);
    const CommandLine c = parseCommandLine(args, Banner);
    if (timestamps < 0) {
        QCOMPARE(c.action, CommandLine::Action::UsageError);
        QVERIFY2(c.text.contains(u"is not a timestamp kind (absolute, delta or since-connect)"),
                 qPrintable(c.text));
        return;
    }
    QCOMPARE(c.action, CommandLine::Action::Run);
    QCOMPARE(int(c.request.timestamps), timestamps);
    QCOMPARE(c.request.host, host);
}

void tst_CommandLine::outcome()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(int, stream);
    QFETCH(bool, window);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, listen);
    QFETCH(QString, output);
    QFETCH(QString, says);
    QFETCH(QString, view);

    const CommandLine c = parseCommandLine(args, Banner);
    QCOMPARE(c.exitStatus(), status);
    QCOMPARE(int(streamOf(c)), stream);
    QCOMPARE(c.action == CommandLine::Action::Run, window);

    if (window) {
        QVERIFY(c.text.isEmpty());
        QCOMPARE(c.request.host, host);
        QCOMPARE(c.request.port.value_or(0), port);
        QCOMPARE(c.request.listenPort.value_or(0), listen);
        QCOMPARE(c.request.outputFile, output);
        QCOMPARE(QString(QLatin1String(c.request.utf8 ? "utf-8" : "latin-1")
                         + QLatin1String(c.request.hex ? " hex" : "")),
                 view);
        return;
    }
    QVERIFY2(c.text.contains(says), qPrintable(c.text));
    QVERIFY(c.text.endsWith(u'\n'));
    if (stream == Err) {
        // One line: the program's name, the bad value, the way to help.
        QCOMPARE(c.text.count(u'\n'), 1);
        QVERIFY2(c.text.startsWith(u"pellix: "), qPrintable(c.text));
        QVERIFY2(c.text.endsWith(u"; try 'pellix --help'\n"), qPrintable(c.text));
    } else if (says == Usage) {
        for (const char* option : {"-l, --listen PORT", "-o, --output FILE", "--capture FILE",
                                   "--encoding ENC", "--hex", "--eol END", "-h, --help",
                                   "-v, --version"})
            QVERIFY2(c.text.contains(QLatin1String(option)), option);
    } else {
        QCOMPARE(c.text, says); // --version: the banner's line alone
    }
}

QTEST_APPLESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"

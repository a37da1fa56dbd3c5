// The real program started from a command line: what it prints and its exit
// status with no display at all (a window asked for included), and the
// connect and listen it is asked for, seen by loopback peers and in the
// transcript it logs with --output.

#include "../support/loopbackpeer.h"
#include "../support/tsharkreader.h"
#include "../support/tlspeer.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString Program = QStringLiteral(PELLIX_EXE);
const QByteArray Banner = "Pellix " PELLIX_VERSION "\r\n";
constexpr int WaitMs = 10000;

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray everyByteValue()
{
    QByteArray all(256, 0);
    for (int b = 0; b < 256; ++b)
        all[b] = char(b);
    return all;
}

// A peer connected to port as soon as the program listens there (bounded).
testpeer::Peer connectOnceListening(quint16 port)
{
    testpeer::Peer peer;
    QDeadlineTimer deadline(WaitMs);
    while (!(peer = testpeer::Peer::connectTo(port)).isOpen() && !deadline.hasExpired())
        QTest::qWait(50);
    return peer;
}

// The window program under the offscreen platform; killed when the test ends.
class Window {
public:
    explicit Window(const QStringList& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(Program, args);
    }
    ~Window()
    {
        m_process.kill();
        m_process.waitForFinished(WaitMs);
    }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
};

} // namespace

class tst_Startup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void withoutDisplay_data();
    void withoutDisplay();
    void connectAtStartup();
    void failedConnectLeavesTheWindow();
    void listenAtStartup();
    void logSurvivesAKill();
    void captureSurvivesAKill();
    void lockedKeyAsksNoTerminal();

private:
    QTemporaryDir m_dir;
};

void tst_Startup::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(testtls::makeCertificates(m_dir.path()), "the openssl command made no certificates");
    QFile notes(m_dir.filePath(QStringLiteral("notes.txt")));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("not a certificate\n") > 0);
    notes.close();
    const QString shut = m_dir.filePath(QStringLiteral("shut.key"));
    QVERIFY(QFile::copy(m_dir.filePath(QStringLiteral("good.key")), shut));
    QVERIFY(QFile::setPermissions(shut, {}));
    QFile messages(m_dir.filePath(QStringLiteral("bad.toml")));
    QVERIFY(messages.open(QIODevice::WriteOnly)
            && messages.write("# a comment\n[[message]]\nname = 'x'\ntext = 'A\\q'\n") > 0);
}

void tst_Startup::withoutDisplay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out"); // what standard output begins with
    QTest::addColumn<QByteArray>("err"); // a piece of the one line on standard error

    const QString unopenable = m_dir.filePath(QStringLiteral("missing/session.log"));
    QTest::newRow("--help") << QStringList{"--help"} << 0
                            << QByteArray("Usage: pellix [OPTIONS] [HOST [PORT]]\n") << QByteArray();
    QTest::newRow("--version: the banner's version")
        << QStringList{"--version"} << 0 << QByteArray("Pellix " PELLIX_VERSION "\n") << QByteArray();
    QTest::newRow("bad port") << QStringList{"127.0.0.1", "65536"} << 2 << QByteArray()
                              << QByteArray("'65536'");
    QTest::newRow("output file that cannot be opened")
        << QStringList{"-o", unopenable, "127.0.0.1"} << 2 << QByteArray()
        << ("'" + unopenable.toLocal8Bit() + "'");
    QTest::newRow("capture file that cannot be opened")
        << QStringList{"--capture", unopenable, "-l", "5"} << 2 << QByteArray()
        << ("'" + unopenable.toLocal8Bit() + "' for the capture");
    QTest::newRow("no display, a capture asked for")
        << QStringList{"--capture", m_dir.filePath(QStringLiteral("nodisplay.pcapng")), "-l", "5"}
        << 1 << QByteArray() << QByteArray("pellix: no display");
    // The TLS files, checked before any window: the file named, and why.
    const auto f = [this](const char* name) { return m_dir.filePath(QLatin1String(name)); };
    const auto tls = [&](const QString& cert, const QString& key) {
        return QStringList{"--tls", "-l", "4433", "--cert", cert, "--key", key};
    };
    const auto says = [](const QString& what) { return what.toLocal8Bit(); };
    QTest::newRow("missing certificate")
        << tls(f("none.pem"), f("good.key")) << 2 << QByteArray()
        << says("cannot use the certificate '" + f("none.pem") + "': no such file\n");
    QTest::newRow("unreadable key")
        << tls(f("good.pem"), f("shut.key")) << 2 << QByteArray()
        << says("cannot use the key '" + f("shut.key") + "': permission denied\n");
    QTest::newRow("a directory for the authorities")
        << QStringList{"--ca-file", m_dir.path(), "127.0.0.1", "443"} << 2 << QByteArray()
        << says("cannot read the trusted authorities '" + m_dir.path()
                + "': not a file (a directory)\n");
    QTest::newRow("authorities not PEM")
        << QStringList{"--ca-file", f("notes.txt"), "127.0.0.1", "443"} << 2 << QByteArray()
        << says("cannot read the trusted authorities '" + f("notes.txt")
                + "': not a PEM certificate\n");
    QTest::newRow("a certificate as the key")
        << tls(f("good.pem"), f("good.pem")) << 2 << QByteArray()
        << says("cannot use the key '" + f("good.pem")
                + "': not a PEM key (it holds a certificate)\n");
    QTest::newRow("a key as the certificate")
        << tls(f("good.key"), f("good.key")) << 2 << QByteArray()
        << says("cannot use the certificate '" + f("good.key")
                + "': not a PEM certificate (it holds a key)\n");
    QTest::newRow("key of another certificate")
        << tls(f("good.pem"), f("other.key")) << 2 << QByteArray()
        << says("cannot use the key '" + f("other.key") + "': the key does not match the certificate '"
                + f("good.pem") + "'\n");
    // The messages too: the file, the line and why; a good file passes on.
    QTest::newRow("messages that do not parse")
        << QStringList{"--messages", f("bad.toml"), "-l", "5"} << 2 << QByteArray()
        << says("pellix: cannot use the messages of " + f("bad.toml")
                + ", line 4: \\q at column 2 is not an escape");
    QTest::newRow("messages file missing")
        << QStringList{"--messages", f("none.toml")} << 2 << QByteArray()
        << says("cannot use the messages of " + f("none.toml") + ": No such file");
    // A locked key cannot be matched before the window asks its passphrase:
    // it passes, and the display is what is missing.
    QTest::newRow("locked key: to the window")
        << tls(f("locked.pem"), f("locked.key")) << 1 << QByteArray()
        << QByteArray("pellix: no display");
    // Asked for a window: one line instead of Qt's abort, and no log left.
    QTest::newRow("no display for the window")
        << QStringList{"-o", m_dir.filePath(QStringLiteral("nodisplay.log")), "127.0.0.1", "80"} << 1
        << QByteArray() << QByteArray("pellix: no display: DISPLAY and WAYLAND_DISPLAY are unset; "
                                      "start it in a desktop session, or on a virtual X server: xvfb-run pellix\n");
}

// Nothing of this may need a display: constructing the window's application
// object without one aborts the program.
void tst_Startup::withoutDisplay()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    if (QByteArrayView(QTest::currentDataTag()) == "unreadable key" && ::geteuid() == 0)
        QSKIP("root reads a file whatever its permissions");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(Program, args);
    QVERIFY(p.waitForFinished(WaitMs));
    const QByteArray stdOut = p.readAllStandardOutput();
    const QByteArray stdErr = p.readAllStandardError();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), status);
    if (status == 0) {
        QVERIFY2(stdOut.startsWith(out), stdOut.constData());
        QVERIFY2(stdErr.isEmpty(), stdErr.constData());
    } else {
        QVERIFY2(stdOut.isEmpty(), stdOut.constData());
        QVERIFY2(stdErr.contains(err), stdErr.constData());
        QVERIFY2(stdErr.startsWith("pellix: ") && stdErr.count('\n') == 1 && stdErr.endsWith('\n'),
                 stdErr.constData());
    }
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("missing"))));
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("nodisplay.log"))));
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("nodisplay.pcapng"))));
}

void tst_Startup::connectAtStartup()
{
    testpeer::Listener listener;
    QVERIFY(listener.port() != 0);
    const QString log = m_dir.filePath(QStringLiteral("connect.log"));
    Window window({QStringLiteral("127.0.0.1"), QString::number(listener.port()),
                   QStringLiteral("--output"), log});

    testpeer::Peer peer = listener.accept(WaitMs);
    QVERIFY(peer.isOpen());
    QVERIFY(peer.send("hello from the peer\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(log),
                              Banner + "Connected to: 127.0.0.1\r\nhello from the peer\r\n", WaitMs);
    QCOMPARE(window.process().state(), QProcess::Running);
}

// A refused connect given on the command line ends as a refused click does:
// the failure line in the transcript, and the window stays.
void tst_Startup::failedConnectLeavesTheWindow()
{
    const quint16 port = testpeer::unusedPort();
    QVERIFY(port != 0);
    const QString log = m_dir.filePath(QStringLiteral("refused.log"));
    Window window({QStringLiteral("-o"), log, QStringLiteral("127.0.0.1"), QString::number(port)});

    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(log), Banner + "Failed connection to: 127.0.0.1\r\n",
                              WaitMs);
    QVERIFY(!window.process().waitForFinished(500));
}

void tst_Startup::listenAtStartup()
{
    const quint16 port = testpeer::unusedPort();
    QVERIFY(port != 0);
    const QString log = m_dir.filePath(QStringLiteral("listen.log"));
    Window window({QStringLiteral("-l"), QString::number(port), QStringLiteral("-o"), log});

    testpeer::Peer peer = connectOnceListening(port);
    QVERIFY(peer.isOpen());
    QVERIFY(peer.send("hi\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(log), Banner + "Connected from: 127.0.0.1\r\nhi\r\n",
                              WaitMs);
}

// What the window has shown is in the log even when the program is killed a
// few ticks later; an earlier log in the file is kept ahead of it.
void tst_Startup::logSurvivesAKill()
{
    const quint16 port = testpeer::unusedPort();
    const QString log = m_dir.filePath(QStringLiteral("killed.log"));
    QFile earlier(log);
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier session\n") > 0);
    earlier.close();
    Window window({QStringLiteral("-l"), QString::number(port), QStringLiteral("-o"), log});

    testpeer::Peer peer = connectOnceListening(port);
    QVERIFY(peer.isOpen());
    const QByteArray all = everyByteValue();
    QVERIFY(peer.send(all));
    QTest::qWait(500); // five ticks: shown by now
    window.process().kill();
    QVERIFY(window.process().waitForFinished(WaitMs));
    QCOMPARE(fileBytes(log), "an earlier session\n" + Banner + "Connected from: 127.0.0.1\r\n" + all);
}

// The capture is written through as the log is: killed mid-session, it
// reads whole up to the bytes shown, the conversation that had begun with
// its handshake and no end; what the file held before is gone.
void tst_Startup::captureSurvivesAKill()
{
    const quint16 port = testpeer::unusedPort();
    const QString capture = m_dir.filePath(QStringLiteral("killed.pcapng"));
    QFile earlier(capture); // replaced: a capture is one format from its first byte
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier file\n") > 0);
    earlier.close();
    Window window({QStringLiteral("-l"), QString::number(port), QStringLiteral("--capture"), capture});

    testpeer::Peer peer = connectOnceListening(port);
    QVERIFY(peer.isOpen());
    const QByteArray all = everyByteValue();
    QVERIFY(peer.send(all));
    QTRY_VERIFY_WITH_TIMEOUT(fileBytes(capture).contains(all), WaitMs);
    window.process().kill();
    QVERIFY(window.process().waitForFinished(WaitMs));

    const auto sides = testcapture::follow(capture, 0);
    QCOMPARE(sides[0], all);
    QCOMPARE(sides[1], QByteArray());
    const testcapture::Output info = testcapture::run(QStringLiteral("capinfos"), {capture});
    QVERIFY2(info.ran, info.err.constData());
    QCOMPARE(testcapture::fields(capture, {"frame.comment"}, QStringLiteral("frame.comment")).last(),
             QStringLiteral("Connected from: 127.0.0.1"));
    QVERIFY(testcapture::fields(capture, {"frame.number"}, QStringLiteral("tcp.flags.fin == 1"))
                .isEmpty());
}

// A locked key is asked for in the window: nothing on the terminal, nothing
// read from standard input, even with no controlling terminal to ask on.
void tst_Startup::lockedKeyAsksNoTerminal()
{
    const quint16 port = testpeer::unusedPort();
    QVERIFY(port != 0);
    const QString log = m_dir.filePath(QStringLiteral("locked.log"));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    p.setChildProcessModifier([] { ::setsid(); });
    p.start(Program, {"--tls", "-l", QString::number(port), "--cert", m_dir.filePath("locked.pem"),
                      "--key", m_dir.filePath("locked.key"), "-o", log});
    QVERIFY(p.waitForStarted(WaitMs));
    // Still waiting for the passphrase: not failed for want of one.
    QVERIFY(!p.waitForFinished(1500));
    QCOMPARE(fileBytes(log), Banner);
    QVERIFY(!testpeer::Peer::connectTo(port).isOpen());
    p.kill();
    p.waitForFinished(WaitMs);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(!err.contains("pass phrase"), err.constData());
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"

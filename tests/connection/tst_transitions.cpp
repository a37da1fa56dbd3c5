// The exact sequence of window changes each transition makes, recorded by a
// stand-in window: the order of Enabled flags, captions and transcript
// writes is part of what the window shows while a handler runs.

#include "connectioncontrol.h"
#include "loopbackpeer.h"

#include <QTest>

using testpeer::Listener;
using testpeer::Peer;

namespace {

class RecordingWindow : public WindowOps {
public:
    QStringList log;
    QString hostText = QStringLiteral("127.0.0.1");
    QString portText;
    QString listenPortText;

    QString text(TextBox box) const override
    {
        switch (box) {
        case TextBox::txtHostConn: return hostText;
        case TextBox::txtPortConn: return portText;
        case TextBox::txtPort: return listenPortText;
        case TextBox::txtInvia: return {};
        }
        return {};
    }
    void setText(TextBox, const QString& t) override { log << "text " + t; }
    void setEnabled(Control c, bool on) override { log << QString(on ? "+" : "-") + name(c); }
    void setCaption(Control c, const QString& caption) override { log << name(c) + "=" + caption; }
    int echoValue() const override { return 1; }
    void EnsureLineBreak() override { log << "break"; }
    void AppendText(const QString& s, TextOrigin) override { log << "append " + s.trimmed(); }
    void ScrollToEnd() override { log << "end"; }
    void cmdH_Click() override { log << "help"; }
    void reportStartupFailure(const QString& m) override { log << "failure " + m; }
    bool keepWaiting() override { return true; }

    static QString name(Control c)
    {
        switch (c) {
        case Control::txtHostConn: return "txtHostConn";
        case Control::txtPortConn: return "txtPortConn";
        case Control::cmdConnetti: return "cmdConnetti";
        case Control::txtPort: return "txtPort";
        case Control::cmdStartListen: return "cmdStartListen";
        case Control::cmdDisconnect: return "cmdDisconnect";
        case Control::cmdSend: return "cmdSend";
        case Control::cmdRelay: return "cmdRelay";
        case Control::cmdSendTo: return "cmdSendTo";
        }
        return {};
    }
};

QStringList split(const char* sequence)
{
    return QString::fromLatin1(sequence).split(u'|');
}

} // namespace

class tst_Transitions : public QObject {
    Q_OBJECT

private slots:
    void startup();
    void clientConnection();
    void serverConnection();

private:
    void tickUntilState(ConnectionControl& c, ConnectionControl::State s)
    {
        for (int i = 0; i < 500 && c.connState() != s; ++i) {
            c.tmrReceive_Timer();
            QTest::qWait(1);
        }
    }
};

void tst_Transitions::startup()
{
    RecordingWindow window;
    ConnectionControl::Platform platform;
    int startups = 0;
    platform.startup = [&] { ++startups; return window.log.size() == 1 ? 0 : -1; };
    ConnectionControl c(window, platform);
    QCOMPARE(c.connState(), ConnectionControl::stateNone);
    c.tmrReceive_Timer(); // before start-up: nothing
    c.Form_Load();
    QCOMPARE(startups, 1);
    QCOMPARE(window.log, QStringList{"help"}); // help first, then the interface
    QCOMPARE(c.connState(), ConnectionControl::stateIdle);

    RecordingWindow failing;
    platform.startup = [] { return -10050; };
    ConnectionControl f(failing, platform);
    f.Form_Load();
    QCOMPARE(failing.log, (QStringList{"help", "failure WSAStartup() failed with error: -10050"}));
    QCOMPARE(f.connState(), ConnectionControl::stateNone);
}

void tst_Transitions::clientConnection()
{
    RecordingWindow window;
    ConnectionControl c(window);
    c.Form_Load();
    Listener listener;
    window.portText = QString::number(listener.port());
    window.log.clear();

    c.cmdConnetti_Click();
    Peer peer = listener.accept();
    QCOMPARE(window.log, split("+cmdDisconnect|-txtPort|-cmdStartListen|-txtHostConn|-txtPortConn"
                               "|-cmdConnetti|+cmdSend|break|append Connected to: 127.0.0.1"));
    window.log.clear();
    peer.close();
    QTest::qWait(20);
    c.tmrReceive_Timer();
    QCOMPARE(window.log, split("+txtPort|+txtHostConn|+txtPortConn|+cmdConnetti|+cmdStartListen"
                               "|-cmdDisconnect|-cmdSend|break|append Disconnected"));
}

void tst_Transitions::serverConnection()
{
    RecordingWindow window;
    ConnectionControl c(window);
    c.Form_Load();
    window.listenPortText = QString::number(testpeer::unusedPort());
    window.log.clear();

    c.cmdStartListen_Click();
    QCOMPARE(window.log, split("cmdStartListen=Stop|-cmdDisconnect|-txtPort|-txtHostConn"
                               "|-txtPortConn|-cmdConnetti"));
    window.log.clear();
    Peer peer = Peer::connectTo(window.listenPortText.toUShort());
    tickUntilState(c, ConnectionControl::stateAccepted);
    QCOMPARE(window.log, split("break|append Connected from: 127.0.0.1|+cmdDisconnect|-txtPort"
                               "|-cmdStartListen|-txtHostConn|-txtPortConn|-cmdConnetti|+cmdSend"));
    window.log.clear();
    QVERIFY(peer.send("hi"));
    tickUntilState(c, ConnectionControl::stateAccepted);
    for (int i = 0; i < 500 && window.log.isEmpty(); ++i) {
        c.tmrReceive_Timer();
        QTest::qWait(1);
    }
    QCOMPARE(window.log, split("append hi|end"));
    window.log.clear();
    c.cmdDisconnect_Click();
    QCOMPARE(window.log, split("+cmdStartListen|-cmdDisconnect|-cmdSend|break|append Disconnected"));
    window.log.clear();
    c.Form_Unload();
    QCOMPARE(window.log, split("cmdStartListen=Listen|-cmdDisconnect|+txtPort|+txtHostConn"
                               "|+txtPortConn|+cmdConnetti"));
}

QTEST_MAIN(tst_Transitions)
#include "tst_transitions.moc"

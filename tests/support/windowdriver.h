#pragma once

// The real window as the tests drive it: its buttons clicked, its boxes
// filled, and its controls checked against the state table. The poll timer
// is the test's to step (ConnectionControl::tmrReceive_Timer).

#include "frmpellix.h"
#include "loopbackpeer.h"
#include "transcriptview.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <map>
#include <string>
#include <vector>

namespace testwindow {

// A name lookup that asks no server: each name the table holds resolves to
// its literal addresses, in order; every other name to nothing.
inline mWinsock2::Lookup lookupFrom(std::map<std::string, std::vector<std::string>> names)
{
    return [names = std::move(names)](const std::string& name) {
        std::vector<mWinsock2::SockAddr> found;
        if (const auto it = names.find(name); it != names.end()) {
            for (const std::string& literal : it->second) {
                found.push_back(mWinsock2::ResolveAddresses(QString::fromStdString(literal), {},
                                                            {}, {}).at(0));
            }
        }
        return found;
    };
}

// The window's hooks for tests: "localhost" is 127.0.0.1, two names have
// both loopback addresses (in either order), and no name lookup ever leaves
// the machine.
inline frmPellix::Hooks loopbackHooks()
{
    frmPellix::Hooks hooks;
    hooks.platform.lookup = lookupFrom({{"localhost", {"127.0.0.1"}},
                                        {"six-first.test", {"::1", "127.0.0.1"}},
                                        {"four-first.test", {"127.0.0.1", "::1"}}});
    return hooks;
}

// Connects the window as a client to listener, at the host its box holds;
// the far end, or a closed Peer when the window did not connect.
inline testpeer::Peer connectTo(frmPellix& w, testpeer::Listener& listener)
{
    w.txtPortConn->setText(QString::number(listener.port()));
    QTest::mouseClick(w.cmdConnetti, Qt::LeftButton);
    if (w.connection().connState() != ConnectionControl::stateConnected)
        return testpeer::Peer();
    return listener.accept();
}

// Counts the paint events a widget receives while it lives.
class PaintCounter : public QObject {
public:
    PaintCounter(QWidget* widget, int& count) : m_count(count) { widget->installEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++m_count;
        return false;
    }

private:
    int& m_count;
};

inline void startListening(frmPellix& w, quint16 port)
{
    w.txtPort->setText(QString::number(port));
    QTest::mouseClick(w.cmdStartListen, Qt::LeftButton);
}

// The window shows exactly the row of its state in the control table, and
// holds a socket handle only in the states that use one.
inline void checkRow(frmPellix& w, ConnectionControl::State state)
{
    const ConnectionControl& conn = w.connection();
    QCOMPARE(conn.connState(), state);
    const bool idle = state == ConnectionControl::stateIdle;
    const bool connected = state == ConnectionControl::stateAccepted
        || state == ConnectionControl::stateConnected;
    const bool stopCaption = state == ConnectionControl::stateListening
        || state == ConnectionControl::stateAccepted;
    for (QWidget* c : std::initializer_list<QWidget*>{w.txtHostConn, w.txtPortConn, w.cmdConnetti,
                                                      w.txtPort})
        QVERIFY2(c->isEnabled() == idle, qPrintable(c->objectName()));
    QCOMPARE(w.cmdStartListen->isEnabled(), idle || state == ConnectionControl::stateListening);
    QCOMPARE(w.cmdStartListen->text(), stopCaption ? QStringLiteral("Stop") : QStringLiteral("Listen"));
    QCOMPARE(w.cmdDisconnect->isEnabled(), connected);
    QCOMPARE(w.cmdSend->isEnabled(), connected);
    for (QWidget* c : std::initializer_list<QWidget*>{w.txtDati, w.txtInvia, w.chkEcho, w.cmdClear,
                                                      w.cmdH})
        QVERIFY2(c->isEnabled(), qPrintable(c->objectName()));
    QCOMPARE(conn.connSocket() != mWinsock2::InvalidSocket, connected);
    QCOMPARE(conn.listenSocket() != mWinsock2::InvalidSocket, stopCaption);
}

// What the peer has now, without waiting.
inline QByteArray readNow(testpeer::Peer& peer)
{
    QByteArray all;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(peer.fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        all.append(buffer, n);
    return all;
}

// Reads from peer, the event loop running, until count bytes have come or
// ms have passed; what came.
inline QByteArray readWhileRunning(testpeer::Peer& peer, qsizetype count, int ms = 5000)
{
    QByteArray got;
    QDeadlineTimer deadline(ms);
    while (got.size() < count && !deadline.hasExpired()) {
        got += readNow(peer);
        if (got.size() < count)
            QTest::qWait(2);
    }
    return got;
}

// The bytes of one origin in the transcript's store, in order.
inline QByteArray bytesFrom(const TranscriptView& view, TextOrigin origin)
{
    const TranscriptOrigins& origins = view.origins();
    const QByteArrayView all = view.store().bytes();
    QByteArray out;
    for (qsizetype i = 0; i < origins.runCount(); ++i)
        if (origins.run(i).origin == origin)
            out += all.sliced(origins.run(i).start,
                              origins.runEnd(i, all.size()) - origins.run(i).start);
    return out;
}

} // namespace testwindow

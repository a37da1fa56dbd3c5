#pragma once

// What the benchmarks that drive the window against a loopback peer share:
// the bytes waiting on a socket, and a window connected with Connect to a
// peer of its own, plain or TLS.

#include "frmpellix.h"
#include "loopbackpeer.h"
#include "tlspeer.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

// Bytes waiting to be read on a socket.
inline qint64 waitingBytes(int fd)
{
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Waits, without running the event loop, until the window's socket has at
// least n bytes to read (at most 5 s).
inline bool waitForBytes(int fd, qint64 n)
{
    QElapsedTimer t;
    t.start();
    while (waitingBytes(fd) < n) {
        if (t.elapsed() > 5000)
            return false;
        testpeer::waitFor(fd, POLLIN, 10);
    }
    return true;
}

// A shown window connected with Connect to a peer of its own, plain or TLS
// (the certificates of testtls::makeCertificates in dir); the poll timer
// stopped, the handshake's leftovers drained and the transcript cleared.
struct ConnectedWindow {
    ConnectedWindow(const QTemporaryDir& dir, bool tls)
    {
        window.tmrReceive->stop();
        window.show();
        window.connection().setTlsSettings({dir.filePath("ca.pem"), {}, {}, false});
        window.chkTls->setChecked(tls);
        window.txtPortConn->setText(QString::number(listener.port()));
        if (tls) {
            auto served = testtls::serveOnce(listener, dir.filePath("good.pem"),
                                             dir.filePath("good.key"));
            window.cmdConnetti->click();
            auto [ok, peer] = served.get();
            tlsPeer = std::move(peer);
            if (!ok)
                failed("no TLS handshake");
        } else {
            window.cmdConnetti->click();
            plainPeer = listener.accept();
        }
        if (window.connection().connState() != ConnectionControl::stateConnected)
            failed("could not connect");
        // Drains what the handshake left (tickets), then starts from nothing.
        for (int i = 0; i < 5; ++i) {
            QTest::qWait(10);
            tick();
        }
        window.cmdClear_Click();
    }

    [[noreturn]] static void failed(const char* what)
    {
        std::fprintf(stderr, "benchmark: %s\n", what);
        std::exit(1);
    }
    int fd() { return int(window.connection().connSocket()); }
    // One poll tick and the posted events that repaint.
    void tick()
    {
        window.connection().tmrReceive_Timer();
        QCoreApplication::sendPostedEvents();
    }
    bool send(const QByteArray& bytes)
    {
        return tlsPeer.tcp().isOpen() ? tlsPeer.write(bytes) : plainPeer.send(bytes);
    }
    QByteArray read(qsizetype n)
    {
        return tlsPeer.tcp().isOpen() ? tlsPeer.read(n) : plainPeer.read(n, 5000);
    }

    frmPellix window{testwindow::loopbackHooks()};
    testpeer::Listener listener;
    testpeer::Peer plainPeer;
    testtls::Peer tlsPeer;
};

} // namespace bench

#pragma once

// The proxies that tests and benchmarks connect through, started as child
// processes on the loopback: microsocks (SOCKS5) and tinyproxy (HTTP CONNECT).
// Neither takes port 0, so each is given a port that was free a moment ago,
// and another one if that was taken in between.

#include "loopbackpeer.h"

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <functional>

namespace testproxy {

// Starts program with arguments(port) for a free loopback port and waits
// (at most 2 s a try) until it takes connections: the port, or 0.
inline quint16 start(QProcess& process, const QString& program,
                     const std::function<QStringList(quint16)>& arguments)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 port = testpeer::unusedPort();
        process.start(program, arguments(port));
        if (!process.waitForStarted(5000))
            return 0;
        for (int i = 0; i < 100 && process.state() == QProcess::Running; ++i) {
            if (testpeer::Peer::connectTo(port).isOpen())
                return port;
            QThread::msleep(20);
        }
        process.kill();
        process.waitForFinished(2000);
    }
    return 0;
}

// microsocks on 127.0.0.1, asking for user and password when given.
inline quint16 startSocks(QProcess& process, const QString& user = {}, const QString& password = {})
{
    const QStringList login = user.isEmpty() ? QStringList() : QStringList{"-u", user, "-P", password};
    return start(process, QStringLiteral("microsocks"), [&](quint16 port) {
        return QStringList{"-i", "127.0.0.1", "-p", QString::number(port)} + login;
    });
}

// tinyproxy on 127.0.0.1 with its configuration in file: CONNECT allowed to
// the ports only, and Basic authentication when a user is given.
inline quint16 startHttp(QProcess& process, const QString& file, const QList<quint16>& ports,
                         const QString& user = {}, const QString& password = {})
{
    return start(process, QStringLiteral("tinyproxy"), [&](quint16 port) {
        QFile conf(file);
        if (conf.open(QIODevice::WriteOnly)) {
            conf.write(QStringLiteral("Port %1\nListen 127.0.0.1\nLogLevel Critical\n").arg(port).toUtf8());
            for (quint16 allowed : ports)
                conf.write(QStringLiteral("ConnectPort %1\n").arg(allowed).toUtf8());
            if (!user.isEmpty())
                conf.write(QStringLiteral("BasicAuth %1 %2\n").arg(user, password).toUtf8());
        }
        return QStringList{"-d", "-c", file};
    });
}

} // namespace testproxy

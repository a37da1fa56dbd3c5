#pragma once

// What the benchmarks share: the shapes of text they feed, resident memory,
// percentiles, the QPlainTextEdit they compare with, and the machine line.

#include "fixedfont.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QScrollBar>
#include <QSysInfo>
#include <QTextCursor>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <vector>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace bench {

enum class Shape { Lines, OneLine, TabbedLine };

inline const char* shapeName(Shape shape)
{
    switch (shape) {
    case Shape::Lines:
        return "80-column lines";
    case Shape::OneLine:
        return "one line, no breaks";
    case Shape::TabbedLine:
        return "one line with tabs";
    }
    return "";
}

// The text of a shape as an endless periodic stream; byte i of it is the
// same whichever way the stream is cut.
class Stream {
public:
    explicit Stream(Shape shape)
    {
        if (shape == Shape::Lines) {
            for (int i = 0; i < 80; ++i)
                m_period.append(char('!' + (i * 7) % 94));
            m_period.append("\r\n");
        } else {
            for (int i = 0; i < 64; ++i)
                m_period.append(shape == Shape::TabbedLine && i % 13 == 12 ? '\t'
                                                                           : char('a' + i % 26));
        }
    }

    QByteArray next(qint64 n)
    {
        QByteArray bytes;
        bytes.reserve(n);
        while (bytes.size() < n) {
            const qint64 phase = m_at % m_period.size();
            const qint64 take = std::min<qint64>(m_period.size() - phase, n - bytes.size());
            bytes.append(m_period.constData() + phase, take);
            m_at += take;
        }
        return bytes;
    }

private:
    QByteArray m_period;
    qint64 m_at = 0;
};

// Resident memory, after handing freed heap pages back to the system so
// that what earlier steps freed is not counted.
inline qint64 rssKiB()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

struct Summary {
    double median = 0, p90 = 0, p99 = 0, max = 0;
    std::size_t count = 0;
};

inline Summary summary(std::vector<double> samples)
{
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[std::size_t(q * double(samples.size() - 1))]; };
    return {at(0.5), at(0.9), at(0.99), samples.back(), samples.size()};
}

// A read-only, non-wrapping QPlainTextEdit the size of the transcript, shown.
inline std::unique_ptr<QPlainTextEdit> newPlainTextEdit()
{
    auto edit = std::make_unique<QPlainTextEdit>();
    edit->setFont(transcriptFont());
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit->setReadOnly(true);
    edit->resize(685, 417);
    edit->show();
    QApplication::processEvents();
    return edit;
}

inline void showEnd(QPlainTextEdit& edit)
{
    edit.moveCursor(QTextCursor::End);
    edit.ensureCursorVisible();
    edit.viewport()->repaint();
}

inline void printMachine()
{
    QByteArray cpu;
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly))
        for (QByteArray line = info.readLine(); !line.isEmpty() && cpu.isEmpty(); line = info.readLine())
            if (line.startsWith("model name"))
                cpu = line.mid(line.indexOf(':') + 1).trimmed();
    QByteArray load;
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (loadavg.open(QIODevice::ReadOnly))
        load = loadavg.readAll().trimmed();
    std::printf("Machine: %s, %d logical CPUs, %s, Qt %s, platform %s; load average at start: "
                "%s\n\n", cpu.constData(), QThread::idealThreadCount(),
                qPrintable(QSysInfo::prettyProductName()), qVersion(),
                qPrintable(QGuiApplication::platformName()), load.constData());
}

// openssl s_server on a port of its own, serving one client after another.
struct OpensslServer {
    explicit OpensslServer(const QTemporaryDir& dir)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("openssl", {"s_server", "-accept", "0", "-rev", "-cert",
                                  dir.filePath("good.pem"), "-key", dir.filePath("good.key")});
        for (int i = 0; i < 50 && port.isEmpty(); ++i) {
            process.waitForReadyRead(100);
            port = QRegularExpression("ACCEPT .*:(\\d+)")
                       .match(QString::fromLatin1(process.readAll()))
                       .captured(1);
        }
        if (port.isEmpty()) {
            std::fprintf(stderr, "openssl s_server did not start\n");
            std::exit(1);
        }
    }
    // Reads away what the server has written about its clients, so that its
    // output pipe never fills and stops it.
    void drain()
    {
        process.waitForReadyRead(0);
        process.readAll();
    }
    ~OpensslServer()
    {
        process.kill();
        process.waitForFinished();
    }
    QProcess process;
    QString port;
};

} // namespace bench

#pragma once

// A capture read back by Wireshark's own tools from Debian (tshark and
// capinfos), for tests: each direction's bytes of a TCP stream, the
// dissectors' complaints with checksums checked, and chosen fields of each
// packet. Every run is bounded.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <array>

namespace testcapture {

struct Output {
    bool ran = false; // started and finished in time with status 0
    QByteArray out, err;
};

inline Output run(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.start(program, arguments);
    const bool finished = p.waitForFinished(60000); // the destructor kills it otherwise
    return {finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
            p.readAllStandardOutput(), p.readAllStandardError()};
}

// tshark, told to check the IP and TCP checksums.
inline Output tshark(const QString& file, const QStringList& arguments)
{
    return run(QStringLiteral("tshark"),
               QStringList{"-n", "-o", "tcp.check_checksum:TRUE", "-o", "ip.check_checksum:TRUE",
                           "-r", file}
                   + arguments);
}

// The bytes of TCP stream n in each direction: [0] what the side that sent
// the first packet sent, [1] the other's. Empty when tshark failed.
inline std::array<QByteArray, 2> follow(const QString& file, int stream)
{
    std::array<QByteArray, 2> sides;
    const Output o = tshark(file, {"-q", "-z", "follow,tcp,raw," + QString::number(stream)});
    if (!o.ran)
        return sides;
    // Between the two rules: a header of "Follow:", "Filter:" and "Node"
    // lines, then one line of hex per segment, indented by a tab for node 1.
    for (const QByteArray& line : o.out.split('\n')) {
        const bool second = line.startsWith('\t');
        const QByteArray hex = line.trimmed();
        if (hex.isEmpty() || hex.contains(':') || hex.startsWith('='))
            continue;
        sides[second ? 1 : 0] += QByteArray::fromHex(hex);
    }
    return sides;
}

// Every line of tshark's full dissection that tells of a fault: a malformed
// packet, a bad checksum, an expert warning or error. decodeAs: "-d" rules
// for ports that no dissector takes by default.
inline QStringList problems(const QString& file, const QStringList& decodeAs = {})
{
    const Output o = tshark(file, decodeAs + QStringList{"-V"});
    QStringList found;
    if (!o.ran)
        return {QStringLiteral("tshark failed: ") + QString::fromLocal8Bit(o.err)};
    for (const QByteArray& raw : o.out.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.contains(u"Malformed", Qt::CaseInsensitive)
            || line.contains(u"Bad checksum", Qt::CaseInsensitive)
            || line.contains(u"incorrect", Qt::CaseInsensitive)
            || line.contains(u"Severity level: Warning")
            || line.contains(u"Severity level: Error"))
            found.append(line);
    }
    return found;
}

// The fields of each packet that passes filter, one line a packet, the
// fields separated by '|'.
inline QStringList fields(const QString& file, const QStringList& names, const QString& filter = {},
                          const QStringList& decodeAs = {})
{
    QStringList arguments = decodeAs + QStringList{"-T", "fields", "-E", "separator=|"};
    for (const QString& name : names)
        arguments += {"-e", name};
    if (!filter.isEmpty())
        arguments += {"-Y", filter};
    const Output o = tshark(file, arguments);
    return o.ran ? QString::fromUtf8(o.out).split(u'\n', Qt::SkipEmptyParts)
                 : QStringList{QStringLiteral("tshark failed: ") + QString::fromLocal8Bit(o.err)};
}

} // namespace testcapture

#include "clienthello.h"

namespace {

// A reader over bytes that fails once, and for good, when it runs past the end.
struct Reader {
    QByteArrayView bytes;
    qsizetype at = 0;
    bool ok = true;

    quint32 number(int width)
    {
        if (!ok || at + width > bytes.size()) {
            ok = false;
            return 0;
        }
        quint32 value = 0;
        for (int i = 0; i < width; ++i)
            value = (value << 8) | quint8(bytes[at++]);
        return value;
    }
    void skip(qsizetype n)
    {
        if (!ok || n < 0 || at + n > bytes.size())
            ok = false;
        else
            at += n;
    }
};

// The host_name of a server_name extension's body (RFC 6066, section 3).
QString hostNameIn(QByteArrayView extension)
{
    Reader r{extension};
    const quint32 listLength = r.number(2);
    const qsizetype listEnd = r.at + listLength;
    while (r.ok && r.at < listEnd) {
        const quint32 type = r.number(1);
        const quint32 length = r.number(2);
        const qsizetype start = r.at;
        r.skip(length);
        if (r.ok && type == 0)
            return QString::fromLatin1(extension.sliced(start, length));
    }
    return {};
}

} // namespace

ClientHello readClientHello(QByteArrayView bytes)
{
    ClientHello hello;
    // The record header: handshake (22), version 3.1 to 3.4 as clients send
    // it (3.0 for the oldest), a length; then the handshake's own type.
    if (bytes.isEmpty() || quint8(bytes[0]) != 0x16)
        return hello;
    if (bytes.size() >= 2 && quint8(bytes[1]) != 0x03)
        return hello;
    if (bytes.size() >= 3 && quint8(bytes[2]) > 0x04)
        return hello;
    if (bytes.size() >= 6 && quint8(bytes[5]) != 0x01)
        return hello;
    if (bytes.size() < 6) {
        hello.verdict = ClientHello::Verdict::Incomplete;
        return hello;
    }
    const qsizetype recordLength = (quint8(bytes[3]) << 8) | quint8(bytes[4]);
    if (recordLength < 4 || recordLength > 16384)
        return hello;
    if (bytes.size() < 5 + recordLength) {
        hello.verdict = ClientHello::Verdict::Incomplete;
        return hello;
    }
    hello.verdict = ClientHello::Verdict::Hello;

    // Inside: type, length, version, random, session id, cipher suites,
    // compression methods, then the extensions.
    Reader r{bytes.sliced(5, recordLength)};
    r.skip(4 + 2 + 32);
    r.skip(r.number(1));
    r.skip(r.number(2));
    r.skip(r.number(1));
    const quint32 extensionsLength = r.number(2);
    const qsizetype end = r.at + extensionsLength;
    while (r.ok && r.at + 4 <= end) {
        const quint32 type = r.number(2);
        const quint32 length = r.number(2);
        const qsizetype start = r.at;
        r.skip(length);
        if (r.ok && type == 0) {
            hello.serverName = hostNameIn(r.bytes.sliced(start, length));
            break;
        }
    }
    return hello;
}

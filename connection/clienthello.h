#pragma once

#include <QByteArrayView>
#include <QString>

// What the first bytes of a client's stream say about TLS: a TLS record of
// the handshake type (0x16, version 3.x) that holds a ClientHello (type 1).
struct ClientHello {
    enum class Verdict {
        NotTls,     // anything else: plain bytes
        Incomplete, // a ClientHello so far, but its record has not all arrived
        Hello,      // a whole ClientHello record
    };
    Verdict verdict = Verdict::NotTls;
    // The host name it asks for (server_name, type host_name); empty when
    // it names none.
    QString serverName;
};

// Reads the start of what a client sent (at least the record header; the
// whole record to find the name).
ClientHello readClientHello(QByteArrayView bytes);

// The longest ClientHello record looked for: a header and 16 KiB.
inline constexpr qsizetype ClientHelloLimit = 5 + 16384;

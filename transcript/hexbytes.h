#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

// Bytes written in hex, as the send box and the find bar read them: each
// byte is two hex digits, either case ("00 01 ff", "0001FF"). Blanks, tabs,
// line breaks and commas may stand between bytes, and a run of digits may
// begin with 0x or 0X ("0x1b, 0x5b" as in C source); a byte's two digits
// stand together.
struct HexBytes {
    QByteArray bytes;
    // Empty when the whole text is hex; otherwise what is wrong and where,
    // e.g. "“g” at column 3 is not a hex digit".
    QString error;
    // The characters of the text that are wrong: the first one, and how many.
    qsizetype errorAt = -1;
    qsizetype errorLength = 0;

    bool ok() const { return error.isEmpty(); }
};

HexBytes ParseHexBytes(QStringView text);

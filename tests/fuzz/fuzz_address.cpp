// The socket layer's text conversions: TextToAddress, AddressToText,
// ToCodePage, FromCodePage. No name lookups here.
//
// The input: the first 4 bytes are an address as it lies in memory; the
// whole input is also read as Latin-1 text and as UTF-16 code units
// (little-endian pairs), and each text goes through the conversions.

#include "fuzzsupport.h"
#include "mwinsock2.h"

#include <QList>
#include <QString>

#include <cstring>

using namespace mWinsock2;

namespace {

// "a.b.c.d", each part 0..255 in decimal without leading zeros; the parts
// are the address's bytes in memory order.
void checkDottedText(Address address)
{
    const QString text = AddressToText(address);
    std::uint8_t octets[4];
    std::memcpy(octets, &address, 4);

    const QList<QStringView> parts = QStringView(text).split(u'.');
    FUZZ_CHECK(parts.size() == 4, "\"%s\" has %d parts", qPrintable(text), int(parts.size()));
    for (int i = 0; i < 4; ++i) {
        const QStringView part = parts[i];
        FUZZ_CHECK(!part.isEmpty() && part.size() <= 3, "part %d of \"%s\"", i, qPrintable(text));
        FUZZ_CHECK(part.size() == 1 || part[0] != u'0', "leading zero in \"%s\"", qPrintable(text));
        int value = 0;
        for (QChar c : part) {
            FUZZ_CHECK(c >= u'0' && c <= u'9', "not a digit in \"%s\"", qPrintable(text));
            value = value * 10 + (c.unicode() - u'0');
        }
        FUZZ_CHECK(value == octets[i], "part %d of \"%s\" is not byte %d (%d)", i,
                   qPrintable(text), i, int(octets[i]));
    }
    // All ones is also the failure value; it reads back as -1 all the same.
    FUZZ_CHECK(TextToAddress(text) == address, "\"%s\" does not read back", qPrintable(text));
}

// One byte per code point: the character itself below 256, "?" otherwise; a
// surrogate pair is one code point, a lone surrogate one too.
void checkCodePage(const QString& text)
{
    const QByteArray bytes = ToCodePage(text);
    const QList<uint> codePoints = text.toUcs4(); // a lone surrogate becomes one U+FFFD
    FUZZ_CHECK(bytes.size() == codePoints.size(), "%d bytes for %d code points",
               int(bytes.size()), int(codePoints.size()));
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const uint cp = codePoints[i];
        const char expected = cp < 256 ? char(cp) : '?';
        FUZZ_CHECK(bytes[i] == expected, "byte %d is %d for U+%04X", int(i),
                   int(uchar(bytes[i])), cp);
    }
}

void checkText(const QString& text)
{
    checkCodePage(text);
    const Address address = TextToAddress(text);
    // A NUL would end the text early for the platform: never an address.
    if (text.contains(QChar(u'\0')))
        FUZZ_CHECK(address == AddressFailure, "a text with a NUL read as an address");
    if (address != AddressFailure)
        checkDottedText(address);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= 4) {
        Address address;
        std::memcpy(&address, data, 4);
        checkDottedText(address);
    }

    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString latin1 = FromCodePage(bytes);
    FUZZ_CHECK(latin1.size() == bytes.size(), "FromCodePage changed the length");
    for (qsizetype i = 0; i < latin1.size(); ++i)
        FUZZ_CHECK(latin1[i].unicode() == uchar(bytes[i]), "character %d", int(i));
    FUZZ_CHECK(ToCodePage(latin1) == bytes, "Latin-1 text does not round-trip");
    FUZZ_CHECK(FromCodePage(ToCodePage(latin1)) == latin1, "Latin-1 text does not round-trip");
    checkText(latin1);

    QString utf16;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        utf16.append(QChar(char16_t(data[i] | data[i + 1] << 8)));
    checkText(utf16);
    return 0;
}

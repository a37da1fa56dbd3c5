#include "hexbytes.h"

#include <QCoreApplication>

namespace {

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

bool isSeparator(QChar c)
{
    return c.isSpace() || c == u',';
}

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator
        || c == QChar::LineSeparator;
}

// "line 2, column 5", or "column 5" for a text of one line; counted in
// characters from 1. CR LF is one line break.
QString placeOf(QStringView text, qsizetype at)
{
    qsizetype line = 1;
    qsizetype lineStart = 0;
    bool severalLines = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isLineBreak(text[i]))
            continue;
        severalLines = true;
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        if (i < at) {
            ++line;
            lineStart = i + 1;
        }
    }
    const qsizetype column = at - lineStart + 1;
    return severalLines
        ? QCoreApplication::translate("HexBytes", "line %1, column %2").arg(line).arg(column)
        : QCoreApplication::translate("HexBytes", "column %1").arg(column);
}

HexBytes failure(QStringView text, qsizetype at, qsizetype length, const char* what)
{
    HexBytes result;
    result.errorAt = at;
    result.errorLength = length;
    result.error = QCoreApplication::translate("HexBytes", what)
                       .arg(text.sliced(at, length).toString(), placeOf(text, at));
    return result;
}

} // namespace

HexBytes ParseHexBytes(QStringView text)
{
    HexBytes result;
    qsizetype i = 0;
    while (i < text.size()) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        const qsizetype runStart = i;
        if (text[i] == u'0' && i + 1 < text.size() && (text[i + 1] == u'x' || text[i + 1] == u'X'))
            i += 2;
        const qsizetype digitsStart = i;
        while (i < text.size() && hexValue(text[i]) >= 0)
            ++i;
        if (i < text.size() && !isSeparator(text[i])) {
            const bool pair = text[i].isHighSurrogate() && i + 1 < text.size()
                && text[i + 1].isLowSurrogate();
            return failure(text, i, pair ? 2 : 1, "“%1” at %2 is not a hex digit");
        }
        const qsizetype digits = i - digitsStart;
        if (digits == 0)
            return failure(text, runStart, i - runStart, "“%1” at %2 has no hex digits after it");
        if (digits % 2 != 0) {
            return failure(text, runStart, i - runStart,
                           "“%1” at %2 has an odd number of hex digits: each byte takes two");
        }
        for (qsizetype d = digitsStart; d < i; d += 2)
            result.bytes.append(char(hexValue(text[d]) * 16 + hexValue(text[d + 1])));
    }
    return result;
}

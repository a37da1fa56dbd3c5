#include "messagebytes.h"

namespace {

int hexDigit(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - '0';
    if (c >= u'a' && c <= u'f')
        return c.unicode() - 'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c.unicode() - 'A' + 10;
    return -1;
}

MessageBytes failure(QString why, qsizetype at, qsizetype length)
{
    MessageBytes result;
    result.error = std::move(why);
    result.errorAt = at;
    result.errorLength = length;
    return result;
}

} // namespace

MessageBytes decodeEscapes(QStringView text, LineEnd end, bool utf8)
{
    MessageBytes result;
    const QByteArray lineEnd = lineEndText(end).toLatin1();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\n') {
            result.bytes += lineEnd;
            continue;
        }
        if (c != u'\\') {
            if (utf8) {
                // A surrogate pair is one character: both halves together.
                const qsizetype n = c.isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
                result.bytes += text.sliced(i, n).toUtf8();
                i += n - 1;
            } else if (c.unicode() < 0x100) {
                result.bytes += char(c.unicode());
            } else {
                return failure(QStringLiteral("“%1” at column %2 is not in Latin-1 (write its "
                                              "bytes as \\xNN, or read the transcript as UTF-8)")
                                   .arg(c)
                                   .arg(i + 1),
                               i, 1);
            }
            continue;
        }
        if (i + 1 >= text.size())
            return failure(QStringLiteral("the backslash at column %1 ends the text (a backslash "
                                          "itself is \\\\)")
                               .arg(i + 1),
                           i, 1);
        const QChar e = text.at(++i);
        switch (e.unicode()) {
        case 'r': result.bytes += '\r'; break;
        case 'n': result.bytes += '\n'; break;
        case 't': result.bytes += '\t'; break;
        case '0': result.bytes += '\0'; break;
        case '\\': result.bytes += '\\'; break;
        case 'x': {
            const int high = i + 1 < text.size() ? hexDigit(text.at(i + 1)) : -1;
            const int low = i + 2 < text.size() ? hexDigit(text.at(i + 2)) : -1;
            if (high < 0 || low < 0)
                return failure(QStringLiteral("\\x at column %1 needs two hex digits (\\x02)")
                                   .arg(i),
                               i - 1, qMin<qsizetype>(4, text.size() - i + 1));
            result.bytes += char(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return failure(QStringLiteral("\\%1 at column %2 is not an escape (\\r \\n \\t \\0 "
                                          "\\\\ \\xNN)")
                               .arg(e)
                               .arg(i),
                           i - 1, 2);
        }
    }
    return result;
}

MessageBytes messageBytes(const Message& message, LineEnd end, bool utf8)
{
    if (message.kind == Message::Kind::Text)
        return decodeEscapes(message.text, end, utf8);
    return ParseHexBytes(message.text);
}

const QStringList& messageKeys()
{
    static const QStringList keys = {
        QStringLiteral("F2"), QStringLiteral("F4"), QStringLiteral("F5"), QStringLiteral("F6"),
        QStringLiteral("F7"), QStringLiteral("F8"), QStringLiteral("F9"), QStringLiteral("F10"),
        QStringLiteral("F11"), QStringLiteral("F12")};
    return keys;
}

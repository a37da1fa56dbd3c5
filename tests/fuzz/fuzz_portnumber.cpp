// ReadNumber and PortFromText on arbitrary UTF-16 text.
//
// The text: each input byte below 0xF0 is that Latin-1 character, so seed
// files stay readable; a byte from 0xF0 up takes the next two bytes as one
// UTF-16 code unit (little-endian), which brings in any character, lone
// surrogates included.

#include "fuzzsupport.h"
#include "portnumber.h"

#include <QString>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

QString textFrom(const std::uint8_t* data, std::size_t size)
{
    QString text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] < 0xF0) {
            text.append(QChar(char16_t(data[i])));
        } else if (i + 2 < size) {
            text.append(QChar(char16_t(data[i + 1] | data[i + 2] << 8)));
            i += 2;
        }
    }
    return text;
}

bool isBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\n'; }

bool sameNumber(const std::optional<double>& a, const std::optional<double>& b)
{
    if (a.has_value() != b.has_value())
        return false;
    return !a || std::memcmp(&*a, &*b, sizeof(double)) == 0;
}

// Ties to even, worked out without the floating-point environment.
double roundHalfEven(double v)
{
    const double down = std::floor(v);
    const double rest = v - down;
    if (rest < 0.5)
        return down;
    if (rest > 0.5)
        return down + 1;
    return std::fmod(down, 2.0) == 0 ? down : down + 1;
}

void checkPortRule(const QString& text, const std::optional<double>& number,
                   const std::optional<std::uint16_t>& port)
{
    if (number)
        FUZZ_CHECK(std::isfinite(*number), "ReadNumber gave %g", *number);
    if (!number || *number == 0) {
        FUZZ_CHECK(!port, "port %d from a text that reads %s", int(*port),
                   number ? "0" : "as no number");
        return;
    }
    const double rounded = roundHalfEven(*number);
    if (rounded < -2147483648.0 || rounded > 2147483647.0) {
        FUZZ_CHECK(!port, "port %d from %.17g, outside 32 bits", int(*port), *number);
        return;
    }
    const auto low16 = std::uint16_t(std::uint64_t(std::int64_t(rounded)) & 0xFFFFu);
    FUZZ_CHECK(port && *port == low16, "%.17g (text \"%s\") gave %d, expected %d", *number,
               qPrintable(text), port ? int(*port) : -1, int(low16));
}

// A decimal text that strtod reads whole must read the same here: strtod and
// the parser under test are separate correctly rounded implementations.
void checkAgainstStrtod(const QString& stripped, const std::optional<double>& number)
{
    if (stripped.isEmpty() || stripped.size() > 2000)
        return;
    std::string ascii;
    for (QChar c : stripped) {
        const char16_t u = c.unicode();
        if (u == u'd' || u == u'D')
            ascii.push_back('e'); // D is an exponent letter here, not for strtod
        else if ((u >= u'0' && u <= u'9') || u == u'+' || u == u'-' || u == u'.' || u == u'e' || u == u'E')
            ascii.push_back(char(u));
        else
            return;
    }
    errno = 0;
    char* end = nullptr;
    const double expected = std::strtod(ascii.c_str(), &end);
    const bool range = errno == ERANGE;
    if (end != ascii.c_str() + ascii.size())
        return;
    if (range && std::isinf(expected)) {
        FUZZ_CHECK(!number, "\"%s\" is too large for a double but read as %.17g",
                   ascii.c_str(), *number);
    } else if (range || (expected != 0 && std::fabs(expected) < DBL_MIN)) {
        FUZZ_CHECK(number && (*number == 0 || *number == expected),
                   "\"%s\" underflows to %g but read as %s%.17g", ascii.c_str(), expected,
                   number ? "" : "no number ", number ? *number : 0.0);
    } else {
        FUZZ_CHECK(number && *number == expected, "\"%s\" is %.17g but read as %s%.17g",
                   ascii.c_str(), expected, number ? "" : "no number ", number ? *number : 0.0);
    }
}

// &H / &O: 16-bit signed when the digits fit 16 bits, 32-bit signed when
// they fit 32 bits, no number past that.
void checkRadix(const QString& stripped, const std::optional<double>& number)
{
    if (stripped.size() < 2 || stripped[0] != u'&')
        return;
    const char16_t kind = stripped[1].toUpper().unicode();
    if (kind != u'H' && kind != u'O') {
        FUZZ_CHECK(number && *number == 0, "\"&\" and another letter must read 0");
        return;
    }
    const int radix = kind == u'H' ? 16 : 8;
    std::uint64_t value = 0;
    bool tooLarge = false;
    for (qsizetype i = 2; i < stripped.size(); ++i) {
        const char16_t c = stripped[i].unicode();
        int d = radix;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        if (d >= radix)
            break;
        if (!tooLarge)
            value = value * radix + unsigned(d);
        tooLarge = tooLarge || value > 0xFFFFFFFFu;
    }
    if (tooLarge) {
        FUZZ_CHECK(!number, "a radix number over 32 bits read as %.17g", *number);
        return;
    }
    const double expected = value <= 0xFFFF ? double(std::int16_t(std::uint16_t(value)))
                                            : double(std::int32_t(std::uint32_t(value)));
    FUZZ_CHECK(number && *number == expected, "radix value %llu read as %s%.17g, expected %.17g",
               static_cast<unsigned long long>(value), number ? "" : "no number ",
               number ? *number : 0.0, expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = textFrom(data, size);
    const std::optional<double> number = ReadNumber(text);
    const std::optional<std::uint16_t> port = PortFromText(text);
    checkPortRule(text, number, port);

    QString stripped;
    for (QChar c : text)
        if (!isBlank(c))
            stripped.append(c);
    checkAgainstStrtod(stripped, number);
    checkRadix(stripped, number);

    // Blanks, tabs and line feeds between any two characters change nothing.
    fuzz::Mix mix = fuzz::Mix::of(data, size);
    static const char16_t blanks[] = {u' ', u'\t', u'\n'};
    QString spread;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        for (auto n = mix.below(4); n > 0; --n)
            spread.append(QChar(blanks[mix.below(3)]));
        if (i < text.size())
            spread.append(text[i]);
    }
    FUZZ_CHECK(sameNumber(ReadNumber(spread), number), "blanks changed what the text reads");
    FUZZ_CHECK(PortFromText(spread) == port, "blanks changed the port");
    FUZZ_CHECK(sameNumber(ReadNumber(stripped), number), "removing blanks changed what the text reads");
    return 0;
}

#include "portnumber.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace {

bool isSkipped(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }
bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int digitValue(char16_t c, int radix)
{
    int v = -1;
    if (c >= u'0' && c <= u'9')
        v = c - u'0';
    else if (c >= u'a' && c <= u'f')
        v = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        v = c - u'A' + 10;
    return v < radix ? v : -1;
}

// &H and &O numbers are 16-bit when they fit 16 bits and 32-bit otherwise,
// both signed: &HFFFF is -1 and &H10000 is 65536.
std::optional<double> readRadix(const std::u16string& s, std::size_t i, int radix)
{
    std::uint64_t value = 0;
    for (; i < s.size(); ++i) {
        const int d = digitValue(s[i], radix);
        if (d < 0)
            break;
        value = value * radix + d;
        if (value > 0xFFFF'FFFFu)
            return std::nullopt;
    }
    if (value <= 0xFFFF)
        return double(std::int16_t(value));
    return double(std::int32_t(std::uint32_t(value)));
}

} // namespace

std::optional<double> ReadNumber(QStringView text)
{
    std::u16string s;
    s.reserve(text.size());
    for (QChar c : text)
        if (!isSkipped(c.unicode()))
            s.push_back(c.unicode());

    if (s.size() >= 2 && s[0] == u'&') {
        if (s[1] == u'h' || s[1] == u'H')
            return readRadix(s, 2, 16);
        if (s[1] == u'o' || s[1] == u'O')
            return readRadix(s, 2, 8);
        return 0.0;
    }

    // Collect the longest prefix that forms a decimal number, in ASCII, and
    // its order of magnitude: the value is 0.ddd... times ten to `magnitude`.
    std::string number;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
        number.push_back(char(s[i++]));
    std::size_t digits = 0;
    std::int64_t magnitude = 0;
    bool nonZero = false;
    for (; i < s.size() && isDigit(s[i]); ++i, ++digits) {
        number.push_back(char(s[i]));
        nonZero = nonZero || s[i] != u'0';
        if (nonZero)
            ++magnitude;
    }
    if (i < s.size() && s[i] == u'.') {
        number.push_back('.');
        for (++i; i < s.size() && isDigit(s[i]); ++i, ++digits) {
            number.push_back(char(s[i]));
            if (!nonZero && s[i] == u'0')
                --magnitude;
            nonZero = nonZero || s[i] != u'0';
        }
    }
    if (digits == 0)
        return 0.0;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
        std::string exponent = "e";
        std::size_t j = i + 1;
        bool negative = false;
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) {
            negative = s[j] == u'-';
            exponent.push_back(char(s[j++]));
        }
        const std::size_t firstDigit = j;
        std::int64_t power = 0;
        for (; j < s.size() && isDigit(s[j]); ++j) {
            exponent.push_back(char(s[j]));
            power = std::min<std::int64_t>(power * 10 + (s[j] - u'0'), 1'000'000'000);
        }
        if (j > firstDigit) {
            number += exponent;
            magnitude += negative ? -power : power;
        }
    }

    const char* first = number.data();
    if (*first == '+')
        ++first;
    double value = 0;
    const auto [end, error] = std::from_chars(first, number.data() + number.size(), value);
    if (error == std::errc::result_out_of_range) {
        // Too small to tell from zero reads as zero; too large has no value.
        if (magnitude <= 0)
            return 0.0;
        return std::nullopt;
    }
    if (error != std::errc() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::uint16_t> PortFromText(QStringView text)
{
    const std::optional<double> value = ReadNumber(text);
    if (!value || *value == 0)
        return std::nullopt;
    const double rounded = std::nearbyint(*value); // the default mode: ties to even
    if (rounded < -2147483648.0 || rounded > 2147483647.0)
        return std::nullopt;
    return std::uint16_t(std::uint32_t(std::int32_t(rounded)) & 0xFFFFu);
}

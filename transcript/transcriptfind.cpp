#include "transcriptfind.h"

#include <QChar>

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

// The bytes that one position of the needle accepts.
using ByteClass = std::array<bool, 256>;

// The other case of a Latin-1 letter; any other byte itself.
uchar latin1OtherCase(uchar b)
{
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7))
        return uchar(b + 0x20);
    if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7))
        return uchar(b - 0x20);
    return b;
}

int utf8Length(char32_t c)
{
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

int encodeUtf8(char32_t c, uchar* out)
{
    const int length = utf8Length(c);
    if (length == 1) {
        out[0] = uchar(c);
        return 1;
    }
    static constexpr uchar Lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (int i = length - 1; i > 0; --i) {
        out[i] = uchar(0x80 | (c & 0x3F));
        c >>= 6;
    }
    out[0] = uchar(Lead[length] | c);
    return length;
}

// The character of the well-formed UTF-8 sequence of exactly `length` bytes
// at p (no overlong form, no surrogate, nothing above U+10FFFF); -1 if it is
// not one.
qint32 decodeUtf8(const uchar* p, int length)
{
    static constexpr uchar LeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    const uchar lead = p[0];
    const int expected = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
        : lead < 0xF8 ? 4 : 0;
    if (expected != length)
        return -1;
    char32_t c = lead & LeadMask[length];
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return -1;
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < Least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return -1;
    return qint32(c);
}

// Every character whose simple case folding is f, f itself left out when it
// does not fold to itself. Built once, at the first search that folds UTF-8.
const std::vector<char32_t>& foldedFrom(char32_t f)
{
    static const auto table = [] {
        std::unordered_map<char32_t, std::vector<char32_t>> t;
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            if (c == 0xD800)
                c = 0xE000;
            const char32_t folded = QChar::toCaseFolded(c);
            if (folded != c)
                t[folded].push_back(c);
        }
        return t;
    }();
    static const std::vector<char32_t> none;
    const auto it = table.find(f);
    return it == table.end() ? none : it->second;
}

// The needle as classes of bytes, with Horspool's skip tables for both
// directions. For a folded UTF-8 needle the classes are per byte, so they
// also let through mixes of two case forms' bytes (CE 89 between "Ω", CE A9,
// and "ω", CF 89); such a candidate is checked character by character.
class Pattern {
public:
    Pattern(QByteArrayView needle, CaseFold fold)
        : m_classes(std::size_t(needle.size()), ByteClass{})
    {
        const auto* bytes = reinterpret_cast<const uchar*>(needle.data());
        const qint64 m = needle.size();
        for (qint64 i = 0; i < m;) {
            if (fold == CaseFold::Utf8) {
                const qint64 taken = addFoldedCharacter(bytes + i, m - i, i);
                if (taken > 0) {
                    i += taken;
                    continue;
                }
            }
            // A byte alone: not folded, or not part of a UTF-8 character.
            m_classes[i][bytes[i]] = true;
            if (fold == CaseFold::Latin1)
                m_classes[i][latin1OtherCase(bytes[i])] = true;
            ++i;
        }

        m_forwardShift.fill(m);
        m_backwardShift.fill(m);
        for (qint64 i = 0; i + 1 < m; ++i) {
            for (int b = 0; b < 256; ++b) {
                if (m_classes[i][b])
                    m_forwardShift[b] = m - 1 - i;
            }
        }
        for (qint64 i = m - 1; i > 0; --i) {
            for (int b = 0; b < 256; ++b) {
                if (m_classes[i][b])
                    m_backwardShift[b] = i;
            }
        }
        // The skip loops stop only where the byte at the window's far end
        // fits the needle's byte at that end.
        m_forwardSkip = m_forwardShift;
        m_backwardSkip = m_backwardShift;
        for (int b = 0; b < 256; ++b) {
            if (m_classes[std::size_t(m - 1)][b])
                m_forwardSkip[b] = 0;
            if (m_classes[0][b])
                m_backwardSkip[b] = 0;
        }
        if (m == 1) {
            for (int b = 0; b < 256; ++b) {
                if (m_classes[0][b])
                    m_oneByte.push_back(char(b));
            }
        }
    }

    qint64 forward(const uchar* h, qint64 n, qint64 from) const
    {
        const qint64 m = qint64(m_classes.size());
        if (!m_oneByte.empty() && m_oneByte.size() <= 2)
            return forwardOneByte(h, n, from);
        const qint64 last = n - m;
        if (m <= ShortNeedle) {
            // Horspool's steps here are at most m bytes, and each waits for
            // the one before; a plain scan does not wait.
            const ByteClass& end = m_classes[std::size_t(m - 1)];
            for (qint64 s = from; s <= last; ++s) {
                if (end[h[s + m - 1]] && matchesAt(h, s))
                    return s;
            }
            return -1;
        }
        for (qint64 s = from; s <= last;) {
            qint64 k;
            while ((k = m_forwardSkip[h[s + m - 1]]) != 0) {
                s += k;
                if (s > last)
                    return -1;
            }
            if (matchesAt(h, s))
                return s;
            s += m_forwardShift[h[s + m - 1]];
        }
        return -1;
    }

    qint64 backward(const uchar* h, qint64 n, qint64 before) const
    {
        const qint64 m = qint64(m_classes.size());
        if (!m_oneByte.empty() && m_oneByte.size() <= 2)
            return backwardOneByte(h, std::min(before, n));
        if (m <= ShortNeedle) {
            const ByteClass& start = m_classes[0];
            for (qint64 s = std::min(before - 1, n - m); s >= 0; --s) {
                if (start[h[s]] && matchesAt(h, s))
                    return s;
            }
            return -1;
        }
        for (qint64 s = std::min(before - 1, n - m); s >= 0;) {
            qint64 k;
            while ((k = m_backwardSkip[h[s]]) != 0) {
                s -= k;
                if (s < 0)
                    return -1;
            }
            if (matchesAt(h, s))
                return s;
            s -= m_backwardShift[h[s]];
        }
        return -1;
    }

private:
    // A needle of one byte (or a letter in either case): the C library's
    // memchr per block, which reads many bytes a step.
    qint64 forwardOneByte(const uchar* h, qint64 n, qint64 from) const
    {
        for (qint64 block = from; block < n; block += BlockSize) {
            const std::size_t length = std::size_t(std::min(BlockSize, n - block));
            const uchar* first = nullptr;
            for (char b : m_oneByte) {
                const auto* hit = static_cast<const uchar*>(std::memchr(h + block, b, length));
                if (hit && (!first || hit < first))
                    first = hit;
            }
            if (first)
                return first - h;
        }
        return -1;
    }

    qint64 backwardOneByte(const uchar* h, qint64 before) const
    {
        for (qint64 end = before; end > 0; end -= BlockSize) {
            const qint64 start = std::max<qint64>(0, end - BlockSize);
            qint64 last = -1;
            for (char b : m_oneByte)
                last = std::max(last, lastIn(h, start, end, uchar(b)));
            if (last >= 0)
                return last;
        }
        return -1;
    }

    static qint64 lastIn(const uchar* h, qint64 start, qint64 end, uchar b)
    {
#if defined(__GLIBC__)
        const auto* hit = static_cast<const uchar*>(memrchr(h + start, b, std::size_t(end - start)));
        return hit ? hit - h : -1;
#else
        for (qint64 i = end - 1; i >= start; --i) {
            if (h[i] == b)
                return i;
        }
        return -1;
#endif
    }

    static constexpr qint64 BlockSize = 64 * 1024;
    static constexpr qint64 ShortNeedle = 3;

    // One UTF-8 character at p (at most `left` bytes), at needle position
    // `at`: its case forms of the same length go into the classes. The
    // number of bytes it takes; 0 when p does not start a character.
    qint64 addFoldedCharacter(const uchar* p, qint64 left, qint64 at)
    {
        const uchar lead = p[0];
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const qint32 c = length <= left ? decodeUtf8(p, length) : -1;
        if (c < 0)
            return 0;
        const char32_t folded = QChar::toCaseFolded(char32_t(c));
        int forms = 0;
        auto add = [&](char32_t form) {
            uchar encoded[4];
            if (utf8Length(form) != length)
                return;
            encodeUtf8(form, encoded);
            for (int k = 0; k < length; ++k)
                m_classes[std::size_t(at + k)][encoded[k]] = true;
            ++forms;
        };
        add(char32_t(c));
        if (folded != char32_t(c))
            add(folded);
        for (char32_t form : foldedFrom(folded)) {
            if (form != char32_t(c))
                add(form);
        }
        if (forms > 1 && length > 1)
            m_checks.push_back({at, length, folded});
        return length;
    }

    bool matchesAt(const uchar* h, qint64 s) const
    {
        for (qint64 j = qint64(m_classes.size()) - 1; j >= 0; --j) {
            if (!m_classes[std::size_t(j)][h[s + j]])
                return false;
        }
        for (const Check& check : m_checks) {
            const qint32 c = decodeUtf8(h + s + check.offset, check.length);
            if (c < 0 || QChar::toCaseFolded(char32_t(c)) != check.folded)
                return false;
        }
        return true;
    }

    // A character of several bytes, with several case forms, to check whole.
    struct Check {
        qint64 offset;
        int length;
        char32_t folded;
    };

    std::vector<ByteClass> m_classes;
    std::vector<Check> m_checks;
    // How far the window moves after a look at the byte at its far end
    // (Horspool's shift), and the same with 0 where that byte may match.
    std::array<qint64, 256> m_forwardShift{};
    std::array<qint64, 256> m_backwardShift{};
    std::array<qint64, 256> m_forwardSkip{};
    std::array<qint64, 256> m_backwardSkip{};
    // For a needle of one byte: the bytes it matches.
    std::vector<char> m_oneByte;
};

} // namespace

qint64 findBytes(QByteArrayView haystack, qint64 from, FindDirection direction,
                 QByteArrayView needle, CaseFold fold)
{
    const qint64 n = haystack.size();
    if (needle.isEmpty() || needle.size() > n)
        return -1;
    from = std::clamp<qint64>(from, 0, n);
    const Pattern pattern(needle, fold);
    const auto* h = reinterpret_cast<const uchar*>(haystack.data());
    return direction == FindDirection::Forward ? pattern.forward(h, n, from)
                                               : pattern.backward(h, n, from);
}

FindResult findWrapping(QByteArrayView haystack, qint64 from, FindDirection direction,
                        QByteArrayView needle, CaseFold fold)
{
    const qint64 found = findBytes(haystack, from, direction, needle, fold);
    if (found >= 0)
        return {found, false};
    // Going on from the other end, only the part that the first search did
    // not cover: matches that start before from (forward), at or after it
    // (backward).
    from = std::clamp<qint64>(from, 0, haystack.size());
    if (direction == FindDirection::Forward) {
        const qint64 rest = std::min(haystack.size(), from + needle.size() - 1);
        const qint64 wrapped = findBytes(haystack.first(rest), 0, direction, needle, fold);
        return {wrapped, wrapped >= 0};
    }
    const qint64 wrapped = findBytes(haystack.sliced(from), haystack.size() - from, direction,
                                     needle, fold);
    return {wrapped < 0 ? -1 : from + wrapped, wrapped >= 0};
}

#pragma once

// Shared by the fuzz targets: an invariant check that stops the process (so
// libFuzzer keeps the input and the replay test fails), and a reader that
// takes decisions and chunks from the front of the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__,   \
                         __LINE__, #cond);                                     \
            std::fprintf(stderr, "  " __VA_ARGS__);                            \
            std::fprintf(stderr, "\n");                                        \
            std::abort();                                                      \
        }                                                                      \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }
    std::size_t remaining() const { return m_size - m_pos; }

    // The next byte, 0 once the input is used up.
    std::uint8_t byte() { return empty() ? 0 : m_data[m_pos++]; }

    // Up to n bytes; fewer when the input ends first.
    const std::uint8_t* take(std::size_t n, std::size_t& got)
    {
        got = n < remaining() ? n : remaining();
        const std::uint8_t* p = m_data + m_pos;
        m_pos += got;
        return p;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// A small deterministic generator, seeded from the input, for choices that
// must not use up input bytes.
class Mix {
public:
    explicit Mix(std::uint64_t seed) : m_state(seed ^ 0x9E3779B97F4A7C15u) {}
    static Mix of(const std::uint8_t* data, std::size_t size)
    {
        std::uint64_t h = 1469598103934665603u; // FNV-1a
        for (std::size_t i = 0; i < size; ++i)
            h = (h ^ data[i]) * 1099511628211u;
        return Mix(h);
    }
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return n ? next() % n : 0; }

private:
    std::uint64_t m_state;
};

} // namespace fuzz

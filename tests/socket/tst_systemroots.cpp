// The system's trusted authorities as the Windows build reads them, run under
// Wine (which fills its ROOT store from the host's): there are some, and each
// is a whole X.509 certificate in DER. Closes with "N passed, N failed".

#include "systemroots.h"

#include <cstdint>
#include <cstdio>

namespace {

// The end of the DER element at bytes[at], or 0 when its header is not DER's
// or it runs past end; tag and content: its tag and where its content starts.
std::size_t elementEnd(const std::string& bytes, std::size_t at, std::size_t end, int& tag,
                       std::size_t& content)
{
    const auto byte = [&bytes](std::size_t i) { return std::size_t(std::uint8_t(bytes[i])); };
    if (at + 2 > end)
        return 0;
    tag = int(byte(at));
    std::size_t length = byte(at + 1), count = length & 0x80 ? length & 0x7f : 0;
    if (length & 0x80) {
        if (count == 0 || count > 4 || at + 2 + count > end)
            return 0; // indefinite or absurd lengths are not DER
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = length << 8 | byte(at + 2 + i);
    }
    content = at + 2 + count;
    return content + length <= end ? content + length : 0;
}

// SEQUENCE { tbsCertificate SEQUENCE, signatureAlgorithm SEQUENCE,
// signatureValue BIT STRING }, filling the bytes exactly.
bool isCertificate(const std::string& der)
{
    int tag = 0;
    std::size_t at = 0;
    if (elementEnd(der, 0, der.size(), tag, at) != der.size() || tag != 0x30)
        return false;
    std::size_t content = 0;
    for (const int expected : {0x30, 0x30, 0x03})
        if ((at = elementEnd(der, at, der.size(), tag, content)) == 0 || tag != expected)
            return false;
    return at == der.size();
}

} // namespace

int main()
{
    std::string error;
    const std::vector<std::string> roots = tls::systemRootCertificates(error);
    std::size_t whole = 0;
    for (const std::string& der : roots)
        whole += isCertificate(der) && !isCertificate(der.substr(1)) ? 1 : 0;
    const bool some = !roots.empty(), all = some && whole == roots.size();
    std::printf("%s: the ROOT store holds certificates: %zu %s\n", some ? "PASS" : "FAIL",
                roots.size(), error.c_str());
    std::printf("%s: each is a whole X.509 certificate in DER: %zu of them\n",
                all ? "PASS" : "FAIL", whole);
    std::printf("%d passed, %d failed\n", int(some) + int(all), 2 - int(some) - int(all));
    return all ? 0 : 1;
}

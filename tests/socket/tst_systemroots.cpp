// The system's trusted authorities as the Windows build reads them (run under
// Wine, which fills its ROOT store from the host's): there are some, and each
// is a whole X.509 certificate in DER, as the TLS code hands it on.
//
// Prints a line per case and closes with "N passed, N failed".

#include "systemroots.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The end of the DER element at bytes[at] (tag, length, content), or 0 when
// its header is not DER's or it runs past end; tag: its tag.
std::size_t elementEnd(const std::string& bytes, std::size_t at, std::size_t end, int& tag)
{
    const auto byte = [&bytes](std::size_t i) { return std::size_t(std::uint8_t(bytes[i])); };
    if (at + 2 > end)
        return 0;
    tag = int(byte(at));
    std::size_t length = byte(at + 1), header = 2;
    if (length & 0x80) {
        const std::size_t count = length & 0x7f;
        if (count == 0 || count > 4 || at + 2 + count > end)
            return 0; // indefinite or absurd lengths are not DER
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = length << 8 | byte(at + 2 + i);
        header += count;
    }
    return at + header + length <= end ? at + header + length : 0;
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE, signatureAlgorithm
// SEQUENCE, signatureValue BIT STRING }, filling the bytes exactly.
bool isCertificate(const std::string& der)
{
    int tag = 0;
    if (elementEnd(der, 0, der.size(), tag) != der.size() || tag != 0x30)
        return false;
    // Past the outer header: its length in one byte, or in the count it gives.
    const unsigned lengthByte = std::uint8_t(der[1]);
    std::size_t at = lengthByte < 0x80 ? 2 : 2 + (lengthByte & 0x7f);
    for (const int expected : {0x30, 0x30, 0x03}) {
        at = elementEnd(der, at, der.size(), tag);
        if (at == 0 || tag != expected)
            return false;
    }
    return at == der.size();
}

} // namespace

int main()
{
    int passed = 0, failed = 0;
    auto check = [&](const char* name, bool ok, const std::string& detail) {
        std::printf("%s: %s%s%s\n", ok ? "PASS" : "FAIL", name, detail.empty() ? "" : ": ",
                    detail.c_str());
        ++(ok ? passed : failed);
    };

    std::string error;
    const std::vector<std::string> roots = tls::systemRootCertificates(error);
    check("the ROOT store holds certificates", !roots.empty(),
          roots.empty() ? error : std::to_string(roots.size()) + " of them");
    std::size_t notCertificates = 0;
    for (const std::string& der : roots)
        notCertificates += isCertificate(der) ? 0 : 1;
    check("each is a whole X.509 certificate in DER", !roots.empty() && notCertificates == 0,
          std::to_string(notCertificates) + " not");
    // A fault that cuts the bytes short or runs on is caught by the check itself.
    const bool checkCatchesCuts = roots.empty()
        || (!isCertificate(roots.front().substr(0, roots.front().size() - 1))
            && !isCertificate(roots.front() + '\0'));
    check("a certificate cut short or run on is not one", checkCatchesCuts, {});

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

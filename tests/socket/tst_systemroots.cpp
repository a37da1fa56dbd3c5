// The system's trusted authorities as the Windows build reads them (run under
// Wine, which fills its ROOT store from the host's): there are some, and each
// is a whole X.509 certificate in DER, as the TLS code hands it on.
//
// Prints a line per case and closes with "N passed, N failed".

#include "systemroots.h"

#include <cstddef>
#include <cstdio>
#include <string>

namespace {

// One DER element at bytes[at]: its tag, where its content starts and its
// length; false when the header runs past end or is not DER's own form.
struct Element {
    unsigned char tag = 0;
    std::size_t content = 0, length = 0;
    std::size_t end() const { return content + length; }
};

bool readElement(const std::string& bytes, std::size_t at, std::size_t end, Element& e)
{
    if (at + 2 > end)
        return false;
    e.tag = static_cast<unsigned char>(bytes[at]);
    std::size_t length = static_cast<unsigned char>(bytes[at + 1]);
    std::size_t header = 2;
    if (length & 0x80) {
        const std::size_t count = length & 0x7f;
        if (count == 0 || count > 4 || at + 2 + count > end)
            return false; // indefinite or absurd lengths are not DER
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = length << 8 | static_cast<unsigned char>(bytes[at + 2 + i]);
        header += count;
    }
    e.content = at + header;
    e.length = length;
    return e.end() <= end;
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version?,
// serialNumber INTEGER, ... }, signatureAlgorithm SEQUENCE, signatureValue
// BIT STRING }, filling the bytes exactly.
bool isCertificate(const std::string& der)
{
    Element certificate, tbs, algorithm, signature, first;
    if (!readElement(der, 0, der.size(), certificate) || certificate.tag != 0x30
        || certificate.end() != der.size())
        return false;
    if (!readElement(der, certificate.content, certificate.end(), tbs) || tbs.tag != 0x30
        || !readElement(der, tbs.end(), certificate.end(), algorithm) || algorithm.tag != 0x30
        || !readElement(der, algorithm.end(), certificate.end(), signature) || signature.tag != 0x03
        || signature.end() != certificate.end())
        return false;
    if (!readElement(der, tbs.content, tbs.end(), first))
        return false;
    Element serial = first;
    if (first.tag == 0xa0 && !readElement(der, first.end(), tbs.end(), serial))
        return false;
    return serial.tag == 0x02;
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

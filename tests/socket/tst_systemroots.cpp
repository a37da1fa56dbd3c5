// The system's trusted authorities as the Windows build reads them, run under
// Wine (which fills its ROOT store from the host's): there are some, and the
// bytes handed on for each are a whole X.509 certificate in DER, as the
// system's own parser reads them back. Closes with "N passed, N failed".

#include "systemroots.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

int main()
{
    std::string error;
    const std::vector<std::string> roots = tls::systemRootCertificates(error);
    std::size_t whole = 0;
    for (const std::string& der : roots) {
        PCCERT_CONTEXT parsed = CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()));
        whole += parsed && parsed->cbCertEncoded == der.size() ? 1 : 0;
        CertFreeCertificateContext(parsed);
    }
    const bool some = !roots.empty(), all = some && whole == roots.size();
    std::printf("%s: the ROOT store holds certificates: %zu %s\n", some ? "PASS" : "FAIL",
                roots.size(), error.c_str());
    std::printf("%s: each is a whole X.509 certificate in DER: %zu of them\n",
                all ? "PASS" : "FAIL", whole);
    std::printf("%d passed, %d failed\n", int(some) + int(all), 2 - int(some) - int(all));
    return all ? 0 : 1;
}

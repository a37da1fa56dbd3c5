// The ROOT store of Windows, through crypt32. Kept apart from the TLS code:
// wincrypt.h defines names (X509_NAME, X509_EXTENSIONS) that OpenSSL's own
// headers define differently.

#include "systemroots.h"

#include <windows.h>
#include <wincrypt.h>

namespace tls {

std::vector<std::string> systemRootCertificates(std::string& error)
{
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store) {
        error = "the system's ROOT store cannot be opened (error "
            + std::to_string(GetLastError()) + ")";
        return {};
    }
    std::vector<std::string> certificates;
    PCCERT_CONTEXT context = nullptr;
    // Each call frees the context it is given and returns the next.
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
        if (context->dwCertEncodingType & X509_ASN_ENCODING)
            certificates.emplace_back(reinterpret_cast<const char*>(context->pbCertEncoded),
                                      std::size_t(context->cbCertEncoded));
    }
    CertCloseStore(store, 0);
    if (certificates.empty())
        error = "the system's ROOT store holds no certificate";
    return certificates;
}

} // namespace tls

#pragma once

// The authorities the system itself trusts, where TLS has no store of its own
// to find them in (Windows): read through the system's crypto interface, one
// file per platform, naming no TLS library and included by no header of it.

#include <string>
#include <vector>

namespace tls {

// The certificates of the system's ROOT store, each as its DER bytes; empty,
// with the reason in plain words, when the store cannot be read or is empty.
std::vector<std::string> systemRootCertificates(std::string& error);

} // namespace tls

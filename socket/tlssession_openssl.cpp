// TLS sessions with OpenSSL 3: the one file that names the library.

#include "tlssession.h"

#ifdef _WIN32
#  include "systemroots.h"
#endif

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

struct tls::Identity::Data {
    SSL_CTX* context = nullptr;
    ~Data() { SSL_CTX_free(context); }
};

struct tls::Session::Data {
    SSL* ssl = nullptr;
    // Whom a client shows its certificate to (ClientSettings).
    std::vector<std::string> pinned;
    bool onlyPinned = false;
    bool wantWrite = false; // what the last step waits for
    bool writeOwed = false; // the last write stopped inside a record
    ~Data() { SSL_free(ssl); }
};

namespace tls {

namespace {

using Clock = std::chrono::steady_clock;

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

// The library's reason for the oldest error it has queued; the queue is
// emptied.
std::string libraryReason()
{
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (code == 0)
        return {};
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(ERR_GET_REASON(code));
}

std::string withReason(const std::string& words, const std::string& reason)
{
    return reason.empty() || reason == words ? words : words + " (" + reason + ")";
}

// What a failed certificate check means, in plain words.
std::string verifyProblem(long result)
{
    std::string words;
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED: words = "the certificate has expired"; break;
    case X509_V_ERR_CERT_NOT_YET_VALID: words = "the certificate is not valid yet"; break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT: words = "the certificate is self-signed"; break;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        words = "the issuer is unknown: no trusted authority signed it";
        break;
    case X509_V_ERR_HOSTNAME_MISMATCH: words = "the certificate is for another name"; break;
    case X509_V_ERR_IP_ADDRESS_MISMATCH: words = "the certificate is for another address"; break;
    case X509_V_ERR_CERT_REVOKED: words = "the certificate has been revoked"; break;
    default: words = "the certificate could not be verified"; break;
    }
    return withReason(words, X509_verify_cert_error_string(result));
}

// What a failed handshake or transfer means, in plain words.
std::string sslProblem(SSL* ssl, int result)
{
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_SYSCALL) {
        const int number = errno;
        ERR_clear_error();
        return number ? withReason("the connection failed", std::strerror(number))
                      : "the connection was closed";
    }
    if (error == SSL_ERROR_ZERO_RETURN)
        return "the peer ended TLS";
    const unsigned long code = ERR_peek_error();
    std::string words;
    switch (ERR_GET_REASON(code)) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
        words = "the peer does not speak TLS";
        break;
    case SSL_R_UNEXPECTED_EOF_WHILE_READING: words = "the peer closed the connection"; break;
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
        words = "the peer does not trust this certificate";
        break;
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
        words = "the peer wants a client certificate";
        break;
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
        words = "the client showed no certificate";
        break;
    case SSL_R_CERTIFICATE_VERIFY_FAILED:
        // Only a server checks during the handshake: the client's certificate.
        ERR_clear_error();
        return "the client's certificate is not trusted: "
            + verifyProblem(SSL_get_verify_result(ssl));
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        words = "the peer has no TLS version in common (1.2 at least)";
        break;
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        words = "the peer refused the handshake";
        break;
    default: words = "TLS failed"; break;
    }
    return withReason(words, libraryReason());
}

std::string hexFingerprint(const X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!X509_digest(certificate, EVP_sha256(), digest, &length))
        return {};
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i)
            text += ':';
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

std::string nameText(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, std::size_t(std::max(0L, length)));
}

std::string timeText(const ASN1_TIME* time)
{
    std::tm tm{};
    if (!ASN1_TIME_to_tm(time, &tm))
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

// Any library reading PEM with no callback would ask on the terminal: this
// one answers that there is no passphrase.
int noPassphrase(char*, int, int, void*)
{
    return -1;
}

SSL_CTX* newContext(const SSL_METHOD* method)
{
    SSL_CTX* context = SSL_CTX_new(method);
    if (!context)
        return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // Nothing read through the context may ask on the terminal.
    SSL_CTX_set_default_passwd_cb(context, noPassphrase);
    // A send may be taken in parts and retried from a moved buffer, as the
    // bounded send loop does.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

// Called when a server asks for our certificate, after its own has been
// checked: a peer that is neither pinned nor (unless only pinned ones are
// trusted) verified is shown none.
int showOnlyToTrusted(SSL* ssl, void* arg)
{
    const auto& data = *static_cast<const tls::Session::Data*>(arg);
    const X509* certificate = SSL_get0_peer_certificate(ssl);
    const std::string fingerprint = certificate ? hexFingerprint(certificate) : std::string();
    const bool pinned = !fingerprint.empty()
        && std::find(data.pinned.begin(), data.pinned.end(), fingerprint) != data.pinned.end();
    if (!pinned && (data.onlyPinned || SSL_get_verify_result(ssl) != X509_V_OK))
        SSL_certs_clear(ssl);
    return 1;
}

#ifdef _WIN32
// The authorities of the system's ROOT store, into store.
bool addSystemRoots(X509_STORE* store, std::string& error)
{
    std::string reason;
    const std::vector<std::string> roots = systemRootCertificates(reason);
    if (roots.empty()) {
        error = withReason("cannot read the trusted authorities of the system", reason);
        return false;
    }
    for (const std::string& der : roots) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        const X509Ptr authority(d2i_X509(nullptr, &bytes, long(der.size())));
        if (authority) // one the library cannot read is left out
            X509_STORE_add_cert(store, authority.get());
    }
    ERR_clear_error();
    return true;
}
#endif

// --- Files of certificates and keys ------------------------------------------

// What the system's error number means for a file, in plain words.
std::string fileReason(int number)
{
    switch (number) {
    case ENOENT: return "no such file";
    case EACCES:
    case EPERM: return "permission denied";
    case EISDIR: return "not a file (a directory)";
    case ENOTDIR: return "no such file (a part of the path is not a directory)";
    default: break;
    }
    std::string words = std::strerror(number);
    if (!words.empty())
        words[0] = char(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

// The whole of a small file: false with the reason when it cannot be read.
bool readFile(const std::string& path, std::string& text, std::string& reason)
{
    // Far more than any bundle of authorities; a file this large is not PEM.
    constexpr std::size_t Largest = 16u << 20;
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        reason = fileReason(errno);
        return false;
    }
    text.clear();
    char buffer[8192];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() <= Largest)
        text.append(buffer, count);
    const bool failed = std::ferror(file) != 0;
    const int number = errno;
    std::fclose(file);
    if (failed)
        reason = fileReason(number);
    else if (text.size() > Largest)
        reason = "too large for a PEM file";
    return reason.empty();
}

BioPtr memoryBio(const std::string& text)
{
    return BioPtr(BIO_new_mem_buf(text.data(), int(text.size())));
}

// What the PEM blocks of text hold, in plain words ("a certificate"): a
// certificate or a key where there is one, else the first block's label;
// empty when text has no PEM block.
std::string pemHolds(const std::string& text)
{
    BioPtr bio = memoryBio(text);
    std::vector<std::string> labels;
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long length = 0;
        const bool read = PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1;
        if (read)
            labels.emplace_back(name);
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
        if (!read)
            break;
    }
    ERR_clear_error();
    const auto has = [&labels](const char* part, const char* besides = nullptr) {
        return std::any_of(labels.begin(), labels.end(), [&](const std::string& label) {
            return label.find(part) != std::string::npos
                && !(besides && label.find(besides) != std::string::npos);
        });
    };
    if (labels.empty())
        return {};
    if (has("CERTIFICATE", "REQUEST"))
        return "a certificate";
    if (has("PRIVATE KEY"))
        return "a key";
    if (has("PUBLIC KEY"))
        return "a public key";
    if (has("CERTIFICATE REQUEST"))
        return "a certificate request";
    return labels.front();
}

// "not a PEM key", and what text holds instead when it has a PEM block.
std::string notPem(const std::string& what, const std::string& text)
{
    const std::string holds = pemHolds(text);
    return "not a PEM " + what + (holds.empty() ? std::string() : " (it holds " + holds + ")");
}

std::string fileProblem(const std::string& words, const std::string& file,
                        const std::string& reason)
{
    return words + " '" + file + "': " + reason;
}

using Chain = std::vector<X509Ptr>;

// The certificates of a PEM file, in order: false with the reason (naming
// the file) when it holds none.
bool readCertificates(const std::string& file, const std::string& words, Chain& chain,
                      std::string& error)
{
    std::string text, reason;
    if (!readFile(file, text, reason)) {
        error = fileProblem(words, file, reason);
        return false;
    }
    BioPtr bio = memoryBio(text);
    chain.clear();
    while (X509* certificate = PEM_read_bio_X509_AUX(bio.get(), nullptr, noPassphrase, nullptr))
        chain.emplace_back(certificate);
    ERR_clear_error();
    if (chain.empty())
        error = fileProblem(words, file, notPem("certificate", text));
    return !chain.empty();
}

// How a locked key is unlocked, as the PEM reader's callback sees it.
struct Unlock {
    const std::string& file;
    const PassphraseSource* source = nullptr; // none: the passphrase is refused
    bool asked = false;   // the key is locked
    bool refused = false; // no passphrase was given
    int given = 0;        // how many were
};

int askPassphrase(char* buffer, int size, int, void* data)
{
    Unlock& unlock = *static_cast<Unlock*>(data);
    unlock.asked = true;
    // The reader may ask more than once in one read; once refused, it stays so.
    if (unlock.refused || !unlock.source || !*unlock.source || size <= 0) {
        unlock.refused = true;
        return -1;
    }
    const int length = (*unlock.source)(unlock.file, unlock.given > 0,
                                         std::span<char>(buffer, std::size_t(size)));
    if (length < 0) {
        unlock.refused = true;
        return -1;
    }
    ++unlock.given;
    return std::min(length, size);
}

// Whether the queue holds the sign of a wrong passphrase; emptied.
bool badDecrypt()
{
    bool found = false;
    while (const unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        found = found || (reason && std::strcmp(reason, "bad decrypt") == 0);
    }
    return found;
}

// The key of a PEM file; a locked one unlocked through source, asked again
// after each wrong passphrase. Null with the reason (naming the file) when
// it cannot be read or stays locked; *locked then says it needed a passphrase.
KeyPtr readKey(const std::string& file, const PassphraseSource* source, std::string& error,
               bool* locked = nullptr)
{
    const std::string words = "cannot use the key";
    std::string text, reason;
    if (!readFile(file, text, reason)) {
        error = fileProblem(words, file, reason);
        return nullptr;
    }
    Unlock unlock{file, source};
    for (;;) {
        ERR_clear_error();
        BioPtr bio = memoryBio(text);
        KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, askPassphrase, &unlock));
        if (locked)
            *locked = unlock.asked;
        if (key) {
            ERR_clear_error();
            return key;
        }
        if (!unlock.asked) {
            ERR_clear_error();
            error = fileProblem(words, file, notPem("key", text));
        } else if (unlock.refused) {
            ERR_clear_error();
            error = fileProblem(words, file,
                                unlock.given > 0 ? "the key was not unlocked (the passphrase is wrong)"
                                                 : "the key was not unlocked (no passphrase given)");
        } else if (badDecrypt()) {
            continue; // the passphrase is wrong: asked again
        } else {
            error = fileProblem(words, file, withReason("not a PEM key", libraryReason()));
        }
        return nullptr;
    }
}

// Whether key is the key of certificate; the reason naming both files if not.
bool keyMatches(const X509* certificate, EVP_PKEY* key, const std::string& certFile,
                const std::string& keyFile, std::string& error)
{
    if (X509_check_private_key(certificate, key) == 1)
        return true;
    ERR_clear_error();
    error = fileProblem("cannot use the key", keyFile,
                        "the key does not match the certificate '" + certFile + "'");
    return false;
}

// Makes context show chain and key; the library's objection to them (a key
// too weak for its settings) as the reason.
bool useChain(SSL_CTX* context, const Chain& chain, EVP_PKEY* key, const std::string& certFile,
              std::string& error)
{
    bool ok = SSL_CTX_use_certificate(context, chain.front().get()) == 1
        && SSL_CTX_use_PrivateKey(context, key) == 1;
    for (std::size_t i = 1; ok && i < chain.size(); ++i)
        ok = SSL_CTX_add1_chain_cert(context, chain[i].get()) == 1;
    if (!ok)
        error = fileProblem("cannot use the certificate", certFile,
                            withReason("TLS refuses it", libraryReason()));
    return ok;
}

bool useCertificate(SSL_CTX* context, const std::string& certFile, const std::string& keyFile,
                    const PassphraseSource& passphrase, std::string& error)
{
    Chain chain;
    if (!readCertificates(certFile, "cannot use the certificate", chain, error))
        return false;
    const KeyPtr key = readKey(keyFile, &passphrase, error);
    return key && keyMatches(chain.front().get(), key.get(), certFile, keyFile, error)
        && useChain(context, chain, key.get(), certFile, error);
}

} // namespace

std::string checkFiles(const std::string& caFile, const std::string& certFile,
                       const std::string& keyFile)
{
    ERR_clear_error();
    std::string error;
    Chain authorities, chain;
    if (!caFile.empty()
        && !readCertificates(caFile, "cannot read the trusted authorities", authorities, error))
        return error;
    if (!certFile.empty() && !readCertificates(certFile, "cannot use the certificate", chain, error))
        return error;
    if (keyFile.empty())
        return {};
    bool locked = false;
    const KeyPtr key = readKey(keyFile, nullptr, error, &locked);
    if (!key)
        return locked ? std::string() : error; // matched once it is unlocked
    if (chain.empty())
        return {};
    std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>> context(
        newContext(TLS_server_method()));
    if (!keyMatches(chain.front().get(), key.get(), certFile, keyFile, error)
        || (context && !useChain(context.get(), chain, key.get(), certFile, error)))
        return error;
    return {};
}

std::string handshakeTooSlow(std::chrono::milliseconds timeLimit)
{
    return "the peer did not finish the handshake within "
        + std::to_string((timeLimit.count() + 999) / 1000) + " s";
}

// --- Identity ------------------------------------------------------------------

Identity::Identity(std::unique_ptr<Data> data) : m_data(std::move(data)) { }
Identity::~Identity() = default;

std::unique_ptr<Identity> Identity::fromFiles(const std::string& certFile,
                                              const std::string& keyFile,
                                              const PassphraseSource& passphrase,
                                              std::string& error)
{
    ERR_clear_error();
    auto data = std::make_unique<Data>();
    data->context = newContext(TLS_server_method());
    if (!data->context) {
        error = withReason("TLS cannot start", libraryReason());
        return nullptr;
    }
    if (!useCertificate(data->context, certFile, keyFile, passphrase, error))
        return nullptr;
    return std::unique_ptr<Identity>(new Identity(std::move(data)));
}

std::unique_ptr<Identity> Identity::generate(const std::string& commonName, std::string& error)
{
    KeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr certificate(X509_new());
    unsigned char serial[16];
    bool ok = key && certificate && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7f; // a positive number
        BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
        BN_free(number);
    }
    if (ok) {
        X509_set_version(certificate.get(), X509_VERSION_3);
        // An hour back, for clocks that differ a little; thirty days on.
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600);
        X509_NAME* name = X509_get_subject_name(certificate.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0);
        X509_set_issuer_name(certificate.get(), name);
        X509_set_pubkey(certificate.get(), key.get());
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, certificate.get(), certificate.get(), nullptr, nullptr, 0);
        const std::string names = "DNS:localhost,IP:127.0.0.1,IP:::1";
        for (const auto& [nid, value] : {std::pair{NID_basic_constraints, std::string("CA:FALSE")},
                                         std::pair{NID_subject_alt_name, names}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str());
            ok = ok && extension && X509_add_ext(certificate.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
        ok = ok && X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
    }
    auto data = std::make_unique<Data>();
    data->context = ok ? newContext(TLS_server_method()) : nullptr;
    if (!data->context || SSL_CTX_use_certificate(data->context, certificate.get()) != 1
        || SSL_CTX_use_PrivateKey(data->context, key.get()) != 1) {
        error = withReason("cannot make a certificate", libraryReason());
        return nullptr;
    }
    return std::unique_ptr<Identity>(new Identity(std::move(data)));
}

std::string Identity::fingerprint() const
{
    const X509* certificate = SSL_CTX_get0_certificate(m_data->context);
    return certificate ? hexFingerprint(certificate) : std::string();
}

bool Identity::askForClientCertificates(const std::string& caFile, std::string& error)
{
    ERR_clear_error();
    Chain authorities;
    if (!readCertificates(caFile, "cannot read the trusted authorities", authorities, error))
        return false;
    SSL_CTX* context = m_data->context;
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (const X509Ptr& authority : authorities) {
        X509_STORE_add_cert(store, authority.get());
        // Named in the request, so that a client with several can choose.
        SSL_CTX_add_client_CA(context, authority.get());
    }
    ERR_clear_error(); // one given twice is taken once
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return true;
}

// --- Session -------------------------------------------------------------------

Session::Session(Handle s, std::unique_ptr<Data> data) : m_socket(s), m_data(std::move(data))
{
    // A write returns once a record has gone, so that a file goes out in
    // steps; sendAll goes on until every byte has.
    SSL_set_mode(m_data->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
}
Session::~Session() = default;

std::unique_ptr<Session> Session::client(Handle s, const ClientSettings& settings,
                                         std::string& error)
{
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>> context(
        newContext(TLS_client_method()));
    if (!context) {
        error = withReason("TLS cannot start", libraryReason());
        return nullptr;
    }
    // The certificate is checked after the handshake, so that the user can
    // be told why it failed and asked; nothing of the user's goes out before.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    if (settings.caFile.empty()) {
#ifdef _WIN32
        // OpenSSL has no store of its own there: the system's is read.
        if (!addSystemRoots(SSL_CTX_get_cert_store(context.get()), error))
            return nullptr;
#else
        if (SSL_CTX_set_default_verify_paths(context.get()) != 1) {
            error = withReason("cannot read the trusted authorities of the system",
                               libraryReason());
            return nullptr;
        }
#endif
    } else {
        Chain authorities;
        if (!readCertificates(settings.caFile, "cannot read the trusted authorities",
                              authorities, error))
            return nullptr;
        X509_STORE* store = SSL_CTX_get_cert_store(context.get());
        for (const X509Ptr& authority : authorities)
            X509_STORE_add_cert(store, authority.get());
        ERR_clear_error(); // one given twice is taken once
    }
    if (settings.identity) {
        SSL_CTX* ours = settings.identity->data().context;
        STACK_OF(X509)* chain = nullptr;
        SSL_CTX_get0_chain_certs(ours, &chain);
        if (SSL_CTX_use_cert_and_key(context.get(), SSL_CTX_get0_certificate(ours),
                                     SSL_CTX_get0_privatekey(ours), chain, 1)
            != 1) {
            error = withReason("TLS cannot use our certificate", libraryReason());
            return nullptr;
        }
    }

    auto data = std::make_unique<Data>();
    data->ssl = SSL_new(context.get());
    if (!data->ssl || !SSL_set_fd(data->ssl, int(s))) {
        error = withReason("TLS cannot start", libraryReason());
        return nullptr;
    }
    data->pinned = settings.pinned;
    data->onlyPinned = settings.onlyPinned;
    if (settings.identity && !settings.anyCertificate)
        SSL_set_cert_cb(data->ssl, showOnlyToTrusted, data.get());
    // An address is checked as an address and sends no SNI; a name is both.
    X509_VERIFY_PARAM* param = SSL_get0_param(data->ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, settings.host.c_str()) != 1) {
        ERR_clear_error();
        SSL_set_tlsext_host_name(data->ssl, settings.host.c_str());
        SSL_set1_host(data->ssl, settings.host.c_str());
    }
    SSL_set_connect_state(data->ssl);
    sockplatform::SetNonBlocking(s, true);
    sockplatform::IgnoreBrokenPipe();
    return std::unique_ptr<Session>(new Session(s, std::move(data)));
}

std::unique_ptr<Session> Session::server(Handle s, const Identity& identity, std::string& error)
{
    ERR_clear_error();
    auto data = std::make_unique<Data>();
    data->ssl = SSL_new(identity.data().context);
    if (!data->ssl || !SSL_set_fd(data->ssl, int(s))) {
        error = withReason("TLS cannot start", libraryReason());
        return nullptr;
    }
    SSL_set_accept_state(data->ssl);
    sockplatform::SetNonBlocking(s, true);
    sockplatform::IgnoreBrokenPipe();
    return std::unique_ptr<Session>(new Session(s, std::move(data)));
}

Session::Progress Session::step()
{
    ERR_clear_error();
    const int r = SSL_do_handshake(m_data->ssl);
    if (r == 1)
        return Progress::Done;
    switch (SSL_get_error(m_data->ssl, r)) {
    case SSL_ERROR_WANT_READ:
        m_data->wantWrite = false;
        return Progress::Waiting;
    case SSL_ERROR_WANT_WRITE:
        m_data->wantWrite = true;
        return Progress::Waiting;
    default:
        m_error = sslProblem(m_data->ssl, r);
        return Progress::Failed;
    }
}

bool Session::handshake(std::chrono::milliseconds timeLimit, const KeepWaiting& keepWaiting)
{
    const auto deadline = Clock::now() + timeLimit;
    for (;;) {
        const Progress progress = step();
        if (progress != Progress::Waiting)
            return progress == Progress::Done;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline
                                                                                - Clock::now());
        if (left.count() <= 0) {
            m_error = handshakeTooSlow(timeLimit);
            return false;
        }
        sockplatform::WaitReady(m_socket, m_data->wantWrite,
                                int(std::min(left, sockplatform::WaitSlice).count()));
        if (keepWaiting && !keepWaiting()) {
            m_error = "the attempt was cancelled";
            return false;
        }
    }
}

PeerFacts Session::peer() const
{
    PeerFacts facts;
    SSL* ssl = m_data->ssl;
    facts.protocol = SSL_get_version(ssl);
    facts.cipher = SSL_get_cipher_name(ssl);
    const X509Ptr certificate(SSL_get1_peer_certificate(ssl));
    if (!certificate) {
        facts.problem = "the peer showed no certificate";
        return facts;
    }
    facts.hasCertificate = true;
    facts.subject = nameText(X509_get_subject_name(certificate.get()));
    facts.issuer = nameText(X509_get_issuer_name(certificate.get()));
    facts.expires = timeText(X509_get0_notAfter(certificate.get()));
    facts.fingerprint = hexFingerprint(certificate.get());
    const long result = SSL_get_verify_result(ssl);
    facts.verified = result == X509_V_OK;
    if (!facts.verified)
        facts.problem = verifyProblem(result);
    return facts;
}

bool Session::pending() const
{
    return SSL_has_pending(m_data->ssl) == 1;
}

Session::Read Session::receive(std::span<char> bytes)
{
    ERR_clear_error();
    std::size_t count = 0;
    const int r = SSL_read_ex(m_data->ssl, bytes.data(), bytes.size(), &count);
    if (r == 1)
        return {Outcome::Data, std::int32_t(count)};
    switch (SSL_get_error(m_data->ssl, r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return {Outcome::Nothing, 0};
    case SSL_ERROR_ZERO_RETURN:
        return {Outcome::Closed, 0};
    case SSL_ERROR_SSL:
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            return {Outcome::ClosedUnconfirmed, 0};
        }
        break;
    default:
        break;
    }
    m_error = sslProblem(m_data->ssl, r);
    return {Outcome::Failed, 0};
}

std::int32_t Session::sendAll(std::span<const char> bytes, std::chrono::milliseconds timeLimit)
{
    if (bytes.empty())
        return -1;
    if (!sockplatform::IsWritable(m_socket)) {
        m_error = "the peer is not taking data";
        return -1;
    }
    const auto deadline = Clock::now() + timeLimit;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ERR_clear_error();
        std::size_t count = 0;
        const int r = SSL_write_ex(m_data->ssl, bytes.data() + sent, bytes.size() - sent, &count);
        if (r == 1) {
            sent += count;
            continue;
        }
        const int error = SSL_get_error(m_data->ssl, r);
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
            m_error = sslProblem(m_data->ssl, r);
            return -1;
        }
        // The peer is not taking the bytes: wait, but not past the deadline.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline
                                                                                - Clock::now());
        if (left.count() <= 0
            || !sockplatform::WaitReady(m_socket, error == SSL_ERROR_WANT_WRITE, int(left.count()))) {
            m_error = "the peer did not take the data in time";
            return -1;
        }
    }
    return std::int32_t(sent);
}

std::int64_t Session::sendSome(std::span<const char> bytes)
{
    if (bytes.empty())
        return -1;
    ERR_clear_error();
    std::size_t count = 0;
    const int r = SSL_write_ex(m_data->ssl, bytes.data(), bytes.size(), &count);
    if (r == 1) {
        m_data->writeOwed = false;
        return std::int64_t(count);
    }
    const int error = SSL_get_error(m_data->ssl, r);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        m_data->writeOwed = true;
        return 0;
    }
    m_error = sslProblem(m_data->ssl, r);
    return -1;
}

bool Session::writeOwed() const
{
    return m_data->writeOwed;
}

void Session::close()
{
    // One close_notify, as far as the socket takes it at once; the peer's
    // answer is not waited for.
    ERR_clear_error();
    if (SSL_is_init_finished(m_data->ssl))
        SSL_shutdown(m_data->ssl);
    ERR_clear_error();
}

} // namespace tls

#pragma once

// The far side of a TLS connection, for tests: OpenSSL used directly over a
// loopback socket, independent of the program's own TLS code, and a test
// authority with its certificates made by the openssl command when the test
// runs. Every wait is bounded.

#include "loopbackpeer.h"

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/time.h>

#include <cstdio>
#include <future>

namespace testtls {

// Runs the openssl command in dir; true when it succeeded.
inline bool openssl(const QString& dir, const QStringList& arguments)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("openssl"), arguments);
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The passphrase that locks locked.key.
inline const QString Passphrase = QStringLiteral("open sesame");

// A test authority ca.pem and, signed by it, NAME.pem / NAME.key for:
// good (localhost, 127.0.0.1, ::1), expired (the same names, ended
// yesterday), other (other.example only), locked (as good, its key locked by
// Passphrase); and self.pem, self-signed for the same names as good.
inline bool makeCertificates(const QString& dir)
{
    const QStringList newKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};
    const QString names = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1";
    if (!openssl(dir, QStringList{"req", "-x509"} + newKey
                          + QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                                        "-subj", "/CN=Pellix test authority"})
        || !openssl(dir, QStringList{"req", "-x509"} + newKey
                             + QStringList{"-keyout", "self.key", "-out", "self.pem", "-days", "2",
                                           "-subj", "/CN=localhost", "-addext", names}))
        return false;
    const struct { const char* name; const char* days; QString san; } signedOnes[] = {
        {"good", "2", names},
        {"expired", "-1", names},
        {"other", "2", "subjectAltName=DNS:other.example"},
    };
    for (const auto& c : signedOnes) {
        const QString name = QString::fromLatin1(c.name);
        QFile ext(dir + "/" + name + ".ext");
        if (!ext.open(QIODevice::WriteOnly) || ext.write(c.san.toLatin1() + "\n") < 0)
            return false;
        ext.close();
        if (!openssl(dir, QStringList{"req"} + newKey
                              + QStringList{"-keyout", name + ".key", "-out", name + ".csr",
                                            "-subj", "/CN=" + name})
            || !openssl(dir, {"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey",
                              "ca.key", "-CAcreateserial", "-days", c.days, "-extfile",
                              name + ".ext", "-out", name + ".pem"}))
            return false;
    }
    return openssl(dir, {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                         "-aes256", "-pass", "pass:" + Passphrase, "-out", "locked.key"})
        && openssl(dir, {"req", "-new", "-key", "locked.key", "-passin", "pass:" + Passphrase,
                         "-subj", "/CN=locked", "-out", "locked.csr"})
        && openssl(dir, {"x509", "-req", "-in", "locked.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                         "-CAcreateserial", "-days", "2", "-extfile", "good.ext", "-out",
                         "locked.pem"});
}

// The SHA-256 of the certificate in a PEM file, "AB:CD:..."; empty if none.
inline QString certificateFingerprint(const QString& file)
{
    QString text;
    if (std::FILE* f = std::fopen(file.toLocal8Bit().constData(), "rb")) {
        X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (cert && X509_digest(cert, EVP_sha256(), digest, &length))
            text = QByteArray(reinterpret_cast<char*>(digest), length).toHex(':').toUpper();
        X509_free(cert);
        std::fclose(f);
    }
    return text;
}

// One TLS end over a connected loopback socket.
class Peer {
public:
    Peer() = default;

    // A server end with cert and key, requiring a client certificate from
    // clientAuthority when one is named; or a client end that checks nothing.
    static Peer server(testpeer::Peer tcp, const QString& cert, const QString& key,
                       const QString& clientAuthority = {})
    {
        Peer p(std::move(tcp), SSL_CTX_new(TLS_server_method()));
        if (!clientAuthority.isEmpty()) {
            SSL_CTX_load_verify_locations(p.m_context.get(),
                                          clientAuthority.toLocal8Bit().constData(), nullptr);
            SSL_CTX_set_verify(p.m_context.get(),
                               SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
        SSL_CTX_use_certificate_chain_file(p.m_context.get(), cert.toLocal8Bit().constData());
        SSL_CTX_use_PrivateKey_file(p.m_context.get(), key.toLocal8Bit().constData(), SSL_FILETYPE_PEM);
        p.m_ssl.reset(SSL_new(p.m_context.get()));
        SSL_set_fd(p.m_ssl.get(), p.m_tcp.fd());
        SSL_set_accept_state(p.m_ssl.get());
        return p;
    }
    static Peer client(testpeer::Peer tcp)
    {
        Peer p(std::move(tcp), SSL_CTX_new(TLS_client_method()));
        p.m_ssl.reset(SSL_new(p.m_context.get()));
        SSL_set_fd(p.m_ssl.get(), p.m_tcp.fd());
        SSL_set_connect_state(p.m_ssl.get());
        return p;
    }

    bool handshake() { return SSL_do_handshake(m_ssl.get()) == 1; }
    // One record of at most 16384 bytes per write call of the library.
    bool write(const QByteArray& bytes)
    {
        size_t n = 0;
        return SSL_write_ex(m_ssl.get(), bytes.constData(), size_t(bytes.size()), &n) == 1
            && n == size_t(bytes.size());
    }
    // Up to count plain bytes, until count have come or a read times out.
    QByteArray read(qsizetype count)
    {
        QByteArray bytes(count, '\0');
        qsizetype got = 0;
        size_t n = 0;
        while (got < count && SSL_read_ex(m_ssl.get(), bytes.data() + got, size_t(count - got), &n) == 1)
            got += qsizetype(n);
        bytes.truncate(got);
        return bytes;
    }
    void closeNotify() { SSL_shutdown(m_ssl.get()); }
    // The other end closed TLS with close_notify: the next read ends so,
    // rather than at a bare end of the connection.
    bool sawCloseNotify()
    {
        char c;
        size_t n = 0;
        const int r = SSL_read_ex(m_ssl.get(), &c, 1, &n);
        return r == 0 && SSL_get_error(m_ssl.get(), r) == SSL_ERROR_ZERO_RETURN;
    }
    // Server end: the name the client's hello asked for (SNI); empty when none.
    QString serverName() const
    {
        return QString::fromUtf8(SSL_get_servername(m_ssl.get(), TLSEXT_NAMETYPE_host_name));
    }
    // The other end's certificate names itself as its issuer and is signed
    // by its own key.
    bool peerSelfSigned() const
    {
        X509* cert = SSL_get1_peer_certificate(m_ssl.get());
        const bool self = cert
            && X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(cert)) == 0
            && X509_verify(cert, X509_get0_pubkey(cert)) == 1;
        X509_free(cert);
        return self;
    }
    // Seconds from the other end's certificate's notBefore to its notAfter;
    // -1 without a certificate.
    qint64 peerValidFor() const
    {
        X509* cert = SSL_get1_peer_certificate(m_ssl.get());
        int days = 0, seconds = 0;
        const bool ok = cert
            && ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert));
        X509_free(cert);
        return ok ? qint64(days) * 86400 + seconds : -1;
    }
    bool peerShowedCertificate() const
    {
        X509* cert = SSL_get1_peer_certificate(m_ssl.get());
        X509_free(cert);
        return cert != nullptr;
    }
    testpeer::Peer& tcp() { return m_tcp; }
    // The SHA-256 of the peer's certificate, as the program writes it.
    QString peerFingerprint() const
    {
        X509* cert = SSL_get1_peer_certificate(m_ssl.get());
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        const bool ok = cert && X509_digest(cert, EVP_sha256(), digest, &length);
        X509_free(cert);
        return ok ? QByteArray(reinterpret_cast<char*>(digest), length).toHex(':').toUpper()
                  : QString();
    }

private:
    Peer(testpeer::Peer tcp, SSL_CTX* context) : m_tcp(std::move(tcp)), m_context(context, SSL_CTX_free)
    {
        // Blocking, but never for more than 5 s at a time.
        const timeval limit{5, 0};
        ::setsockopt(m_tcp.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(m_tcp.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }

    testpeer::Peer m_tcp;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_context{nullptr, SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> m_ssl{nullptr, SSL_free};
};

// Accepts one connection on listener and runs the server handshake, on a
// thread of its own while the test goes on (the window's connect waits on
// this very thread).
inline std::future<std::pair<bool, Peer>> serveOnce(testpeer::Listener& listener,
                                                    const QString& cert, const QString& key,
                                                    const QString& clientAuthority = {})
{
    return std::async(std::launch::async, [&listener, cert, key, clientAuthority] {
        Peer p = Peer::server(listener.accept(), cert, key, clientAuthority);
        const bool ok = p.handshake();
        return std::pair{ok, std::move(p)};
    });
}

} // namespace testtls

#include "tlssteps.h"

#include <QFile>

#include <algorithm>

using namespace mWinsock2;

namespace {

std::string fileName(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

QString fromLibrary(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

TlsSteps::TlsSteps(WindowOps& window, StatusLine statusLine)
    : m_window(window), m_statusLine(std::move(statusLine))
{
}

std::unique_ptr<tls::Session> TlsSteps::clientHandshake(SocketHandle s, const QString& host,
                                                        std::chrono::milliseconds timeLimit,
                                                        tls::PeerFacts& facts)
{
    tls::ClientSettings settings;
    settings.host = host.toStdString();
    settings.caFile = fileName(m_settings.caFile);
    if (!m_settings.certFile.isEmpty()) {
        settings.identity = identity(QStringLiteral("TLS cannot start: "));
        if (!settings.identity)
            return nullptr;
        settings.anyCertificate = m_settings.insecure;
    }
    std::string error;
    std::unique_ptr<tls::Session> session = tls::Session::client(s, settings, error);
    if (session && !session->handshake(timeLimit, [this] { return m_window.keepWaiting(); })) {
        error = session->error();
        session.reset();
    }
    if (!session) {
        m_statusLine(QStringLiteral("TLS handshake failed: ") + fromLibrary(error));
        return nullptr;
    }
    facts = session->peer();
    if (facts.verified || m_settings.insecure)
        return session;

    // Nothing of the user's has gone out yet: ask before anything does.
    const QString problem = fromLibrary(facts.problem);
    m_statusLine(QStringLiteral("Certificate not trusted: ") + problem);
    if (facts.hasCertificate)
        m_statusLine(QStringLiteral("SHA-256: ") + fromLibrary(facts.fingerprint));
    QString question = QStringLiteral("The peer's certificate is not trusted: %1.").arg(problem);
    if (facts.hasCertificate) {
        question += QStringLiteral("\n\nSubject: %1\nIssuer: %2\nExpires: %3\nSHA-256: %4")
                        .arg(fromLibrary(facts.subject), fromLibrary(facts.issuer),
                             fromLibrary(facts.expires), fromLibrary(facts.fingerprint));
    }
    if (m_window.askToTrust(question))
        return session;
    session->close();
    return nullptr;
}

void TlsSteps::writeFacts(const tls::PeerFacts& facts, bool asClient)
{
    m_statusLine(QStringLiteral("TLS: %1, %2")
                     .arg(fromLibrary(facts.protocol), fromLibrary(facts.cipher)));
    if (!asClient)
        return;
    if (facts.hasCertificate) {
        m_statusLine(QStringLiteral("Subject: ") + fromLibrary(facts.subject));
        m_statusLine(QStringLiteral("Issuer: ") + fromLibrary(facts.issuer));
        m_statusLine(QStringLiteral("Expires: ") + fromLibrary(facts.expires));
        m_statusLine(QStringLiteral("SHA-256: ") + fromLibrary(facts.fingerprint));
    }
    if (facts.verified)
        m_statusLine(QStringLiteral("Verified: the certificate is trusted and names the host"));
    else
        m_statusLine(QStringLiteral("NOT VERIFIED: %1; going on %2")
                         .arg(fromLibrary(facts.problem),
                              m_settings.insecure ? QStringLiteral("as --insecure asks")
                                                  : QStringLiteral("as the user chose")));
}

const tls::Identity* TlsSteps::identity(const QString& failure)
{
    if (m_identity)
        return m_identity.get();
    std::string error;
    m_identity = m_settings.certFile.isEmpty()
        ? tls::Identity::generate("Pellix", error)
        : tls::Identity::fromFiles(fileName(m_settings.certFile), fileName(m_settings.keyFile),
                                   passphraseSource(), error);
    if (!m_identity)
        m_statusLine(failure + fromLibrary(error));
    return m_identity.get();
}

tls::PassphraseSource TlsSteps::passphraseSource()
{
    return [this](const std::string& file, bool again, std::span<char> buffer) {
        std::optional<QString> answer = m_window.askPassphrase(
            QFile::decodeName(QByteArray::fromStdString(file)), again);
        if (!answer)
            return -1;
        QByteArray bytes = answer->toUtf8();
        answer->fill(QChar(0)); // the one copy left of the dialog's text
        const std::size_t length = std::min(buffer.size(), std::size_t(bytes.size()));
        std::copy_n(bytes.constData(), length, buffer.begin());
        bytes.fill('\0');
        return int(length);
    };
}

void TlsSteps::writeIdentityLine()
{
    if (!m_identity)
        return;
    m_statusLine(QStringLiteral("TLS certificate%1, SHA-256: %2")
                     .arg(m_settings.certFile.isEmpty() ? QStringLiteral(" made for this session")
                                                        : QString(),
                          fromLibrary(m_identity->fingerprint())));
}

bool TlsSteps::startServer(Handshaking& handshaking, std::chrono::milliseconds timeLimit)
{
    std::string error;
    handshaking.deadline = std::chrono::steady_clock::now() + timeLimit;
    handshaking.peer.setSession(
        m_identity ? tls::Session::server(handshaking.peer.socket(), *m_identity, error) : nullptr);
    if (handshaking.peer.isTls())
        return true;
    dropHandshaking(handshaking, fromLibrary(error));
    return false;
}

TlsSteps::Step TlsSteps::serverStep(Handshaking& handshaking, std::chrono::milliseconds timeLimit)
{
    tls::Session& session = *handshaking.peer.session();
    const tls::Session::Progress progress = session.step();
    if (progress == tls::Session::Progress::Done)
        return Step::Done;
    if (progress == tls::Session::Progress::Failed) {
        dropHandshaking(handshaking, fromLibrary(session.error()));
        return Step::Failed;
    }
    if (std::chrono::steady_clock::now() < handshaking.deadline)
        return Step::Waiting;
    dropHandshaking(handshaking, fromLibrary(tls::handshakeTooSlow(timeLimit)));
    return Step::Failed;
}

void TlsSteps::dropHandshaking(Handshaking& handshaking, const QString& reason)
{
    m_statusLine(QStringLiteral("TLS handshake with %1 failed: %2")
                     .arg(handshaking.peer.addressText(), reason));
    handshaking.peer.close();
}

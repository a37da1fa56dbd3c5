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
                                                        quint16 port,
                                                        std::chrono::milliseconds timeLimit,
                                                        Checked& checked)
{
    tls::ClientSettings settings;
    settings.host = (m_settings.serverName.isEmpty() ? host : m_settings.serverName).toStdString();
    settings.caFile = fileName(m_settings.caFile);
    // Pins given for the run replace every other way of trusting a server.
    settings.onlyPinned = !m_settings.pins.isEmpty();
    if (settings.onlyPinned) {
        for (const QString& pin : m_settings.pins)
            settings.pinned.push_back(pin.toStdString());
    } else {
        settings.pinned = m_pinnedHere;
    }
    if (!m_settings.certFile.isEmpty()) {
        settings.identity = identity(QStringLiteral("TLS cannot start: "));
        if (!settings.identity)
            return nullptr;
        settings.anyCertificate = m_settings.insecure && !settings.onlyPinned;
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
    checked.facts = session->peer();
    const tls::PeerFacts& facts = checked.facts;
    const bool pinned = facts.hasCertificate
        && std::find(settings.pinned.begin(), settings.pinned.end(), facts.fingerprint)
            != settings.pinned.end();
    const QString where = host.toLower() + u' ' + QString::number(port);
    const auto accepted = m_accepted.find(where);
    if (pinned) {
        checked.trust = Trust::Pinned;
    } else if (settings.onlyPinned) {
        m_statusLine(QStringLiteral("Certificate refused: its fingerprint is not one pinned "
                                    "with --pin"));
        if (facts.hasCertificate)
            m_statusLine(QStringLiteral("SHA-256: ") + fromLibrary(facts.fingerprint));
        session->close();
        return nullptr;
    } else if (facts.verified) {
        checked.trust = Trust::Verified;
    } else if (m_settings.insecure) {
        checked.trust = Trust::Insecure;
    } else if (facts.hasCertificate && accepted != m_accepted.end()
               && accepted->second == facts.fingerprint) {
        checked.trust = Trust::Accepted; // the same as the user went on with before
    } else if (askToTrust(facts, where)) {
        checked.trust = Trust::Accepted;
    } else {
        session->close();
        return nullptr;
    }
    return session;
}

bool TlsSteps::askToTrust(const tls::PeerFacts& facts, const QString& where)
{
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
    const TrustAnswer answer = m_window.askToTrust(question);
    if (!answer.goOn)
        return false;
    if (facts.hasCertificate) {
        m_accepted[where] = facts.fingerprint;
        if (answer.pin) {
            m_pinnedHere.push_back(facts.fingerprint);
            m_statusLine(QStringLiteral("Pinned for the rest of this run: this certificate is "
                                        "trusted wherever it shows"));
        }
    }
    return true;
}

void TlsSteps::writeCertificate(const tls::PeerFacts& facts)
{
    if (!facts.hasCertificate)
        return;
    m_statusLine(QStringLiteral("Subject: ") + fromLibrary(facts.subject));
    m_statusLine(QStringLiteral("Issuer: ") + fromLibrary(facts.issuer));
    m_statusLine(QStringLiteral("Expires: ") + fromLibrary(facts.expires));
    m_statusLine(QStringLiteral("SHA-256: ") + fromLibrary(facts.fingerprint));
}

void TlsSteps::writeFacts(const Checked& server)
{
    const tls::PeerFacts& facts = server.facts;
    m_statusLine(QStringLiteral("TLS: %1, %2")
                     .arg(fromLibrary(facts.protocol), fromLibrary(facts.cipher)));
    writeCertificate(facts);
    switch (server.trust) {
    case Trust::Verified:
        m_statusLine(QStringLiteral("Verified: the certificate is trusted and names the host"));
        break;
    case Trust::Pinned:
        m_statusLine(QStringLiteral("Trusted by its pinned fingerprint"));
        break;
    case Trust::Accepted:
    case Trust::Insecure:
        m_statusLine(QStringLiteral("NOT VERIFIED: %1; going on %2")
                         .arg(fromLibrary(facts.problem),
                              server.trust == Trust::Insecure ? QStringLiteral("as --insecure asks")
                                                              : QStringLiteral("as the user chose")));
        break;
    }
}

void TlsSteps::writeFacts(const tls::PeerFacts& client)
{
    m_statusLine(QStringLiteral("TLS: %1, %2")
                     .arg(fromLibrary(client.protocol), fromLibrary(client.cipher)));
    // A client shows a certificate only when asked for one, and gets this
    // far only with one that verified.
    writeCertificate(client);
    if (client.hasCertificate && client.verified)
        m_statusLine(QStringLiteral("Verified: the client's certificate is trusted"));
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
    if (m_identity && m_settings.verifyClients
        && !m_identity->askForClientCertificates(fileName(m_settings.caFile), error))
        m_identity.reset();
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
    if (m_settings.verifyClients)
        m_statusLine(QStringLiteral("TLS clients must show a certificate from an authority of ")
                     + m_settings.caFile);
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

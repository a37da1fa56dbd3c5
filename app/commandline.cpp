#include "commandline.h"

#include "proxy.h"
#include "tlssession.h"

#include <QFile>

#include <algorithm>

namespace {

// A value as the user gave it, quoted, with control characters written as
// \xNN so that an error message stays on one line.
QString quoted(const QString& value)
{
    QString out = QStringLiteral("'");
    for (const QChar c : value) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + u'\'';
}

CommandLine usageError(const QString& what)
{
    CommandLine result;
    result.action = CommandLine::Action::UsageError;
    result.text = QStringLiteral("pellix: ") + what + QStringLiteral("; try 'pellix --help'\n");
    return result;
}

CommandLine print(CommandLine::Action action, const QString& text)
{
    CommandLine result;
    result.action = action;
    result.text = text;
    return result;
}

bool isListen(const QString& option)
{
    return option == u"-l" || option == u"--listen";
}

bool takesPort(const QString& option)
{
    return isListen(option) || option == u"--relay";
}

QString notAPort(const QString& value, const QString& option)
{
    return quoted(value) + QStringLiteral(" is not a port")
           + (option.isEmpty() ? QString() : QStringLiteral(" for ") + option)
           + QStringLiteral(" (a whole number from 1 to 65535)");
}

// A SHA-256 fingerprint in any case, colons optional, as the transcript
// writes it ("AB:CD:..."); empty when text is not one.
QString fingerprintArgument(const QString& text)
{
    QString digits = text;
    digits.remove(u':');
    if (digits.size() != 64
        || !std::all_of(digits.cbegin(), digits.cend(), [](QChar c) {
               const QChar lower = c.toLower();
               return (c >= u'0' && c <= u'9') || (lower >= u'a' && lower <= u'f');
           }))
        return {};
    QString written;
    for (qsizetype i = 0; i < digits.size(); i += 2)
        written += (i ? QStringLiteral(":") : QString()) + digits.mid(i, 2).toUpper();
    return written;
}

} // namespace

std::optional<quint16> parsePortArgument(const QString& text)
{
    if (text.isEmpty())
        return std::nullopt;
    quint32 value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > 65535) // checked at each digit: no overflow however long
            return std::nullopt;
    }
    if (value == 0)
        return std::nullopt;
    return quint16(value);
}

QString helpText()
{
    return QStringLiteral(
        "Usage: pellix [OPTIONS] [HOST [PORT]]\n"
        "Exchange plain text with one peer over one TCP connection, in a window.\n"
        "\n"
        "  HOST [PORT]          connect to HOST (a name, an IPv4 or an IPv6 address)\n"
        "                       on PORT once the window is shown; without PORT, the\n"
        "                       port in the remote port box\n"
        "  -l, --listen PORT    listen on the local PORT once the window is shown\n"
        "      --relay LOCALPORT HOST PORT\n"
        "                       relay: listen on LOCALPORT and pass each client, one\n"
        "                       at a time, on to HOST PORT, showing both directions\n"
        "  -o, --output FILE    append the transcript to FILE from start-up on\n"
        "      --capture FILE   write the session to FILE from start-up on as a capture\n"
        "                       that Wireshark opens (pcapng), replacing FILE\n"
        "      --messages FILE  open the saved messages of FILE (TOML): their keys\n"
        "                       work at once, their rules answer what arrives, and\n"
        "                       the on_connect ones go on connecting\n"
        "      --tls            connect or listen over TLS (the TLS box ticked); in a\n"
        "                       relay, TLS on both legs\n"
        "      --tls-listen     in a relay, TLS to the clients only (else as --tls)\n"
        "      --tls-connect    in a relay, TLS to the server only (else as --tls)\n"
        "      --relay-raw      in a relay, pass a client's own TLS (a ClientHello at\n"
        "                       the start or after STARTTLS) through as bytes instead\n"
        "                       of taking it up with TLS on both legs\n"
        "      --proxy URL      connect (and a relay's server leg) through a proxy:\n"
        "                       socks5://[USER:PASS@]HOST:PORT (the proxy resolves\n"
        "                       the host's name) or http://[USER:PASS@]HOST:PORT\n"
        "                       (HTTP CONNECT); TLS still checks the host's name\n"
        "      --ca-file FILE   trust the authorities in FILE (PEM) instead of the\n"
        "                       system's\n"
        "  -k, --insecure       go on with any certificate; the transcript says the\n"
        "                       peer is not verified\n"
        "      --pin SHA256     trust the certificate with this SHA-256 fingerprint (as\n"
        "                       the transcript shows it, colons optional), whatever its\n"
        "                       issuer or name, and refuse every other; repeatable\n"
        "      --servername NAME\n"
        "                       send NAME as the server's name (SNI) and check the\n"
        "                       certificate against it instead of the host as typed\n"
        "      --verify-clients with --tls --listen or a relay's TLS to its clients:\n"
        "                       take only clients showing a certificate that verifies\n"
        "                       against the authorities of --ca-file\n"
        "      --cert FILE      our certificate (PEM): for a server that asks for\n"
        "                       one, and for --tls --listen (default: one made at start)\n"
        "      --key FILE       the key of --cert (PEM); one locked by a passphrase is\n"
        "                       unlocked in a dialog of the window, never on a terminal\n"
        "      --encoding ENC   read the transcript's bytes as latin-1 (the default)\n"
        "                       or utf-8\n"
        "      --hex            show the transcript in hex rows\n"
        "      --reconnect      when the connection to HOST ends without Disconnect\n"
        "                       (the peer's close, a reset, a failed send), connect\n"
        "                       again after 1 s, 2, 4 ... up to 30 s between tries\n"
        "      --eol END        what Enter and each line break of the send box send:\n"
        "                       crlf (the default), lf, cr or none\n"
        "      --timestamps[=WHEN]\n"
        "                       show each row's time in a gutter at its left: WHEN is\n"
        "                       absolute (the time of day, the default), delta (since\n"
        "                       the run of bytes before) or since-connect\n"
        "  -h, --help           print this help and exit\n"
        "  -v, --version        print the version and exit\n"
        "\n"
        "A PORT is a whole number from 1 to 65535. HOST and --listen exclude each other.\n"
        "A relay's server leg is verified as a connect is (--ca-file, --insecure); its\n"
        "client leg serves --cert and --key, or a certificate made at start.\n"
        "Exit status: 0 when the window is closed, 1 when the network cannot be started,\n"
        "2 for a usage error, or a file of --cert, --key, --ca-file, --output,\n"
        "--capture or --messages that cannot be used (missing, unreadable, not PEM, a\n"
        "key not of its certificate, messages that do not parse).\n"
        "\n"
        "Examples:\n"
        "  pellix example.org 80     connect to port 80 of example.org\n"
        "  pellix -l 2323 -o s.log   wait for a peer on port 2323, keep the session\n"
        "  pellix --tls example.org 443   HTTPS: type GET / HTTP/1.0 and Enter twice\n"
        "  pellix --hex host 502     look at a binary protocol byte by byte\n"
        "  pellix --capture s.pcapng host 1883   then: wireshark s.pcapng\n"
        "  pellix --proxy socks5://127.0.0.1:1080 example.org 80\n"
        "                            connect through a SOCKS5 proxy (ssh -D 1080)\n"
        "  pellix --relay 8080 example.org 80   watch an HTTP client: point it at\n"
        "                            localhost:8080\n"
        "\n"
        "The manual page pellix(1) tells what each key sends.\n");
}

CommandLine parseCommandLine(const QStringList& arguments, const QString& versionLine)
{
    CommandLine result;
    StartupRequest& request = result.request;
    QStringList operands;
    bool optionsEnded = false;

    // Takes the value of an option that needs one; an error message otherwise.
    auto apply = [&request](const QString& option, const QString& value) -> QString {
        if (isListen(option)) {
            request.listenPort = parsePortArgument(value);
            return request.listenPort ? QString() : notAPort(value, option);
        }
        if (option == u"--relay") {
            request.relayPort = parsePortArgument(value);
            return request.relayPort ? QString() : notAPort(value, option);
        }
        if (option == u"--encoding") {
            const QString name = value.toLower();
            if (name != u"latin-1" && name != u"utf-8")
                return quoted(value) + QStringLiteral(" is not an encoding (latin-1 or utf-8)");
            request.utf8 = name == u"utf-8";
            return {};
        }
        if (option == u"--eol") {
            const QString name = value.toLower();
            static const QStringList ends = {QStringLiteral("crlf"), QStringLiteral("lf"),
                                             QStringLiteral("cr"), QStringLiteral("none")};
            if (!ends.contains(name))
                return quoted(value) + QStringLiteral(" is not a line end (crlf, lf, cr or none)");
            request.eol = name;
            return {};
        }
        if (option == u"--pin") {
            const QString pin = fingerprintArgument(value);
            if (pin.isEmpty())
                return quoted(value) + QStringLiteral(" is not a SHA-256 fingerprint (64 hex "
                                                      "digits, colons optional)");
            request.pins.append(pin);
            return {};
        }
        if (option == u"--servername") {
            if (value.isEmpty())
                return QStringLiteral("option '--servername' needs a name");
            request.serverName = value;
            return {};
        }
        if (option == u"--proxy") {
            // The reason never quotes the URL: it may hold a password.
            QString why;
            if (!ProxySettings::parse(value, &why))
                return QStringLiteral("--proxy: ") + why;
            request.proxy = value;
            return {};
        }
        if (value.isEmpty())
            return QStringLiteral("option '%1' needs a file name").arg(option);
        if (option == u"--ca-file")
            request.caFile = value;
        else if (option == u"--cert")
            request.certFile = value;
        else if (option == u"--key")
            request.keyFile = value;
        else if (option == u"--capture")
            request.captureFile = value;
        else if (option == u"--messages")
            request.messagesFile = value;
        else
            request.outputFile = value;
        return {};
    };
    auto missing = [](const QString& option) {
        return usageError(QStringLiteral("option '%1' needs %2")
                              .arg(option, takesPort(option)         ? QStringLiteral("a port")
                                           : option == u"--encoding" ? QStringLiteral("an encoding")
                                           : option == u"--eol"      ? QStringLiteral("a line end")
                                           : option == u"--pin"      ? QStringLiteral("a fingerprint")
                                           : option == u"--servername" ? QStringLiteral("a name")
                                           : option == u"--proxy"    ? QStringLiteral("a URL")
                                                                     : QStringLiteral("a file name")));
    };

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (optionsEnded || arg == u"-" || !arg.startsWith(u'-')) {
            operands.append(arg);
            continue;
        }
        if (arg == u"--") {
            optionsEnded = true;
            continue;
        }
        if (arg.startsWith(u"--")) {
            const qsizetype equals = arg.indexOf(u'=');
            const QString name = equals < 0 ? arg : arg.left(equals);
            static const QStringList flags = {
                QStringLiteral("--hex"), QStringLiteral("--tls"), QStringLiteral("--insecure"),
                QStringLiteral("--tls-listen"), QStringLiteral("--tls-connect"),
                QStringLiteral("--relay-raw"), QStringLiteral("--verify-clients"),
                QStringLiteral("--reconnect")};
            if (flags.contains(name)) {
                if (equals >= 0)
                    return usageError(QStringLiteral("option '%1' takes no value").arg(name));
                bool* flag[] = {&request.hex, &request.tls, &request.insecure, &request.tlsListen,
                                &request.tlsConnect, &request.relayRaw, &request.verifyClients,
                                &request.reconnect};
                *flag[flags.indexOf(name)] = true;
                continue;
            }
            if (name == u"--timestamps") {
                using T = StartupRequest::Timestamps;
                const QString when = equals < 0 ? QStringLiteral("absolute") : arg.mid(equals + 1);
                if (when == u"absolute")
                    request.timestamps = T::TimeOfDay;
                else if (when == u"delta")
                    request.timestamps = T::SincePrevious;
                else if (when == u"since-connect")
                    request.timestamps = T::SinceConnected;
                else
                    return usageError(quoted(when) + QStringLiteral(
                        " is not a timestamp kind (absolute, delta or since-connect)"));
                continue;
            }
            if (name == u"--help" || name == u"--version") {
                if (equals >= 0)
                    return usageError(QStringLiteral("option '%1' takes no value").arg(name));
                return name == u"--help" ? print(CommandLine::Action::PrintHelp, helpText())
                                         : print(CommandLine::Action::PrintVersion,
                                                 versionLine + u'\n');
            }
            static const QStringList withValue = {
                QStringLiteral("--listen"), QStringLiteral("--relay"), QStringLiteral("--output"),
                QStringLiteral("--encoding"), QStringLiteral("--ca-file"), QStringLiteral("--cert"),
                QStringLiteral("--key"), QStringLiteral("--capture"), QStringLiteral("--eol"),
                QStringLiteral("--pin"), QStringLiteral("--servername"),
                QStringLiteral("--proxy"), QStringLiteral("--messages")};
            if (!withValue.contains(name))
                return usageError(QStringLiteral("unknown option ") + quoted(name));
            QString value;
            if (equals >= 0)
                value = arg.mid(equals + 1);
            else if (i + 1 < arguments.size())
                value = arguments.at(++i);
            else
                return missing(name);
            if (const QString error = apply(name, value); !error.isEmpty())
                return usageError(error);
            continue;
        }
        // One or more short options: "-h", "-vh", "-l 1234", "-l1234".
        for (qsizetype k = 1; k < arg.size(); ++k) {
            const QChar c = arg.at(k);
            if (c == u'h')
                return print(CommandLine::Action::PrintHelp, helpText());
            if (c == u'v')
                return print(CommandLine::Action::PrintVersion, versionLine + u'\n');
            if (c == u'k') {
                request.insecure = true;
                continue;
            }
            if (c != u'l' && c != u'o')
                return usageError(QStringLiteral("unknown option ") + quoted(QStringLiteral("-") + c));
            const QString option = QStringLiteral("-") + c;
            QString value = arg.mid(k + 1);
            if (value.isEmpty()) {
                if (i + 1 >= arguments.size())
                    return missing(option);
                value = arguments.at(++i);
            }
            if (const QString error = apply(option, value); !error.isEmpty())
                return usageError(error);
            break;
        }
    }

    if (request.certFile.isEmpty() != request.keyFile.isEmpty())
        return usageError(QStringLiteral("--cert and --key go together"));
    if (request.verifyClients && request.caFile.isEmpty())
        return usageError(QStringLiteral("--verify-clients needs --ca-file, the authorities "
                                         "that clients' certificates must lead to"));
    if (!request.pins.isEmpty() && request.insecure)
        return usageError(QStringLiteral("--pin and --insecure exclude each other"));
    if (operands.size() > 2)
        return usageError(QStringLiteral("unexpected argument ") + quoted(operands.at(2)));
    if (request.relayPort) {
        if (request.listenPort)
            return usageError(QStringLiteral("--relay and --listen exclude each other"));
        if (operands.size() < 2)
            return usageError(QStringLiteral("--relay needs the server's HOST and PORT after "
                                             "LOCALPORT"));
    }
    if (!operands.isEmpty()) {
        if (operands.at(0).isEmpty())
            return usageError(QStringLiteral("empty host name"));
        if (request.listenPort)
            return usageError(QStringLiteral("connect to %1 or listen with --listen, not both")
                                  .arg(quoted(operands.at(0))));
        request.host = operands.at(0);
    }
    if (operands.size() == 2) {
        request.port = parsePortArgument(operands.at(1));
        if (!request.port)
            return usageError(notAPort(operands.at(1), QString()));
    }
    return result;
}

QString checkStartupFiles(const StartupRequest& request)
{
    const auto name = [](const QString& path) { return QFile::encodeName(path).toStdString(); };
    const std::string problem =
        tls::checkFiles(name(request.caFile), name(request.certFile), name(request.keyFile));
    if (problem.empty())
        return {};
    return QStringLiteral("pellix: ") + QString::fromLocal8Bit(problem.data(), qsizetype(problem.size()))
           + u'\n';
}

QString missingDisplay([[maybe_unused]] const QProcessEnvironment& environment)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return {};
#else
    // Qt takes the first platform of the list that starts: "name:options;...".
    const QString chosen = environment.value(QStringLiteral("QT_QPA_PLATFORM"));
    for (const QString& entry : chosen.split(u';', Qt::SkipEmptyParts)) {
        const QString name = entry.section(u':', 0, 0).trimmed();
        if (!name.isEmpty() && name != u"xcb" && !name.startsWith(u"wayland"))
            return {}; // offscreen, minimal, vnc, a framebuffer: no display needed
    }
    if (!environment.value(QStringLiteral("DISPLAY")).isEmpty()
        || !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        return {};
    return QStringLiteral("pellix: no display: DISPLAY and WAYLAND_DISPLAY are unset; start it in a "
                          "desktop session, or on a virtual X server: xvfb-run pellix\n");
#endif
}

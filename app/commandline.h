#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

// What `pellix [OPTIONS] [HOST [PORT]]` asks the window to do at start-up.
struct StartupRequest {
    QString host;                     // empty: no connect at start-up
    std::optional<quint16> port;      // none: what the remote port box holds
    std::optional<quint16> listenPort; // set: listen on this local port
    std::optional<quint16> relayPort;  // set: relay clients of this local port to host, port
    QString outputFile;               // empty: no transcript log
    QString captureFile;              // empty: no capture written live
    QString messagesFile;             // empty: no saved messages at start-up
    bool tls = false;                 // Connect and Listen over TLS
    bool tlsListen = false;           // a relay's clients over TLS (else as --tls)
    bool tlsConnect = false;          // a relay's server over TLS (else as --tls)
    bool relayRaw = false;            // a client's own TLS passed through as bytes
    bool insecure = false;            // any certificate, said so in the transcript
    QString caFile;                   // the authorities to trust; empty: the system's
    QString certFile, keyFile;        // our certificate and key; both or neither
    bool utf8 = false;                // --encoding utf-8: read the bytes as UTF-8
    bool hex = false;                 // --hex: the transcript in hex rows
    QString eol = QStringLiteral("crlf"); // --eol: crlf, lf, cr or none, in lower case
    // --timestamps[=WHEN]: the gutter of times, and what it counts from.
    enum class Timestamps { Off, TimeOfDay, SincePrevious, SinceConnected };
    Timestamps timestamps = Timestamps::Off;
};

// The outcome of reading the command line: run the window, or print text and
// exit without ever touching a display.
struct CommandLine {
    enum class Action {
        Run,        // build the window with request
        PrintHelp,  // text to standard output, exit status 0
        PrintVersion,
        UsageError, // text (one line) to standard error, exit status 2
    };
    Action action = Action::Run;
    QString text; // with its final line break
    StartupRequest request;

    int exitStatus() const { return action == Action::UsageError ? 2 : 0; }
};

// Reads the arguments that follow the program name. versionLine is what
// --version prints (the banner's line). Options may come before or after the
// operands, as GNU tools take them; "--" ends the options; a long option's
// value may follow '=' and a short option's may be attached ("-l1234").
CommandLine parseCommandLine(const QStringList& arguments, const QString& versionLine);

// Whether the files the request names can be used: the TLS files readable
// and what they should be (a key locked by a passphrase is matched to its
// certificate once the window has unlocked it). The one line (with its line
// break) naming the file and why, that the program prints before it exits
// with status 2; empty when they can.
QString checkStartupFiles(const StartupRequest& request);

// A command-line port: a whole decimal number from 1 to 65535, digits only.
std::optional<quint16> parsePortArgument(const QString& text);

// The usage text that --help prints.
QString helpText();

// Why no window can be shown with this environment, as the one line (with its
// line break) that the program prints before it exits with status 1; empty
// when a display can be had, or when Qt is asked for a platform that needs
// none (offscreen, vnc, a framebuffer). Always empty on Windows and macOS.
QString missingDisplay(const QProcessEnvironment& environment);

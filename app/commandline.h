#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What `pellix [OPTIONS] [HOST [PORT]]` asks the window to do at start-up.
struct StartupRequest {
    QString host;                     // empty: no connect at start-up
    std::optional<quint16> port;      // none: what the remote port box holds
    std::optional<quint16> listenPort; // set: listen on this local port
    QString outputFile;               // empty: no transcript log
    bool utf8 = false;                // --encoding utf-8: read the bytes as UTF-8
    bool hex = false;                 // --hex: the transcript in hex rows
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

// A command-line port: a whole decimal number from 1 to 65535, digits only.
std::optional<quint16> parsePortArgument(const QString& text);

// The usage text that --help prints.
QString helpText();

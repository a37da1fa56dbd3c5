#include "commandline.h"
#include "frmpellix.h"
#include "messagefile.h"
#include "messagelist.h"
#include "transcriptcapture.h"
#include "transcriptlog.h"
#include "transcriptview.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <cstdio>

namespace {

void write(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

void cannotOpen(const QString& path, const QString& what, const QString& reason)
{
    write(stderr, QStringLiteral("pellix: cannot open '%1' for the %2: %3\n").arg(path, what, reason));
}

} // namespace

int main(int argc, char* argv[])
{
    // Everything that can end the program without a window is settled before
    // QApplication exists: with no display, constructing it aborts.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine commandLine = parseCommandLine(arguments, frmPellix::BannerLine());
    if (commandLine.action != CommandLine::Action::Run) {
        write(commandLine.action == CommandLine::Action::UsageError ? stderr : stdout,
              commandLine.text);
        return commandLine.exitStatus();
    }
    const StartupRequest& request = commandLine.request;
    // The TLS files before the output file, which a failed start would leave.
    if (const QString problem = checkStartupFiles(request); !problem.isEmpty()) {
        write(stderr, problem);
        return 2;
    }

    // The messages as the TLS files: read whole before any window, or one line
    // naming the file, the line and why.
    MessageFile messages;
    if (!request.messagesFile.isEmpty()) {
        messages = readMessageFile(request.messagesFile);
        if (!messages.ok()) {
            write(stderr, QStringLiteral("pellix: cannot use the messages of %1\n")
                              .arg(messages.describe(request.messagesFile)));
            return 2;
        }
    }

    std::unique_ptr<TranscriptLog> log;
    const bool logExisted = QFileInfo::exists(request.outputFile);
    if (!request.outputFile.isEmpty()) {
        QString reason;
        log = TranscriptLog::open(request.outputFile, &reason);
        if (!log) {
            cannotOpen(request.outputFile, QStringLiteral("transcript"), reason);
            return 2;
        }
    }

    // Opened as the log is, so that its errors come first too, but emptied
    // only once there is a window to write it: what it held stays till then.
    std::unique_ptr<TranscriptLog> captureFile;
    const bool captureExisted = QFileInfo::exists(request.captureFile);
    // The files this start created go again when it ends before the window.
    const auto dropCreatedFiles = [&] {
        if (log && !logExisted) {
            log.reset();
            QFile::remove(request.outputFile);
        }
        if (captureFile && !captureExisted) {
            captureFile.reset();
            QFile::remove(request.captureFile);
        }
    };
    if (!request.captureFile.isEmpty()) {
        QString reason;
        captureFile = TranscriptLog::open(request.captureFile, &reason);
        if (!captureFile) {
            cannotOpen(request.captureFile, QStringLiteral("capture"), reason);
            dropCreatedFiles();
            return 2;
        }
    }

    // Checked after the output files, whose errors are the user's to mend
    // first.
    const QString noDisplay = missingDisplay(QProcessEnvironment::systemEnvironment());
    if (!noDisplay.isEmpty()) {
        write(stderr, noDisplay);
        dropCreatedFiles();
        return 1;
    }

    // Qt sees only the program's name: its own options (-platform, -style, ...)
    // are not this program's command line, and an operand given after "--"
    // must never be taken for one.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Pellix"));
    QApplication::setApplicationVersion(QStringLiteral(PELLIX_VERSION));
    // Lets Wayland desktops match the window to its desktop entry and icon.
    QApplication::setDesktopFileName(QStringLiteral("org.example.Pellix"));

    frmPellix window;
    // Outside a relay --tls-listen and --tls-connect mean --tls; in one each
    // names its own leg.
    window.chkTls->setChecked(request.tls || request.tlsListen || request.tlsConnect);
    window.actTlsToClient->setChecked(request.tls || request.tlsListen || !request.tlsConnect);
    window.actTlsToServer->setChecked(request.tls || request.tlsConnect || !request.tlsListen);
    window.actTakeUpTls->setChecked(!request.relayRaw);
    window.connection().setTlsSettings(
        {request.caFile, request.certFile, request.keyFile, request.insecure});
    window.messages->setMessages(messages.messages);
    if (log)
        window.startLog(std::move(log)); // the banner line first
    if (captureFile) {
        QString reason;
        std::unique_ptr<TranscriptCapture> capture =
            TranscriptCapture::over(std::move(captureFile), &reason);
        if (!capture) {
            cannotOpen(request.captureFile, QStringLiteral("capture"), reason);
            return 2;
        }
        window.startCapture(std::move(capture));
    }
    if (!request.host.isEmpty()) {
        window.txtHostConn->setText(request.host);
        if (request.port)
            window.txtPortConn->setText(QString::number(*request.port));
    }
    if (request.listenPort)
        window.txtPort->setText(QString::number(*request.listenPort));
    if (request.relayPort)
        window.txtPort->setText(QString::number(*request.relayPort));
    window.txtDati->setEncoding(request.utf8 ? TextEncoding::Utf8 : TextEncoding::Latin1);
    window.txtDati->setHexView(request.hex);
    window.setLineEnd(lineEndFromName(request.eol).value_or(LineEnd::CrLf));
    using T = StartupRequest::Timestamps;
    switch (request.timestamps) {
    case T::Off: break;
    case T::TimeOfDay: window.txtDati->setTimestampMode(TimestampMode::TimeOfDay); break;
    case T::SincePrevious: window.txtDati->setTimestampMode(TimestampMode::SincePrevious); break;
    case T::SinceConnected: window.txtDati->setTimestampMode(TimestampMode::SinceConnected); break;
    }
    window.show();

    // Pressed once the window is shown, as the user would press it: what a
    // click does on success or failure, the command line does too.
    if (request.relayPort)
        QTimer::singleShot(0, window.cmdRelay, &QToolButton::click);
    else if (!request.host.isEmpty())
        QTimer::singleShot(0, window.cmdConnetti, &QPushButton::click);
    else if (request.listenPort)
        QTimer::singleShot(0, window.cmdStartListen, &QPushButton::click);
    return app.exec();
}

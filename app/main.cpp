#include "commandline.h"
#include "frmpellix.h"
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

    std::unique_ptr<TranscriptLog> log;
    const bool logExisted = QFileInfo::exists(request.outputFile);
    if (!request.outputFile.isEmpty()) {
        QString reason;
        log = TranscriptLog::open(request.outputFile, &reason);
        if (!log) {
            write(stderr, QStringLiteral("pellix: cannot open '%1' for the transcript: %2\n")
                              .arg(request.outputFile, reason));
            return 2;
        }
    }

    // Checked after the output file, whose errors are the user's to mend
    // first; a log file that this start created goes again.
    const QString noDisplay = missingDisplay(QProcessEnvironment::systemEnvironment());
    if (!noDisplay.isEmpty()) {
        write(stderr, noDisplay);
        if (log && !logExisted) {
            log.reset();
            QFile::remove(request.outputFile);
        }
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
    if (log)
        window.startLog(std::move(log)); // the banner line first
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

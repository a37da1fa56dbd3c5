#include "frmpellix.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pellix"));
    QApplication::setApplicationVersion(QStringLiteral(PELLIX_VERSION));
    // Lets Wayland desktops match the window to its desktop entry and icon.
    QApplication::setDesktopFileName(QStringLiteral("org.example.Pellix"));

    frmPellix window;
    window.show();
    return app.exec();
}

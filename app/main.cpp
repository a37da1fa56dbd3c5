#include "frmpellix.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pellix"));
    QApplication::setApplicationVersion(QStringLiteral(PELLIX_VERSION));

    frmPellix window;
    window.show();
    return app.exec();
}

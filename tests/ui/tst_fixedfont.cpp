// The transcript's font on a system that answers the request for "Fixedsys"
// with a face whose characters are not all one width: a fontconfig
// configuration of this test's own, in force before the application exists,
// maps that family to DejaVu Sans.

#include "fixedfont.h"

#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray FontConfig = R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <match target="pattern">
    <test name="family"><string>Fixedsys</string></test>
    <edit name="family" mode="assign" binding="strong"><string>DejaVu Sans</string></edit>
  </match>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
</fontconfig>
)";

} // namespace

class tst_FixedFont : public QObject {
    Q_OBJECT

private slots:
    void proportionalAnswerIsReplaced();
};

void tst_FixedFont::proportionalAnswerIsReplaced()
{
    // The request as the transcript makes it comes back proportional here;
    // otherwise this test would prove nothing.
    QFont asked(QStringLiteral("Fixedsys"), 9);
    asked.setStyleHint(QFont::TypeWriter);
    asked.setFixedPitch(true);
    QCOMPARE(QFontInfo(asked).family(), QStringLiteral("DejaVu Sans"));
    QVERIFY(!hasEqualAdvances(asked));

    const QFont font = transcriptFont();
    QVERIFY2(hasEqualAdvances(font), qPrintable(QFontInfo(font).family()));
    QCOMPARE(QFontInfo(font).pointSize(), 9);
}

int main(int argc, char* argv[])
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("fonts.conf"));
    QFile file(config);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(FontConfig) != FontConfig.size())
        qFatal("cannot write %s", qPrintable(config));
    file.close();
    qputenv("FONTCONFIG_FILE", QFile::encodeName(config));

    QGuiApplication app(argc, argv);
    tst_FixedFont test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fixedfont.moc"

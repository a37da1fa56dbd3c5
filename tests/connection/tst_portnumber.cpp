#include "portnumber.h"

#include <QLocale>
#include <QTest>

#include <optional>

class tst_PortNumber : public QObject {
    Q_OBJECT

private slots:
    void readNumber_data();
    void readNumber();
    void portFromText_data();
    void portFromText();
    void decimalPointIgnoresLocale();
};

void tst_PortNumber::readNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("digits") << "1234" << 1234.0;
    QTest::newRow("blank inside") << "8 0" << 80.0;
    QTest::newRow("tabs and line feeds") << "\t1\n2 3" << 123.0;
    QTest::newRow("carriage return stops") << "1\r2" << 1.0;
    QTest::newRow("digits then letters") << "12ab" << 12.0;
    QTest::newRow("plus") << "+7" << 7.0;
    QTest::newRow("minus") << "-1" << -1.0;
    QTest::newRow("two signs") << "--1" << 0.0;
    QTest::newRow("sign alone") << "-" << 0.0;
    QTest::newRow("decimal") << "1234.5" << 1234.5;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("point alone") << "." << 0.0;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("second point stops") << "1.2.3" << 1.2;
    QTest::newRow("exponent") << "1e3" << 1000.0;
    QTest::newRow("exponent D") << "2D2" << 200.0;
    QTest::newRow("negative exponent") << "15E-1" << 1.5;
    QTest::newRow("bare exponent letter") << "12e" << 12.0;
    QTest::newRow("exponent sign only") << "12e+" << 12.0;
    QTest::newRow("tiny") << "1e-400" << 0.0;
    QTest::newRow("tiny, many leading zeros") << "0." + QString(400, u'0') + "1" << 0.0;
    QTest::newRow("hex") << "&H1F" << 31.0;
    QTest::newRow("hex lower case") << "&hff" << 255.0;
    QTest::newRow("hex 16-bit wraps") << "&HFFFF" << -1.0;
    QTest::newRow("hex 32-bit") << "&H10000" << 65536.0;
    QTest::newRow("hex 32-bit wraps") << "&HFFFFFFFF" << -1.0;
    QTest::newRow("hex stops at non-digit") << "&H1G" << 1.0;
    QTest::newRow("hex no digits") << "&H" << 0.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("octal stops at 8") << "&O18" << 1.0;
    QTest::newRow("ampersand alone") << "&12" << 0.0;
    QTest::newRow("blanks inside hex") << "& H 1 0" << 16.0;
    QTest::newRow("fullwidth digits are not digits") << QString::fromUtf8("\xEF\xBC\x91") << 0.0;
}

void tst_PortNumber::readNumber()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    const std::optional<double> read = ReadNumber(text);
    QVERIFY(read.has_value());
    QCOMPARE(*read, value);
}

void tst_PortNumber::portFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port"); // -1: the action does nothing

    QTest::newRow("default") << "1234" << 1234;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blanks only") << "   " << -1;
    QTest::newRow("letters") << "http" << -1;
    QTest::newRow("zero") << "0" << -1;
    QTest::newRow("negative zero") << "-0" << -1;
    QTest::newRow("digits then letters") << "12ab" << 12;
    QTest::newRow("wraps at 65536") << "70000" << 4464;
    QTest::newRow("65536 wraps to 0") << "65536" << 0;
    QTest::newRow("minus one") << "-1" << 65535;
    QTest::newRow("half rounds to even, down") << "1234.5" << 1234;
    QTest::newRow("half rounds to even, up") << "1235.5" << 1236;
    QTest::newRow("just above half") << "1234.51" << 1235;
    QTest::newRow("0.4 passes the zero test") << "0.4" << 0;
    QTest::newRow("0.5 rounds to 0") << "0.5" << 0;
    QTest::newRow("exponent") << "8e1" << 80;
    QTest::newRow("hex") << "&H50" << 80;
    QTest::newRow("hex all ones") << "&HFFFFFFFF" << 65535;
    QTest::newRow("largest int32") << "2147483647" << 65535;
    QTest::newRow("smallest int32") << "-2147483648" << 0;
    QTest::newRow("rounds past int32") << "2147483647.5" << -1;
    QTest::newRow("beyond int32") << "2147483648" << -1;
    QTest::newRow("below int32") << "-2147483649" << -1;
    QTest::newRow("1e10") << "1e10" << -1;
    QTest::newRow("1e309 overflows double") << "1e309" << -1;
    QTest::newRow("1e400") << "1e400" << -1;
    QTest::newRow("long run of digits") << QString(400, u'9') << -1;
    QTest::newRow("huge despite a negative exponent") << "1" + QString(400, u'0') + "e-10" << -1;
    QTest::newRow("huge despite leading zeros") << "0.0001e400" << -1;
    QTest::newRow("hex beyond 32 bits") << "&HFFFFFFFFF" << -1;
    QTest::newRow("octal beyond 32 bits") << "&O77777777777" << -1;
    QTest::newRow("comma") << "1,5" << 1;
    QTest::newRow("two signs") << "--1" << -1;
    QTest::newRow("control characters") << QString::fromLatin1("\x01\x02" "80") << -1;
    QTest::newRow("non-Latin-1") << QString::fromUtf8("\xE2\x82\xAC" "80") << -1;
    QTest::newRow("blank inside") << "8 0" << 80;
}

void tst_PortNumber::portFromText()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    const std::optional<std::uint16_t> read = PortFromText(text);
    if (port < 0) {
        QVERIFY2(!read.has_value(), qPrintable(QString::number(read.value_or(0))));
    } else {
        QVERIFY(read.has_value());
        QCOMPARE(int(*read), port);
    }
}

void tst_PortNumber::decimalPointIgnoresLocale()
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const auto period = PortFromText(u"1235.5");
    const auto comma = PortFromText(u"1235,5");
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(before);
    QCOMPARE(period.value_or(0), std::uint16_t(1236));
    QCOMPARE(comma.value_or(0), std::uint16_t(1235));
}

QTEST_APPLESS_MAIN(tst_PortNumber)
#include "tst_portnumber.moc"

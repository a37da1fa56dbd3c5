#include "fixedfont.h"

#include <QFontDatabase>
#include <QFontMetricsF>

#include <cmath>

namespace {

constexpr int PointSize = 9;

} // namespace

bool hasEqualAdvances(const QFont& font)
{
    const QFontMetricsF metrics(font);
    const qreal cell = metrics.horizontalAdvance(QLatin1Char('M'));
    if (!(cell > 0))
        return false;
    for (char c = ' '; c < 0x7f; ++c)
        if (std::abs(metrics.horizontalAdvance(QLatin1Char(c)) - cell) > 0.01)
            return false;
    return true;
}

QFont transcriptFont()
{
    QFont font(QStringLiteral("Fixedsys"), PointSize);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setWeight(QFont::Normal);
    if (hasEqualAdvances(font))
        return font;

    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(PointSize);
    fixed.setWeight(QFont::Normal);
    fixed.setItalic(false);
    return fixed;
}

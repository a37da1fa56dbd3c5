#include "lineend.h"

QString lineEndText(LineEnd end)
{
    switch (end) {
    case LineEnd::CrLf: return QStringLiteral("\r\n");
    case LineEnd::Lf: return QStringLiteral("\n");
    case LineEnd::Cr: return QStringLiteral("\r");
    case LineEnd::None: break;
    }
    return {};
}

QString lineEndLabel(LineEnd end)
{
    switch (end) {
    case LineEnd::CrLf: return QStringLiteral("CR LF");
    case LineEnd::Lf: return QStringLiteral("LF");
    case LineEnd::Cr: return QStringLiteral("CR");
    case LineEnd::None: break;
    }
    return QStringLiteral("None");
}

std::optional<LineEnd> lineEndFromName(const QString& name)
{
    const QString word = name.toLower();
    for (LineEnd end : {LineEnd::CrLf, LineEnd::Lf, LineEnd::Cr, LineEnd::None})
        if (word == lineEndLabel(end).toLower().remove(u' '))
            return end;
    return std::nullopt;
}

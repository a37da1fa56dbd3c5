#include "keycodes.h"

#include "transcriptview.h"

#include <QList>

namespace {

// Ctrl with these keys gives the C0 control codes that terminals give.
std::int16_t controlCode(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return std::int16_t(key - Qt::Key_A + 1);
    switch (key) {
    case Qt::Key_At:
    case Qt::Key_Space:
        return 0;
    case Qt::Key_BracketLeft:
        return 27;
    case Qt::Key_Backslash:
        return 28;
    case Qt::Key_BracketRight:
        return 29;
    case Qt::Key_AsciiCircum:
        return 30;
    case Qt::Key_Underscore:
        return 31;
    default:
        return -1;
    }
}

} // namespace

std::vector<std::int16_t> KeyCodesFor(int key, Qt::KeyboardModifiers modifiers,
                                      const QString& text, TextEncoding encoding)
{
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return {13};
    case Qt::Key_Backspace:
        return {8};
    case Qt::Key_Escape:
        return {27};
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
        return {};
    default:
        break;
    }

    const bool ctrlOnly = (modifiers & Qt::ControlModifier)
        && !(modifiers & (Qt::AltModifier | Qt::MetaModifier));
    if (ctrlOnly) {
        const std::int16_t code = controlCode(key);
        if (code >= 0)
            return {code};
    }

    std::vector<std::int16_t> codes;
    if (encoding == TextEncoding::Utf8) {
        for (char byte : text.toUtf8())
            codes.push_back(std::int16_t(uchar(byte)));
        return codes;
    }
    for (char32_t c : text.toUcs4())
        codes.push_back(c < 256 ? std::int16_t(c) : std::int16_t('?'));
    return codes;
}

#pragma once

#include <QString>
#include <Qt>

#include <cstdint>
#include <vector>

// The character codes, in the 8-bit code page, that one key press in the
// transcript sends: Enter gives 13; Ctrl with a letter gives its control code
// (Ctrl+A 1 ... Ctrl+Z 26), worked out from the key and the modifier because
// platforms disagree on the text they report for it; Backspace 8, Escape 27;
// otherwise each character of the key's text: in Latin-1 its code, "?" for
// one outside Latin-1; in UTF-8 the bytes of its UTF-8 form, one code each.
// Tab, Delete and keys with no text (arrows, F-keys, modifiers alone) give
// nothing.
enum class TextEncoding;
std::vector<std::int16_t> KeyCodesFor(int key, Qt::KeyboardModifiers modifiers,
                                      const QString& text, TextEncoding encoding);

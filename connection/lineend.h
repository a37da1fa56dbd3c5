#pragma once

#include <QString>

#include <optional>

// What Enter in the transcript sends, and what each line break of the send
// box becomes on the wire.
enum class LineEnd { CrLf, Lf, Cr, None };

// The characters of the line end, one a byte: "\r\n", "\n", "\r" or nothing.
QString lineEndText(LineEnd end);

// How menus and the send box's tool tip name it: "CR LF", "LF", "CR", "None".
QString lineEndLabel(LineEnd end);

// The command line's word for it, any case: crlf, lf, cr or none.
std::optional<LineEnd> lineEndFromName(const QString& name);

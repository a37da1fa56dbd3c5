#pragma once

#include <QStringView>

#include <cstdint>
#include <optional>

// The lenient number reading of the port fields. Blanks, tabs and line feeds
// are skipped anywhere; then an optional sign, digits, "." as the decimal
// separator whatever the locale, an optional exponent (E or D); or &H / &O
// followed by hexadecimal / octal digits. Reading stops at the first
// character that cannot continue the number; a text with no number reads 0.
// nullopt when the number is too large to be represented at all.
std::optional<double> ReadNumber(QStringView text);

// The port a field names, in host byte order, or nullopt when the action it
// belongs to must do nothing: the value reads 0, or after rounding (ties to
// even) it does not fit a signed 32-bit integer. Otherwise the low 16 bits
// of the rounded value: 70000 gives 4464, -1 gives 65535, 0.4 gives 0.
std::optional<std::uint16_t> PortFromText(QStringView text);

#pragma once

#include <QFont>

// The font of the transcript and the send box: "Fixedsys" 9 pt where the
// system has it, otherwise what it offers for a typewriter face. Some
// machines resolve that request to a face whose characters are not all one
// width; the desktop's own fixed font is used then, at the same size.
QFont transcriptFont();

// Whether every character the transcript shows from printable ASCII advances
// by the same width in font: what a grid of one cell per character needs.
bool hasEqualAdvances(const QFont& font);

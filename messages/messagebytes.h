#pragma once

#include "hexbytes.h"
#include "lineend.h"
#include "message.h"

#include <QStringList>
#include <QStringView>

// The bytes a message sends, or why it cannot be read, in the shape the hex
// parser gives: the fault ("\q is not an escape") and the characters of the
// text it covers.
using MessageBytes = HexBytes;

// A text with escapes: \r \n \t \0 \\ and \xNN (two hex digits, any byte);
// a backslash before anything else is an error, never a guess. Each line
// break typed (LF) becomes `end`. Characters go out as their UTF-8 bytes when
// utf8, otherwise as one Latin-1 byte each (one outside Latin-1 is an error).
// Nothing is added: no line end the text does not hold.
MessageBytes decodeEscapes(QStringView text, LineEnd end, bool utf8);

// What message sends: its text as above, or its hex bytes by the send box's
// rules.
MessageBytes messageBytes(const Message& message, LineEnd end, bool utf8);

// The keys a message may have, as Qt's portable text: F2 and F4 to F12 (F3
// is Find Next, and every key with text would go to the peer).
const QStringList& messageKeys();

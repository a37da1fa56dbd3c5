#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// Finding a sequence of bytes in the transcript's bytes. Pure functions: no
// widget, no state; the caller passes the bytes and gets a position back.

enum class FindDirection { Forward, Backward };

// How letters of either case are told apart:
// - None: byte for byte.
// - Latin1: one byte a character; A-Z match a-z, and the Latin-1 capitals
//   0xC0-0xDE (but 0xD7, the multiplication sign) match their small letters
//   0xE0-0xFE. The other bytes match only themselves.
// - Utf8: the needle is UTF-8; each of its characters matches every character
//   with the same simple case folding (Unicode's CaseFolding.txt, status C and
//   S: "e" matches "E", "σ" matches "Σ" and "ς", "µ" matches "μ") whose UTF-8
//   form has as many bytes. A form of another length is not matched: "k"
//   does not match the Kelvin sign, nor "s" the long s.
enum class CaseFold { None, Latin1, Utf8 };

// Forward: the start of the first match that starts at or after from.
// Backward: the start of the last match that starts before from (and ends
// anywhere). -1 when there is none, or when the needle is empty. from is
// clamped to [0, haystack.size()]. Boyer-Moore-Horspool over classes of
// bytes, so the cost is about haystack.size() / needle.size() steps when the
// needle's bytes are rare in the haystack.
qint64 findBytes(QByteArrayView haystack, qint64 from, FindDirection direction,
                 QByteArrayView needle, CaseFold fold = CaseFold::None);

struct FindResult {
    qint64 position = -1; // -1: not found anywhere
    bool wrapped = false; // found only by going on from the other end
};

// findBytes, and when that finds nothing, the same search again from the
// other end: from the start going forward, from the end going backward.
FindResult findWrapping(QByteArrayView haystack, qint64 from, FindDirection direction,
                        QByteArrayView needle, CaseFold fold = CaseFold::None);

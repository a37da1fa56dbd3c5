#pragma once

#include "message.h"

#include <QByteArray>
#include <QList>
#include <QString>

// A file of messages: TOML, one [[message]] table a message, written by hand
// or by Save As. Keys: name, text (with the escapes) or hex, key, every_ms,
// on_connect.
struct MessageFile {
    QList<Message> messages;
    // Empty when the file was read; otherwise why not, and the line at fault
    // (0 when no line is: a file that cannot be opened).
    QString error;
    int line = 0;

    bool ok() const { return error.isEmpty(); }
    // "FILE, line N: why" (or "FILE: why"), the one line that names the fault.
    QString describe(const QString& path) const;
};

// The bounds of a repeat, in milliseconds: 10 ms to a day.
constexpr int MinimumEveryMs = 10;
constexpr int MaximumEveryMs = 24 * 60 * 60 * 1000;

// Reads the messages of text (a file's contents; path names it in errors).
// One error loads nothing.
MessageFile parseMessages(const QByteArray& text, const QString& path);
MessageFile readMessageFile(const QString& path);

// The TOML of messages, as Save As writes it.
QByteArray formatMessages(const QList<Message>& messages);
// Writes the file whole through a temporary file renamed over it, so that a
// crash leaves the old file or the new one, never half of one. False, with
// why, when it could not.
bool writeMessageFile(const QString& path, const QList<Message>& messages, QString* why);

// Whether message can be kept in the list beside others (its own row,
// `row`, not counted): empty when it can, otherwise why not.
QString checkMessage(const Message& message, const QList<Message>& others, int row);

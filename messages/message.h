#pragma once

#include "windowops.h" // RelaySide

#include <QString>

#include <optional>

// One saved message, as the user typed it: the list, its file and the
// Messages window all hold these plain values and nothing else.
struct Message {
    // How text is read: with Pellix's escapes (\r \n \t \0 \\ \xNN, a line
    // break the chosen line end), or as hex bytes by the send box's rules.
    enum class Kind { Text, Hex };
    // How a rule's pattern is read: with the same escapes, as hex bytes, or
    // as a regular expression over the bytes read as Latin-1.
    enum class PatternKind { Text, Hex, Regex };

    QString name;
    QString text; // as typed, escapes and line breaks included
    Kind kind = Kind::Text;
    QString key;        // Qt's portable text of the key that sends it ("F2"); empty: none
    int everyMs = 0;    // repeat period in milliseconds; 0: no repeat
    bool onConnect = false; // sent once right after each connection is made

    // The rule: when the peer sends the pattern, send this message.
    struct Rule {
        QString pattern;
        PatternKind kind = PatternKind::Text;
        int delayMs = 0;
        // In a relay: the side listened to, and the side answered.
        RelaySide from = RelaySide::Server;
        RelaySide to = RelaySide::Server;
        bool enabled = true;

        friend bool operator==(const Rule&, const Rule&) = default;
    };
    std::optional<Rule> rule;

    friend bool operator==(const Message&, const Message&) = default;
};

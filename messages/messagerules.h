#pragma once

#include "answers.h"
#include "lineend.h"
#include "message.h"
#include "messagebytes.h"

#include <QList>
#include <QString>

#include <vector>

// The longest a rule may wait before it answers, in milliseconds.
constexpr int MaximumDelayMs = 60 * 1000;

// The bytes a rule's text or hex pattern stands for, read as a message's text
// or hex is; a regular expression has none.
MessageBytes patternBytes(const Message::Rule& rule, LineEnd end, bool utf8);

// Why the rule cannot be kept; empty when it can. The error names the fault,
// and patternAt (when given) the first character of the pattern it covers.
QString checkRule(const Message::Rule& rule, qsizetype* patternAt = nullptr);

// The rules of messages that are on, ready to answer: each pattern and answer
// read with the line end and the transcript's reading of characters.
std::vector<Answers::Rule> answerRules(const QList<Message>& messages, LineEnd end, bool utf8);

// "client" or "server", as the file names a side.
QString sideName(RelaySide side);

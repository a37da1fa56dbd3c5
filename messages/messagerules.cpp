#include "messagerules.h"

#include <QRegularExpression>

MessageBytes patternBytes(const Message::Rule& rule, LineEnd end, bool utf8)
{
    Message pattern;
    pattern.text = rule.pattern;
    pattern.kind = rule.kind == Message::PatternKind::Hex ? Message::Kind::Hex : Message::Kind::Text;
    return messageBytes(pattern, end, utf8);
}

QString checkRule(const Message::Rule& rule, qsizetype* patternAt)
{
    if (rule.pattern.isEmpty())
        return QStringLiteral("the rule has nothing to look for");
    if (rule.delayMs < 0 || rule.delayMs > MaximumDelayMs)
        return QStringLiteral("a rule's delay is 0 to %1 ms").arg(MaximumDelayMs);
    if (rule.kind != Message::PatternKind::Regex) {
        const MessageBytes bytes = patternBytes(rule, LineEnd::CrLf, true);
        if (bytes.ok() && bytes.bytes.isEmpty())
            return QStringLiteral("the rule has nothing to look for");
        if (patternAt)
            *patternAt = bytes.errorAt;
        return bytes.error;
    }
    // Each byte is one character to the expression, so one beyond Latin-1
    // could never match.
    for (qsizetype i = 0; i < rule.pattern.size(); ++i) {
        if (rule.pattern.at(i).unicode() > 0xff) {
            if (patternAt)
                *patternAt = i;
            return QStringLiteral("“%1” at column %2 is not in Latin-1: a regular expression reads "
                                  "each byte as one character (write bytes as \\xNN)")
                .arg(rule.pattern.at(i))
                .arg(i + 1);
        }
    }
    const QRegularExpression expression(rule.pattern);
    if (!expression.isValid()) {
        if (patternAt)
            *patternAt = expression.patternErrorOffset();
        return QStringLiteral("the regular expression is not valid at column %1: %2")
            .arg(expression.patternErrorOffset() + 1)
            .arg(expression.errorString());
    }
    return {};
}

std::vector<Answers::Rule> answerRules(const QList<Message>& messages, LineEnd end, bool utf8)
{
    std::vector<Answers::Rule> rules;
    for (const Message& message : messages) {
        if (!message.rule || !message.rule->enabled || !checkRule(*message.rule).isEmpty())
            continue;
        const Message::Rule& rule = *message.rule;
        const MessageBytes answer = messageBytes(message, end, utf8);
        if (!answer.ok())
            continue;
        if (rule.kind == Message::PatternKind::Regex) {
            rules.push_back({message.name, StreamMatcher(QRegularExpression(rule.pattern)),
                             answer.bytes, rule.delayMs, rule.from, rule.to});
            continue;
        }
        const MessageBytes pattern = patternBytes(rule, end, utf8);
        if (pattern.ok() && !pattern.bytes.isEmpty())
            rules.push_back({message.name, StreamMatcher(pattern.bytes), answer.bytes,
                             rule.delayMs, rule.from, rule.to});
    }
    return rules;
}

QString sideName(RelaySide side)
{
    return side == RelaySide::Client ? QStringLiteral("client") : QStringLiteral("server");
}

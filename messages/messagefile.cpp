#include "messagefile.h"

#include "messagebytes.h"
#include "messagerules.h"

#include <QFile>
#include <QSaveFile>

#include <toml++/toml.h>

#include <sstream>

namespace {

QString qs(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QString notAKey(const QString& key)
{
    return QStringLiteral("“%1” is not a key a message may have (%2)")
        .arg(key, messageKeys().join(u' '));
}

int lineOf(const toml::node& node)
{
    return int(node.source().begin.line);
}

// One [[message]] table read into message: empty, or why not and where.
QString readMessage(const toml::table& table, Message& message, int& line)
{
    bool hasText = false;
    bool hasHex = false;
    Message::Rule rule;
    int ruleLine = 0;     // the line of when, when_hex or when_regex
    int ruleKeysLine = 0; // the line of a rule's other keys, when there is no pattern
    for (const auto& [key, node] : table) {
        line = lineOf(node);
        const std::string_view name = key.str();
        auto text = [&](QString& out) -> QString {
            const auto* value = node.as_string();
            if (!value)
                return QStringLiteral("%1 must be a string").arg(qs(name));
            out = qs(value->get());
            out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            return {};
        };
        QString why;
        if (name == "name") {
            why = text(message.name);
        } else if (name == "text" || name == "hex") {
            why = text(message.text);
            message.kind = name == "hex" ? Message::Kind::Hex : Message::Kind::Text;
            (name == "hex" ? hasHex : hasText) = true;
            if (why.isEmpty())
                why = messageBytes(message, LineEnd::CrLf, true).error;
        } else if (name == "key") {
            why = text(message.key);
            if (why.isEmpty() && !messageKeys().contains(message.key))
                why = notAKey(message.key);
        } else if (name == "every_ms") {
            const auto* value = node.as_integer();
            if (!value || value->get() < MinimumEveryMs || value->get() > MaximumEveryMs)
                why = QStringLiteral("every_ms must be a whole number of milliseconds from %1 "
                                     "to %2")
                          .arg(MinimumEveryMs)
                          .arg(MaximumEveryMs);
            else
                message.everyMs = int(value->get());
        } else if (name == "on_connect") {
            const auto* value = node.as_boolean();
            if (!value)
                why = QStringLiteral("on_connect must be true or false");
            else
                message.onConnect = value->get();
        } else if (name == "when" || name == "when_hex" || name == "when_regex") {
            if (ruleLine > 0)
                why = QStringLiteral("a rule has one of when, when_hex and when_regex");
            else
                why = text(rule.pattern);
            rule.kind = name == "when"       ? Message::PatternKind::Text
                : name == "when_hex" ? Message::PatternKind::Hex
                                     : Message::PatternKind::Regex;
            ruleLine = line;
        } else if (name == "delay_ms") {
            const auto* value = node.as_integer();
            if (!value || value->get() < 0 || value->get() > MaximumDelayMs)
                why = QStringLiteral("delay_ms must be a whole number of milliseconds from 0 to %1")
                          .arg(MaximumDelayMs);
            else
                rule.delayMs = int(value->get());
            ruleKeysLine = line;
        } else if (name == "from" || name == "to") {
            QString side;
            why = text(side);
            if (why.isEmpty() && side != QLatin1String("client") && side != QLatin1String("server"))
                why = QStringLiteral("%1 must be \"client\" or \"server\"").arg(qs(name));
            (name == "from" ? rule.from : rule.to) =
                side == QLatin1String("client") ? RelaySide::Client : RelaySide::Server;
            ruleKeysLine = line;
        } else {
            why = QStringLiteral("unknown key “%1” (a message has name, text or hex, key, "
                                 "every_ms, on_connect, when or when_hex or when_regex, "
                                 "delay_ms, from, to)")
                      .arg(qs(name));
        }
        if (!why.isEmpty())
            return why;
    }
    if (ruleLine > 0) {
        line = ruleLine;
        message.rule = rule;
        if (const QString why = checkRule(rule); !why.isEmpty())
            return QStringLiteral("the rule: %1").arg(why);
    } else if (ruleKeysLine > 0) {
        line = ruleKeysLine;
        return QStringLiteral("delay_ms, from and to belong to a rule: when, when_hex or "
                              "when_regex is missing");
    }
    line = lineOf(table);
    if (hasText && hasHex)
        return QStringLiteral("a message has text or hex, not both");
    if (!hasText && !hasHex)
        return QStringLiteral("the message has no text (nor hex)");
    return {};
}

} // namespace

QString MessageFile::describe(const QString& path) const
{
    return line > 0 ? QStringLiteral("%1, line %2: %3").arg(path).arg(line).arg(error)
                    : QStringLiteral("%1: %2").arg(path, error);
}

QString checkMessage(const Message& message, const QList<Message>& others, int row)
{
    if (message.name.trimmed().isEmpty())
        return QStringLiteral("the message has no name");
    const MessageBytes bytes = messageBytes(message, LineEnd::CrLf, true);
    if (!bytes.ok())
        return bytes.error;
    if (message.rule)
        if (const QString why = checkRule(*message.rule); !why.isEmpty())
            return QStringLiteral("the rule: %1").arg(why);
    if (!message.key.isEmpty() && !messageKeys().contains(message.key))
        return notAKey(message.key);
    if (message.everyMs != 0
        && (message.everyMs < MinimumEveryMs || message.everyMs > MaximumEveryMs))
        return QStringLiteral("a repeat is every %1 to %2 ms").arg(MinimumEveryMs).arg(MaximumEveryMs);
    for (int i = 0; i < others.size(); ++i) {
        if (i == row)
            continue;
        if (others.at(i).name == message.name)
            return QStringLiteral("another message is named “%1”").arg(message.name);
        if (!message.key.isEmpty() && others.at(i).key == message.key)
            return QStringLiteral("%1 already sends “%2”").arg(message.key, others.at(i).name);
    }
    return {};
}

MessageFile parseMessages(const QByteArray& text, const QString& path)
{
    MessageFile file;
    toml::table root;
    try {
        root = toml::parse(std::string_view(text.constData(), size_t(text.size())),
                           path.toStdString());
    } catch (const toml::parse_error& error) {
        file.error = qs(error.description());
        file.line = int(error.source().begin.line);
        return file;
    }
    for (const auto& [key, node] : root) {
        const auto* array = node.as_array();
        if (key.str() != "message" || !array || !array->is_array_of_tables()) {
            file.line = lineOf(node);
            file.messages.clear();
            file.error = QStringLiteral("“%1” is not a [[message]] table").arg(qs(key.str()));
            return file;
        }
        for (const toml::node& element : *array) {
            Message message;
            int line = lineOf(element);
            QString why = readMessage(*element.as_table(), message, line);
            if (why.isEmpty())
                why = checkMessage(message, file.messages, -1);
            if (!why.isEmpty()) {
                file.line = line;
                file.error = why;
                file.messages.clear();
                return file;
            }
            file.messages.append(message);
        }
    }
    return file;
}

MessageFile readMessageFile(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        MessageFile file;
        file.error = in.errorString();
        return file;
    }
    return parseMessages(in.readAll(), path);
}

QByteArray formatMessages(const QList<Message>& messages)
{
    toml::array list;
    for (const Message& m : messages) {
        toml::table table;
        table.insert("name", m.name.toStdString());
        table.insert(m.kind == Message::Kind::Hex ? "hex" : "text", m.text.toStdString());
        if (!m.key.isEmpty())
            table.insert("key", m.key.toStdString());
        if (m.everyMs > 0)
            table.insert("every_ms", m.everyMs);
        if (m.onConnect)
            table.insert("on_connect", true);
        if (const std::optional<Message::Rule>& rule = m.rule) {
            table.insert(rule->kind == Message::PatternKind::Text  ? "when"
                             : rule->kind == Message::PatternKind::Hex ? "when_hex"
                                                                       : "when_regex",
                         rule->pattern.toStdString());
            if (rule->delayMs > 0)
                table.insert("delay_ms", rule->delayMs);
            if (rule->from != RelaySide::Server)
                table.insert("from", sideName(rule->from).toStdString());
            if (rule->to != RelaySide::Server)
                table.insert("to", sideName(rule->to).toStdString());
        }
        list.push_back(std::move(table));
    }
    toml::table root;
    root.insert("message", std::move(list));
    std::ostringstream out;
    out << toml::toml_formatter(root) << '\n';
    return QByteArray::fromStdString(out.str());
}

bool writeMessageFile(const QString& path, const QList<Message>& messages, QString* why)
{
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && out.write(formatMessages(messages)) >= 0 && out.commit())
        return true;
    if (why)
        *why = out.errorString();
    return false;
}

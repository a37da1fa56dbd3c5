#pragma once

// The rules the benchmarks answer by: 10 fixed texts and 10 regular
// expressions of the kinds a device or a login asks for, none of which the
// 80-column stream holds, so every byte is searched and nothing answered.

#include "answers.h"

#include <QRegularExpression>

#include <vector>

namespace bench {

inline std::vector<Answers::Rule> twentyRules(RelaySide from)
{
    std::vector<Answers::Rule> rules;
    const char* texts[] = {"PING\r\n", "AT\r\n",  "RING",     "NO CARRIER", "+++",
                           "\x1b[6n",  "HELLO",  "BUSY\r\n", "heartbeat",  "ACK?"};
    const char* expressions[] = {
        "login: ?$",         "[Pp]assword: ?",     R"(ERR(OR)? \d+)",     R"(\$GP[A-Z]{3},)",
        R"(HTTP/1\.[01] \d{3})", "ALARM [0-9A-F]{2}", R"(\x02[^\x03]{0,64}\x03)", "ready> $",
        "Connection: close", R"(temp=(-?\d+)\.\d)"};
    int n = 0;
    for (const char* text : texts)
        rules.push_back({QStringLiteral("text %1").arg(++n), StreamMatcher(QByteArray(text)),
                         "x", 0, from, from});
    for (const char* expression : expressions)
        rules.push_back({QStringLiteral("regex %1").arg(++n),
                         StreamMatcher(QRegularExpression(QString::fromLatin1(expression))), "x",
                         0, from, from});
    return rules;
}

} // namespace bench

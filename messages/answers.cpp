#include "answers.h"

#include <QRegularExpressionMatch>
#include <QStringList>

#include <algorithm>

Answers::Answers(Send send, Report report, QObject* parent)
    : QObject(parent), m_send(std::move(send)), m_report(std::move(report))
{
    m_timer.setSingleShot(true);
    // A precise timer never fires early, so an answer never precedes its delay.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Answers::sendDue);
    m_clock.start();
}

void Answers::setRules(std::vector<Rule> rules)
{
    m_waiting.clear();
    m_timer.stop();
    m_rules.clear();
    m_rules.reserve(rules.size());
    for (Rule& rule : rules)
        m_rules.push_back(RuleState{std::move(rule), {}, false, {}});
    makeScreens();
}

void Answers::setEnabled(bool on)
{
    if (on == m_enabled)
        return;
    m_enabled = on;
    restart();
}

void Answers::connectionEnded() { restart(); }

void Answers::restart()
{
    m_waiting.clear();
    m_timer.stop();
    for (RuleState& state : m_rules) {
        state.rule.matcher.reset();
        state.recent.clear();
        state.stopped = false;
    }
}

void Answers::received(std::optional<RelaySide> from, QByteArrayView bytes)
{
    // Read as Latin-1 once for every regular expression, when one listens.
    std::optional<QString> text;
    receive(
        from, [&] { return bytes; },
        [&]() -> QStringView {
            if (!text)
                text = QString::fromLatin1(bytes);
            return *text;
        });
}

void Answers::receivedLatin1(std::optional<RelaySide> from, QStringView text)
{
    std::optional<QByteArray> bytes;
    receive(
        from,
        [&]() -> QByteArrayView {
            if (!bytes)
                bytes = text.toLatin1();
            return *bytes;
        },
        [&] { return text; });
}

template <typename Bytes, typename Text>
void Answers::receive(std::optional<RelaySide> from, Bytes&& bytes, Text&& text)
{
    if (!m_enabled)
        return;
    const int group = from ? 1 + int(*from) : 0;
    const bool quiet = screenedOut(m_screens[group], text);
    for (qsizetype i = 0; i < qsizetype(m_rules.size()); ++i) {
        RuleState& state = m_rules[i];
        if (state.stopped || (from && *from != state.rule.from))
            continue;
        StreamMatcher& matcher = state.rule.matcher;
        if (!matcher.isRegex()) {
            if (const int count = matcher.feed(bytes()))
                matched(i, count);
        } else if (!(quiet && state.screened[group])) {
            if (const int count = matcher.feedLatin1(text()))
                matched(i, count);
        }
    }
}

template <typename Text> bool Answers::screenedOut(const Screen& screen, Text&& text) const
{
    // Only while every expression it stands for keeps nothing: each would
    // then search exactly the piece, as the screen does.
    if (!screen.expression.isValid() || screen.members.empty())
        return false;
    for (const qsizetype i : screen.members)
        if (m_rules[i].rule.matcher.kept() > 0)
            return false;
    const QStringView piece = text();
    const QRegularExpressionMatch match =
        screen.expression.match(QString::fromRawData(piece.data(), piece.size()), 0,
                                QRegularExpression::PartialPreferCompleteMatch);
    return !match.hasMatch() && !match.hasPartialMatch();
}

void Answers::makeScreens()
{
    // A pattern whose meaning could change inside an alternation (numbered
    // back references, comments, leading verbs) is searched on its own.
    static const QRegularExpression unsafe(QStringLiteral(R"(\\[1-9gk]|\(\?[|P]|\(\*|#)"));
    for (int group = 0; group < 3; ++group) {
        Screen& screen = m_screens[group];
        screen = Screen{};
        QStringList alternatives;
        for (qsizetype i = 0; i < qsizetype(m_rules.size()); ++i) {
            Rule& rule = m_rules[i].rule;
            m_rules[i].screened[group] = false;
            if (!rule.matcher.isRegex() || (group > 0 && int(rule.from) != group - 1)
                || rule.matcher.expression().contains(unsafe))
                continue;
            alternatives << QStringLiteral("(?:%1)").arg(rule.matcher.expression());
            screen.members.push_back(i);
        }
        // One expression is its own screen.
        if (alternatives.size() < 2) {
            screen.members.clear();
            continue;
        }
        screen.expression.setPattern(alternatives.join(u'|'));
        screen.expression.optimize();
        for (const qsizetype i : screen.members)
            m_rules[i].screened[group] = screen.expression.isValid();
    }
}

void Answers::matched(qsizetype i, int count)
{
    RuleState& state = m_rules[i];
    const qint64 now = m_clock.elapsed();
    for (int n = 0; n < count; ++n) {
        while (!state.recent.empty() && now - state.recent.front() >= 1000)
            state.recent.pop_front();
        if (qsizetype(state.recent.size()) >= MostAnswersPerSecond) {
            state.stopped = true;
            state.rule.matcher.reset();
            m_report(QStringLiteral("Rule '%1' stopped: more than %2 answers a second")
                         .arg(state.rule.name)
                         .arg(MostAnswersPerSecond));
            break;
        }
        state.recent.push_back(now);
        const Waiting answer{now + state.rule.delayMs, i};
        m_waiting.insert(std::upper_bound(m_waiting.begin(), m_waiting.end(), answer,
                                          [](const Waiting& a, const Waiting& b) {
                                              return a.dueMs < b.dueMs;
                                          }),
                         answer);
    }
    if (!m_waiting.empty())
        m_timer.start(int(std::max<qint64>(0, m_waiting.front().dueMs - now)));
}

void Answers::sendDue()
{
    // Taken off the queue before it is sent: a send that ends the connection
    // comes back here through connectionEnded.
    while (!m_waiting.empty() && m_waiting.front().dueMs <= m_clock.elapsed()) {
        const qsizetype i = m_waiting.front().rule;
        m_waiting.pop_front();
        const Rule& rule = m_rules[i].rule;
        const QByteArray answer = rule.answer;
        const RelaySide to = rule.to;
        m_send(answer, to);
    }
    if (!m_waiting.empty())
        m_timer.start(int(std::max<qint64>(0, m_waiting.front().dueMs - m_clock.elapsed())));
}

#pragma once

#include "streammatcher.h"
#include "windowops.h" // RelaySide

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

// Answers by rule: watches the bytes that arrive and, where a rule's pattern
// matches, sends its message after the rule's delay. The bytes are those the
// transcript is given, handed on as they are appended; the answers go out from
// a timer, never from within that append, since a send may end the connection.
class Answers : public QObject {
    Q_OBJECT
public:
    // A rule answers at most this many times within any one second; past that
    // it stops answering until the next connection (or Rules is switched off
    // and on), so that a peer that echoes an answer back cannot start a storm.
    static constexpr int MostAnswersPerSecond = 20;

    struct Rule {
        QString name;          // the message's name, for the line that stops it
        StreamMatcher matcher; // its pattern
        QByteArray answer;     // the message's bytes
        int delayMs = 0;
        // In a relay: the side listened to, and the side answered.
        RelaySide from = RelaySide::Server;
        RelaySide to = RelaySide::Server;
    };

    // Sends an answer: in a relay to side to, otherwise to the peer.
    using Send = std::function<void(const QByteArray& answer, RelaySide to)>;
    // Writes one status line.
    using Report = std::function<void(const QString& line)>;

    Answers(Send send, Report report, QObject* parent = nullptr);

    // The rules to answer by, each starting on a fresh stream.
    void setRules(std::vector<Rule> rules);
    qsizetype ruleCount() const { return qsizetype(m_rules.size()); }
    // Rules as a whole: off, nothing is matched and no answer waits.
    void setEnabled(bool on);
    bool isEnabled() const { return m_enabled; }

    // Bytes that arrived: in a relay from side from, otherwise (none) from the
    // peer, which every rule listens to.
    void received(std::optional<RelaySide> from, QByteArrayView bytes);
    // The same, the bytes already read as Latin-1.
    void receivedLatin1(std::optional<RelaySide> from, QStringView text);
    // The connection has ended: answers still waiting are dropped, every rule
    // starts on a fresh stream and may answer again.
    void connectionEnded();

    // Answers matched and not yet sent.
    qsizetype waiting() const { return qsizetype(m_waiting.size()); }

private:
    struct RuleState {
        Rule rule;
        std::deque<qint64> recent; // when its last answers were matched (ms)
        bool stopped = false;
        std::array<bool, 3> screened{}; // stood for by that group's screen
    };
    // The regular expressions of one group of rules (those of Connect and
    // Listen, those that listen to the client, to the server) as one
    // alternation: a piece in which it finds neither a match nor the start
    // of one needs no expression of the group searched on its own, which
    // spares most of the searching when many rules listen.
    struct Screen {
        QRegularExpression expression;
        std::vector<qsizetype> members;
    };
    struct Waiting {
        qint64 dueMs;
        qsizetype rule;
    };

    // bytes() and text() give the piece as bytes and as Latin-1, each made
    // once when first asked for.
    template <typename Bytes, typename Text>
    void receive(std::optional<RelaySide> from, Bytes&& bytes, Text&& text);
    template <typename Text> bool screenedOut(const Screen& screen, Text&& text) const;
    void makeScreens();
    // A match of rule i: counted against the limit, then queued.
    void matched(qsizetype i, int count);
    void sendDue();
    void restart();

    Send m_send;
    Report m_report;
    bool m_enabled = true;
    std::vector<RuleState> m_rules;
    std::array<Screen, 3> m_screens; // Connect and Listen; from the client; from the server
    std::deque<Waiting> m_waiting; // in the order they fall due
    QTimer m_timer;
    QElapsedTimer m_clock;
};

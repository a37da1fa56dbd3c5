#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The texts sent from the send box in this session, recalled newest first as
// a shell recalls its lines: what was being typed when the recall began is
// kept as the newest entry, to come back to. Held in memory only, and only
// the last Limit texts.
class SendHistory {
public:
    static constexpr qsizetype Limit = 500;

    // After a send: the text joins the history unless it is the newest entry
    // already, and the next recall starts again from the newest.
    void add(const QString& text);

    // The entry one older than the one shown, given what the box holds now;
    // nothing when there is none.
    std::optional<QString> older(const QString& shown);
    // The entry one newer, then what was being typed; nothing past that.
    std::optional<QString> newer();

    qsizetype size() const { return m_entries.size(); }

private:
    QStringList m_entries; // oldest first
    qsizetype m_at = 0;    // the entry shown; m_entries.size(): what was being typed
    QString m_typed;
};

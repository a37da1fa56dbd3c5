#include "sendhistory.h"

void SendHistory::add(const QString& text)
{
    if (m_entries.isEmpty() || m_entries.last() != text)
        m_entries.append(text);
    if (m_entries.size() > Limit)
        m_entries.removeFirst();
    m_at = m_entries.size();
    m_typed.clear();
}

std::optional<QString> SendHistory::older(const QString& shown)
{
    if (m_at == 0)
        return std::nullopt;
    if (m_at == m_entries.size())
        m_typed = shown;
    return m_entries.at(--m_at);
}

std::optional<QString> SendHistory::newer()
{
    if (m_at >= m_entries.size())
        return std::nullopt;
    ++m_at;
    return m_at == m_entries.size() ? m_typed : m_entries.at(m_at);
}

#include "streammatcher.h"

#include <QRegularExpressionMatch>

#include <algorithm>

namespace {

// The first match at or after from that is not empty: an empty match would
// count again at every position.
QRegularExpressionMatch nextMatch(const QRegularExpression& expression, const QString& subject,
                                  qsizetype from)
{
    while (from <= subject.size()) {
        QRegularExpressionMatch match = expression.match(subject, from);
        if (!match.hasMatch() || match.capturedLength() > 0)
            return match;
        from = match.capturedStart() + 1;
    }
    return {};
}

} // namespace

StreamMatcher::StreamMatcher(QByteArray bytes)
    : m_pattern(std::move(bytes)), m_matcher(m_pattern)
{
}

StreamMatcher::StreamMatcher(QRegularExpression expression, qsizetype window)
    : m_isRegex(true), m_expression(std::move(expression)), m_window(std::max<qsizetype>(window, 1))
{
    m_expression.optimize();
}

int StreamMatcher::feed(QByteArrayView bytes)
{
    return m_isRegex ? findText(QString::fromLatin1(bytes)) : findBytes(bytes);
}

int StreamMatcher::feedLatin1(QStringView text)
{
    return m_isRegex ? findText(text) : findBytes(text.toLatin1());
}

int StreamMatcher::findBytes(QByteArrayView bytes)
{
    const qsizetype length = m_pattern.size();
    if (length == 0 || bytes.isEmpty())
        return 0;
    int found = 0;
    qsizetype from = 0; // where the next match may start in bytes
    bool matchedAcross = false;
    if (!m_kept.isEmpty()) {
        // Fewer than L bytes are kept, so a match that starts among them ends
        // within the first L-1 new ones, and at most one such match fits.
        QByteArray joined = m_kept;
        joined += bytes.first(std::min(length - 1, bytes.size()));
        const qsizetype at = m_matcher.indexIn(joined);
        if (at >= 0) {
            ++found;
            from = at + length - m_kept.size();
            matchedAcross = true;
        }
    }
    for (qsizetype at; (at = m_matcher.indexIn(bytes, from)) >= 0; from = at + length)
        ++found;

    if (from > 0 || matchedAcross || bytes.size() >= length - 1) {
        m_kept = bytes.sliced(std::max(from, bytes.size() - (length - 1))).toByteArray();
    } else {
        m_kept += bytes;
        m_kept.remove(0, std::max<qsizetype>(0, m_kept.size() - (length - 1)));
    }
    return found;
}

int StreamMatcher::findText(QStringView text)
{
    if (text.isEmpty())
        return 0;
    int found = 0;
    qsizetype from = 0; // where the next match may start in text
    bool matchedAcross = false;
    if (!m_keptText.isEmpty()) {
        // A match that starts among the kept characters and fits the window
        // ends within the first window characters that follow them.
        QString joined = m_keptText;
        joined += text.first(std::min(m_window, text.size()));
        qsizetype at = 0;
        for (;;) {
            const QRegularExpressionMatch match = nextMatch(m_expression, joined, at);
            if (!match.hasMatch() || match.capturedStart() >= m_keptText.size())
                break;
            ++found;
            at = match.capturedEnd();
            matchedAcross = true;
        }
        from = std::max<qsizetype>(0, at - m_keptText.size());
    }
    // The piece itself, searched in place.
    const QString subject = QString::fromRawData(text.data(), text.size());
    for (;;) {
        const QRegularExpressionMatch match = nextMatch(m_expression, subject, from);
        if (!match.hasMatch())
            break;
        ++found;
        from = match.capturedEnd();
    }

    const qsizetype keep = m_window - 1;
    if (from > 0 || matchedAcross || text.size() >= keep) {
        m_keptText = text.sliced(std::max(from, text.size() - keep)).toString();
    } else {
        m_keptText += text;
        m_keptText.remove(0, std::max<qsizetype>(0, m_keptText.size() - keep));
    }
    return found;
}

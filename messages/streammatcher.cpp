#include "streammatcher.h"

#include <QRegularExpressionMatch>

#include <algorithm>
#include <cstring>

StreamMatcher::StreamMatcher(QByteArray bytes)
    : m_pattern(std::move(bytes))
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

qsizetype StreamMatcher::indexIn(QByteArrayView bytes, qsizetype from) const
{
    // The first byte looked for with memchr, the rest compared where it is:
    // several times quicker than a general search for the short patterns
    // that rules have.
    const qsizetype length = m_pattern.size();
    const char* const begin = bytes.data();
    const char* const last = begin + bytes.size() - length; // the last place a match may start
    for (const char* at = begin + from; at <= last; ++at) {
        at = static_cast<const char*>(std::memchr(at, m_pattern[0], std::size_t(last - at + 1)));
        if (!at)
            return -1;
        if (std::memcmp(at, m_pattern.constData(), std::size_t(length)) == 0)
            return at - begin;
    }
    return -1;
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
        const qsizetype at = indexIn(joined, 0);
        if (at >= 0) {
            ++found;
            from = at + length - m_kept.size();
            matchedAcross = true;
        }
    }
    for (qsizetype at; (at = indexIn(bytes, from)) >= 0; from = at + length)
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
    // What was kept and the new piece, searched as one; the piece in place
    // when nothing was kept.
    QString subject;
    if (m_keptText.isEmpty()) {
        subject = QString::fromRawData(text.data(), text.size());
    } else {
        subject = m_keptText;
        subject += text;
    }
    int found = 0;
    qsizetype keepFrom = subject.size();
    for (qsizetype from = 0; from <= subject.size();) {
        // A partial match is one the end of the subject cut short: from its
        // start on is all that a match still to come may need.
        const QRegularExpressionMatch match =
            m_expression.match(subject, from, QRegularExpression::PartialPreferCompleteMatch);
        if (match.hasPartialMatch()) {
            keepFrom = match.capturedStart();
            break;
        }
        if (!match.hasMatch())
            break;
        if (match.capturedLength() == 0) {
            // An empty match would count again at every position.
            from = match.capturedStart() + 1;
            continue;
        }
        ++found;
        from = match.capturedEnd();
    }
    // A match longer than the window loses its start.
    m_keptText = subject.sliced(std::max(keepFrom, subject.size() - (m_window - 1)));
    return found;
}

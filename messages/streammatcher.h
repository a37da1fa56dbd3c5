#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QRegularExpression>
#include <QString>
#include <QStringView>

// Finds a pattern in a stream of bytes that arrives in pieces of any size: a
// match is found wherever it falls, also split across two pieces at any
// position. Each match counts once, and no match overlaps the bytes of an
// earlier one. Only the bytes a match could still need are kept.
class StreamMatcher {
public:
    // How many bytes a regular expression's match may span and still be found
    // when it is split across pieces: enough for a login prompt, a line of a
    // protocol or a frame with its header. Of the bytes a match has begun in
    // (a partial match at the end of a piece) at most this many less one are
    // kept for the next piece.
    static constexpr qsizetype RegexWindow = 4096;

    // Fixed bytes (a text with its escapes already applied, or hex). For L
    // bytes the last L-1 of the stream are kept.
    explicit StreamMatcher(QByteArray bytes);
    // A regular expression over the bytes read as Latin-1 (every byte one
    // character). Only the bytes from where a match has begun and not yet
    // ended are kept, window-1 at most; a match longer than the window may be
    // missed when it arrives split.
    explicit StreamMatcher(QRegularExpression expression, qsizetype window = RegexWindow);

    // Whether the pattern is read as text (feedLatin1 is the cheaper call).
    bool isRegex() const { return m_isRegex; }
    // A regular expression's pattern.
    QString expression() const { return m_expression.pattern(); }

    // The bytes that came next; returns how many matches they complete.
    int feed(QByteArrayView bytes);
    // The same bytes already read as Latin-1, one character a byte.
    int feedLatin1(QStringView text);
    // Forgets what came before: the next piece starts a new stream.
    void reset() { m_kept.clear(); m_keptText.clear(); }
    // How many bytes are kept for a match still to come.
    qsizetype kept() const { return m_isRegex ? m_keptText.size() : m_kept.size(); }

private:
    // Where the pattern first starts in bytes at or after from; -1: nowhere.
    qsizetype indexIn(QByteArrayView bytes, qsizetype from) const;
    int findBytes(QByteArrayView bytes);
    int findText(QStringView text);

    bool m_isRegex = false;
    QByteArray m_pattern;
    QRegularExpression m_expression;
    qsizetype m_window = RegexWindow;
    QByteArray m_kept;
    QString m_keptText;
};

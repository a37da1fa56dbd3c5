#include "transcriptaccessible.h"

#include "transcriptview.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

struct Range {
    qint64 start = -1;
    qint64 end = -1;
    bool isNull() const { return start < 0; }
};

int toInt(qint64 value)
{
    return int(std::clamp<qint64>(value, INT_MIN, INT_MAX));
}

bool isBreak(uchar byte)
{
    return byte == '\r' || byte == '\n';
}

bool isBlank(uchar byte)
{
    return byte == ' ' || byte == '\t';
}

bool endsSentence(uchar byte)
{
    return byte == '.' || byte == '!' || byte == '?';
}

// The units a boundary type divides the text into. Each unit function takes a
// position in [0, size) and returns the unit that holds it; each reads only
// that unit and, for lines and sentences, the line index.
class Units {
public:
    explicit Units(const TranscriptStore& store) : s(store), n(store.size()) { }

    // A CR LF is one character, as it is one step for the caret.
    Range character(qint64 pos) const
    {
        if (pos > 0 && s.at(pos) == '\n' && s.at(pos - 1) == '\r')
            --pos;
        const bool crlf = pos + 1 < n && s.at(pos) == '\r' && s.at(pos + 1) == '\n';
        return {pos, pos + (crlf ? 2 : 1)};
    }

    // Also defined at size(): the last line, empty after a final break.
    Range line(qint64 pos) const { return lineRange(s.lineOf(pos)); }

    Range lineRange(qint64 line) const
    {
        const qint64 next = line + 1 < s.lineCount() ? s.lineStart(line + 1) : n;
        return {s.lineStart(line), next};
    }

    Range word(qint64 pos) const
    {
        const uchar byte = s.at(pos);
        if (isBreak(byte))
            return character(pos);
        if (!TranscriptStore::isWordByte(byte) && !isBlank(byte))
            return {pos, pos + 1};
        const bool word = TranscriptStore::isWordByte(byte);
        auto same = [&](qint64 p) { return word ? TranscriptStore::isWordByte(s.at(p)) : isBlank(s.at(p)); };
        qint64 from = pos;
        qint64 to = pos + 1;
        while (from > 0 && same(from - 1))
            --from;
        while (to < n && same(to))
            ++to;
        return {from, to};
    }

    Range sentence(qint64 pos) const
    {
        const Range whole = line(pos);
        const qint64 start = whole.start;
        const qint64 end = s.lineEnd(s.lineOf(pos));
        // A sentence starts at `at` when blanks end there and a sentence's
        // last character comes before them; the blanks belong to the
        // sentence they follow. Each run of blanks is looked at once.
        auto startsAfterBlanks = [&](qint64 at, qint64* runStart) {
            qint64 j = at - 1;
            while (j >= start && isBlank(s.at(j)))
                --j;
            *runStart = j + 1;
            return j >= start && endsSentence(s.at(j));
        };
        Range r{start, whole.end};
        for (qint64 i = std::min(pos, end - 1); i > start;) {
            qint64 runStart = i;
            if (isBlank(s.at(i - 1)) && !isBlank(s.at(i)) && startsAfterBlanks(i, &runStart)) {
                r.start = i;
                break;
            }
            i = runStart < i ? runStart : i - 1;
        }
        for (qint64 i = pos + 1; i < end; ++i) {
            qint64 runStart = i;
            if (isBlank(s.at(i - 1)) && !isBlank(s.at(i)) && startsAfterBlanks(i, &runStart)) {
                r.end = i;
                break;
            }
        }
        return r;
    }

    Range unit(QAccessible::TextBoundaryType type, qint64 pos) const
    {
        switch (type) {
        case QAccessible::WordBoundary:
            return word(pos);
        case QAccessible::SentenceBoundary:
            return sentence(pos);
        case QAccessible::LineBoundary:
        case QAccessible::ParagraphBoundary:
            return line(pos);
        case QAccessible::CharBoundary:
        default:
            return character(pos);
        }
    }

private:
    const TranscriptStore& s;
    const qint64 n;
};

QAccessibleInterface* createForTranscript(const QString& className, QObject* object)
{
    if (className == QLatin1String(TranscriptView::staticMetaObject.className()))
        if (auto* view = qobject_cast<TranscriptView*>(object))
            return new TranscriptAccessible(view);
    return nullptr;
}

} // namespace

TranscriptAccessible::TranscriptAccessible(TranscriptView* view)
    : QAccessibleWidget(view, QAccessible::EditableText)
{
}

void TranscriptAccessible::installFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory(createForTranscript);
        return true;
    }();
    Q_UNUSED(installed);
}

TranscriptView* TranscriptAccessible::view() const
{
    return static_cast<TranscriptView*>(widget());
}

const TranscriptStore& TranscriptAccessible::store() const
{
    return view()->store();
}

QAccessible::State TranscriptAccessible::state() const
{
    QAccessible::State st = QAccessibleWidget::state();
    st.readOnly = true;
    st.multiLine = true;
    st.selectableText = true;
    return st;
}

void* TranscriptAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

// --- selection and caret ------------------------------------------------------

const TranscriptMapping& TranscriptAccessible::mapping() const
{
    return view()->accessibleMapping();
}

bool TranscriptAccessible::isLatin1() const
{
    return view()->encoding() == TextEncoding::Latin1 && !view()->isHexView()
        && !view()->gutter().isShown();
}

void TranscriptAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const
{
    *startOffset = *endOffset = -1;
    const TranscriptView* v = view();
    if (selectionIndex != 0 || v->selectionLength() == 0)
        return;
    *startOffset = toInt(mapping().offsetOf(v->selectionStart()));
    *endOffset = toInt(mapping().offsetOf(v->selectionStart() + v->selectionLength()));
}

int TranscriptAccessible::selectionCount() const
{
    return view()->selectionLength() > 0 ? 1 : 0;
}

void TranscriptAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void TranscriptAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0 && selectionCount() == 1)
        view()->setSelection(view()->caretPosition(), 0);
}

// There is one selection: index 0 replaces it, and so does index 1, which is
// how a client adds one (AT-SPI's AddSelection asks for index
// selectionCount()).
void TranscriptAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex < 0 || selectionIndex > selectionCount())
        return;
    const TranscriptMapping& map = mapping();
    const qint64 n = map.accessibleLength();
    const qint64 from = map.positionOfOffset(std::clamp<qint64>(startOffset, 0, n));
    const qint64 to = map.positionOfOffset(std::clamp<qint64>(endOffset, 0, n));
    view()->setSelection(from, to - from);
}

int TranscriptAccessible::cursorPosition() const
{
    return toInt(mapping().offsetOf(view()->caretPosition()));
}

void TranscriptAccessible::setCursorPosition(int position)
{
    TranscriptView* v = view();
    v->moveCaret(mapping().positionOfOffset(position), false);
    v->m_goalColumn = -1;
    v->ensureCaretVisible();
}

// --- text -----------------------------------------------------------------------

int TranscriptAccessible::characterCount() const
{
    return toInt(mapping().accessibleLength());
}

QString TranscriptAccessible::text(int startOffset, int endOffset) const
{
    const qint64 n = mapping().accessibleLength();
    if (endOffset == -1)
        endOffset = toInt(n);
    const qint64 from = std::clamp<qint64>(startOffset, 0, n);
    const qint64 to = std::clamp<qint64>(endOffset, from, n);
    return mapping().accessibleText(from, to);
}

QString TranscriptAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                               int* startOffset, int* endOffset) const
{
    return textNear(Side::Before, offset, boundaryType, startOffset, endOffset);
}

QString TranscriptAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                              int* startOffset, int* endOffset) const
{
    return textNear(Side::After, offset, boundaryType, startOffset, endOffset);
}

QString TranscriptAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int* startOffset, int* endOffset) const
{
    return textNear(Side::At, offset, boundaryType, startOffset, endOffset);
}

// Offset -1 means the end of the text. At the end, the line there is the last
// (empty after a final break); every other unit there is empty, at the end.
// Nothing (empty, offsets -1) before the first unit, after the last, or at an
// offset outside the text.
QString TranscriptAccessible::textNear(Side side, int offset,
                                       QAccessible::TextBoundaryType boundaryType,
                                       int* startOffset, int* endOffset) const
{
    if (!isLatin1())
        return textNearShown(side, offset, boundaryType, startOffset, endOffset);
    const TranscriptStore& s = store();
    const qint64 n = s.size();
    const qint64 pos = offset == -1 ? n : offset;
    *startOffset = *endOffset = -1;
    if (pos < 0 || pos > n)
        return QString();

    const Units units(s);
    const bool lines = boundaryType == QAccessible::LineBoundary
        || boundaryType == QAccessible::ParagraphBoundary;
    Range r;
    if (boundaryType == QAccessible::NoBoundary) {
        if (side == Side::At)
            r = {0, n};
    } else if (lines) {
        const qint64 line = s.lineOf(pos);
        const qint64 target = side == Side::Before ? line - 1 : side == Side::After ? line + 1 : line;
        if (target >= 0 && target < s.lineCount())
            r = units.lineRange(target);
    } else if (side == Side::At) {
        r = pos < n ? units.unit(boundaryType, pos) : Range{n, n};
    } else if (side == Side::Before) {
        const qint64 start = pos < n ? units.unit(boundaryType, pos).start : n;
        if (start > 0)
            r = units.unit(boundaryType, start - 1);
    } else if (pos < n) {
        const qint64 end = units.unit(boundaryType, pos).end;
        if (end < n)
            r = units.unit(boundaryType, end);
    }
    if (r.isNull())
        return QString();
    *startOffset = toInt(r.start);
    *endOffset = toInt(r.end);
    return QString::fromLatin1(s.bytes().sliced(r.start, r.end - r.start));
}

// The text of the rows in view now (UTF-8 or hex): lines are the rows; the
// other units are what Qt's boundary finder makes of the row's text, within
// Reach units of the offset.
QString TranscriptAccessible::textNearShown(Side side, int offset,
                                            QAccessible::TextBoundaryType boundaryType,
                                            int* startOffset, int* endOffset) const
{
    const TranscriptMapping& map = mapping();
    const qint64 n = map.accessibleLength();
    const qint64 at = offset == -1 ? n : offset;
    *startOffset = *endOffset = -1;
    if (at < 0 || at > n)
        return QString();
    auto rowRange = [&](qint64 row) {
        const qint64 from = map.rowOffset(row);
        const qint64 to = row + 1 < map.rowCount() ? map.rowOffset(row + 1) : n;
        return Range{from, to};
    };
    const qint64 row = map.rowOf(map.positionOfOffset(at));
    Range r;
    if (boundaryType == QAccessible::NoBoundary) {
        if (side == Side::At)
            r = {0, n};
    } else if (boundaryType == QAccessible::LineBoundary
               || boundaryType == QAccessible::ParagraphBoundary) {
        const qint64 target = side == Side::Before ? row - 1 : side == Side::After ? row + 1 : row;
        if (target >= 0 && target < map.rowCount())
            r = rowRange(target);
    } else if (at < n || side == Side::Before) {
        constexpr qint64 Reach = 4096;
        const Range whole = rowRange(row);
        const qint64 from = std::max(whole.start, at - Reach);
        const qint64 to = std::min(whole.end, at + Reach);
        const QString text = map.accessibleText(from, to);
        const QTextBoundaryFinder::BoundaryType type
            = boundaryType == QAccessible::WordBoundary       ? QTextBoundaryFinder::Word
            : boundaryType == QAccessible::SentenceBoundary ? QTextBoundaryFinder::Sentence
                                                            : QTextBoundaryFinder::Grapheme;
        QTextBoundaryFinder finder(type, text);
        // The unit that holds the offset k of text: [start, end).
        auto unitAt = [&](qint64 k) {
            finder.setPosition(int(k));
            const qint64 start = finder.isAtBoundary() ? k : finder.toPreviousBoundary();
            finder.setPosition(int(k));
            const qint64 end = finder.toNextBoundary();
            return Range{from + std::max<qint64>(0, start), from + (end < 0 ? text.size() : end)};
        };
        const qint64 k = at - from;
        if (side == Side::At && at < n)
            r = unitAt(k);
        else if (side == Side::Before) {
            const qint64 start = at < to ? unitAt(k).start - from : text.size();
            if (start > 0)
                r = unitAt(start - 1);
            else if (row > 0 && from == whole.start)
                r = {rowRange(row - 1).end - 1, rowRange(row - 1).end};
        } else if (at < n) {
            const qint64 end = unitAt(k).end - from;
            if (end < text.size())
                r = unitAt(end);
            else if (from + end < n)
                r = {from + end, from + end + 1};
        }
    }
    if (r.isNull())
        return QString();
    *startOffset = toInt(r.start);
    *endOffset = toInt(r.end);
    return map.accessibleText(r.start, r.end);
}

// Who put the text there: "origin:received", "origin:sent" (the echo of what
// was sent) or "origin:status" (the program's own lines); in a relay
// "origin:client" and "origin:server" (what each sent, passed on) and
// "origin:sent-to-client" and "origin:sent-to-server" (the user's own bytes);
// over the run of text that shares it (in hex, one character at a time).
QString TranscriptAccessible::attributes(int offset, int* startOffset, int* endOffset) const
{
    const TranscriptMapping& map = mapping();
    const qint64 n = map.accessibleLength();
    *startOffset = *endOffset = -1;
    if (offset < 0 || offset > n)
        return QString();
    const TranscriptOrigins& origins = view()->origins();
    const qint64 size = store().size();
    const qint64 pos = map.positionOfOffset(offset);
    const qsizetype run = origins.runAt(std::min(pos, std::max<qint64>(0, size - 1)));
    const TextOrigin origin = run < 0 ? TextOrigin::Received : origins.run(run).origin;
    if (view()->isHexView() || run < 0) {
        *startOffset = offset;
        *endOffset = int(std::min<qint64>(offset + 1, n));
        if (run < 0) {
            *startOffset = 0;
            *endOffset = toInt(n);
        }
    } else {
        *startOffset = toInt(map.offsetOf(origins.run(run).start));
        *endOffset = toInt(map.offsetOf(origins.runEnd(run, size)));
    }
    switch (origin) {
    case TextOrigin::Sent:
        return QStringLiteral("origin:sent;");
    case TextOrigin::Status:
        return QStringLiteral("origin:status;");
    case TextOrigin::FromClient:
        return QStringLiteral("origin:client;");
    case TextOrigin::FromServer:
        return QStringLiteral("origin:server;");
    case TextOrigin::ToClient:
        return QStringLiteral("origin:sent-to-client;");
    case TextOrigin::ToServer:
        return QStringLiteral("origin:sent-to-server;");
    case TextOrigin::Received:
        break;
    }
    return QStringLiteral("origin:received;");
}

// --- geometry -------------------------------------------------------------------

QRect TranscriptAccessible::characterRect(int offset) const
{
    const TranscriptView* v = view();
    const TranscriptMapping& map = mapping();
    if (offset < 0 || offset > map.accessibleLength())
        return QRect();
    const qint64 pos = map.positionOfOffset(offset);
    const qint64 line = map.rowOf(pos);
    const qint64 column = map.columnOf(pos);
    const qint64 next = map.nextPosition(pos);
    const qint64 cells = next > pos && map.rowOf(next) == line && map.columnOf(next) > column
        ? map.columnOf(next) - column
        : 1;
    const qreal left = (column - v->firstVisibleColumn()) * v->m_cellWidth;
    const qreal right = left + cells * v->m_cellWidth;
    const qint64 top = (line - v->firstVisibleLine()) * v->m_rowHeight;
    const QRect cell(QPoint(toInt(std::floor(left)), toInt(top)),
                     QPoint(toInt(std::floor(right)) - 1, toInt(top + v->m_rowHeight - 1)));
    return cell.translated(v->viewport()->mapToGlobal(QPoint(0, 0)));
}

int TranscriptAccessible::offsetAtPoint(const QPoint& point) const
{
    const TranscriptView* v = view();
    const TranscriptMapping& map = mapping();
    const QPoint local = v->viewport()->mapFromGlobal(point);
    if (!v->viewport()->rect().contains(local))
        return -1;
    const qint64 line = v->firstVisibleLine() + local.y() / v->m_rowHeight;
    if (line >= map.rowCount())
        return -1;
    const qint64 column = v->firstVisibleColumn() + qint64(std::floor(local.x() / v->m_cellWidth));
    const qint64 width = map.rowColumns(line);
    if (column < width)
        return toInt(map.offsetOf(map.positionAtColumn(line, column)));
    // The cell after a line's text shows its break when selected.
    if (column == width && line + 1 < map.rowCount() && !v->isHexView())
        return toInt(map.offsetOf(map.rowEnd(line)));
    return -1;
}

void TranscriptAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    const TranscriptMapping& map = mapping();
    const qint64 n = map.accessibleLength();
    const qint64 from = map.positionOfOffset(std::clamp<qint64>(startIndex, 0, n));
    const qint64 to = map.positionOfOffset(std::clamp<qint64>(endIndex, 0, n));
    // The start wins where the whole range does not fit.
    view()->ensurePositionVisible(to);
    view()->ensurePositionVisible(from);
}

// --- events -------------------------------------------------------------------------

TranscriptAccessibleUpdate::TranscriptAccessibleUpdate(TranscriptView* view, Kind kind)
{
    // QAccessible::updateAccessibility() drops every event while accessibility
    // is inactive: then not even the event is made.
    if (!QAccessible::isActive())
        return;
    m_view = view;
    const TranscriptMapping& map = view->accessibleMapping();
    m_kind = kind;
    m_size = view->length();
    m_caret = map.offsetOf(view->caretPosition());
    m_selectionStart = map.offsetOf(view->selectionStart());
    m_selectionEnd = map.offsetOf(view->selectionStart() + view->selectionLength());
    const qint64 length = map.accessibleLength();
    // What an append may still change: nothing in Latin-1, a sequence cut
    // short in UTF-8, the last row in hex.
    m_stable = kind == KeepsText ? map.stableOffset() : 0;
    m_tail = map.accessibleText(m_stable, length);
}

TranscriptAccessibleUpdate::~TranscriptAccessibleUpdate()
{
    if (!m_view)
        return;
    TranscriptView* v = m_view;
    const TranscriptMapping& map = v->accessibleMapping();
    const qint64 caret = map.offsetOf(v->caretPosition());
    if (m_kind == RemovesText && v->length() == 0) {
        if (!m_tail.isEmpty()) {
            QAccessibleTextRemoveEvent event(v, 0, m_tail);
            event.setCursorPosition(toInt(caret));
            QAccessible::updateAccessibility(&event);
        }
    } else if (m_kind == RemovesText) {
        // Shown another way: every character may have changed.
        QAccessibleTextUpdateEvent event(v, 0, m_tail, map.accessibleText(0, map.accessibleLength()));
        event.setCursorPosition(toInt(caret));
        QAccessible::updateAccessibility(&event);
    } else if (v->length() > m_size) {
        const QString now = map.accessibleText(m_stable, map.accessibleLength());
        if (now.startsWith(m_tail)) {
            QAccessibleTextInsertEvent event(v, toInt(m_stable + m_tail.size()),
                                             now.mid(m_tail.size()));
            event.setCursorPosition(toInt(caret));
            QAccessible::updateAccessibility(&event);
        } else {
            QAccessibleTextUpdateEvent event(v, toInt(m_stable), m_tail, now);
            event.setCursorPosition(toInt(caret));
            QAccessible::updateAccessibility(&event);
        }
    }
    const qint64 start = map.offsetOf(v->selectionStart());
    const qint64 end = map.offsetOf(v->selectionStart() + v->selectionLength());
    if (caret != m_caret) {
        QAccessibleTextCursorEvent event(v, toInt(caret));
        QAccessible::updateAccessibility(&event);
    }
    const bool wasSelected = m_selectionEnd > m_selectionStart;
    if ((start != m_selectionStart || end != m_selectionEnd) && (end > start || wasSelected)) {
        QAccessibleTextSelectionEvent event(v, toInt(start), toInt(end));
        event.setCursorPosition(toInt(caret));
        QAccessible::updateAccessibility(&event);
    }
}

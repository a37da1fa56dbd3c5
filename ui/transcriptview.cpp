#include "transcriptview.h"

#include "transcriptaccessible.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QScrollBar>
#include <QSignalBlocker>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

namespace {

int clampToInt(qint64 value)
{
    return int(std::clamp<qint64>(value, 0, INT_MAX));
}

} // namespace

TranscriptView::TranscriptView(QWidget* parent)
    : QAbstractScrollArea(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    // Always there, as in the classic box with both bars; bars that came and
    // went would also change the rows and columns in view after each append.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    updateMetrics();
    updateScrollBars();
    TranscriptAccessible::installFactory();
    m_chooseFile = [this](const QString& title, bool appending) {
        return QFileDialog::getSaveFileName(this, title, QString(), QString(), nullptr,
                                            appending ? QFileDialog::DontConfirmOverwrite
                                                      : QFileDialog::Options());
    };
}

TranscriptView::~TranscriptView() = default;

QString TranscriptView::plainText() const
{
    return QString::fromLatin1(m_store.bytes());
}

void TranscriptView::EnsureLineBreak()
{
    const qint64 n = m_store.size();
    if (n > 2 && !(m_store.at(n - 2) == '\r' && m_store.at(n - 1) == '\n'))
        AppendText(QStringLiteral("\r\n"));
}

void TranscriptView::AppendText(const QString& s)
{
    // toLatin1() turns every character above 255 into '?'.
    const QByteArray bytes = s.toLatin1();
    {
        const TranscriptAccessibleUpdate accessible(this);
        m_store.append(bytes);
        showTheStart();
    }
    // After the append has been announced: a failed write appends a notice
    // of its own.
    logAppended(bytes);
}

void TranscriptView::ScrollToEnd()
{
    moveCaret(m_store.size(), false);
    ensureCaretVisible();
}

void TranscriptView::clear()
{
    const TranscriptAccessibleUpdate accessible(this, TranscriptAccessibleUpdate::RemovesText);
    m_store.clear();
    showTheStart();
}

void TranscriptView::showTheStart()
{
    m_anchor = m_caret = 0;
    m_goalColumn = -1;
    updateScrollBars();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    viewport()->update();
}

void TranscriptView::setSelection(qint64 start, qint64 length)
{
    const TranscriptAccessibleUpdate accessible(this);
    const qint64 n = m_store.size();
    m_anchor = std::clamp<qint64>(start, 0, n);
    m_caret = std::clamp<qint64>(m_anchor + length, 0, n);
    m_goalColumn = -1;
    viewport()->update();
}

QString TranscriptView::selectedText() const
{
    return QString::fromLatin1(m_store.bytes().sliced(selectionStart(), selectionLength()));
}

void TranscriptView::selectAll()
{
    setSelection(0, m_store.size());
}

void TranscriptView::copy() const
{
    if (selectionLength() > 0)
        QGuiApplication::clipboard()->setText(selectedText());
}

qint64 TranscriptView::firstVisibleLine() const
{
    return verticalScrollBar()->value();
}

qint64 TranscriptView::firstVisibleColumn() const
{
    return horizontalScrollBar()->value();
}

bool TranscriptView::isPositionVisible(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, m_store.size());
    const qint64 line = m_store.lineOf(pos);
    const qint64 column = m_store.columnOf(pos);
    const qint64 row = line - firstVisibleLine();
    const qint64 cell = column - firstVisibleColumn();
    return row >= 0 && row < visibleRows() && cell >= 0 && cell < visibleColumns();
}

void TranscriptView::revealPosition(qint64 pos)
{
    ensurePositionVisible(std::clamp<qint64>(pos, 0, m_store.size()));
    viewport()->update();
}

QMenu* TranscriptView::createContextMenu(QWidget* parent)
{
    auto* menu = new QMenu(parent);
    QAction* copyAction = menu->addAction(tr("&Copy"), this, &TranscriptView::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(selectionLength() > 0);
    menu->addSeparator();
    QAction* selectAllAction = menu->addAction(tr("Select &All"), this, &TranscriptView::selectAll);
    selectAllAction->setShortcut(QKeySequence::SelectAll);
    menu->addSeparator();
    menu->addAction(tr("Save &As..."), this, &TranscriptView::saveAsChosenFile);
    if (isLogging())
        menu->addAction(tr("Stop &Logging"), this, &TranscriptView::stopLog);
    else
        menu->addAction(tr("&Log to File..."), this, &TranscriptView::logToChosenFile);
    for (const auto& section : m_menuSections) {
        menu->addSeparator();
        section(menu);
    }
    return menu;
}

void TranscriptView::setEncoding(TextEncoding encoding)
{
    if (encoding == m_encoding)
        return;
    m_encoding = encoding;
    viewport()->update();
    emit encodingChanged(encoding);
}

// --- keeping the transcript -----------------------------------------------

bool TranscriptView::saveAs(const QString& path, QString* reason) const
{
    // QSaveFile writes beside the target and renames over it at commit: a
    // failure half way leaves the earlier file as it was.
    QSaveFile file(path);
    const QByteArrayView bytes = m_store.bytes();
    const bool saved = file.open(QIODevice::WriteOnly)
        && file.write(bytes.data(), bytes.size()) == bytes.size()
        && file.commit();
    if (!saved && reason)
        *reason = file.errorString();
    return saved;
}

void TranscriptView::startLog(std::unique_ptr<TranscriptLog> log, bool withWhatIsShown)
{
    m_log = std::move(log);
    if (withWhatIsShown)
        logAppended(m_store.bytes());
}

void TranscriptView::stopLog()
{
    m_log.reset();
}

void TranscriptView::logAppended(QByteArrayView bytes)
{
    QString reason;
    if (!m_log || bytes.isEmpty() || m_log->write(bytes, &reason))
        return;
    const QString path = m_log->path();
    m_log.reset();
    EnsureLineBreak();
    AppendText(tr("Logging stopped: %1: %2").arg(path, reason) + QStringLiteral("\r\n"));
}

void TranscriptView::saveAsChosenFile()
{
    const QString path = m_chooseFile(tr("Save Transcript As"), false);
    if (path.isEmpty())
        return;
    QString reason;
    if (!saveAs(path, &reason))
        QMessageBox::warning(this, QStringLiteral("Pellix"),
                             tr("Could not save %1: %2").arg(path, reason));
}

void TranscriptView::logToChosenFile()
{
    const QString path = m_chooseFile(tr("Log Transcript to File"), true);
    if (path.isEmpty())
        return;
    QString reason;
    if (auto log = TranscriptLog::open(path, &reason))
        startLog(std::move(log), false);
    else
        QMessageBox::warning(this, QStringLiteral("Pellix"),
                             tr("Could not log to %1: %2").arg(path, reason));
}

// --- geometry -------------------------------------------------------------

void TranscriptView::updateMetrics()
{
    const QFontMetricsF fm(font());
    m_cellWidth = fm.horizontalAdvance(QLatin1Char('M'));
    if (!(m_cellWidth > 0))
        m_cellWidth = 1;
    m_rowHeight = std::max(1, int(std::ceil(fm.lineSpacing())));
    m_ascent = fm.ascent();

    // A character goes into a run only if the font itself draws it one cell
    // wide; a fallback glyph from another font could be wider and would push
    // the rest of the run off the grid. The soft hyphen shows as a hyphen.
    for (int b = 0; b < 256; ++b) {
        const QChar c = QChar::fromLatin1(char(b));
        const bool printable = (b >= 0x20 && b < 0x7f) || (b >= 0xa0 && b != 0xad);
        m_inRun[b] = printable && fm.inFont(c)
            && std::abs(fm.horizontalAdvance(c) - m_cellWidth) < 0.01;
    }
}

int TranscriptView::visibleRows() const
{
    return std::max(1, viewport()->height() / m_rowHeight);
}

qint64 TranscriptView::visibleColumns() const
{
    return std::max<qint64>(1, qint64(viewport()->width() / m_cellWidth));
}

void TranscriptView::updateScrollBars()
{
    const int rows = visibleRows();
    const qint64 columns = visibleColumns();
    QScrollBar* v = verticalScrollBar();
    QScrollBar* h = horizontalScrollBar();
    // The bars are always shown, so a new range needs no new layout; but the
    // scroll area queues one on every rangeChanged, and it repaints the whole
    // area, which doubled the cost of showing a received block. A value that
    // a smaller range clamps is read back at the next paint, and every caller
    // repaints the viewport.
    const QSignalBlocker quietV(v);
    const QSignalBlocker quietH(h);
    v->setRange(0, clampToInt(m_store.lineCount() - rows));
    v->setPageStep(rows);
    v->setSingleStep(1);
    // One column more than the widest line, for the caret after its end.
    h->setRange(0, clampToInt(m_store.maxColumns() + 1 - columns));
    h->setPageStep(clampToInt(columns));
    h->setSingleStep(1);
}

void TranscriptView::ensurePositionVisible(qint64 pos)
{
    const qint64 line = m_store.lineOf(pos);
    const qint64 column = m_store.columnOf(pos);
    const qint64 rows = visibleRows();
    const qint64 columns = visibleColumns();

    qint64 top = firstVisibleLine();
    if (line < top)
        top = line;
    else if (line >= top + rows)
        top = line - rows + 1;
    qint64 left = firstVisibleColumn();
    if (column < left)
        left = column;
    else if (column >= left + columns)
        left = column - columns + 1;
    verticalScrollBar()->setValue(clampToInt(top));
    horizontalScrollBar()->setValue(clampToInt(left));
}

qint64 TranscriptView::positionAt(QPoint point) const
{
    const qint64 row = qint64(std::floor(qreal(point.y()) / m_rowHeight));
    const qint64 line = std::clamp<qint64>(firstVisibleLine() + row, 0, m_store.lineCount() - 1);
    // Nearest boundary between cells: a click on the right half of a
    // character puts the caret after it.
    const qint64 column = firstVisibleColumn() + qint64(std::floor(point.x() / m_cellWidth + 0.5));
    return m_store.positionAtColumn(line, column);
}

// --- caret movement ---------------------------------------------------------

void TranscriptView::moveCaret(qint64 pos, bool keepAnchor)
{
    const TranscriptAccessibleUpdate accessible(this);
    m_caret = std::clamp<qint64>(pos, 0, m_store.size());
    if (!keepAnchor)
        m_anchor = m_caret;
    viewport()->update();
}

// A line break, one or two characters, is one step for the caret.
qint64 TranscriptView::previousPosition(qint64 pos) const
{
    if (pos <= 0)
        return 0;
    const qint64 line = m_store.lineOf(pos);
    if (pos == m_store.lineStart(line))
        return m_store.lineEnd(line - 1);
    return std::min(pos - 1, m_store.lineEnd(line));
}

qint64 TranscriptView::nextPosition(qint64 pos) const
{
    if (pos >= m_store.size())
        return m_store.size();
    const qint64 line = m_store.lineOf(pos);
    if (pos >= m_store.lineEnd(line))
        return m_store.lineStart(line + 1);
    return pos + 1;
}

qint64 TranscriptView::verticalMove(qint64 lines) const
{
    const qint64 target = std::clamp<qint64>(m_store.lineOf(m_caret) + lines, 0,
                                             m_store.lineCount() - 1);
    return m_store.positionAtColumn(target, m_goalColumn);
}

void TranscriptView::selectWordAt(qint64 pos)
{
    const qint64 line = m_store.lineOf(pos);
    const qint64 start = m_store.lineStart(line);
    const qint64 end = m_store.lineEnd(line);
    qint64 from = std::clamp(pos, start, end);
    if (from == end || !TranscriptStore::isWordByte(m_store.at(from))) {
        if (from > start && TranscriptStore::isWordByte(m_store.at(from - 1)))
            --from;
        else {
            moveCaret(pos, false);
            return;
        }
    }
    qint64 to = from;
    while (from > start && TranscriptStore::isWordByte(m_store.at(from - 1)))
        --from;
    while (to < end && TranscriptStore::isWordByte(m_store.at(to)))
        ++to;
    setSelection(from, to - from);
}

// --- events -----------------------------------------------------------------

void TranscriptView::keyPressEvent(QKeyEvent* event)
{
    emit keyPressed(event);
    event->accept();

    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool ctrlOnly = (mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        == Qt::ControlModifier;
    if (event->matches(QKeySequence::Copy) || (ctrlOnly && event->key() == Qt::Key_C)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll) || (ctrlOnly && event->key() == Qt::Key_A)) {
        selectAll();
        return;
    }

    const bool shift = mods & Qt::ShiftModifier;
    const bool ctrl = mods & Qt::ControlModifier;
    const bool selecting = selectionLength() > 0;
    const qint64 goal = m_goalColumn >= 0 ? m_goalColumn : m_store.columnOf(m_caret);
    bool vertical = false;
    qint64 pos = m_caret;
    switch (event->key()) {
    case Qt::Key_Left:
        pos = (selecting && !shift) ? selectionStart() : previousPosition(m_caret);
        break;
    case Qt::Key_Right:
        pos = (selecting && !shift) ? selectionStart() + selectionLength() : nextPosition(m_caret);
        break;
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        const qint64 step = (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)
            ? 1 : visibleRows();
        const bool up = event->key() == Qt::Key_Up || event->key() == Qt::Key_PageUp;
        m_goalColumn = goal;
        pos = verticalMove(up ? -step : step);
        if (step > 1)
            verticalScrollBar()->setValue(verticalScrollBar()->value() + int(up ? -step : step));
        vertical = true;
        break;
    }
    case Qt::Key_Home:
        pos = ctrl ? 0 : m_store.lineStart(m_store.lineOf(m_caret));
        break;
    case Qt::Key_End:
        pos = ctrl ? m_store.size() : m_store.lineEnd(m_store.lineOf(m_caret));
        break;
    default:
        return;
    }
    moveCaret(pos, shift);
    m_goalColumn = vertical ? goal : -1;
    ensureCaretVisible();
}

void TranscriptView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    moveCaret(positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
    m_goalColumn = -1;
    m_dragging = true;
}

void TranscriptView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
    moveCaret(positionAt(event->position().toPoint()), true);
    ensureCaretVisible();
}

void TranscriptView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_dragging = false;
}

void TranscriptView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    selectWordAt(positionAt(event->position().toPoint()));
    m_dragging = false;
}

void TranscriptView::contextMenuEvent(QContextMenuEvent* event)
{
    const std::unique_ptr<QMenu> menu(createContextMenu(this));
    menu->exec(event->globalPos());
}

void TranscriptView::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TranscriptView::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void TranscriptView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void TranscriptView::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        updateScrollBars();
        viewport()->update();
    }
}

// --- painting ---------------------------------------------------------------

void TranscriptView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), palette().base());
    painter.setFont(font());

    const qint64 top = firstVisibleLine();
    const qint64 left = firstVisibleColumn();
    // One more row and column than fit wholly, for the partly visible ones.
    const qint64 rows = visibleRows() + 1;
    const qint64 right = left + visibleColumns() + 1;
    const qint64 last = std::min(m_store.lineCount(), top + rows);
    for (qint64 line = top; line < last; ++line)
        paintLine(painter, line, qreal((line - top) * m_rowHeight), left, right);

    if (hasFocus()) {
        const qint64 line = m_store.lineOf(m_caret);
        const qint64 column = m_store.columnOf(m_caret);
        if (line >= top && line < last && column >= left && column <= right) {
            const qreal x = std::floor((column - left) * m_cellWidth);
            painter.fillRect(QRectF(x, qreal((line - top) * m_rowHeight), 1, m_rowHeight),
                             palette().text());
        }
    }
}

// Paints the cells of columns [left, right) of one line at height y: runs of
// ordinary characters with one drawText each, every other cell on its own.
void TranscriptView::paintLine(QPainter& painter, qint64 line, qreal y, qint64 left,
                               qint64 right) const
{
    const qint64 end = m_store.lineEnd(line);
    const qint64 selFrom = selectionStart();
    const qint64 selTo = selFrom + selectionLength();
    const QPalette& pal = palette();

    // The first character with a cell at or after `left`, and its column
    // (less than `left` for a tab that straddles it).
    qint64 pos = m_store.positionAtColumn(line, left);
    qint64 column = m_store.columnOf(pos);

    auto cellRect = [&](qint64 col, qint64 cells) {
        return QRectF((col - left) * m_cellWidth, y, cells * m_cellWidth, m_rowHeight);
    };

    QString run;
    qint64 runColumn = 0;
    bool runSelected = false;
    auto flush = [&] {
        if (run.isEmpty())
            return;
        if (runSelected)
            painter.fillRect(cellRect(runColumn, run.size()), pal.highlight());
        painter.setPen(pal.color(runSelected ? QPalette::HighlightedText : QPalette::Text));
        painter.drawText(QPointF((runColumn - left) * m_cellWidth, y + m_ascent), run);
        run.clear();
    };

    for (; pos < end && column < right; ++pos) {
        const uchar byte = m_store.at(pos);
        const bool selected = pos >= selFrom && pos < selTo;
        const qint64 next = TranscriptStore::nextColumn(column, byte);
        if (m_inRun[byte] && byte != '\t') {
            if (!run.isEmpty() && selected != runSelected)
                flush();
            if (run.isEmpty()) {
                runColumn = column;
                runSelected = selected;
            }
            run.append(QChar::fromLatin1(char(byte)));
        } else {
            flush();
            if (selected)
                painter.fillRect(cellRect(column, next - column), pal.highlight());
            if (byte != '\t') {
                painter.setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
                painter.drawText(QPointF((column - left) * m_cellWidth, y + m_ascent),
                                 QString(TranscriptStore::displayChar(byte)));
            }
        }
        column = next;
    }
    flush();

    // A selected line break shows as one highlighted cell after the line.
    if (pos == end && end < m_store.size() && end >= selFrom && end < selTo && column < right)
        painter.fillRect(cellRect(column, 1), pal.highlight());
}

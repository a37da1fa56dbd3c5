#include "transcriptview.h"

#include "transcriptaccessible.h"

#include <QClipboard>
#include <QActionGroup>
#include <QCursor>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QScrollBar>
#include <QStyleOptionSlider>
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

// Qt's raster engine hands a fill of 96 pixel rows or more to its thread
// pool in parts and waits for them: for the few hundred rows of a view that
// costs more in waking threads and waiting on them than the fill itself, and
// during a flood on X that was a third of the program's CPU. Painting in
// bands of fewer rows keeps it on this thread.
constexpr int Band = 64;

// Fills rect with colour, band by band; a plain colour takes the engine's
// quickest path, where a brush goes through its general one.
void fillInBands(QPainter& painter, const QRect& rect, const QColor& color)
{
    for (int y = rect.top(); y <= rect.bottom(); y += Band)
        painter.fillRect(QRect(rect.left(), y, rect.width(), std::min(Band, rect.bottom() + 1 - y)),
                         color);
}

} // namespace

namespace {

// A scroll bar that repaints only when what it shows has moved: while text
// floods in, the slider of a long transcript stays on the same pixels for
// many appends, and each repaint of it would cost as much as a row of text.
class TranscriptScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void sliderChange(SliderChange change) override
    {
        if (change != SliderValueChange && change != SliderRangeChange
            && change != SliderStepsChange) {
            QScrollBar::sliderChange(change);
            return;
        }
        // Looked at once the handler that moved it is done, before the
        // window repaints (which waits behind every other posted event): an
        // append shows the start and the receive then scrolls to the end, and
        // the slider that went up and down again on the way needs no repaint.
        if (m_lookPending)
            return;
        m_lookPending = true;
        QMetaObject::invokeMethod(this, [this] { showIfMoved(); }, Qt::QueuedConnection);
    }
    void showIfMoved()
    {
        m_lookPending = false;
        QStyleOptionSlider option;
        initStyleOption(&option);
        const QRect slider =
            style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
        const bool atEnds = value() == minimum() || value() == maximum();
        if (slider == m_shown && atEnds == m_shownAtEnds)
            return;
        m_shown = slider;
        m_shownAtEnds = atEnds;
        update();
    }
    // What QScrollBar paints, band by band (see Band): the style fills the
    // whole groove at once otherwise. The part pressed and the part under
    // the pointer show as QScrollBar shows them.
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QStyleOptionSlider option;
        initStyleOption(&option);
        option.subControls = QStyle::SC_All;
        const QStyle::SubControl under = underMouse() ? partAt(mapFromGlobal(QCursor::pos()))
                                                      : QStyle::SC_None;
        if (m_pressed != QStyle::SC_None) {
            option.activeSubControls = m_pressed;
            if (m_pressed == QStyle::SC_ScrollBarSlider || under == m_pressed)
                option.state |= QStyle::State_Sunken;
        } else {
            option.activeSubControls = under;
        }
        const bool vertical = orientation() == Qt::Vertical;
        const int length = vertical ? height() : width();
        for (int at = 0; at < length; at += Band) {
            painter.setClipRect(vertical ? QRect(0, at, width(), Band) : QRect(at, 0, Band, height()));
            style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, this);
        }
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        QScrollBar::mousePressEvent(event);
        if (event->button() == Qt::LeftButton || event->button() == Qt::MiddleButton)
            m_pressed = partAt(event->position().toPoint());
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        QScrollBar::mouseMoveEvent(event);
        // Leaving or coming back into the part pressed changes its look.
        if (m_pressed != QStyle::SC_None && m_pressed != QStyle::SC_ScrollBarSlider)
            update();
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        QScrollBar::mouseReleaseEvent(event);
        if (!(event->buttons() & (Qt::LeftButton | Qt::MiddleButton))) {
            m_pressed = QStyle::SC_None;
            update();
        }
    }
    bool event(QEvent* event) override
    {
        // What was last shown no longer says what shows now.
        if (event->type() == QEvent::Resize || event->type() == QEvent::StyleChange
            || event->type() == QEvent::EnabledChange)
            m_shown = QRect();
        return QScrollBar::event(event);
    }

private:
    QStyle::SubControl partAt(QPoint point) const
    {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return style()->hitTestComplexControl(QStyle::CC_ScrollBar, &option, point, this);
    }

    QRect m_shown;
    bool m_shownAtEnds = false; // the arrows show whether they can go on
    QStyle::SubControl m_pressed = QStyle::SC_None;
    bool m_lookPending = false;
};

} // namespace

// The strip at the left of the rows that shows their times: painted by the
// view, its clicks taken as clicks at the left edge of the rows.
class TranscriptGutterArea : public QWidget {
public:
    explicit TranscriptGutterArea(TranscriptView* view) : QWidget(view), m_view(view)
    {
        setObjectName(QStringLiteral("gutter"));
        setAttribute(Qt::WA_OpaquePaintEvent);
        setCursor(Qt::IBeamCursor);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        m_view->paintGutter(painter);
    }
    void mousePressEvent(QMouseEvent* event) override { forward(event, &TranscriptView::mousePressEvent); }
    void mouseMoveEvent(QMouseEvent* event) override { forward(event, &TranscriptView::mouseMoveEvent); }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        forward(event, &TranscriptView::mouseReleaseEvent);
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override
    {
        forward(event, &TranscriptView::mouseDoubleClickEvent);
    }
    void contextMenuEvent(QContextMenuEvent* event) override { m_view->contextMenuEvent(event); }
    void wheelEvent(QWheelEvent* event) override
    {
        QCoreApplication::sendEvent(m_view->viewport(), event);
    }

private:
    void forward(QMouseEvent* event, void (TranscriptView::*handler)(QMouseEvent*))
    {
        QPointF at = m_view->viewport()->mapFromGlobal(event->globalPosition());
        at.setX(0);
        QMouseEvent moved(event->type(), at, event->globalPosition(), event->button(),
                          event->buttons(), event->modifiers(), event->pointingDevice());
        (m_view->*handler)(&moved);
    }

    TranscriptView* m_view;
};

TranscriptView::TranscriptView(QWidget* parent)
    : QAbstractScrollArea(parent)
{
    setVerticalScrollBar(new TranscriptScrollBar(Qt::Vertical, this));
    setHorizontalScrollBar(new TranscriptScrollBar(Qt::Horizontal, this));
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    // Always there, as in the classic box with both bars; bars that came and
    // went would also change the rows and columns in view after each append.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    m_map = std::make_unique<Latin1Mapping>(m_store);
    m_gutterArea = new TranscriptGutterArea(this);
    updateMetrics();
    updateScrollBars();
    TranscriptAccessible::installFactory();
    m_chooseFile = [this](const QString& title, bool appending, const QStringList& filters,
                          QString* chosen) {
        return QFileDialog::getSaveFileName(this, title, QString(), filters.join(u";;"), chosen,
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
        AppendText(QStringLiteral("\r\n"), TextOrigin::Status);
}

void TranscriptView::AppendText(const QString& s, TextOrigin origin)
{
    // toLatin1() turns every character above 255 into '?'.
    AppendBytes(s.toLatin1(), origin);
}

void TranscriptView::AppendBytes(QByteArrayView bytes, TextOrigin origin)
{
    if (bytes.isEmpty())
        return;
    const TranscriptTimes::Micros now = m_clock();
    {
        const TranscriptAccessibleUpdate accessible(this);
        m_origins.append(m_store.size(), origin);
        m_times.append(m_store.size(), now);
        m_gutter.appended(m_store.size(), now);
        m_store.append(bytes);
        m_utf8.append(m_store);
        m_hexRows.append(m_store, m_origins);
        showTheStart();
    }
    // After the append has been announced: a failed write appends a notice
    // of its own.
    logAppended(bytes);
    if (m_capture) {
        QString reason;
        captured(m_capture->append(bytes, origin, now, &reason), reason);
    }
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
    m_utf8.clear();
    m_origins.clear();
    m_hexRows.clear();
    m_times.clear();
    m_gutter.cleared();
    m_conversations.clear();
    showTheStart();
}

void TranscriptView::showTheStart()
{
    m_anchor = m_caret = 0;
    m_goalColumn = -1;
    updateScrollBars();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateRows();
}

void TranscriptView::updateRows()
{
    viewport()->update();
    if (m_gutter.isShown())
        m_gutterArea->update();
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
    return m_map->text(selectionStart(), selectionStart() + selectionLength());
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
    const qint64 line = m_map->rowOf(pos);
    const qint64 column = m_map->columnOf(pos);
    const qint64 row = line - firstVisibleLine();
    const qint64 cell = column - firstVisibleColumn();
    return row >= 0 && row < visibleRows() && cell >= 0 && cell < visibleColumns();
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
    QMenu* encodings = menu->addMenu(tr("&Encoding"));
    auto* group = new QActionGroup(encodings);
    for (const auto& [label, encoding] : {std::pair{tr("&Latin-1"), TextEncoding::Latin1},
                                          std::pair{tr("&UTF-8"), TextEncoding::Utf8}}) {
        QAction* action = encodings->addAction(label, this,
                                               [this, e = encoding] { setEncoding(e); });
        action->setCheckable(true);
        action->setChecked(m_encoding == encoding);
        group->addAction(action);
    }
    QAction* hex = menu->addAction(tr("&Hex View"), this, &TranscriptView::setHexView);
    hex->setCheckable(true);
    hex->setChecked(m_hexView);
    QMenu* stamps = menu->addMenu(tr("&Timestamps"));
    auto* stampGroup = new QActionGroup(stamps);
    for (const auto& [label, mode] : {std::pair{tr("&Off"), TimestampMode::Off},
                                      std::pair{tr("Time of &Day"), TimestampMode::TimeOfDay},
                                      std::pair{tr("Since &Previous"), TimestampMode::SincePrevious},
                                      std::pair{tr("Since &Connected"), TimestampMode::SinceConnected}}) {
        QAction* action = stamps->addAction(label, this, [this, m = mode] { setTimestampMode(m); });
        action->setCheckable(true);
        action->setChecked(timestampMode() == mode);
        stampGroup->addAction(action);
    }
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
    remap();
    emit encodingChanged(encoding);
}

void TranscriptView::setHexView(bool on)
{
    if (on == m_hexView)
        return;
    m_hexView = on;
    remap();
    emit hexViewChanged(on);
}

void TranscriptView::remap()
{
    // The first byte in view stays in view; a caret or selection end inside
    // a character of the new mapping moves to that character's start.
    const qint64 shown = m_map->positionAtColumn(firstVisibleLine(), firstVisibleColumn());
    const TranscriptAccessibleUpdate accessible(this, TranscriptAccessibleUpdate::RemovesText);
    if (m_hexView)
        m_map = std::make_unique<HexMapping>(m_store, m_hexRows);
    else if (m_encoding == TextEncoding::Utf8)
        m_map = std::make_unique<Utf8Mapping>(m_store, m_utf8);
    else
        m_map = std::make_unique<Latin1Mapping>(m_store);
    if (m_gutter.isShown())
        m_gutterMap = std::make_unique<GutterMapping>(m_store, *m_map, m_gutter);
    auto snap = [this](qint64 pos) {
        return pos >= m_store.size() ? pos : m_map->previousPosition(m_map->nextPosition(pos));
    };
    m_anchor = snap(m_anchor);
    m_caret = snap(m_caret);
    m_goalColumn = -1;
    updateScrollBars();
    const QSignalBlocker quiet(verticalScrollBar());
    verticalScrollBar()->setValue(clampToInt(m_map->rowOf(shown)));
    horizontalScrollBar()->setValue(clampToInt(
        std::min(m_map->columnOf(shown), firstVisibleColumn())));
    updateRows();
}

void TranscriptView::setTimestampMode(TimestampMode mode)
{
    if (mode == m_gutter.mode())
        return;
    {
        // Every line of the accessible text gains, changes or loses its time.
        const TranscriptAccessibleUpdate accessible(this, TranscriptAccessibleUpdate::RemovesText);
        m_gutter.setMode(mode);
        m_gutterMap = m_gutter.isShown()
            ? std::make_unique<GutterMapping>(m_store, *m_map, m_gutter)
            : nullptr;
        updateMargins();
        updateScrollBars();
        updateRows();
    }
    emit timestampModeChanged(mode);
}

int TranscriptView::gutterWidth() const
{
    return m_gutter.isShown() ? int(std::ceil(TranscriptGutter::Cells * m_cellWidth)) : 0;
}

void TranscriptView::setBottomMargin(int pixels)
{
    m_bottomMargin = pixels;
    updateMargins();
}

void TranscriptView::updateMargins()
{
    const int gutter = gutterWidth();
    setViewportMargins(gutter, 0, 0, m_bottomMargin);
    m_gutterArea->setVisible(gutter > 0);
    const QRect rows = viewport()->geometry();
    m_gutterArea->setGeometry(rows.x() - gutter, rows.y(), gutter, rows.height());
}

QColor TranscriptView::originColor(TextOrigin origin) const
{
    // Readable on a light base and on a dark one: the darker or the lighter
    // of each pair, whichever stands out from the base.
    const bool dark = palette().color(QPalette::Base).lightness() < 128;
    switch (origin) {
    case TextOrigin::Sent:
    case TextOrigin::ToServer:
        return dark ? QColor(0x78, 0xae, 0xed) : QColor(0x1a, 0x5f, 0xb4); // blue
    case TextOrigin::ToClient:
        return dark ? QColor(0x4f, 0xc8, 0xd6) : QColor(0x00, 0x76, 0x84); // teal
    case TextOrigin::Status:
        return dark ? QColor(0xe5, 0xa5, 0x0a) : QColor(0x98, 0x6a, 0x00); // amber
    case TextOrigin::FromClient:
        return dark ? QColor(0x6c, 0xcf, 0x7f) : QColor(0x1b, 0x7a, 0x2f); // green
    case TextOrigin::FromServer:
        return dark ? QColor(0xd0, 0x9a, 0xf0) : QColor(0x84, 0x2f, 0xa8); // purple
    case TextOrigin::Received:
        break;
    }
    return palette().color(QPalette::Text);
}

// --- keeping the transcript -----------------------------------------------

bool TranscriptView::saveAs(const QString& path, QString* reason, SaveFormat format) const
{
    // QSaveFile writes beside the target and renames over it at commit: a
    // failure half way leaves the earlier file as it was.
    QSaveFile file(path);
    const QByteArrayView bytes = m_store.bytes();
    bool saved = file.open(QIODevice::WriteOnly);
    if (saved && format == SaveFormat::Bytes) {
        saved = file.write(bytes.data(), bytes.size()) == bytes.size();
    } else if (saved) {
        CaptureEncoder encoder;
        QByteArray blocks = CaptureEncoder::fileHeader();
        saved = replayTranscript(encoder, bytes, m_origins, m_times, m_conversations, blocks,
                                 [&file](QByteArray& out) {
                                     const bool written = file.write(out) == out.size();
                                     out.resize(0);
                                     return written;
                                 });
    }
    saved = saved && file.commit();
    if (!saved && reason)
        *reason = file.errorString();
    return saved;
}

void TranscriptView::startConversation(const Conversation& conversation)
{
    const TranscriptTimes::Micros now = m_clock();
    m_conversations.start(m_store.size(), now, conversation);
    if (m_capture) {
        QString reason;
        captured(m_capture->start(conversation, now, &reason), reason);
    }
}

void TranscriptView::endConversation()
{
    const TranscriptTimes::Micros now = m_clock();
    m_conversations.end(m_store.size(), now);
    if (m_capture) {
        QString reason;
        captured(m_capture->end(now, &reason), reason);
    }
}

void TranscriptView::startCapture(std::unique_ptr<TranscriptCapture> capture, bool withWhatIsShown)
{
    m_capture = std::move(capture);
    if (!m_capture)
        return;
    QString reason;
    if (!withWhatIsShown) {
        if (m_conversations.isOpen())
            captured(m_capture->start(*m_conversations.at(m_conversations.count() - 1).started,
                                      m_clock(), &reason),
                     reason);
        return;
    }
    QByteArray blocks;
    const bool written = replayTranscript(
        m_capture->encoder(), m_store.bytes(), m_origins, m_times, m_conversations, blocks,
        [&](QByteArray& out) { return m_capture->write(out, &reason); });
    captured(written, reason);
}

void TranscriptView::captured(bool written, const QString& reason)
{
    if (written || !m_capture)
        return;
    const QString path = m_capture->path();
    m_capture.reset();
    EnsureLineBreak();
    AppendText(tr("Capture stopped: %1: %2").arg(path, reason) + QStringLiteral("\r\n"),
               TextOrigin::Status);
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
    AppendText(tr("Logging stopped: %1: %2").arg(path, reason) + QStringLiteral("\r\n"),
               TextOrigin::Status);
}

void TranscriptView::saveAsChosenFile()
{
    // The exact bytes first: what Save As has always written.
    const QStringList filters = {tr("Exact bytes (*)"), tr("Wireshark capture (*.pcapng)")};
    QString chosen;
    const QString path = m_chooseFile(tr("Save Transcript As"), false, filters, &chosen);
    if (path.isEmpty())
        return;
    const SaveFormat format = chosen == filters.at(1) ? SaveFormat::Capture : SaveFormat::Bytes;
    QString reason;
    if (!saveAs(path, &reason, format))
        QMessageBox::warning(this, QStringLiteral("Pellix"),
                             tr("Could not save %1: %2").arg(path, reason));
}

void TranscriptView::logToChosenFile()
{
    const QString path = m_chooseFile(tr("Log Transcript to File"), true, {}, nullptr);
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
    if (m_gutterArea)
        updateMargins();

    // A character goes into a run only if the font itself draws it one cell
    // wide; a fallback glyph from another font could be wider and would push
    // the rest of the run off the grid. The soft hyphen shows as a hyphen.
    for (int b = 0; b < 256; ++b) {
        const QChar c = QChar::fromLatin1(char(b));
        const bool printable = (b >= 0x20 && b < 0x7f) || (b >= 0xa0 && b != 0xad);
        m_inRun[b] = printable && fm.inFont(c)
            && std::abs(fm.horizontalAdvance(c) - m_cellWidth) < 0.01;
    }
    m_rawFont = QRawFont::fromFont(font());
    for (int b = 0; b < 256; ++b) {
        const QList<quint32> glyphs =
            m_inRun[b] ? m_rawFont.glyphIndexesForString(QString(QChar::fromLatin1(char(b))))
                       : QList<quint32>();
        m_inRun[b] = glyphs.size() == 1 && glyphs.front() != 0;
        m_glyph[b] = m_inRun[b] ? glyphs.front() : 0;
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
    v->setRange(0, clampToInt(m_map->rowCount() - rows));
    v->setPageStep(rows);
    v->setSingleStep(1);
    // One column more than the widest line, for the caret after its end.
    h->setRange(0, clampToInt(m_map->maxColumns() + 1 - columns));
    h->setPageStep(clampToInt(columns));
    h->setSingleStep(1);
}

void TranscriptView::ensurePositionVisible(qint64 pos)
{
    pos = std::clamp<qint64>(pos, 0, m_store.size());
    const qint64 line = m_map->rowOf(pos);
    const qint64 column = m_map->columnOf(pos);
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
    const qint64 line = std::clamp<qint64>(firstVisibleLine() + row, 0, m_map->rowCount() - 1);
    // Nearest boundary between cells: a click on the right half of a
    // character puts the caret after it.
    const qint64 column = firstVisibleColumn() + qint64(std::floor(point.x() / m_cellWidth + 0.5));
    return m_map->positionAtColumn(line, column);
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

qint64 TranscriptView::verticalMove(qint64 lines) const
{
    const qint64 target = std::clamp<qint64>(m_map->rowOf(m_caret) + lines, 0,
                                             m_map->rowCount() - 1);
    return m_map->positionAtColumn(target, m_goalColumn);
}

void TranscriptView::selectWordAt(qint64 pos)
{
    const auto [from, to] = m_map->wordAt(pos);
    if (from == to)
        moveCaret(pos, false);
    else
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
    const qint64 goal = m_goalColumn >= 0 ? m_goalColumn : m_map->columnOf(m_caret);
    bool vertical = false;
    qint64 pos = m_caret;
    switch (event->key()) {
    case Qt::Key_Left:
        pos = (selecting && !shift) ? selectionStart() : m_map->previousPosition(m_caret);
        break;
    case Qt::Key_Right:
        pos = (selecting && !shift) ? selectionStart() + selectionLength() : m_map->nextPosition(m_caret);
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
        pos = ctrl ? 0 : m_map->rowStart(m_map->rowOf(m_caret));
        break;
    case Qt::Key_End:
        pos = ctrl ? m_store.size() : m_map->rowEnd(m_map->rowOf(m_caret));
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

void TranscriptView::scrollContentsBy(int, int)
{
    updateRows();
}

bool TranscriptView::viewportEvent(QEvent* event)
{
    // The gutter follows the rows wherever the scroll area lays them out.
    if (event->type() == QEvent::Resize || event->type() == QEvent::Move) {
        const QRect rows = viewport()->geometry();
        m_gutterArea->setGeometry(rows.x() - gutterWidth(), rows.y(), gutterWidth(), rows.height());
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void TranscriptView::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) {
        updateMetrics();
        m_gutterTexts.clear();
        updateScrollBars();
        updateRows();
    }
}

// --- painting ---------------------------------------------------------------

void TranscriptView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    fillInBands(painter, viewport()->rect(), palette().color(QPalette::Base));
    painter.setFont(font());

    const qint64 top = firstVisibleLine();
    const qint64 left = firstVisibleColumn();
    // One more row and column than fit wholly, for the partly visible ones.
    const qint64 rows = visibleRows() + 1;
    const qint64 right = left + visibleColumns() + 1;
    const qint64 last = std::min(m_map->rowCount(), top + rows);
    for (qint64 line = top; line < last; ++line)
        paintLine(painter, line, qreal((line - top) * m_rowHeight), left, right);

    if (hasFocus()) {
        const qint64 line = m_map->rowOf(m_caret);
        const qint64 column = m_map->columnOf(m_caret);
        if (line >= top && line < last && column >= left && column <= right) {
            const qreal x = std::floor((column - left) * m_cellWidth);
            painter.fillRect(QRectF(x, qreal((line - top) * m_rowHeight), 1, m_rowHeight),
                             palette().text());
        }
    }
}

// Paints the cells of columns [left, right) of one row at height y: runs of
// ordinary characters with one drawText each, every other cell on its own.
void TranscriptView::paintLine(QPainter& painter, qint64 line, qreal y, qint64 left,
                               qint64 right) const
{
    const qint64 selFrom = selectionStart();
    const qint64 selTo = selFrom + selectionLength();
    const QPalette& pal = palette();
    const QColor highlight = pal.color(QPalette::Highlight);
    const QColor highlightedText = pal.color(QPalette::HighlightedText);
    const QColor base = pal.color(QPalette::Base);
    const QColor label = pal.color(QPalette::PlaceholderText);

    auto cellRect = [&](qint64 col, qint64 cells) {
        return QRectF((col - left) * m_cellWidth, y, cells * m_cellWidth, m_rowHeight);
    };

    // The origin of the bytes from originFrom up to originTo.
    qsizetype run = -1;
    qint64 originFrom = 0;
    qint64 originTo = -1;
    QColor originInk;
    auto inkAt = [&](qint64 pos) {
        if (pos < originFrom || pos >= originTo) {
            run = m_origins.runAt(pos);
            originFrom = run < 0 ? 0 : m_origins.run(run).start;
            originTo = run < 0 ? m_store.size() : m_origins.runEnd(run, m_store.size());
            originInk = originColor(run < 0 ? TextOrigin::Received : m_origins.run(run).origin);
        }
        return originInk;
    };

    // Characters the font draws one cell wide, as one run of glyphs at their
    // cells: no text layout, which would cost more than the drawing itself.
    QList<quint32> glyphs;
    QList<QPointF> positions;
    QColor runInk;
    auto flush = [&] {
        if (glyphs.isEmpty())
            return;
        QGlyphRun glyphRun;
        glyphRun.setRawFont(m_rawFont);
        glyphRun.setGlyphIndexes(glyphs);
        glyphRun.setPositions(positions);
        painter.setPen(runInk);
        painter.drawGlyphRun(QPointF(0, y + m_ascent), glyphRun);
        glyphs.clear();
        positions.clear();
    };
    auto inRun = [&](const QString& text) {
        for (const QChar c : text)
            if (c.unicode() > 255 || !m_inRun[c.unicode()])
                return false;
        return true;
    };

    m_map->forEachCell(line, left, right, [&](const TranscriptCell& cell) {
        const bool selected = cell.kind != TranscriptCell::Label && cell.pos >= selFrom
            && cell.pos < selTo;
        const QRectF rect = cellRect(cell.column, cell.width);
        if (selected)
            painter.fillRect(rect, highlight);
        const QColor ink = selected ? highlightedText
            : cell.kind == TranscriptCell::Label ? label : inkAt(cell.pos);
        switch (cell.kind) {
        case TranscriptCell::Tab:
            return;
        case TranscriptCell::Control:
        case TranscriptCell::Invalid:
            paintByteBox(painter, rect, cell.value, cell.kind == TranscriptCell::Invalid, ink,
                         selected ? highlight : base);
            return;
        default:
            break;
        }
        const bool plain = (cell.kind != TranscriptCell::Text || cell.width == 1)
            && inRun(cell.text);
        if (!plain) {
            // Wide characters, marks, fallback glyphs: laid out on their own,
            // from their cell's left edge.
            painter.setPen(ink);
            painter.drawText(QPointF((cell.column - left) * m_cellWidth, y + m_ascent), cell.text);
            return;
        }
        if (ink != runInk)
            flush();
        runInk = ink;
        for (qsizetype i = 0; i < cell.text.size(); ++i) {
            glyphs.append(m_glyph[cell.text.at(i).unicode()]);
            positions.append(QPointF((cell.column + i - left) * m_cellWidth, 0));
        }
    });
    flush();

    // A selected line break shows as one highlighted cell after the line.
    if (m_hexView)
        return;
    const qint64 lineEnd = m_map->rowEnd(line);
    if (lineEnd < m_store.size() && lineEnd >= selFrom && lineEnd < selTo) {
        const qint64 column = m_map->columnOf(lineEnd);
        if (column >= left && column < right)
            painter.fillRect(cellRect(column, 1), highlight);
    }
}

// Each row's time, right-aligned in the gutter with half a cell free on
// either side. Rows that came in one append share a time, so each text is
// drawn once, as glyphs at their cells like the rows' own text, and then
// copied to every row that shows it.
void TranscriptView::paintGutter(QPainter& painter) const
{
    const QPalette& pal = palette();
    const QColor paper = pal.color(QPalette::AlternateBase);
    const qint64 top = firstVisibleLine();
    const qint64 last = std::min(m_map->rowCount(), top + visibleRows() + 1);
    const qreal ratio = m_gutterArea->devicePixelRatioF();
    const int width = m_gutterArea->width();
    // Below the last row, and each row with no time, paper alone.
    const int rowsEnd = int((last - top) * m_rowHeight);
    fillInBands(painter, QRect(0, rowsEnd, width, std::max(0, m_gutterArea->height() - rowsEnd)),
                paper);
    for (qint64 line = top; line < last; ++line) {
        const QString text = m_gutter.textAt(m_map->rowStart(line), m_store.size());
        if (text.isEmpty()) {
            painter.fillRect(QRect(0, int((line - top) * m_rowHeight), width, m_rowHeight), paper);
            continue;
        }
        auto it = m_gutterTexts.find(text);
        if (it == m_gutterTexts.end() || it->devicePixelRatio() != ratio) {
            if (m_gutterTexts.size() > 256)
                m_gutterTexts.clear();
            QPixmap pixmap(QSize(m_gutterArea->width(), m_rowHeight) * ratio);
            pixmap.setDevicePixelRatio(ratio);
            pixmap.fill(paper);
            QPainter p(&pixmap);
            p.setFont(font());
            p.setPen(pal.color(QPalette::PlaceholderText));
            const qreal x = (TranscriptGutter::TextCells + 0.5 - text.size()) * m_cellWidth;
            QList<quint32> glyphs;
            QList<QPointF> positions;
            for (qsizetype i = 0; i < text.size(); ++i) {
                const char16_t c = text.at(i).unicode();
                if (c < 256 && m_inRun[c]) {
                    glyphs.append(m_glyph[c]);
                    positions.append(QPointF(x + i * m_cellWidth, 0));
                } else {
                    p.drawText(QPointF(x + i * m_cellWidth, m_ascent), QString(text.at(i)));
                }
            }
            if (!glyphs.isEmpty()) {
                QGlyphRun run;
                run.setRawFont(m_rawFont);
                run.setGlyphIndexes(glyphs);
                run.setPositions(positions);
                p.drawGlyphRun(QPointF(0, m_ascent), run);
            }
            p.end();
            it = m_gutterTexts.insert(text, pixmap);
        }
        painter.drawPixmap(QPointF(0, qreal((line - top) * m_rowHeight)), *it);
    }
}

namespace {

// Hex digits 3 pixels wide and 5 high, a row of bits each, the leftmost
// pixel in bit 2: small enough for two to stand one above the other in a
// cell of the 9-point grid, and the same on every font.
constexpr quint8 DigitRows[16][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
    {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {2, 5, 7, 5, 5}, {6, 5, 6, 5, 6},
    {3, 4, 4, 4, 3}, {6, 5, 5, 5, 6}, {7, 4, 7, 4, 7}, {7, 4, 7, 4, 4},
};

} // namespace

void TranscriptView::paintByteBox(QPainter& painter, const QRectF& cell, uint value, bool invalid,
                                  const QColor& ink, const QColor& paper) const
{
    const int width = std::max(1, int(std::floor(cell.width())));
    const int height = std::max(1, int(cell.height()));
    const quint64 key = (quint64(value & 0xff) << 56) ^ (quint64(invalid) << 55)
        ^ (quint64(ink.rgb() & 0xffffff) << 24) ^ quint64(paper.rgb() & 0xffffff)
        ^ (quint64(width) << 48) ^ (quint64(height) << 40);
    auto it = m_boxCache.find(key);
    if (it == m_boxCache.end()) {
        // A control character: its digits on a tint of the ink; an invalid
        // byte: the other way round, paper on solid ink.
        QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
        QColor tint = ink;
        tint.setAlphaF(0.22);
        image.fill(paper);
        QPainter p(&image);
        // A column of paper at the right keeps neighbouring boxes apart.
        p.fillRect(QRect(0, 0, std::max(1, width - 1), height), invalid ? ink : tint);
        const int unit = std::max(1, std::min((width - 1) / 3, (height - 1) / 11));
        const int x0 = (width - 3 * unit) / 2;
        const int y0 = (height - 11 * unit + 1) / 2;
        const QColor digitInk = invalid ? paper : ink;
        for (int d = 0; d < 2; ++d) {
            const quint8* rows = DigitRows[(d == 0 ? value >> 4 : value) & 0xf];
            for (int r = 0; r < 5; ++r)
                for (int c = 0; c < 3; ++c)
                    if (rows[r] & (4 >> c))
                        p.fillRect(x0 + c * unit, y0 + (d * 6 + r) * unit, unit, unit, digitInk);
        }
        p.end();
        if (m_boxCache.size() > 1024)
            m_boxCache.clear();
        it = m_boxCache.insert(key, QPixmap::fromImage(image));
    }
    painter.drawPixmap(QPointF(std::floor(cell.left()), cell.top()), *it);
}

#pragma once

#include "hexindex.h"
#include "transcriptcapture.h"
#include "transcriptgutter.h"
#include "transcriptlog.h"
#include "transcriptmapping.h"
#include "transcriptorigins.h"
#include "transcriptstore.h"
#include "transcripttimes.h"
#include "utf8text.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QPixmap>
#include <QRawFont>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <vector>

class QKeyEvent;
class QMenu;
class QPainter;

// What Save As writes: the exact bytes, or a capture Wireshark reads.
enum class SaveFormat { Bytes, Capture };

// How the transcript's bytes are read as characters: Latin-1, one byte a
// character, or UTF-8.
enum class TextEncoding { Latin1, Utf8 };

// The read-only transcript: shows every byte exactly as it arrived, on a
// fixed-pitch grid without wrapping, read as Latin-1 (a cell a byte), as
// UTF-8 (a character one or two cells, each invalid byte a cell of its own)
// or as hex rows, each side's bytes counted on their own, with the status
// lines as rows of text between them. Control characters are boxes that
// name them, tabs blank cells up to the next multiple of 8; what was
// received, what was sent and the program's own lines each have their
// colour. Only the visible rows and columns are painted, and the scroll bars
// count rows and columns, so appending costs the same at any length.
//
// Keys are announced through keyPressed() before the view moves the caret;
// no key ever changes the text.
class TranscriptView : public QAbstractScrollArea {
    Q_OBJECT
    Q_PROPERTY(QString plainText READ plainText)

public:
    explicit TranscriptView(QWidget* parent = nullptr);
    ~TranscriptView() override;

    QString plainText() const;
    qint64 length() const { return m_store.size(); }
    const TranscriptStore& store() const { return m_store; }

    // CR LF, unless the text has 2 characters or fewer or already ends in
    // CR LF; the program's own (TextOrigin::Status).
    void EnsureLineBreak();
    // Appends s, each character as one Latin-1 byte ('?' above 255), as
    // coming from origin; then the caret is at 0, nothing is selected and the
    // first row and column show.
    void AppendText(const QString& s, TextOrigin origin = TextOrigin::Received);
    // The same for bytes as they are.
    void AppendBytes(QByteArrayView bytes, TextOrigin origin);
    // The caret after the last character, nothing selected, the end in view.
    void ScrollToEnd();
    void clear();

    qint64 caretPosition() const { return m_caret; }
    qint64 selectionStart() const { return std::min(m_anchor, m_caret); }
    qint64 selectionLength() const { return std::max(m_anchor, m_caret) - selectionStart(); }
    // Anchor at start, caret at start + length, both clamped to the text.
    void setSelection(qint64 start, qint64 length);
    // The selection as it is shown: in hex, its bytes as hex pairs and the
    // status lines as their text.
    QString selectedText() const;
    void selectAll();
    // The selected characters, exactly, to the clipboard.
    void copy() const;

    qint64 firstVisibleLine() const;
    qint64 firstVisibleColumn() const;
    // Whether the cell of the character at pos (or the caret there) is
    // wholly inside the viewport.
    bool isPositionVisible(qint64 pos) const;
    // Scrolls as little as needed to bring the cell of the character at pos
    // (or the caret there) into view.
    void ensurePositionVisible(qint64 pos);
    // Leaves a strip of that many pixels free below the rows, above the
    // horizontal scroll bar, for a widget laid over it; 0 gives it back.
    void setBottomMargin(int pixels);

    // Writes the transcript's exact bytes (or the capture of its
    // conversations) to path, replacing the file only once all of it is
    // written. False with the system's reason on failure.
    bool saveAs(const QString& path, QString* reason, SaveFormat format = SaveFormat::Bytes) const;

    // A connection has begun or ended here, between the bytes appended
    // before and after: kept for Save As, and passed on to the capture.
    void startConversation(const Conversation& conversation);
    void endConversation();
    const TranscriptConversations& conversations() const { return m_conversations; }

    // From now on every append and conversation also goes to capture; with
    // withWhatIsShown, the transcript so far goes first, and without, a
    // connection open now begins the capture. Replaces an earlier capture.
    void startCapture(std::unique_ptr<TranscriptCapture> capture, bool withWhatIsShown);
    void stopCapture() { m_capture.reset(); }
    bool isCapturing() const { return m_capture != nullptr; }

    // From now on every appended character also goes to log; with
    // withWhatIsShown, the transcript so far goes first. Replaces an earlier log.
    void startLog(std::unique_ptr<TranscriptLog> log, bool withWhatIsShown);
    void stopLog();
    bool isLogging() const { return m_log != nullptr; }
    QString logPath() const { return m_log ? m_log->path() : QString(); }

    // Asks the user for a file (the file dialog by default): the path, or
    // the empty text when the user cancels. appending: the file is added to,
    // so no question about replacing it. filters: the kinds of file offered
    // (none: any), the one chosen written to *chosen.
    using FileChooser = std::function<QString(const QString& title, bool appending,
                                              const QStringList& filters, QString* chosen)>;
    void setFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }

    // The context menu's actions: "Copy", "Select All", "Encoding" (Latin-1
    // or UTF-8), "Hex View", "Timestamps" (Off, Time of Day, Since Previous,
    // Since Connected), "Save As..." and "Log to File..." (or "Stop
    // Logging"); the caller owns the menu. None
    // takes a key: every key typed here belongs to the peer.
    QMenu* createContextMenu(QWidget* parent = nullptr);
    // Adds a section of actions to every context menu, after the view's own:
    // section is called with the menu each time one is made.
    void addMenuSection(std::function<void(QMenu*)> section)
    {
        m_menuSections.push_back(std::move(section));
    }

    // Both show the whole transcript the new way at once, the same bytes in
    // view and the same bytes selected.
    TextEncoding encoding() const { return m_encoding; }
    void setEncoding(TextEncoding encoding);
    bool isHexView() const { return m_hexView; }
    void setHexView(bool on);

    // The gutter at the left of the rows: each row's time, drawn beside the
    // bytes and never part of them (Copy, Save As and the log are the same
    // with it); the screen reader reads each line's time before its text.
    TimestampMode timestampMode() const { return m_gutter.mode(); }
    void setTimestampMode(TimestampMode mode);
    // The next append begins a connection: Since Connected counts from it.
    void markConnectionStart() { m_gutter.markConnectionStart(); }
    // The gutter's texts, and its width in pixels (0 while it is off).
    const TranscriptGutter& gutter() const { return m_gutter; }
    int gutterWidth() const;

    // How the bytes are shown now, and who sent them.
    const TranscriptMapping& mapping() const { return *m_map; }
    // What the screen reader reads: the mapping's text, with each row's
    // gutter text in front while the gutter shows.
    const TranscriptMapping& accessibleMapping() const
    {
        return m_gutterMap ? static_cast<const TranscriptMapping&>(*m_gutterMap) : *m_map;
    }
    const TranscriptOrigins& origins() const { return m_origins; }
    // When each append happened, by the clock given (the system's by default).
    const TranscriptTimes& times() const { return m_times; }
    void setClock(TranscriptTimes::Clock clock) { m_clock = std::move(clock); }
    // The colour of text from origin on the view's palette.
    QColor originColor(TextOrigin origin) const;

signals:
    void keyPressed(QKeyEvent* event);
    void encodingChanged(TextEncoding encoding);
    void hexViewChanged(bool on);
    void timestampModeChanged(TimestampMode mode);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool viewportEvent(QEvent* event) override;

private:
    // Reads the cell geometry and moves the caret for assistive technology.
    friend class TranscriptAccessible;
    // Paints the gutter and hands its clicks on as clicks at the rows' left edge.
    friend class TranscriptGutterArea;

    // The caret at 0, nothing selected, the first row and column in view.
    void showTheStart();
    void updateMetrics();
    void updateScrollBars();
    // The rows and the gutter beside them repainted.
    void updateRows();
    // The viewport's margins: the gutter at the left, the strip below.
    void updateMargins();
    void paintGutter(QPainter& painter) const;
    int visibleRows() const;
    qint64 visibleColumns() const;
    void moveCaret(qint64 pos, bool keepAnchor);
    void ensureCaretVisible() { ensurePositionVisible(m_caret); }
    // Makes the mapping of the encoding and view chosen, keeping the first
    // byte in view in view.
    void remap();
    qint64 positionAt(QPoint point) const;
    qint64 verticalMove(qint64 lines) const;
    void selectWordAt(qint64 pos);
    // The menu's file actions: a file dialog, then saveAs or startLog.
    void saveAsChosenFile();
    void logToChosenFile();
    // Passes what was just appended on to the log; a failed write ends the
    // log and says so once in the transcript.
    void logAppended(QByteArrayView bytes);
    // The same for the capture: unless written, the capture ends, said so once.
    void captured(bool written, const QString& reason);
    void paintLine(QPainter& painter, qint64 line, qreal y, qint64 firstColumn,
                   qint64 lastColumn) const;
    // A control character or an invalid byte: its value in hex, two digits
    // one above the other, on a tint of the ink (control) or in paper on
    // solid ink (invalid).
    void paintByteBox(QPainter& painter, const QRectF& cell, uint value, bool invalid,
                      const QColor& ink, const QColor& paper) const;

    TranscriptStore m_store;
    utf8::Index m_utf8;
    HexIndex m_hexRows;
    TranscriptOrigins m_origins;
    TranscriptTimes m_times;
    TranscriptTimes::Clock m_clock = TranscriptTimes::systemNow;
    TranscriptGutter m_gutter{m_times};
    std::unique_ptr<TranscriptMapping> m_map;
    // While the gutter shows: the accessible text with the times.
    std::unique_ptr<GutterMapping> m_gutterMap;
    QWidget* m_gutterArea = nullptr;
    // Each time shown, drawn once for every row that shows it.
    mutable QHash<QString, QPixmap> m_gutterTexts;
    int m_bottomMargin = 0;
    bool m_hexView = false;
    std::unique_ptr<TranscriptLog> m_log;
    TranscriptConversations m_conversations;
    std::unique_ptr<TranscriptCapture> m_capture;
    FileChooser m_chooseFile;
    std::vector<std::function<void(QMenu*)>> m_menuSections;
    TextEncoding m_encoding = TextEncoding::Latin1;
    qint64 m_anchor = 0;
    qint64 m_caret = 0;
    // The column that Up, Down, PageUp and PageDown aim for; -1 when the
    // caret's own column is the aim.
    qint64 m_goalColumn = -1;
    bool m_dragging = false;

    qreal m_cellWidth = 1;
    int m_rowHeight = 1;
    qreal m_ascent = 0;
    // The boxes drawn so far, by byte, kind, colours and size.
    mutable QHash<quint64, QPixmap> m_boxCache;
    // Bytes that the font draws one cell wide and may go into a run; the
    // others are drawn one cell at a time.
    std::array<bool, 256> m_inRun{};
    // The font's own glyph for each byte of m_inRun: a run is drawn as these
    // glyphs at their cells, with no text layout on the way.
    QRawFont m_rawFont;
    std::array<quint32, 256> m_glyph{};
};

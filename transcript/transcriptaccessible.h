#pragma once

#include <QAccessibleWidget>
#include <QString>

class TranscriptMapping;
class TranscriptStore;
class TranscriptView;

// What assistive technology sees of the transcript: a read-only multi-line
// text box (role EditableText, state read-only, as Qt gives a read-only
// QPlainTextEdit) whose text is what the view shows. Read as Latin-1 with no
// timestamps it is exactly the view's plainText, one character per stored
// byte, so offsets are byte positions, and the rules below hold. Read as
// UTF-8 it is the decoded text (an invalid byte is U+FFFD), read in hex the
// hex rows; with timestamps shown, every row begins with its time as the
// gutter shows it (GutterMapping), so reading a line reads when it came. In
// those the lines are the rows, and the other units come from Qt's boundary
// finder.
//
// Lines and paragraphs are the store's lines: CR LF, a bare CR and a bare LF
// each end one, also a CR LF split across appends, and a line's text includes
// the break that ends it. A CR LF is also one character, as it is one step for
// the caret. Words are runs of letters, digits and '_', runs of spaces and
// tabs, a line break, or any other single character. A sentence ends after
// '.', '!' or '?' and the blanks that follow, or with its line.
//
// Every answer reads the line index and about the range it returns, never the
// whole text, except NoBoundary, which asks for all of it. Offsets are
// ints: a transcript past INT_MAX characters shows only its first INT_MAX.
class TranscriptAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TranscriptAccessible(TranscriptView* view);

    // Registers the interface factory with QAccessible; only the first call
    // does anything.
    static void installFactory();

    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;

    int cursorPosition() const override;
    void setCursorPosition(int position) override;

    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int* startOffset, int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int* startOffset, int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                         int* startOffset, int* endOffset) const override;
    int characterCount() const override;

    // Screen coordinates of the character's cells (a tab's run to its stop;
    // a line break, or the end of the text, one cell after the line).
    QRect characterRect(int offset) const override;
    // The character whose cells hold the point, or -1.
    int offsetAtPoint(const QPoint& point) const override;

    void scrollToSubstring(int startIndex, int endIndex) override;
    // "origin:received", "origin:sent" or "origin:status", by run.
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    enum class Side { Before, At, After };
    TranscriptView* view() const;
    const TranscriptStore& store() const;
    const TranscriptMapping& mapping() const;
    bool isLatin1() const;
    QString textNearShown(Side side, int offset, QAccessible::TextBoundaryType boundaryType,
                          int* startOffset, int* endOffset) const;
    QString textNear(Side side, int offset, QAccessible::TextBoundaryType boundaryType,
                     int* startOffset, int* endOffset) const;
};

// Made where the view may change its text, caret or selection; when it goes
// out of scope it tells assistive technology what changed: the text appended
// (only that), the text removed, the caret moved, the selection changed. While
// accessibility is inactive it does nothing beyond asking whether it is.
class TranscriptAccessibleUpdate {
public:
    enum Kind { KeepsText, RemovesText };
    explicit TranscriptAccessibleUpdate(TranscriptView* view, Kind kind = KeepsText);
    ~TranscriptAccessibleUpdate();
    TranscriptAccessibleUpdate(const TranscriptAccessibleUpdate&) = delete;
    TranscriptAccessibleUpdate& operator=(const TranscriptAccessibleUpdate&) = delete;

private:
    TranscriptView* m_view = nullptr; // null while accessibility is inactive
    Kind m_kind = KeepsText;
    qint64 m_size = 0;
    // Offsets in the accessible text.
    qint64 m_caret = 0;
    qint64 m_selectionStart = 0;
    qint64 m_selectionEnd = 0;
    qint64 m_stable = 0;
    QString m_tail; // the text from m_stable on

};

#pragma once

#include "transcriptfind.h"

#include <QFrame>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class TranscriptView;

// The find bar: a strip laid over the bottom edge of the transcript, above
// its horizontal scroll bar, while the transcript leaves that strip free.
// It finds text in the transcript's current encoding, with or without case,
// or bytes written in hex; a match is selected and scrolled into view. The
// search starts from the selection (or the caret) and goes on from the other
// end when it reaches one; the outcome is said in the bar and to a screen
// reader.
class FindBar : public QFrame {
    Q_OBJECT

public:
    FindBar(TranscriptView* transcript, QWidget* parent);

    // Shows the bar with the focus in its text field, the text selected.
    void open();
    // Hides the bar; the focus goes back to the transcript.
    void dismiss();
    // The next match, or the one before; with nothing to find yet, opens the
    // bar instead. Shows the bar, leaving the focus where it is.
    void find(FindDirection direction);

    // What the last find said: "Not found", "Wrapped to the top; ...".
    QString message() const;

    QLineEdit* field = nullptr;
    QCheckBox* matchCase = nullptr;
    QCheckBox* hex = nullptr;
    QPushButton* previous = nullptr;
    QPushButton* next = nullptr;
    QToolButton* closeButton = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void place();
    void say(const QString& text);
    QString placeOf(qint64 pos) const;

    TranscriptView* m_transcript;
    QLabel* m_message = nullptr;
};

#include "findbar.h"

#include "hexbytes.h"
#include "transcriptview.h"

#include <QAccessible>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

namespace {

constexpr int BarHeight = 26;

} // namespace

FindBar::FindBar(TranscriptView* transcript, QWidget* parent)
    : QFrame(parent), m_transcript(transcript)
{
    setObjectName(QStringLiteral("findBar"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setAccessibleName(tr("Find"));

    auto* label = new QLabel(tr("&Find:"), this);
    field = new QLineEdit(this);
    field->setObjectName(QStringLiteral("findText"));
    field->setAccessibleName(tr("Text to find"));
    field->setToolTip(tr("Text to find in the transcript, or bytes in hex with Hex ticked; "
                         "Enter finds the next match, Shift+Enter the one before"));
    label->setBuddy(field);

    matchCase = new QCheckBox(tr("Match &case"), this);
    matchCase->setObjectName(QStringLiteral("findMatchCase"));
    matchCase->setAccessibleName(tr("Match case"));
    matchCase->setToolTip(tr("Tell capitals from small letters"));
    hex = new QCheckBox(tr("He&x"), this);
    hex->setObjectName(QStringLiteral("findHex"));
    hex->setAccessibleName(tr("Find hex bytes"));
    hex->setToolTip(tr("Find the bytes written in hex, for example 1B 5B"));

    auto button = [this](const QString& caption, const char* name, const QString& role) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        b->setAccessibleName(role);
        b->setToolTip(role);
        return b;
    };
    previous = button(tr("&Previous"), "findPrevious", tr("Find the match before (Shift+F3)"));
    next = button(tr("&Next"), "findNext", tr("Find the next match (F3)"));

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("findMessage"));

    closeButton = new QToolButton(this);
    closeButton->setObjectName(QStringLiteral("findClose"));
    closeButton->setText(QStringLiteral("\u00d7"));
    closeButton->setAutoRaise(true);
    closeButton->setAccessibleName(tr("Close the find bar"));
    closeButton->setToolTip(tr("Close the find bar (Escape)"));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 1, 2, 1);
    layout->setSpacing(6);
    layout->addWidget(label);
    layout->addWidget(field, 2);
    layout->addWidget(matchCase);
    layout->addWidget(hex);
    layout->addWidget(previous);
    layout->addWidget(next);
    layout->addWidget(m_message, 3);
    layout->addWidget(closeButton);

    connect(next, &QPushButton::clicked, this, [this] { find(FindDirection::Forward); });
    connect(previous, &QPushButton::clicked, this, [this] { find(FindDirection::Backward); });
    connect(closeButton, &QToolButton::clicked, this, &FindBar::dismiss);
    // Case means nothing for bytes by value.
    connect(hex, &QCheckBox::toggled, matchCase, &QWidget::setDisabled);
    connect(field, &QLineEdit::textEdited, this, [this] { say(QString()); });
    hide();
}

QString FindBar::message() const
{
    return m_message->text();
}

void FindBar::open()
{
    show();
    raise();
    field->setFocus(Qt::ShortcutFocusReason);
    field->selectAll();
}

void FindBar::dismiss()
{
    hide();
    m_transcript->setFocus(Qt::OtherFocusReason);
}

void FindBar::find(FindDirection direction)
{
    const QString text = field->text();
    QByteArray needle;
    CaseFold fold = CaseFold::None;
    if (hex->isChecked()) {
        const HexBytes parsed = ParseHexBytes(text);
        if (!parsed.ok()) {
            show();
            say(tr("Not hex: %1").arg(parsed.error));
            return;
        }
        needle = parsed.bytes;
    } else if (m_transcript->encoding() == TextEncoding::Utf8) {
        needle = text.toUtf8();
        fold = matchCase->isChecked() ? CaseFold::None : CaseFold::Utf8;
    } else {
        for (QChar c : text) {
            if (c.unicode() > 0xff) {
                show();
                say(tr("“%1” is not a Latin-1 character: no byte of the transcript can match it")
                        .arg(c));
                return;
            }
        }
        needle = text.toLatin1();
        fold = matchCase->isChecked() ? CaseFold::None : CaseFold::Latin1;
    }
    if (needle.isEmpty()) {
        open();
        say(hex->isChecked() ? tr("Type the bytes to find in hex") : tr("Type the text to find"));
        return;
    }
    show();

    const qint64 from = direction == FindDirection::Forward
        ? m_transcript->selectionStart() + m_transcript->selectionLength()
        : m_transcript->selectionStart();
    const FindResult found = findWrapping(m_transcript->store().bytes(), from, direction,
                                          needle, fold);
    if (found.position < 0) {
        say(tr("Not found"));
        return;
    }
    m_transcript->setSelection(found.position, needle.size());
    // The end, then the start: a match wider than the view shows its start.
    m_transcript->ensurePositionVisible(found.position + needle.size());
    m_transcript->ensurePositionVisible(found.position);
    const QString where = placeOf(found.position);
    if (!found.wrapped)
        say(tr("Found %1").arg(where));
    else if (direction == FindDirection::Forward)
        say(tr("Wrapped to the top; found %1").arg(where));
    else
        say(tr("Wrapped to the bottom; found %1").arg(where));
}

// Where a match is, as the transcript shows it now: its line, or in the hex
// view its row and, in bytes, its offset in what came from the same side.
QString FindBar::placeOf(qint64 pos) const
{
    const TranscriptMapping& map = m_transcript->mapping();
    const qint64 row = map.rowOf(pos) + 1;
    if (!m_transcript->isHexView())
        return tr("on line %1").arg(row);
    const qint64 offset = static_cast<const HexMapping&>(map).streamOffset(pos);
    if (offset < 0)
        return tr("on row %1").arg(row);
    return tr("at offset %1 on row %2")
        .arg(HexMapping::offsetText(offset))
        .arg(row);
}

void FindBar::say(const QString& text)
{
    m_message->setText(text);
    // The field carries the outcome as its description, which a screen
    // reader reads out when the focused field's description changes (Qt
    // sets it without saying so); the label raises an alert for the same
    // text, for when the focus is in the transcript (F3).
    field->setAccessibleDescription(text);
    QAccessibleEvent described(field, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&described);
    if (!text.isEmpty()) {
        QAccessibleEvent alert(m_message, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
}

void FindBar::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        dismiss();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // The buttons do not take Enter themselves (none is a default button).
        if (focusWidget() == previous || focusWidget() == next)
            static_cast<QPushButton*>(focusWidget())->click();
        else
            find(event->modifiers() & Qt::ShiftModifier ? FindDirection::Backward
                                                        : FindDirection::Forward);
        return;
    default:
        QFrame::keyPressEvent(event);
    }
}

void FindBar::showEvent(QShowEvent* event)
{
    QFrame::showEvent(event);
    m_transcript->setBottomMargin(BarHeight);
    place();
}

void FindBar::hideEvent(QHideEvent* event)
{
    QFrame::hideEvent(event);
    m_transcript->setBottomMargin(0);
}

// Over the strip that the transcript leaves free below its rows.
void FindBar::place()
{
    const QWidget* rows = m_transcript->viewport();
    const QPoint topLeft = rows->mapTo(parentWidget(), QPoint(0, rows->height()));
    setGeometry(topLeft.x(), topLeft.y(), rows->width(), BarHeight);
}

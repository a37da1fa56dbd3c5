#include "messageeditor.h"

#include "fixedfont.h"
#include "messagebytes.h"
#include "messagefile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTextBlock>
#include <QVBoxLayout>

MessageEditor::MessageEditor(const Message& message, const QList<Message>& others, int row,
                             QWidget* parent)
    : QDialog(parent), m_others(others), m_row(row)
{
    setObjectName(QStringLiteral("dlgMessage"));
    setWindowTitle(row < 0 ? tr("New Message") : tr("Edit Message"));
    auto named = [](QWidget* w, const char* object, const QString& name, const QString& tip) {
        w->setObjectName(QLatin1String(object));
        w->setAccessibleName(name);
        w->setToolTip(tip);
    };
    txtName = new QLineEdit(message.name, this);
    named(txtName, "txtName", tr("Name"), tr("The message's name, in menus and status lines"));
    cboKind = new QComboBox(this);
    cboKind->addItems({tr("Text with escapes"), tr("Hex bytes")});
    cboKind->setCurrentIndex(message.kind == Message::Kind::Hex ? 1 : 0);
    named(cboKind, "cboKind", tr("How the text is read"),
          tr("Text: \\r \\n \\t \\0 \\\\ and \\xNN are escapes, each line break the chosen "
             "Line End.\nHex: bytes in hex, as Send as Hex reads them (02 41 03)."));
    txtText = new QPlainTextEdit(message.text, this);
    txtText->setFont(transcriptFont());
    txtText->setTabChangesFocus(true);
    txtText->setLineWrapMode(QPlainTextEdit::NoWrap);
    named(txtText, "txtText", tr("Text"), cboKind->toolTip());
    cboKey = new QComboBox(this);
    cboKey->addItem(tr("None"), QString());
    for (const QString& key : messageKeys())
        cboKey->addItem(key, key);
    cboKey->setCurrentIndex(qMax(0, cboKey->findData(message.key)));
    named(cboKey, "cboKey", tr("Key"),
          tr("The key that sends it from the main window (F3 is Find Next; keys that type "
             "into the transcript go to the peer)"));
    spnEvery = new QSpinBox(this);
    spnEvery->setRange(0, MaximumEveryMs);
    spnEvery->setSuffix(tr(" ms"));
    spnEvery->setSpecialValueText(tr("No repeat"));
    spnEvery->setValue(message.everyMs);
    named(spnEvery, "spnEvery", tr("Repeat every, in milliseconds"),
          tr("Repeat: every %1 ms to a day, while the connection is open; started from the "
             "Messages window").arg(MinimumEveryMs));
    chkOnConnect = new QCheckBox(tr("Send when a connection is made"), this);
    chkOnConnect->setChecked(message.onConnect);
    named(chkOnConnect, "chkOnConnect", tr("Send on connect"),
          tr("Sent once right after Connect or Listen has a peer (after TLS); with a repeat, "
             "the repeat starts then"));
    lblError = new QLabel(this);
    lblError->setObjectName(QStringLiteral("lblError"));
    lblError->setWordWrap(true);
    lblError->setAccessibleName(tr("What is wrong"));

    form = new QFormLayout;
    form->addRow(tr("&Name:"), txtName);
    form->addRow(tr("&Read as:"), cboKind);
    form->addRow(tr("&Text:"), txtText);
    form->addRow(tr("&Key:"), cboKey);
    form->addRow(tr("Re&peat:"), spnEvery);
    form->addRow(QString(), chkOnConnect);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &MessageEditor::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &MessageEditor::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(lblError);
    layout->addWidget(buttons);
    setMinimumWidth(fontMetrics().averageCharWidth() * 60);
}

Message MessageEditor::message() const
{
    Message m;
    m.name = txtName->text().trimmed();
    m.kind = cboKind->currentIndex() == 1 ? Message::Kind::Hex : Message::Kind::Text;
    m.text = txtText->document()->toRawText();
    m.text.replace(QChar::ParagraphSeparator, u'\n');
    m.text.replace(QChar::LineSeparator, u'\n');
    m.key = cboKey->currentData().toString();
    m.everyMs = spnEvery->value();
    m.onConnect = chkOnConnect->isChecked();
    return m;
}

QString MessageEditor::problem() const
{
    return checkMessage(message(), m_others, m_row);
}

void MessageEditor::accept()
{
    const QString why = problem();
    if (why.isEmpty()) {
        QDialog::accept();
        return;
    }
    lblError->setText(tr("Not kept: %1.").arg(why));
    // An escape or hex fault: its characters selected in the text.
    const MessageBytes bytes = messageBytes(message(), LineEnd::CrLf, true);
    if (!bytes.ok() && bytes.errorAt >= 0) {
        QTextCursor cursor = txtText->textCursor();
        cursor.setPosition(int(bytes.errorAt));
        cursor.setPosition(int(bytes.errorAt + bytes.errorLength), QTextCursor::KeepAnchor);
        txtText->setTextCursor(cursor);
        txtText->setFocus(Qt::OtherFocusReason);
    }
}

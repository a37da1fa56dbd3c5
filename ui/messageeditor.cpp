#include "messageeditor.h"

#include "fixedfont.h"
#include "messagebytes.h"
#include "messagefile.h"
#include "messagerules.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
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
    createRuleRows(message);
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
    if (cboWhen->currentIndex() > 0) {
        Message::Rule rule;
        rule.kind = Message::PatternKind(cboWhen->currentIndex() - 1);
        rule.pattern = txtWhen->text();
        rule.delayMs = spnDelay->value();
        rule.from = RelaySide(cboFrom->currentIndex());
        rule.to = RelaySide(cboTo->currentIndex());
        rule.enabled = chkRuleOn->isChecked();
        m.rule = rule;
    }
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
    qsizetype at = -1;
    const Message m = message();
    if (m.rule && !checkRule(*m.rule, &at).isEmpty()) {
        // The rule's pattern at fault: from there on selected.
        txtWhen->setFocus(Qt::OtherFocusReason);
        txtWhen->setSelection(int(qMax<qsizetype>(0, at)), int(txtWhen->text().size()));
        return;
    }
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

void MessageEditor::createRuleRows(const Message& message)
{
    const Message::Rule rule = message.rule.value_or(Message::Rule{});
    cboWhen = new QComboBox(this);
    cboWhen->addItems({tr("No rule"), tr("Text with escapes"), tr("Hex bytes"),
                       tr("Regular expression")});
    cboWhen->setCurrentIndex(message.rule ? int(rule.kind) + 1 : 0);
    cboWhen->setObjectName(QStringLiteral("cboWhen"));
    cboWhen->setAccessibleName(tr("Rule: how what arrives is looked for"));
    cboWhen->setToolTip(
        tr("A rule sends this message when the peer sends what it looks for: a text with the "
           "same escapes, hex bytes, or a regular expression over the bytes read as Latin-1 "
           "(each byte one character)"));
    txtWhen = new QLineEdit(rule.pattern, this);
    txtWhen->setFont(transcriptFont());
    txtWhen->setObjectName(QStringLiteral("txtWhen"));
    txtWhen->setAccessibleName(tr("Rule: what to look for"));
    txtWhen->setToolTip(
        tr("Found wherever it falls, also split across reads. A regular expression's match "
           "is found across reads when it spans %1 bytes at most.")
            .arg(StreamMatcher::RegexWindow));
    spnDelay = new QSpinBox(this);
    spnDelay->setRange(0, MaximumDelayMs);
    spnDelay->setSuffix(tr(" ms"));
    spnDelay->setValue(rule.delayMs);
    spnDelay->setObjectName(QStringLiteral("spnDelay"));
    spnDelay->setAccessibleName(tr("Rule: delay before the answer, in milliseconds"));
    spnDelay->setToolTip(tr("How long to wait before answering, 0 to %1 ms").arg(MaximumDelayMs));
    const QStringList sides{tr("Client"), tr("Server")};
    cboFrom = new QComboBox(this);
    cboFrom->addItems(sides);
    cboFrom->setCurrentIndex(int(rule.from));
    cboFrom->setObjectName(QStringLiteral("cboFrom"));
    cboFrom->setAccessibleName(tr("Rule in a relay: the side listened to"));
    cboTo = new QComboBox(this);
    cboTo->addItems(sides);
    cboTo->setCurrentIndex(int(rule.to));
    cboTo->setObjectName(QStringLiteral("cboTo"));
    cboTo->setAccessibleName(tr("Rule in a relay: the side answered"));
    for (QComboBox* side : {cboFrom, cboTo})
        side->setToolTip(tr("In a relay only; Connect and Listen have one peer"));
    chkRuleOn = new QCheckBox(tr("R&ule on"), this);
    chkRuleOn->setChecked(rule.enabled);
    chkRuleOn->setObjectName(QStringLiteral("chkRuleOn"));
    chkRuleOn->setAccessibleName(tr("Rule on"));
    chkRuleOn->setToolTip(tr("This rule answers while Rules is on"));

    auto* sidesRow = new QHBoxLayout;
    sidesRow->addWidget(cboFrom);
    sidesRow->addWidget(new QLabel(tr("answer:"), this));
    sidesRow->addWidget(cboTo);
    form->addRow(tr("&When:"), cboWhen);
    form->addRow(tr("Look &for:"), txtWhen);
    form->addRow(tr("&Delay:"), spnDelay);
    auto* sidesLabel = new QLabel(tr("In a relay, &listen to:"), this);
    sidesLabel->setBuddy(cboFrom);
    form->addRow(sidesLabel, sidesRow);
    form->addRow(QString(), chkRuleOn);
    connect(cboWhen, &QComboBox::currentIndexChanged, this, &MessageEditor::updateRuleRows);
    updateRuleRows();
}

void MessageEditor::updateRuleRows()
{
    const bool rule = cboWhen->currentIndex() > 0;
    for (QWidget* field : std::initializer_list<QWidget*>{txtWhen, spnDelay, cboFrom, cboTo, chkRuleOn})
        field->setEnabled(rule);
}

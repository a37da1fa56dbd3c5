#pragma once

#include "message.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

// Adds or edits one message: a row of the form per field, and OK only once
// the message can be kept (its escapes read, its name and key its own); what
// is wrong shows under the form, and the text at fault is selected.
class MessageEditor : public QDialog {
    Q_OBJECT

public:
    // others: the list the message goes into; row: its place there, -1 for
    // a new one.
    MessageEditor(const Message& message, const QList<Message>& others, int row,
                  QWidget* parent = nullptr);

    // The message as the form holds it.
    Message message() const;

    void accept() override;

    QLineEdit* txtName = nullptr;
    QComboBox* cboKind = nullptr;
    QPlainTextEdit* txtText = nullptr;
    QComboBox* cboKey = nullptr;
    QSpinBox* spnEvery = nullptr;
    QCheckBox* chkOnConnect = nullptr;
    // The rule: what it looks for and how that is read (none: no rule),
    // its delay, in a relay the sides it listens to and answers, and its
    // own on/off.
    QComboBox* cboWhen = nullptr;
    QLineEdit* txtWhen = nullptr;
    QSpinBox* spnDelay = nullptr;
    QComboBox* cboFrom = nullptr;
    QComboBox* cboTo = nullptr;
    QCheckBox* chkRuleOn = nullptr;
    QLabel* lblError = nullptr;

protected:
    // The form's rows, for fields that come later.
    QFormLayout* form = nullptr;
    // Why the message cannot be kept as it is; empty when it can.
    virtual QString problem() const;

private:
    void createRuleRows(const Message& message);
    // The rule's fields usable only with a pattern to look for.
    void updateRuleRows();

    const QList<Message> m_others;
    const int m_row;
};

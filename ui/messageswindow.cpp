#include "messageswindow.h"

#include "messageeditor.h"
#include "messagefile.h"
#include "messagelist.h"
#include "messagesender.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

MessagesWindow::MessagesWindow(MessageList& list, MessageSender& sender, QWidget* parent)
    : QWidget(parent, Qt::Window), m_list(list), m_sender(sender)
{
    setObjectName(QStringLiteral("frmMessages"));
    setWindowTitle(tr("Messages"));
    // The program ends when the main window closes, whether this one shows or not.
    setAttribute(Qt::WA_QuitOnClose, false);
    tblMessages = new QTableView(this);
    tblMessages->setObjectName(QStringLiteral("tblMessages"));
    tblMessages->setModel(&list);
    tblMessages->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblMessages->setSelectionMode(QAbstractItemView::SingleSelection);
    tblMessages->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblMessages->setTabKeyNavigation(false);
    tblMessages->horizontalHeader()->setSectionResizeMode(MessageList::Text, QHeaderView::Stretch);
    tblMessages->verticalHeader()->hide();
    tblMessages->setAccessibleName(tr("Messages"));
    tblMessages->setToolTip(tr("Enter sends the selected message; double-click edits it"));
    tblMessages->installEventFilter(this);

    auto button = [this](const QString& caption, const char* object, const QString& name) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(object));
        b->setAccessibleName(name);
        b->setToolTip(name);
        b->setAutoDefault(false);
        return b;
    };
    cmdSend = button(tr("&Send"), "cmdSend", tr("Send the selected message"));
    cmdRepeat = button(tr("&Repeat"), "cmdRepeat", tr("Start or stop repeating the selected message"));
    cmdStopAll = button(tr("S&top All"), "cmdStopAll", tr("Stop every repeat"));
    cmdRules = button(tr("Ru&les"), "cmdRules",
                      tr("Rules: answer what arrives by the messages' rules"));
    cmdRules->setCheckable(true);
    cmdAdd = button(tr("&Add..."), "cmdAdd", tr("Add a message"));
    cmdEdit = button(tr("&Edit..."), "cmdEdit", tr("Edit the selected message"));
    cmdRemove = button(tr("Re&move"), "cmdRemove", tr("Remove the selected message"));
    cmdUp = button(tr("Move &Up"), "cmdUp", tr("Move the selected message up"));
    cmdDown = button(tr("Move &Down"), "cmdDown", tr("Move the selected message down"));
    cmdOpen = button(tr("&Open..."), "cmdOpen", tr("Open a file of messages, in place of these"));
    cmdSaveAs = button(tr("Save &As..."), "cmdSaveAs", tr("Save these messages to a file"));
    cmdClose = button(tr("&Close"), "cmdClose", tr("Close the Messages window"));

    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {cmdSend, cmdRepeat, cmdStopAll, cmdRules})
        buttons->addWidget(b);
    buttons->addSpacing(12);
    for (QPushButton* b : {cmdAdd, cmdEdit, cmdRemove, cmdUp, cmdDown})
        buttons->addWidget(b);
    buttons->addSpacing(12);
    for (QPushButton* b : {cmdOpen, cmdSaveAs})
        buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(cmdClose);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(tblMessages, 1);
    layout->addLayout(buttons);
    resize(640, 320);

    edit = [this](const Message& message, int row) -> std::optional<Message> {
        MessageEditor editor(message, m_list.messages(), row, this);
        if (editor.exec() != QDialog::Accepted)
            return std::nullopt;
        return editor.message();
    };

    connect(cmdSend, &QPushButton::clicked, this, [this] { m_sender.send(selectedRow()); });
    connect(cmdRepeat, &QPushButton::clicked, this, &MessagesWindow::toggleRepeat);
    connect(cmdStopAll, &QPushButton::clicked, this,
            [this] { m_sender.stopAll(tr("stopped by the user")); });
    connect(cmdAdd, &QPushButton::clicked, this, &MessagesWindow::add);
    connect(cmdEdit, &QPushButton::clicked, this, &MessagesWindow::editSelected);
    connect(tblMessages, &QAbstractItemView::doubleClicked, this, &MessagesWindow::editSelected);
    connect(cmdRemove, &QPushButton::clicked, this, &MessagesWindow::removeSelected);
    connect(cmdUp, &QPushButton::clicked, this, [this] { moveSelected(-1); });
    connect(cmdDown, &QPushButton::clicked, this, [this] { moveSelected(+1); });
    connect(cmdOpen, &QPushButton::clicked, this, &MessagesWindow::chooseFileToOpen);
    connect(cmdSaveAs, &QPushButton::clicked, this, &MessagesWindow::saveAs);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(tblMessages->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MessagesWindow::updateButtons);
    connect(&m_list, &QAbstractItemModel::modelReset, this, &MessagesWindow::updateButtons);
    connect(&m_list, &QAbstractItemModel::rowsRemoved, this, &MessagesWindow::updateButtons);
    connect(&m_sender, &MessageSender::repeatsChanged, this, &MessagesWindow::updateButtons);
    updateButtons();
}

int MessagesWindow::selectedRow() const
{
    const QModelIndexList rows = tblMessages->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void MessagesWindow::selectRow(int row)
{
    tblMessages->selectRow(row);
    tblMessages->setCurrentIndex(m_list.index(row, 0));
}

void MessagesWindow::updateButtons()
{
    const int row = selectedRow();
    for (QPushButton* b : {cmdSend, cmdEdit, cmdRemove})
        b->setEnabled(row >= 0);
    cmdUp->setEnabled(row > 0);
    cmdDown->setEnabled(row >= 0 && row + 1 < m_list.size());
    const bool repeating = m_sender.isRepeating(row);
    cmdRepeat->setEnabled(row >= 0 && (repeating || m_list.at(row).everyMs > 0));
    cmdRepeat->setText(repeating ? tr("Stop &Repeat") : tr("&Repeat"));
    cmdStopAll->setEnabled(!m_sender.schedule().isEmpty());
    cmdSaveAs->setEnabled(m_list.size() > 0);
}

bool MessagesWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == tblMessages && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_sender.send(selectedRow());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MessagesWindow::add()
{
    const std::optional<Message> message = edit(Message{}, -1);
    if (!message)
        return;
    const int row = selectedRow() < 0 ? m_list.size() : selectedRow() + 1;
    m_list.insert(row, *message);
    selectRow(row);
}

void MessagesWindow::editSelected()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const std::optional<Message> message = edit(m_list.at(row), row);
    if (!message || *message == m_list.at(row))
        return;
    // The repeat sends what the message was: it stops rather than go on with the old bytes.
    m_sender.stopRepeat(row, tr("edited"));
    m_list.replace(row, *message);
    updateButtons();
}

void MessagesWindow::removeSelected()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    m_sender.stopRepeat(row, tr("removed"));
    m_list.remove(row);
    if (m_list.size() > 0)
        selectRow(qMin(row, m_list.size() - 1));
}

void MessagesWindow::moveSelected(int by)
{
    const int row = selectedRow();
    if (m_list.move(row, by))
        selectRow(row + by);
}

void MessagesWindow::toggleRepeat()
{
    const int row = selectedRow();
    if (m_sender.isRepeating(row))
        m_sender.stopRepeat(row, tr("stopped by the user"));
    else
        m_sender.startRepeat(row);
}

bool MessagesWindow::openFile(const QString& path)
{
    const MessageFile file = readMessageFile(path);
    if (!file.ok()) {
        QMessageBox::warning(this, tr("Messages"),
                             tr("Nothing was opened: %1").arg(file.describe(path)));
        return false;
    }
    m_sender.stopAll(tr("another list was opened"));
    m_list.setMessages(file.messages);
    if (m_list.size() > 0)
        selectRow(0);
    return true;
}

void MessagesWindow::chooseFileToOpen()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open Messages"), QString(),
                                                      tr("Messages (*.toml);;All files (*)"));
    if (!path.isEmpty())
        openFile(path);
}

void MessagesWindow::saveAs()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save Messages"), QString(),
                                                      tr("Messages (*.toml);;All files (*)"));
    QString why;
    if (!path.isEmpty() && !writeMessageFile(path, m_list.messages(), &why))
        QMessageBox::warning(this, tr("Messages"), tr("Not saved: %1: %2").arg(path, why));
}

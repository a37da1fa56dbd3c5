#pragma once

#include "message.h"

#include <QWidget>

#include <functional>
#include <optional>

class MessageList;
class MessageSender;
class QPushButton;
class QTableView;

// "Messages": the saved messages beside the main window, a view over the
// list. Adds, edits, removes and reorders them, sends the selected one (the
// button or Enter), starts and stops its repeat, and opens and saves a file
// of them. It may be resized, and remembers nothing between runs.
class MessagesWindow : public QWidget {
    Q_OBJECT

public:
    MessagesWindow(MessageList& list, MessageSender& sender, QWidget* parent = nullptr);

    // Opens and reads path into the list, or says why not in a message box.
    bool openFile(const QString& path);

    // The row selected, or -1.
    int selectedRow() const;
    void selectRow(int row);

    // How a message is edited, replaceable in tests: the message as the user
    // left it, or none when cancelled.
    std::function<std::optional<Message>(const Message& message, int row)> edit;

    QTableView* tblMessages = nullptr;
    QPushButton* cmdSend = nullptr;
    QPushButton* cmdRepeat = nullptr;
    QPushButton* cmdStopAll = nullptr;
    // Rules on or off as a whole, as the main window's "Rules" is.
    QPushButton* cmdRules = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* cmdEdit = nullptr;
    QPushButton* cmdRemove = nullptr;
    QPushButton* cmdUp = nullptr;
    QPushButton* cmdDown = nullptr;
    QPushButton* cmdOpen = nullptr;
    QPushButton* cmdSaveAs = nullptr;
    QPushButton* cmdClose = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void add();
    void editSelected();
    void removeSelected();
    void moveSelected(int by);
    void toggleRepeat();
    void chooseFileToOpen();
    void saveAs();
    // The buttons enabled, and Repeat's caption, for the row selected.
    void updateButtons();

    MessageList& m_list;
    MessageSender& m_sender;
};

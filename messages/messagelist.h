#pragma once

#include "message.h"

#include <QAbstractTableModel>
#include <QList>

// The saved messages, in the user's order: the one list that the Messages
// window shows, the keys and menus send from, and the file holds. A table of
// name, text as typed, key, repeat period and on-connect.
class MessageList : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Name, Text, Key, Every, OnConnect, When, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    const QList<Message>& messages() const { return m_messages; }
    const Message& at(int row) const { return m_messages.at(row); }
    int size() const { return int(m_messages.size()); }
    void setMessages(QList<Message> messages);
    void insert(int row, const Message& message);
    void replace(int row, const Message& message);
    void remove(int row);
    // Moves the message at row one place up (-1) or down (+1); false at an end.
    bool move(int row, int by);

    // The row of the message that key sends, or named name; -1 when none.
    int rowOfKey(const QString& key) const;
    int rowOfName(const QString& name) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // A message's text on one row: each typed line break shown as ↵.
    static QString shownText(const Message& message);
    // Its rule on one row: the pattern, how it is read, and whether it is on.
    static QString shownRule(const Message& message);

private:
    QList<Message> m_messages;
};

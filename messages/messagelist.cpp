#include "messagelist.h"

void MessageList::setMessages(QList<Message> messages)
{
    beginResetModel();
    m_messages = std::move(messages);
    endResetModel();
}

void MessageList::insert(int row, const Message& message)
{
    beginInsertRows({}, row, row);
    m_messages.insert(row, message);
    endInsertRows();
}

void MessageList::replace(int row, const Message& message)
{
    m_messages[row] = message;
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void MessageList::remove(int row)
{
    beginRemoveRows({}, row, row);
    m_messages.removeAt(row);
    endRemoveRows();
}

bool MessageList::move(int row, int by)
{
    const int to = row + by;
    if (row < 0 || row >= size() || to < 0 || to >= size() || by == 0)
        return false;
    // Qt counts the destination before the move: one further down it is to + 1.
    beginMoveRows({}, row, row, {}, by > 0 ? to + 1 : to);
    m_messages.move(row, to);
    endMoveRows();
    return true;
}

int MessageList::rowOfKey(const QString& key) const
{
    for (int row = 0; row < size(); ++row)
        if (!key.isEmpty() && m_messages.at(row).key == key)
            return row;
    return -1;
}

int MessageList::rowOfName(const QString& name) const
{
    for (int row = 0; row < size(); ++row)
        if (m_messages.at(row).name == name)
            return row;
    return -1;
}

int MessageList::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : size();
}

int MessageList::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString MessageList::shownText(const Message& message)
{
    QString shown = message.text;
    shown.replace(u'\n', u'\u21b5');
    return message.kind == Message::Kind::Hex ? QStringLiteral("hex: ") + shown : shown;
}

QString MessageList::shownRule(const Message& message)
{
    if (!message.rule)
        return {};
    const Message::Rule& rule = *message.rule;
    QString shown = rule.pattern;
    shown.replace(u'\n', u'\u21b5');
    if (rule.kind == Message::PatternKind::Hex)
        shown.prepend(QStringLiteral("hex: "));
    else if (rule.kind == Message::PatternKind::Regex)
        shown.prepend(QStringLiteral("regex: "));
    return rule.enabled ? shown : tr("%1 (off)").arg(shown);
}

QVariant MessageList::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= size()
        || (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole))
        return {};
    const Message& m = m_messages.at(index.row());
    switch (index.column()) {
    case Name: return m.name;
    case Text: return shownText(m);
    case Key: return m.key;
    case Every: return m.everyMs > 0 ? tr("%1 ms").arg(m.everyMs) : QString();
    case OnConnect: return m.onConnect ? tr("yes") : QString();
    case When: return shownRule(m);
    default: return {};
    }
}

QVariant MessageList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Name: return tr("Name");
    case Text: return tr("Text");
    case Key: return tr("Key");
    case Every: return tr("Repeat");
    case OnConnect: return tr("On Connect");
    case When: return tr("When");
    default: return {};
    }
}

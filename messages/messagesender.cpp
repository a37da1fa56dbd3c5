#include "messagesender.h"

#include "messagebytes.h"

using Outcome = ConnectionControl::SendOutcome;

MessageSender::MessageSender(MessageList& list, Context context, QObject* parent)
    : QObject(parent),
      m_list(list),
      m_context(std::move(context)),
      m_schedule([this](QByteArrayView bytes) { return m_context.send(bytes, true); },
                 [this](const QString& line) { m_context.statusLine(line); })
{
    connect(&m_schedule, &MessageSchedule::changed, this, &MessageSender::repeatsChanged);
}

std::optional<QByteArray> MessageSender::bytesOf(int row)
{
    const Message& message = m_list.at(row);
    const MessageBytes bytes = messageBytes(message, m_context.lineEnd(), m_context.utf8());
    if (!bytes.ok()) {
        m_context.statusLine(tr("Message '%1' not sent: %2").arg(message.name, bytes.error));
        return std::nullopt;
    }
    return bytes.bytes;
}

bool MessageSender::send(int row)
{
    return sendOnce(row) == Outcome::Sent;
}

std::optional<ConnectionControl::SendOutcome> MessageSender::sendOnce(int row)
{
    if (row < 0 || row >= m_list.size())
        return Outcome::Refused;
    const std::optional<QByteArray> bytes = bytesOf(row);
    if (!bytes)
        return std::nullopt;
    const Outcome outcome = m_context.send(*bytes, false);
    // Refused and Failed have had their line from connection control.
    if (outcome == Outcome::NotConnected)
        m_context.statusLine(tr("Message '%1' not sent: not connected").arg(m_list.at(row).name));
    return outcome;
}

bool MessageSender::startRepeat(int row)
{
    if (row < 0 || row >= m_list.size() || m_list.at(row).everyMs <= 0)
        return false;
    const std::optional<QByteArray> bytes = bytesOf(row);
    return bytes && m_schedule.start(m_list.at(row).name, *bytes, m_list.at(row).everyMs);
}

void MessageSender::stopRepeat(int row, const QString& why)
{
    if (row >= 0 && row < m_list.size())
        m_schedule.stop(m_list.at(row).name, why);
}

bool MessageSender::isRepeating(int row) const
{
    return row >= 0 && row < m_list.size() && m_schedule.isRepeating(m_list.at(row).name);
}

void MessageSender::connectionReady()
{
    for (int row = 0; row < m_list.size(); ++row) {
        const Message& message = m_list.at(row);
        if (!message.onConnect)
            continue;
        if (message.everyMs > 0) {
            startRepeat(row);
            continue;
        }
        // A message that cannot be read is passed over; a failed send has
        // ended the connection, and nothing more goes.
        const std::optional<Outcome> outcome = sendOnce(row);
        if (outcome == Outcome::Failed || outcome == Outcome::NotConnected)
            return;
    }
}

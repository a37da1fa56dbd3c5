#pragma once

#include "connectioncontrol.h"
#include "messagelist.h"
#include "messageschedule.h"

#include <QObject>

#include <functional>

// Sends the list's messages as the user asks: once (a key, a menu, the
// Messages window), on a schedule, and the on-connect ones when a connection
// is ready. Every byte goes through the one send call it is given.
class MessageSender : public QObject {
    Q_OBJECT

public:
    struct Context {
        // connection control's sendBytes, to the side the window chose.
        std::function<ConnectionControl::SendOutcome(QByteArrayView bytes, bool skipWhenBusy)> send;
        std::function<LineEnd()> lineEnd;
        std::function<bool()> utf8; // characters go out as UTF-8, not Latin-1
        std::function<void(const QString& line)> statusLine;
    };

    MessageSender(MessageList& list, Context context, QObject* parent = nullptr);

    // Sends the message at row once; one line says why when it did not go.
    bool send(int row);
    // Starts or stops the repeat of the message at row.
    bool startRepeat(int row);
    void stopRepeat(int row, const QString& why);
    bool isRepeating(int row) const;
    void stopAll(const QString& why) { m_schedule.stopAll(why); }
    MessageSchedule& schedule() { return m_schedule; }

    // A connection is ready: the on-connect messages go in the list's order,
    // and those with a period start repeating.
    void connectionReady();

signals:
    // A repeat started or stopped.
    void repeatsChanged();

private:
    // Sends the message at row once: what became of it, or none when it
    // could not be read (one line says why).
    std::optional<ConnectionControl::SendOutcome> sendOnce(int row);
    // The bytes of the message at row, or none with one line saying why.
    std::optional<QByteArray> bytesOf(int row);

    MessageList& m_list;
    Context m_context;
    MessageSchedule m_schedule;
};

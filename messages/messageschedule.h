#pragma once

#include "connectioncontrol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QTimer;

// The repeats: each a message sent every period while the connection is
// open, on a timer of its own. Each beat's deadline is counted from the first
// send (start + n × period), never from when the last send ended, so the
// rate holds however long a send takes. A beat the peer has no room for, or
// that comes a whole period late, is skipped, never queued.
class MessageSchedule : public QObject {
    Q_OBJECT

public:
    using Send = std::function<ConnectionControl::SendOutcome(QByteArrayView bytes)>;
    using StatusLine = std::function<void(const QString& line)>;

    MessageSchedule(Send send, StatusLine statusLine, QObject* parent = nullptr);
    ~MessageSchedule() override;

    // Sends bytes now and then every periodMs, under name; one line says so.
    // False (and no repeat) when the first send does not go out.
    bool start(const QString& name, const QByteArray& bytes, int periodMs);
    // Stops the repeat of name, or every repeat, with one line each saying
    // why ("disconnected") and how many beats were skipped.
    void stop(const QString& name, const QString& why);
    void stopAll(const QString& why);

    bool isRepeating(const QString& name) const;
    bool isEmpty() const { return m_repeats.empty(); }
    // Beats sent and skipped so far by the repeat of name (0 when none).
    qint64 sent(const QString& name) const;
    qint64 skipped(const QString& name) const;

signals:
    // A repeat has started or stopped.
    void changed();

private:
    struct Repeat;
    void beat(Repeat& repeat);
    void arm(Repeat& repeat);
    void finish(std::size_t index, const QString& why);
    std::size_t indexOf(const QString& name) const;

    Send m_send;
    StatusLine m_statusLine;
    std::vector<std::unique_ptr<Repeat>> m_repeats;
};

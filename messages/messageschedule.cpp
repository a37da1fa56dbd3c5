#include "messageschedule.h"

#include <QTimer>

using Outcome = ConnectionControl::SendOutcome;

struct MessageSchedule::Repeat {
    QString name;
    QByteArray bytes;
    qint64 periodNs = 0;
    QElapsedTimer clock; // started at the first send
    qint64 next = 0;     // the beat due next, counted from the first send (0)
    qint64 sent = 0;
    qint64 skipped = 0;
    // Let go of by deleteLater: a repeat may end inside its own timer's signal.
    std::unique_ptr<QTimer, void (*)(QTimer*)> timer{new QTimer, [](QTimer* t) { t->deleteLater(); }};
};

MessageSchedule::MessageSchedule(Send send, StatusLine statusLine, QObject* parent)
    : QObject(parent), m_send(std::move(send)), m_statusLine(std::move(statusLine))
{
}

MessageSchedule::~MessageSchedule() = default;

bool MessageSchedule::start(const QString& name, const QByteArray& bytes, int periodMs)
{
    stop(name, tr("started again"));
    auto repeat = std::make_unique<Repeat>();
    repeat->name = name;
    repeat->bytes = bytes;
    repeat->periodNs = qint64(periodMs) * 1000000;
    repeat->timer->setSingleShot(true);
    repeat->timer->setTimerType(Qt::PreciseTimer);
    Repeat* r = repeat.get();
    connect(repeat->timer.get(), &QTimer::timeout, this, [this, r] { beat(*r); });
    // The line comes before the first send, so that its echo follows it.
    m_statusLine(tr("Repeating '%1' every %2 ms").arg(name).arg(periodMs));
    repeat->clock.start();
    m_repeats.push_back(std::move(repeat));
    beat(*r);
    emit changed();
    return isRepeating(name);
}

void MessageSchedule::arm(Repeat& repeat)
{
    const qint64 now = repeat.clock.nsecsElapsed();
    // Beats whose time passed a whole period ago (the window was held up)
    // are skipped: the schedule never bursts to catch up.
    const qint64 due = repeat.next * repeat.periodNs;
    if (now > due + repeat.periodNs) {
        const qint64 late = (now - due) / repeat.periodNs;
        repeat.skipped += late;
        repeat.next += late;
    }
    const qint64 waitNs = repeat.next * repeat.periodNs - now;
    repeat.timer->start(std::chrono::milliseconds(waitNs > 0 ? (waitNs + 500000) / 1000000 : 0));
}

void MessageSchedule::beat(Repeat& repeat)
{
    ++repeat.next;
    const QString name = repeat.name;
    const Outcome outcome = m_send(repeat.bytes);
    // A failed send ends the connection, and with it every repeat: this one
    // may be gone.
    const std::size_t index = indexOf(name);
    if (index == m_repeats.size() || m_repeats[index].get() != &repeat)
        return;
    switch (outcome) {
    case Outcome::Sent: ++repeat.sent; break;
    case Outcome::Busy:
    case Outcome::Refused: ++repeat.skipped; break;
    case Outcome::NotConnected:
        finish(index, repeat.sent + repeat.skipped > 0 ? tr("disconnected") : tr("not connected"));
        return;
    case Outcome::Failed: finish(index, tr("the send failed")); return;
    }
    arm(repeat);
}

void MessageSchedule::finish(std::size_t index, const QString& why)
{
    std::unique_ptr<Repeat> repeat = std::move(m_repeats[index]);
    m_repeats.erase(m_repeats.begin() + std::ptrdiff_t(index));
    repeat->timer->stop();
    QString line = tr("Stopped repeating '%1': %2").arg(repeat->name, why);
    if (repeat->skipped > 0)
        line += tr(" (%n beat(s) skipped: the peer did not take the bytes in time)", nullptr,
                   int(qMin<qint64>(repeat->skipped, INT_MAX)));
    m_statusLine(line);
    emit changed();
}

void MessageSchedule::stop(const QString& name, const QString& why)
{
    if (const std::size_t index = indexOf(name); index < m_repeats.size())
        finish(index, why);
}

void MessageSchedule::stopAll(const QString& why)
{
    while (!m_repeats.empty())
        finish(0, why);
}

bool MessageSchedule::isRepeating(const QString& name) const
{
    return indexOf(name) < m_repeats.size();
}

qint64 MessageSchedule::sent(const QString& name) const
{
    const std::size_t index = indexOf(name);
    return index < m_repeats.size() ? m_repeats[index]->sent : 0;
}

qint64 MessageSchedule::skipped(const QString& name) const
{
    const std::size_t index = indexOf(name);
    return index < m_repeats.size() ? m_repeats[index]->skipped : 0;
}

std::size_t MessageSchedule::indexOf(const QString& name) const
{
    for (std::size_t i = 0; i < m_repeats.size(); ++i)
        if (m_repeats[i]->name == name)
            return i;
    return m_repeats.size();
}

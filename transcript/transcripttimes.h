#pragma once

#include "transcriptruns.h"

#include <QList>

#include <chrono>
#include <functional>

// When each byte of the transcript arrived, as runs: one run for each append
// (the time of its first byte), kept beside the store and cleared with it;
// 16 bytes a run, not a byte.
class TranscriptTimes {
public:
    // Microseconds since the Unix epoch, UTC.
    using Micros = qint64;
    struct Run {
        qint64 start;
        Micros time;
    };
    // The wall clock, replaceable in tests.
    using Clock = std::function<Micros()>;
    static Micros systemNow()
    {
        using namespace std::chrono;
        return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    }

    // The bytes from pos on were appended at time (until the next call).
    void append(qint64 pos, Micros time)
    {
        if (!m_runs.isEmpty() && m_runs.last().start == pos)
            m_runs.removeLast();
        m_runs.append({pos, time});
    }
    // Keeps the time of the last run: what came next still came some time
    // after it.
    void clear()
    {
        if (!m_runs.isEmpty()) {
            m_before = m_runs.last().time;
            m_hasBefore = true;
        }
        m_runs.clear();
    }

    qsizetype runCount() const { return m_runs.size(); }
    const Run& run(qsizetype i) const { return m_runs.at(i); }
    // The run that holds pos; -1 when there is none (an empty transcript).
    qsizetype runAt(qint64 pos) const { return transcriptruns::runAt(m_runs, pos); }
    // The time of the run before run i, also when that one was cleared away;
    // hasPrevious() is false for the first run of all.
    bool hasPrevious(qsizetype i) const { return i > 0 || m_hasBefore; }
    Micros previousTime(qsizetype i) const { return i > 0 ? m_runs.at(i - 1).time : m_before; }
    // Where the run after run i starts, or end for the last run.
    qint64 runEnd(qsizetype i, qint64 end) const { return transcriptruns::runEnd(m_runs, i, end); }

private:
    QList<Run> m_runs;
    Micros m_before = 0; // the last run before the latest clear()
    bool m_hasBefore = false;
};

#pragma once

#include "textorigin.h"
#include "transcriptruns.h"

#include <QList>

// Who put each byte of the transcript there, as runs: a run starts where the
// origin changes and lasts until the next one. Appended to as the store is,
// cleared with it; 16 bytes a run.
class TranscriptOrigins {
public:
    struct Run {
        qint64 start;
        TextOrigin origin;
    };

    // The bytes from pos on come from origin (until the next call).
    void append(qint64 pos, TextOrigin origin)
    {
        if (!m_runs.isEmpty() && m_runs.last().start == pos)
            m_runs.removeLast();
        if (m_runs.isEmpty() || m_runs.last().origin != origin)
            m_runs.append({pos, origin});
    }
    void clear() { m_runs.clear(); }

    qsizetype runCount() const { return m_runs.size(); }
    const Run& run(qsizetype i) const { return m_runs.at(i); }
    // The run that holds pos; -1 when there is none (an empty transcript).
    qsizetype runAt(qint64 pos) const { return transcriptruns::runAt(m_runs, pos); }
    TextOrigin originAt(qint64 pos) const
    {
        const qsizetype i = runAt(pos);
        return i < 0 ? TextOrigin::Received : m_runs.at(i).origin;
    }
    // Where the run after run i starts, or end for the last run.
    qint64 runEnd(qsizetype i, qint64 end) const { return transcriptruns::runEnd(m_runs, i, end); }

private:
    QList<Run> m_runs;
};

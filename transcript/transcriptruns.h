#pragma once

#include <QList>

#include <algorithm>

// What the lists of runs beside the store (who said it, when) share: runs in
// the order of their start offsets, each lasting until the next one starts.
namespace transcriptruns {

// The run that holds pos; -1 when there is none (before the first run).
template <class Run>
qsizetype runAt(const QList<Run>& runs, qint64 pos)
{
    const auto it = std::upper_bound(runs.cbegin(), runs.cend(), pos,
                                     [](qint64 p, const Run& r) { return p < r.start; });
    return (it - runs.cbegin()) - 1;
}

// Where the run after run i starts, or end for the last run.
template <class Run>
qint64 runEnd(const QList<Run>& runs, qsizetype i, qint64 end)
{
    return i + 1 < runs.size() ? runs.at(i + 1).start : end;
}

} // namespace transcriptruns

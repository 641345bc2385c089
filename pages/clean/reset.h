#pragma once
// The decisions of a reset run, over the process inventory: which processes are
// marked for ending, the termination with its five liveness passes, and the
// page's report records.
#include <cstdint>
#include <functional>
#include <vector>

#include "vek/process.h"
#include "vek/text.h"

namespace clean {

// Marks (State -2) every process that is neither this program (ownProcessId) nor
// kept by keepList.
void MarkProcesses(vek::TProcessList& list, const std::vector<vek::Text>& keepList, uint32_t ownProcessId);

// With terminate: one KillProcess attempt per marked process, in list order, then
// five passes of waitOneSecond() each followed by a check that turns a marked
// process that is gone into -1. All five passes run even when nothing is left
// marked. Without terminate: every marked process becomes -1 and nothing waits.
// A pass takes one process snapshot, whatever the number of marked processes.
void EndMarkedProcesses(vek::TProcessList& list, bool terminate, const std::function<void()>& waitOneSecond);

// The page's report records: one "clean" record per process in list order (path
// folded and escaped), then the one "memory" record.
void AppendResetRecords(const vek::TProcessList& list, int64_t oldAvailMemory, int64_t newAvailMemory,
                        int64_t totalMemory, std::vector<vek::Text>& records);

}  // namespace clean

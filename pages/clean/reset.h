#pragma once
// The decisions of a reset run, over the process inventory: which processes are
// marked for ending, the termination with its five liveness passes, and the
// page's report records.
#include <cstdint>
#include <functional>
#include <vector>

#include "vek/process.h"
#include "vek/text.h"

namespace pages::clean {

// Marks (State -2) every process that is neither this program (ownProcessId) nor
// kept by keepList.
void MarkProcesses(vek::TProcessList& list, const std::vector<vek::Text>& keepList, uint32_t ownProcessId);

// With terminate: one KillProcess attempt per marked process, in list order, then
// five passes of waitOneSecond() each followed by a check that turns a marked
// process that is gone into -1. All five passes run even when nothing is left
// marked. Without terminate: every marked process becomes -1 and nothing waits.
// A pass takes one process snapshot, whatever the number of marked processes.
void EndMarkedProcesses(vek::TProcessList& list, bool terminate, const std::function<void()>& waitOneSecond);

// What a reset run asks of the windows around it.
class ResetHost {
 public:
  virtual ~ResetHost() = default;
  // The main window's question whether applied pages are applied again afterwards.
  virtual void AskApplyAgain() = 0;
  // Whether the main window is gone or the program is ending.
  virtual bool Closed() = 0;
  // The button empty and disabled, the activity indicator running.
  virtual void ShowRunning() = 0;
  virtual std::vector<vek::Text> KeepList() = 0;
  virtual bool Terminate() = 0;
  virtual void WaitOneSecond() = 0;
  // The main window's second application of the pages, its report, its close.
  virtual void ApplyAgain() = 0;
  virtual void PutInfo() = 0;
  virtual void CloseMain() = 0;
};

// The run, once per program start: the question; then, unless the main window
// was closed while it asked (any process may close it with WM_USER), the keep-list
// copy, the snapshot into list, the available memory into oldAvailMemory, the
// marks and the terminations with their five passes; then, unless it was closed
// while the run waited, the pages applied again, the report and the close.
void RunReset(ResetHost& host, vek::TProcessList& list, int64_t& oldAvailMemory, uint32_t ownProcessId);

// The page's report records: one "clean" record per process in list order (path
// folded and escaped), then the one "memory" record.
void AppendResetRecords(const vek::TProcessList& list, int64_t oldAvailMemory, int64_t newAvailMemory,
                        int64_t totalMemory, std::vector<vek::Text>& records);

}  // namespace pages::clean

#pragma once
// The decisions of a reset run, over the process inventory: which processes are
// marked for ending, the termination with its five liveness passes, and the
// page's report records.
#include <cstdint>
#include <functional>
#include <vector>

#include "vek/install.h"
#include "vek/process.h"
#include "vek/text.h"

namespace pages::clean {

// One termination attempt of a run, and how the system answered it.
struct Termination {
  uint32_t ProcessID = 0;
  vek::Text FileName;
  vek::TerminateResult Result;
};

// A process that came back: it runs the file of a process this run ended, and
// the run's snapshot did not hold it (its identifier then, if at all, named an
// earlier process).
struct Returned {
  uint32_t ProcessID = 0;
  vek::Text FileName;
};

// What a run learns beyond each process's State.
struct ResetOutcomes {
  std::vector<Termination> Terminations;  // in list order
  std::vector<Returned> Back;             // in the order of the run's last snapshot
};

// The processes of snapshot that came back: a process (identifier and creation
// time) that list does not hold, whose file (image path read through a hold,
// else snapshot name, as the list names it) is the FileName of a process whose
// termination was accepted, compared as the system compares paths. Each
// returned process once, even when several ended processes ran its file.
std::vector<Returned> FindReturned(const vek::TProcessList& list, const std::vector<Termination>& terminations,
                                   const std::vector<vek::ProcessEntry>& snapshot, vek::ProcessSystem& system);

// Marks (State -2) every process that is neither this program (ownProcessId),
// nor its crash reporter (reporterProcessId, when not 0), nor kept by keepList
// (ProcessExists); keepList is prepared once for all processes.
void MarkProcesses(vek::TProcessList& list, const std::vector<vek::Text>& keepList, uint32_t ownProcessId,
                   uint32_t reporterProcessId = 0);

// With terminate: one KillProcess attempt per marked process, in list order,
// through the process the record holds, its result kept in outcomes, then five
// passes of waitOneSecond() each followed by a check that turns a marked
// process that is gone into -1; a process that was gone at the listing, though
// a newcomer holds its identifier, is gone at the first. All five passes run
// even when nothing is left marked. A pass takes at most one process snapshot,
// only when a marked process could not be held; the last pass takes it also
// when any termination was accepted, and finds in it the processes that came
// back. Without terminate: every marked process becomes -1, nothing waits and
// outcomes stay empty.
void EndMarkedProcesses(vek::TProcessList& list, bool terminate, const std::function<void()>& waitOneSecond,
                        ResetOutcomes& outcomes);

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
void RunReset(ResetHost& host, vek::TProcessList& list, int64_t& oldAvailMemory, ResetOutcomes& outcomes,
              uint32_t ownProcessId, uint32_t reporterProcessId = 0);

// The installed program whose folder holds path: the one with the longest such
// folder, null when none. A program's folder is its InstallLocation, else the
// folder of its icon file; folders that are a drive, a folder of the table
// itself (such as all of Program Files) or under the Windows folder hold no
// program's own files and are passed over.
const vek::TInstallInfo* InstalledProgramOf(const vek::TInstallList& installed, vek::TextView path);

// How a refused or failed termination reads in the report: "denied" or "error N".
vek::Text RefusalReason(const vek::TerminateResult& result);

// The page's report records: one "clean" record per process in list order (path
// folded and escaped), then the one "memory" record, then one "refused" record
// per termination the system refused or failed, then one "back" record per
// process that came back, named with the installed program that holds its file
// and the publisher of its version resource (empty when none). The "clean"
// records fold paths with FoldPath; the "refused" and "back" records, which the
// program adds, with FoldPrivatePath, so that they carry no user's name.
void AppendResetRecords(const vek::TProcessList& list, const ResetOutcomes& outcomes,
                        const vek::TInstallList& installed, int64_t oldAvailMemory, int64_t newAvailMemory,
                        int64_t totalMemory, std::vector<vek::Text>& records);

}  // namespace pages::clean

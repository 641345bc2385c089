#pragma once
// Vek.Process.Win: the running processes with the file each one runs, whether a
// process still runs, ending a process, physical memory figures, command-line
// splitting and starting a file through the shell.
//
// The free functions hold the program's decisions and reach Windows only through
// ProcessSystem: WindowsProcesses() in the program (process_win.cpp), a recorded
// system in native tests. Nothing here throws or reports an error.
#include <cstdint>
#include <memory>
#include <vector>

#include "vek/text.h"

namespace vek {

class TProcessInfo {
 public:
  uint32_t ProcessID = 0;  // never 0 in a listed record
  uintptr_t Handle = 0;    // first parentless top-level window of the process, 0 when none
  Text FileName;           // full image path, or the snapshot's executable name
  int32_t State = 1;       // 1 when listed; the reset run sets -2 (marked) and -1 (gone)
};

// The owning list GetProcessList appends to.
using TProcessList = std::vector<std::unique_ptr<TProcessInfo>>;

// One snapshot entry: the identifier and the executable name (at most 260 units).
struct ProcessEntry {
  uint32_t ProcessID = 0;
  Text ExeFile;
};

// One top-level window: its handle, GetParent of it (the owner for an owned
// window) and the identifier of the process that created it.
struct TopWindow {
  uintptr_t Handle = 0;
  uintptr_t Parent = 0;
  uint32_t ProcessID = 0;
};

// What became of one termination attempt.
enum class TerminateOutcome {
  Ended,     // the system accepted the termination
  Refused,   // access denied: a protected process, or one of higher integrity
  Failed,    // another error, in Code
  NotFound,  // no process of that identifier any more: it ended before the attempt
};
struct TerminateResult {
  TerminateOutcome Outcome = TerminateOutcome::NotFound;
  uint32_t Code = 0;  // the system's error code for Refused and Failed
};

// The result of a termination from the system's error code: 0 means it was
// accepted, ERROR_ACCESS_DENIED (5) a refusal and ERROR_INVALID_PARAMETER (87),
// which OpenProcess gives for an identifier no process holds, a process gone.
TerminateResult TerminateResultFromError(uint32_t error);

// With whose rights ShellOpen starts a program.
enum class ShellRights {
  Program,  // this process's own: elevated, as the program runs
  User,     // the desktop user's, through the shell's own process where there is one
};

struct MemoryFigures {
  int64_t Total = 0;
  int64_t Avail = 0;
};

// The platform operations the inventory is built from.
class ProcessSystem {
 public:
  virtual ~ProcessSystem() = default;
  // The entries of one fresh snapshot in its order; empty when none could be taken.
  virtual std::vector<ProcessEntry> Snapshot() = 0;
  // Whether a fresh snapshot holds the identifier.
  virtual bool SnapshotHas(uint32_t processId);
  // The image path of a process; empty when the process cannot be opened or the
  // path does not fit in 260 units.
  virtual Text ImagePath(uint32_t processId) = 0;
  // All top-level windows, in Z order from the top.
  virtual std::vector<TopWindow> TopWindows() = 0;
  // Ends the process with exit code 0 when it can be opened for that, and says
  // how the attempt went.
  virtual TerminateResult Terminate(uint32_t processId) = 0;
  // Whether two image paths name the same file the way Windows compares paths:
  // case-insensitively. Natively only ASCII letters fold; Windows folds with its
  // own upper-case table.
  virtual bool SamePath(TextView a, TextView b);
  // Total and available physical memory in bytes; 0 for a figure no query gave.
  virtual MemoryFigures Memory() = 0;
  // ShellExecuteEx with the verb "Open", no owner window and no working folder,
  // from this process or, for ShellRights::User, from the desktop's shell
  // (vek/shell_start_win.h), which falls back to this process's call.
  virtual void ShellOpen(const Text& fileName, const Text& params, int32_t showCmd, ShellRights rights) = 0;
};

// The system the free functions below use: until one is installed, a system with
// no processes, no windows and no memory. Returns the previous one; null restores
// the empty default.
ProcessSystem& CurrentProcesses();
ProcessSystem* SetProcessSystem(ProcessSystem* system);

#ifdef _WIN32
// ToolHelp, OpenProcess, user32 and the shell (process_win.cpp).
ProcessSystem& WindowsProcesses();
#endif

// Appends one record per process of a fresh snapshot except the idle process
// (identifier 0), State 1 each. The list is not cleared and keeps every other
// process, this program's own included.
void GetProcessList(TProcessList& list);
Text GetProcessImagePath(uint32_t processId);  // empty when unreadable
uintptr_t FindProcessWindow(uint32_t processId);  // 0 when the process has none
// True while a fresh snapshot holds the identifier, also once the system has
// given it to a new process.
bool IsProcessRunning(uint32_t processId);
// Silent to the user; the result says whether the system accepted it. Nothing
// happens for identifier 0, which gives NotFound.
TerminateResult KillProcess(uint32_t processId);
int64_t GetTotalPhysMemory();  // bytes; 0 when no query gave a figure
int64_t GetAvailPhysMemory();
void ShellOpen(const Text& fileName, const Text& params, int32_t showCmd, ShellRights rights);

// Splits a command line into the program and its parameters: a quoted program
// ends at the next quote; an unquoted drive path ends after the first of ".EXE",
// ".BAT", ".COM" (tried in that order) found in it; anything else ends at the
// first space. Both parts come back trimmed.
void SplitCommandLine(TextView commandLine, Text& fileName, Text& params);

// The list-building decisions, over recorded platform results: for each entry
// except identifier 0, FileName is the image path or else the snapshot name, and
// Handle the first window of the process among windows that have no parent.
void AppendProcessRecords(TProcessList& list, const std::vector<ProcessEntry>& entries,
                          const std::vector<TopWindow>& windows, ProcessSystem& system);
// The first parentless window of processId in the walk, 0 when none.
uintptr_t FirstProcessWindow(const std::vector<TopWindow>& windows, uint32_t processId);

// GetModuleFileNameEx may give the native "\??\" form; this drops that prefix.
Text WithoutNtPrefix(TextView path);

}  // namespace vek

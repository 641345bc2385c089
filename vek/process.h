#pragma once
// Vek.Process.Win: the running processes with the file each one runs, each held
// from the listing on, whether a listed process still runs, ending it, physical
// memory figures, command-line splitting and starting a file through the shell.
//
// The free functions hold the program's decisions and reach Windows only through
// ProcessSystem: WindowsProcesses() in the program (process_win.cpp), a recorded
// system in native tests. Nothing here throws or reports an error.
#include <cstdint>
#include <memory>
#include <vector>

#include "vek/text.h"

namespace vek {

// One snapshot entry: the identifier, the executable name (at most 259 units)
// and when the system created the process, in 100 ns units since 1601 as a
// FILETIME counts; 0 when the system gave no time (its own processes, started
// with it). The system gives an ended process's identifier to new processes,
// so only the identifier and the creation time together name one process.
struct ProcessEntry {
  uint32_t ProcessID = 0;
  Text ExeFile;
  uint64_t CreationTime = 0;
};

// Whether two snapshot entries are the same process: same identifier, same
// creation time.
bool SameProcess(const ProcessEntry& a, const ProcessEntry& b);

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
  NotFound,  // the process had ended before the attempt (its identifier may name another by now)
};
struct TerminateResult {
  TerminateOutcome Outcome = TerminateOutcome::NotFound;
  uint32_t Code = 0;  // the system's error code for Refused and Failed
};

// The result of a termination from the system's error code: 0 means it was
// accepted, ERROR_ACCESS_DENIED (5) a refusal and ERROR_INVALID_PARAMETER (87),
// which OpenProcess gives for an identifier no process holds, a process gone.
// TerminateProcess on a process that has already ended answers access denied:
// with processEnded, any error reads as NotFound.
TerminateResult TerminateResultFromError(uint32_t error, bool processEnded = false);

// A process held open since the snapshot that listed it: everything asked of
// it reaches that process alone, whatever holds its identifier later. (Windows
// also gives the identifier to no other process while it is held; nothing here
// relies on that.)
class HeldProcess {
 public:
  virtual ~HeldProcess() = default;
  // The image path read through the hold; empty when it cannot be read or does
  // not fit in 260 units.
  virtual Text ImagePath() = 0;
  // Whether the held process has ended (an ended process may stay in snapshots
  // while it is held).
  virtual bool Ended() = 0;
  // Ends it with exit code 0. NotFound when it had already ended; Refused also
  // when the hold lacks the right to end it.
  virtual TerminateResult Terminate() = 0;
};

// What holding one snapshot entry gave: the process, or why there is none.
struct ProcessHold {
  std::unique_ptr<HeldProcess> Process;
  // Without a process: NotFound when no process holds the identifier any more or
  // the one that holds it now is not the entry's (a later creation time);
  // Refused or Failed when the process could not be opened or its creation
  // time not read.
  TerminateResult Failure;
};

// Whether a process opened after a snapshot, created at creationTime, is the one
// the entry saw under its identifier. An entry without a creation time is the
// system's own process, which ends only with the system: taken as found.
bool IsSnapshotProcess(const ProcessEntry& seen, uint64_t creationTime);

class TProcessInfo {
 public:
  uint32_t ProcessID = 0;  // never 0 in a listed record
  uintptr_t Handle = 0;    // first parentless top-level window of the process, 0 when none
  Text FileName;           // full image path, or the snapshot's executable name
  int32_t State = 1;       // 1 when listed; the reset run sets -2 (marked) and -1 (gone)
  uint64_t CreationTime = 0;  // the snapshot's: with ProcessID, which process this is
  // The process itself, held from the listing until the record is freed; ending
  // it and asking whether it runs go through the hold, never the identifier.
  ProcessHold Held;
};

// The owning list GetProcessList appends to.
using TProcessList = std::vector<std::unique_ptr<TProcessInfo>>;

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
  // Opens the process an entry of a snapshot saw, with the rights to end it
  // where the system grants them, and checks that it is that process
  // (IsSnapshotProcess): the identifier may have passed to another since.
  virtual ProcessHold Hold(const ProcessEntry& entry) = 0;
  // The image path of whatever process holds the identifier now; empty when it
  // cannot be opened or the path does not fit in 260 units.
  virtual Text ImagePath(uint32_t processId) = 0;
  // All top-level windows, in Z order from the top.
  virtual std::vector<TopWindow> TopWindows() = 0;
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
// The system's process list, OpenProcess, user32 and the shell (process_win.cpp).
ProcessSystem& WindowsProcesses();
#endif

// Appends one record per process of a fresh snapshot except the idle process
// (identifier 0), State 1 each, each holding its process (Held) and named by the
// path read through the hold. The list is not cleared and keeps every other
// process, this program's own included.
void GetProcessList(TProcessList& list);
Text GetProcessImagePath(uint32_t processId);  // empty when unreadable
uintptr_t FindProcessWindow(uint32_t processId);  // 0 when the process has none
// True while a fresh snapshot holds the identifier, also once the system has
// given it to a new process.
bool IsProcessRunning(uint32_t processId);
// Whether the process a record lists still runs: asked of its hold; a record
// whose process was gone at the listing never runs; one that could not be held
// runs while snapshot (a fresh one) holds the same process, identifier and
// creation time (NeedsSnapshot says when it is read).
bool IsProcessRunning(const TProcessInfo& process, const std::vector<ProcessEntry>& snapshot);
bool NeedsSnapshot(const TProcessInfo& process);
// Ends the process a record holds, never whatever holds its identifier now.
// Silent to the user; the result says whether the system accepted it. A record
// without a hold gives the reason it has none, and nothing is attempted.
TerminateResult KillProcess(const TProcessInfo& process);
int64_t GetTotalPhysMemory();  // bytes; 0 when no query gave a figure
int64_t GetAvailPhysMemory();
void ShellOpen(const Text& fileName, const Text& params, int32_t showCmd, ShellRights rights);

// Splits a command line into the program and its parameters: a quoted program
// ends at the next quote; an unquoted drive path ends after the first of ".EXE",
// ".BAT", ".COM" (tried in that order) found in it; anything else ends at the
// first space. Both parts come back trimmed.
void SplitCommandLine(TextView commandLine, Text& fileName, Text& params);

// The list-building decisions, over recorded platform results: for each entry
// except identifier 0, the entry held, FileName the image path read through the
// hold or else the snapshot name, and Handle the first window of the process
// among windows that have no parent.
void AppendProcessRecords(TProcessList& list, const std::vector<ProcessEntry>& entries,
                          const std::vector<TopWindow>& windows, ProcessSystem& system);
// The first parentless window of processId in the walk, 0 when none.
uintptr_t FirstProcessWindow(const std::vector<TopWindow>& windows, uint32_t processId);

// GetModuleFileNameEx may give the native "\??\" form; this drops that prefix.
Text WithoutNtPrefix(TextView path);

}  // namespace vek

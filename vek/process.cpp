#include "vek/process.h"

#include <algorithm>
#include <unordered_map>

#include "vek/strings.h"

namespace vek {
namespace {

class NoProcesses final : public ProcessSystem {
 public:
  std::vector<ProcessEntry> Snapshot() override { return {}; }
  ProcessHold Hold(const ProcessEntry&) override { return {}; }
  Text ImagePath(uint32_t) override { return {}; }
  std::vector<TopWindow> TopWindows() override { return {}; }
  MemoryFigures Memory() override { return {}; }
  void ShellOpen(const Text&, const Text&, int32_t, ShellRights) override {}
};

NoProcesses g_no_processes;
ProcessSystem* g_processes = &g_no_processes;

}  // namespace

bool ProcessSystem::SnapshotHas(uint32_t processId) {
  for (const ProcessEntry& e : Snapshot())
    if (e.ProcessID == processId) return true;
  return false;
}

bool ProcessSystem::SamePath(TextView a, TextView b) { return SameText(a, b); }

bool SameProcess(const ProcessEntry& a, const ProcessEntry& b) {
  return a.ProcessID == b.ProcessID && a.CreationTime == b.CreationTime;
}

bool IsSnapshotProcess(const ProcessEntry& seen, uint64_t creationTime) {
  return seen.CreationTime == 0 || seen.CreationTime == creationTime;
}

TerminateResult TerminateResultFromError(uint32_t error, bool processEnded) {
  constexpr uint32_t kAccessDenied = 5, kInvalidParameter = 87;
  if (error != 0 && processEnded) return {TerminateOutcome::NotFound, error};
  switch (error) {
    case 0: return {TerminateOutcome::Ended, 0};
    case kAccessDenied: return {TerminateOutcome::Refused, error};
    case kInvalidParameter: return {TerminateOutcome::NotFound, error};
    default: return {TerminateOutcome::Failed, error};
  }
}

ProcessSystem& CurrentProcesses() { return *g_processes; }

ProcessSystem* SetProcessSystem(ProcessSystem* system) {
  ProcessSystem* previous = g_processes == &g_no_processes ? nullptr : g_processes;
  g_processes = system ? system : &g_no_processes;
  return previous;
}

uintptr_t FirstProcessWindow(const std::vector<TopWindow>& windows, uint32_t processId) {
  for (const TopWindow& w : windows)
    if (w.Parent == 0 && w.ProcessID == processId) return w.Handle;
  return 0;
}

void AppendProcessRecords(TProcessList& list, const std::vector<ProcessEntry>& entries,
                          const std::vector<TopWindow>& windows, ProcessSystem& system) {
  // One pass over the windows instead of one walk per process; the first window
  // seen for a process is the topmost, as FindProcessWindow would find it.
  std::unordered_map<uint32_t, uintptr_t> firstWindow;
  firstWindow.reserve(windows.size());
  for (const TopWindow& w : windows)
    if (w.Parent == 0) firstWindow.try_emplace(w.ProcessID, w.Handle);

  for (const ProcessEntry& e : entries) {
    if (e.ProcessID == 0) continue;
    auto info = std::make_unique<TProcessInfo>();
    info->ProcessID = e.ProcessID;
    info->CreationTime = e.CreationTime;
    auto found = firstWindow.find(e.ProcessID);
    info->Handle = found == firstWindow.end() ? 0 : found->second;
    // The path is read through the hold, so that the keep-list judges the
    // process that a termination would reach.
    info->Held = system.Hold(e);
    info->FileName = IfEmpty(info->Held.Process ? info->Held.Process->ImagePath() : Text(), e.ExeFile);
    info->State = 1;
    list.push_back(std::move(info));
  }
}

void GetProcessList(TProcessList& list) {
  ProcessSystem& system = CurrentProcesses();
  std::vector<ProcessEntry> entries = system.Snapshot();
  if (entries.empty()) return;
  AppendProcessRecords(list, entries, system.TopWindows(), system);
}

Text GetProcessImagePath(uint32_t processId) { return CurrentProcesses().ImagePath(processId); }

uintptr_t FindProcessWindow(uint32_t processId) {
  return FirstProcessWindow(CurrentProcesses().TopWindows(), processId);
}

bool IsProcessRunning(uint32_t processId) { return CurrentProcesses().SnapshotHas(processId); }

bool NeedsSnapshot(const TProcessInfo& process) {
  return !process.Held.Process && process.Held.Failure.Outcome != TerminateOutcome::NotFound;
}

bool IsProcessRunning(const TProcessInfo& process, const std::vector<ProcessEntry>& snapshot) {
  if (process.Held.Process) return !process.Held.Process->Ended();
  if (!NeedsSnapshot(process)) return false;
  const ProcessEntry seen{process.ProcessID, {}, process.CreationTime};
  return std::any_of(snapshot.begin(), snapshot.end(), [&](const ProcessEntry& e) { return SameProcess(e, seen); });
}

TerminateResult KillProcess(const TProcessInfo& process) {
  return process.Held.Process ? process.Held.Process->Terminate() : process.Held.Failure;
}

int64_t GetTotalPhysMemory() { return CurrentProcesses().Memory().Total; }
int64_t GetAvailPhysMemory() { return CurrentProcesses().Memory().Avail; }

void ShellOpen(const Text& fileName, const Text& params, int32_t showCmd, ShellRights rights) {
  CurrentProcesses().ShellOpen(fileName, params, showCmd, rights);
}

void SplitCommandLine(TextView commandLine, Text& fileName, Text& params) {
  const Text s = Trim(commandLine);
  fileName.clear();
  params.clear();
  if (s.empty()) return;

  if (s[0] == u'"') {
    const size_t close = s.find(u'"', 1);
    if (close == Text::npos) {
      params = s;
      return;
    }
    fileName = Trim(TextView(s).substr(1, close - 1));
    params = Trim(TextView(s).substr(close + 1));
    return;
  }

  if (s.size() >= 3 && s[1] == u':' && s[2] == u'\\') {
    for (TextView ext : {u".EXE", u".BAT", u".COM"}) {
      const size_t at = FindText(s, ext);
      if (at == TextView::npos) continue;
      fileName = Trim(TextView(s).substr(0, at + ext.size()));
      params = Trim(TextView(s).substr(at + ext.size()));
      return;
    }
    fileName = s;
    return;
  }

  const size_t space = s.find(u' ');
  if (space == Text::npos) {
    fileName = s;
    return;
  }
  fileName = Trim(TextView(s).substr(0, space));
  params = Trim(TextView(s).substr(space));
}

Text WithoutNtPrefix(TextView path) {
  if (path.substr(0, 4) == u"\\??\\") path.remove_prefix(4);
  return Text(path);
}

}  // namespace vek

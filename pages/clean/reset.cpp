#include "pages/clean/reset.h"

#include <algorithm>
#include <string>

#include "core/folders.h"
#include "core/lib.h"
#include "core/report.h"
#include "pages/clean/keeplist.h"
#include "vek/strings.h"

namespace pages::clean {

constexpr int32_t kMarked = -2;
constexpr int32_t kGone = -1;
constexpr int kLivenessPasses = 5;

void MarkProcesses(vek::TProcessList& list, const std::vector<vek::Text>& keepList, uint32_t ownProcessId,
                   uint32_t reporterProcessId) {
  const PreparedKeepList keep(keepList);
  for (auto& process : list)
    if (process->ProcessID != ownProcessId && !(reporterProcessId && process->ProcessID == reporterProcessId) &&
        !keep.Keeps(process->FileName))
      process->State = kMarked;
}

namespace {

bool Accepted(const Termination& t) { return t.Result.Outcome == vek::TerminateOutcome::Ended; }

// A process as its identifier and creation time name it, for sorted look-ups.
using Identity = std::pair<uint32_t, uint64_t>;

}  // namespace

std::vector<Returned> FindReturned(const vek::TProcessList& list, const std::vector<Termination>& terminations,
                                   const std::vector<vek::ProcessEntry>& snapshot, vek::ProcessSystem& system) {
  std::vector<Returned> back;
  if (std::none_of(terminations.begin(), terminations.end(), Accepted)) return back;
  // A listed identifier now held by a process created later is a newcomer, and
  // may itself have come back.
  std::vector<Identity> known;
  known.reserve(list.size());
  for (const auto& process : list) known.emplace_back(process->ProcessID, process->CreationTime);
  std::sort(known.begin(), known.end());
  for (const auto& entry : snapshot) {
    if (entry.ProcessID == 0 || std::binary_search(known.begin(), known.end(), Identity(entry.ProcessID, entry.CreationTime)))
      continue;
    // Only processes that started during the run get here, a handful, so their
    // paths are read one by one, through a hold like the listing's.
    const vek::ProcessHold held = system.Hold(entry);
    const vek::Text file = vek::IfEmpty(held.Process ? held.Process->ImagePath() : vek::Text(), entry.ExeFile);
    for (const Termination& t : terminations) {
      if (Accepted(t) && system.SamePath(t.FileName, file)) {
        back.push_back({entry.ProcessID, file});
        break;
      }
    }
  }
  return back;
}

void EndMarkedProcesses(vek::TProcessList& list, bool terminate, const std::function<void()>& waitOneSecond,
                        ResetOutcomes& outcomes) {
  if (!terminate) {
    for (auto& process : list)
      if (process->State == kMarked) process->State = kGone;
    return;
  }
  for (auto& process : list)
    if (process->State == kMarked)
      outcomes.Terminations.push_back({process->ProcessID, process->FileName, vek::KillProcess(*process)});
  const bool anyEnded = std::any_of(outcomes.Terminations.begin(), outcomes.Terminations.end(), Accepted);
  auto marked = [](const auto& p) { return p->State == kMarked; };
  for (int pass = 0; pass < kLivenessPasses; ++pass) {
    if (waitOneSecond) waitOneSecond();
    const bool last = pass == kLivenessPasses - 1;
    // The held processes answer for themselves; a snapshot serves those that
    // could not be held, and in the last pass the search for processes that
    // came back.
    const bool needed = std::any_of(list.begin(), list.end(), [&](const auto& p) {
      return marked(p) && vek::NeedsSnapshot(*p);
    });
    vek::ProcessSystem& system = vek::CurrentProcesses();
    std::vector<vek::ProcessEntry> snapshot;
    if (needed || (last && anyEnded)) snapshot = system.Snapshot();
    for (auto& process : list)
      if (marked(process) && !vek::IsProcessRunning(*process, snapshot)) process->State = kGone;
    if (last) outcomes.Back = FindReturned(list, outcomes.Terminations, snapshot, system);
  }
}

void RunReset(ResetHost& host, vek::TProcessList& list, int64_t& oldAvailMemory, ResetOutcomes& outcomes,
              uint32_t ownProcessId, uint32_t reporterProcessId) {
  host.AskApplyAgain();
  if (host.Closed()) return;
  host.ShowRunning();
  const std::vector<vek::Text> keepList = host.KeepList();
  vek::GetProcessList(list);
  oldAvailMemory = vek::GetAvailPhysMemory();
  MarkProcesses(list, keepList, ownProcessId, reporterProcessId);
  EndMarkedProcesses(list, host.Terminate(), [&] { host.WaitOneSecond(); }, outcomes);
  if (host.Closed()) return;
  host.ApplyAgain();
  host.PutInfo();
  host.CloseMain();
}

namespace {

vek::Text ProgramFolder(const vek::TInstallInfo& program) {
  vek::Text folder = vek::Trim(program.InstallLocation);
  if (folder.size() >= 2 && folder.front() == u'"' && folder.back() == u'"') folder = folder.substr(1, folder.size() - 2);
  if (folder.empty()) {
    const size_t slash = program.DisplayIcon.rfind(u'\\');
    if (slash != vek::Text::npos) folder = program.DisplayIcon.substr(0, slash);
  }
  while (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  // A drive, a whole folder of the table, or anything under Windows (where
  // Windows Installer entries point their icons) is no program's own folder.
  if (folder.size() <= 2) return {};
  const vek::Text folded = core::FoldPath(folder + u"\\");
  if (folded.front() == u'%' && folded.find(u'\\') == folded.size() - 1) return {};
  if (vek::StartsText(u"%SystemRoot%\\", folded)) return {};
  return folder;
}

}  // namespace

const vek::TInstallInfo* InstalledProgramOf(const vek::TInstallList& installed, vek::TextView path) {
  vek::ProcessSystem& system = vek::CurrentProcesses();
  const vek::TInstallInfo* best = nullptr;
  size_t bestLength = 0;
  for (const auto& program : installed) {
    const vek::Text folder = ProgramFolder(*program);
    if (folder.empty() || folder.size() <= bestLength || path.size() <= folder.size()) continue;
    if (path[folder.size()] != u'\\' || !system.SamePath(path.substr(0, folder.size()), folder)) continue;
    best = program.get();
    bestLength = folder.size();
  }
  return best;
}

vek::Text RefusalReason(const vek::TerminateResult& result) {
  if (result.Outcome == vek::TerminateOutcome::Refused) return u"denied";
  const std::string code = std::to_string(result.Code);
  return u"error " + vek::Text(code.begin(), code.end());
}

void AppendResetRecords(const vek::TProcessList& list, const ResetOutcomes& outcomes,
                        const vek::TInstallList& installed, int64_t oldAvailMemory, int64_t newAvailMemory,
                        int64_t totalMemory, std::vector<vek::Text>& records) {
  for (const auto& process : list) records.push_back(core::CleanRecord(core::FoldPath(process->FileName), process->State));
  records.push_back(core::MemoryRecord(oldAvailMemory, newAvailMemory, totalMemory));
  for (const Termination& t : outcomes.Terminations) {
    const auto outcome = t.Result.Outcome;
    if (outcome == vek::TerminateOutcome::Refused || outcome == vek::TerminateOutcome::Failed)
      records.push_back(core::RefusedRecord(core::FoldPrivatePath(t.FileName), RefusalReason(t.Result)));
  }
  for (const Returned& r : outcomes.Back) {
    const vek::TInstallInfo* program = InstalledProgramOf(installed, r.FileName);
    records.push_back(core::BackRecord(core::FoldPrivatePath(r.FileName), r.ProcessID,
                                       program ? program->DisplayName : vek::Text(),
                                       core::GetFileVersionValue(r.FileName, u"CompanyName")));
  }
}

}  // namespace pages::clean

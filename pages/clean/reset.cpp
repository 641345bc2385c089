#include "pages/clean/reset.h"

#include <algorithm>

#include "core/folders.h"
#include "core/report.h"
#include "pages/clean/keeplist.h"

namespace pages::clean {

constexpr int32_t kMarked = -2;
constexpr int32_t kGone = -1;
constexpr int kLivenessPasses = 5;

void MarkProcesses(vek::TProcessList& list, const std::vector<vek::Text>& keepList, uint32_t ownProcessId) {
  for (auto& process : list)
    if (process->ProcessID != ownProcessId && !ProcessExists(keepList, process->FileName)) process->State = kMarked;
}

void EndMarkedProcesses(vek::TProcessList& list, bool terminate, const std::function<void()>& waitOneSecond) {
  if (!terminate) {
    for (auto& process : list)
      if (process->State == kMarked) process->State = kGone;
    return;
  }
  for (auto& process : list)
    if (process->State == kMarked) vek::KillProcess(process->ProcessID);
  for (int pass = 0; pass < kLivenessPasses; ++pass) {
    if (waitOneSecond) waitOneSecond();
    bool anyMarked = std::any_of(list.begin(), list.end(), [](const auto& p) { return p->State == kMarked; });
    if (!anyMarked) continue;
    // One snapshot serves every marked process of the pass; an identifier is
    // running exactly when the snapshot holds it, as a per-process check says.
    std::vector<uint32_t> running;
    for (const auto& entry : vek::CurrentProcesses().Snapshot()) running.push_back(entry.ProcessID);
    std::sort(running.begin(), running.end());
    for (auto& process : list)
      if (process->State == kMarked && !std::binary_search(running.begin(), running.end(), process->ProcessID))
        process->State = kGone;
  }
}

void RunReset(ResetHost& host, vek::TProcessList& list, int64_t& oldAvailMemory, uint32_t ownProcessId) {
  host.AskApplyAgain();
  if (host.Closed()) return;
  host.ShowRunning();
  const std::vector<vek::Text> keepList = host.KeepList();
  vek::GetProcessList(list);
  oldAvailMemory = vek::GetAvailPhysMemory();
  MarkProcesses(list, keepList, ownProcessId);
  EndMarkedProcesses(list, host.Terminate(), [&] { host.WaitOneSecond(); });
  if (host.Closed()) return;
  host.ApplyAgain();
  host.PutInfo();
  host.CloseMain();
}

void AppendResetRecords(const vek::TProcessList& list, int64_t oldAvailMemory, int64_t newAvailMemory,
                        int64_t totalMemory, std::vector<vek::Text>& records) {
  for (const auto& process : list) records.push_back(core::CleanRecord(core::FoldPath(process->FileName), process->State));
  records.push_back(core::MemoryRecord(oldAvailMemory, newAvailMemory, totalMemory));
}

}  // namespace pages::clean

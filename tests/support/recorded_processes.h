#pragma once
// A process system that replays recorded platform results, for native tests of
// the inventory's decisions.
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "vek/process.h"

namespace qvtest {

class RecordedProcesses final : public vek::ProcessSystem {
 public:
  // The processes running now. An entry replaced by one of the same identifier
  // and a later creation time is a new process that the system gave the
  // identifier to; unlike Windows, this system does so also while the earlier
  // one is held, so that nothing relies on that.
  std::vector<vek::ProcessEntry> Entries;
  std::map<uint32_t, vek::Text> Paths;  // processes whose path can be read
  std::vector<vek::TopWindow> Windows;
  vek::MemoryFigures Figures;
  // Processes that cannot be opened, and how opening them fails.
  std::map<uint32_t, vek::TerminateResult> OpenFailures;
  // Answers to terminations other than Ended, for held processes still running.
  std::map<uint32_t, vek::TerminateResult> Refusals;
  // Run once, after the next snapshot is taken and before anything is held.
  std::function<void()> AfterNextSnapshot;
  std::vector<uint32_t> Terminated;
  std::vector<vek::ProcessEntry> TerminatedProcesses;  // with the creation time of the process reached
  int Snapshots = 0;
  int WindowWalks = 0;
  struct Opened {
    vek::Text File, Params;
    int32_t Show;
    vek::ShellRights Rights;
  };
  std::vector<Opened> Shell;

  std::vector<vek::ProcessEntry> Snapshot() override {
    ++Snapshots;
    std::vector<vek::ProcessEntry> taken = Entries;
    if (auto once = std::exchange(AfterNextSnapshot, nullptr)) once();
    return taken;
  }
  vek::ProcessHold Hold(const vek::ProcessEntry& entry) override {
    const vek::ProcessEntry* now = Running(entry.ProcessID);
    if (!now) return {nullptr, {vek::TerminateOutcome::NotFound, 87}};
    if (auto failure = OpenFailures.find(entry.ProcessID); failure != OpenFailures.end()) return {nullptr, failure->second};
    if (!vek::IsSnapshotProcess(entry, now->CreationTime)) return {nullptr, {vek::TerminateOutcome::NotFound, 0}};
    return {std::make_unique<Held>(*this, *now), {}};
  }
  vek::Text ImagePath(uint32_t pid) override {
    auto it = Paths.find(pid);
    return it == Paths.end() ? vek::Text() : it->second;
  }
  std::vector<vek::TopWindow> TopWindows() override {
    ++WindowWalks;
    return Windows;
  }
  vek::MemoryFigures Memory() override { return Figures; }
  void ShellOpen(const vek::Text& file, const vek::Text& params, int32_t show, vek::ShellRights rights) override {
    Shell.push_back({file, params, show, rights});
  }

 private:
  const vek::ProcessEntry* Running(uint32_t pid) const {
    auto it = std::find_if(Entries.begin(), Entries.end(), [&](const auto& e) { return e.ProcessID == pid; });
    return it == Entries.end() ? nullptr : &*it;
  }

  // One process as held: it has ended once the system no longer runs that
  // identifier with that creation time.
  class Held final : public vek::HeldProcess {
   public:
    Held(RecordedProcesses& system, const vek::ProcessEntry& process) : system_(system), process_(process) {}
    vek::Text ImagePath() override { return system_.ImagePath(process_.ProcessID); }
    bool Ended() override {
      const vek::ProcessEntry* now = system_.Running(process_.ProcessID);
      return !now || !vek::SameProcess(*now, process_);
    }
    vek::TerminateResult Terminate() override {
      if (Ended()) return {vek::TerminateOutcome::NotFound, 0};
      system_.Terminated.push_back(process_.ProcessID);
      system_.TerminatedProcesses.push_back(process_);
      auto it = system_.Refusals.find(process_.ProcessID);
      return it == system_.Refusals.end() ? vek::TerminateResult{vek::TerminateOutcome::Ended, 0} : it->second;
    }

   private:
    RecordedProcesses& system_;
    vek::ProcessEntry process_;
  };
};

class ScopedProcesses {
 public:
  explicit ScopedProcesses(vek::ProcessSystem& system) : previous_(vek::SetProcessSystem(&system)) {}
  ~ScopedProcesses() { vek::SetProcessSystem(previous_); }
  ScopedProcesses(const ScopedProcesses&) = delete;
  ScopedProcesses& operator=(const ScopedProcesses&) = delete;

 private:
  vek::ProcessSystem* previous_;
};

}  // namespace qvtest

#pragma once
// A process system that replays recorded platform results, for native tests of
// the inventory's decisions.
#include <map>
#include <set>

#include "vek/process.h"

namespace qvtest {

class RecordedProcesses final : public vek::ProcessSystem {
 public:
  std::vector<vek::ProcessEntry> Entries;
  std::map<uint32_t, vek::Text> Paths;  // processes whose path can be read
  std::vector<vek::TopWindow> Windows;
  vek::MemoryFigures Figures;
  std::vector<uint32_t> Terminated;
  std::map<uint32_t, vek::TerminateResult> Refusals;  // answers other than Ended
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
    return Entries;
  }
  vek::Text ImagePath(uint32_t pid) override {
    auto it = Paths.find(pid);
    return it == Paths.end() ? vek::Text() : it->second;
  }
  std::vector<vek::TopWindow> TopWindows() override {
    ++WindowWalks;
    return Windows;
  }
  vek::TerminateResult Terminate(uint32_t pid) override {
    Terminated.push_back(pid);
    auto it = Refusals.find(pid);
    return it == Refusals.end() ? vek::TerminateResult{vek::TerminateOutcome::Ended, 0} : it->second;
  }
  vek::MemoryFigures Memory() override { return Figures; }
  void ShellOpen(const vek::Text& file, const vek::Text& params, int32_t show, vek::ShellRights rights) override {
    Shell.push_back({file, params, show, rights});
  }
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

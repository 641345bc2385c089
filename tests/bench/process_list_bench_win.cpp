// Timing of GetProcessList with about 100 extra processes that own a window
// each, beside a listing that walks the top-level windows once per process.
// Not part of the test run; start it under Wine with
//   quorvane_win_bench.exe --gtest_filter=ProcessListBench.*
// QV_BENCH_CHILDREN sets the number of extra processes (100 by default) and
// QV_BENCH_WINDOWLESS a number of further ones without a window (0 by default):
// the X server admits too few clients for hundreds of windowed Wine processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/support/child_process_win.h"
#include "vek/process.h"

#include <tlhelp32.h>

namespace {

// The listing as a walk per process: the windows from the top, stopping at the
// first parentless one of the process.
uintptr_t WalkForWindow(DWORD pid) {
  for (HWND w = FindWindowW(nullptr, nullptr); w; w = GetWindow(w, GW_HWNDNEXT)) {
    if (GetParent(w)) continue;
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == pid) return reinterpret_cast<uintptr_t>(w);
  }
  return 0;
}

void ListWalkingPerProcess(vek::TProcessList& list) {
  vek::unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == 0) continue;
    auto info = std::make_unique<vek::TProcessInfo>();
    info->ProcessID = entry.th32ProcessID;
    info->Handle = WalkForWindow(entry.th32ProcessID);
    info->FileName = vek::GetProcessImagePath(entry.th32ProcessID);
    if (info->FileName.empty()) info->FileName = vek::U(entry.szExeFile);
    list.push_back(std::move(info));
  }
}

template <typename Fn>
double MillisecondsPerCall(Fn fn, int calls) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) fn();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / calls;
}

TEST(ProcessListBench, HundredExtraProcesses) {
  const char* env = std::getenv("QV_BENCH_CHILDREN");
  const char* windowlessEnv = std::getenv("QV_BENCH_WINDOWLESS");
  const int wanted = env ? std::atoi(env) : 100;
  const int windowless = windowlessEnv ? std::atoi(windowlessEnv) : 0;
  std::vector<std::unique_ptr<qvtest::ChildProcess>> children;
  for (int i = 0; i < wanted + windowless; ++i) {
    auto child = qvtest::ChildProcess::Start(i < wanted);
    ASSERT_NE(child, nullptr) << "child " << i << " did not start";
    children.push_back(std::move(child));
  }

  vek::TProcessList once, perProcess;
  vek::GetProcessList(once);
  ListWalkingPerProcess(perProcess);
  // Both listings must describe the same processes alike.
  ASSERT_EQ(once.size(), perProcess.size());
  for (size_t i = 0; i < once.size(); ++i) {
    EXPECT_EQ(once[i]->ProcessID, perProcess[i]->ProcessID);
    EXPECT_EQ(once[i]->Handle, perProcess[i]->Handle) << once[i]->ProcessID;
    EXPECT_EQ(once[i]->FileName, perProcess[i]->FileName);
  }
  size_t windows = 0;
  for (HWND w = FindWindowW(nullptr, nullptr); w; w = GetWindow(w, GW_HWNDNEXT)) ++windows;

  constexpr int kCalls = 10;
  double mapMs = 1e300, walkMs = 1e300;
  for (int round = 0; round < 3; ++round) {
    mapMs = std::min(mapMs, MillisecondsPerCall([] {
                       vek::TProcessList list;
                       vek::GetProcessList(list);
                     }, kCalls));
    walkMs = std::min(walkMs, MillisecondsPerCall([] {
                        vek::TProcessList list;
                        ListWalkingPerProcess(list);
                      }, kCalls));
  }
  // Where the time of one listing goes.
  const double walkOnceMs = MillisecondsPerCall([] { vek::FindProcessWindow(0); }, kCalls);
  const double pathsMs = MillisecondsPerCall([&] {
    for (const auto& p : once) vek::GetProcessImagePath(p->ProcessID);
  }, kCalls);
  // A liveness pass asks every held process; a snapshot is taken only for the
  // processes that could not be held and for the last pass's search for
  // processes that came back.
  const double snapshotMs = MillisecondsPerCall([] { vek::CurrentProcesses().Snapshot(); }, kCalls);
  const double passMs = MillisecondsPerCall([&] {
    for (const auto& p : once) vek::IsProcessRunning(*p, {});
  }, kCalls);
  size_t held = 0;
  for (const auto& p : once) held += p->Held.Process != nullptr;
  std::printf("processes listed: %zu (held: %zu), top-level windows: %zu\n", once.size(), held, windows);
  std::printf("one process snapshot: %.2f ms\n", snapshotMs);
  std::printf("liveness pass over every held process: %.2f ms\n", passMs);
  std::printf("of which: one window walk %.2f ms, image paths of all processes %.2f ms\n", walkOnceMs, pathsMs);
  std::printf("GetProcessList (one window walk per call): %.2f ms per call\n", mapMs);
  std::printf("walk per process:                          %.2f ms per call\n", walkMs);
  std::printf("ratio walk per process / one walk: %.2f\n", walkMs / mapMs);
}

}  // namespace

// The process inventory against real processes: a child started here is listed
// under its full path with its window, ends when killed through its record, a
// record never reaches a later process under its identifier, and the memory
// figures are sane.
#include <gtest/gtest.h>

#include "tests/support/child_process_win.h"
#include "vek/process.h"

namespace {

using qvtest::ChildProcess;
using vek::Text;

const vek::TProcessInfo* Find(const vek::TProcessList& list, uint32_t pid) {
  for (const auto& p : list)
    if (p->ProcessID == pid) return p.get();
  return nullptr;
}

// A process terminated goes a moment later; the snapshot may still hold it for
// a moment after that.
template <typename Running>
bool EndsWithin(Running running, DWORD milliseconds) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  while (running()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
  return true;
}
bool GoneWithin(uint32_t pid, DWORD milliseconds) {
  return EndsWithin([&] { return vek::IsProcessRunning(pid); }, milliseconds);
}

TEST(ProcessInventory, ListsAChildUnderItsFullPathWithItsWindow) {
  auto child = ChildProcess::Start(true);
  ASSERT_NE(child, nullptr) << "qv_child.exe did not start (is an X display available?)";
  vek::TProcessList list;
  vek::GetProcessList(list);
  EXPECT_EQ(Find(list, 0), nullptr) << "the idle process is never listed";
  for (const auto& p : list) EXPECT_EQ(p->State, 1);
  const vek::TProcessInfo* info = Find(list, child->Pid());
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(vek::SameText(info->FileName, qvtest::BesideTestProgram(u"qv_child.exe")))
      << vek::ToUtf8(info->FileName);
  ASSERT_NE(info->Handle, 0u);
  DWORD owner = 0;
  GetWindowThreadProcessId(reinterpret_cast<HWND>(info->Handle), &owner);
  EXPECT_EQ(owner, child->Pid());
  EXPECT_EQ(GetParent(reinterpret_cast<HWND>(info->Handle)), nullptr);
  EXPECT_EQ(vek::FindProcessWindow(child->Pid()), info->Handle);
}

TEST(ProcessInventory, WindowlessChildHasNoWindow) {
  auto child = ChildProcess::Start(false);
  ASSERT_NE(child, nullptr);
  vek::TProcessList list;
  vek::GetProcessList(list);
  const vek::TProcessInfo* info = Find(list, child->Pid());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->Handle, 0u);
  EXPECT_EQ(vek::FindProcessWindow(child->Pid()), 0u);
}

TEST(ProcessInventory, KillEndsTheProcessAndItStopsRunning) {
  auto child = ChildProcess::Start(false);
  ASSERT_NE(child, nullptr);
  const uint32_t pid = child->Pid();
  EXPECT_TRUE(vek::IsProcessRunning(pid));
  vek::TProcessList list;
  vek::GetProcessList(list);
  const vek::TProcessInfo* info = Find(list, pid);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->Held.Process, nullptr);
  EXPECT_NE(info->CreationTime, 0u);
  EXPECT_TRUE(vek::IsProcessRunning(*info, {}));
  EXPECT_EQ(vek::KillProcess(*info).Outcome, vek::TerminateOutcome::Ended);
  ASSERT_TRUE(child->WaitEnded(10000));
  DWORD code = 0xdeadbeef;
  GetExitCodeProcess(child->Process(), &code);
  EXPECT_EQ(code, 0u) << "terminated with exit code 0";
  EXPECT_FALSE(vek::IsProcessRunning(*info, {}));
  child.reset();
  list.clear();
  EXPECT_TRUE(GoneWithin(pid, 10000));
}

TEST(ProcessInventory, KillOfNoProcessIsSilentAndSaysNotFound) {
  EXPECT_EQ(vek::KillProcess(vek::TProcessInfo{}).Outcome, vek::TerminateOutcome::NotFound);
  const vek::ProcessHold none = vek::CurrentProcesses().Hold({0xFFFFFFF0, u"none.exe", 1});
  EXPECT_EQ(none.Process, nullptr);
  EXPECT_EQ(none.Failure.Outcome, vek::TerminateOutcome::NotFound) << "error " << none.Failure.Code;
  EXPECT_TRUE(vek::IsProcessRunning(GetCurrentProcessId()));
  EXPECT_FALSE(vek::IsProcessRunning(0xFFFFFFF0));
}

// Wine gives an ended process's identifier to a new process or thread only
// after hundreds of other identifiers were freed (its free list is first in,
// first out); threads started and ended here walk that list quickly.
DWORD WINAPI Nothing(void*) { return 0; }
DWORD OneThreadIdentifier() {
  DWORD id = 0;
  vek::unique_handle thread(CreateThread(nullptr, 0, Nothing, nullptr, 0, &id));
  if (thread) WaitForSingleObject(thread.get(), INFINITE);
  return id;
}
// Threads started one after the other until one gets id: how many, or -1.
int ThreadsUntil(DWORD id, int limit) {
  for (int n = 1; n <= limit; ++n)
    if (OneThreadIdentifier() == id) return n;
  return -1;
}
// A new child under the identifier of an ended process: once a thread got it,
// as many threads again as the free list is long bring it back to its head.
std::unique_ptr<ChildProcess> StartUnderIdentifier(DWORD id) {
  constexpr int kLimit = 20000;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (ThreadsUntil(id, kLimit) < 0) return nullptr;
    const int cycle = ThreadsUntil(id, kLimit);
    if (cycle < 0) return nullptr;
    for (int i = 1; i < cycle; ++i) OneThreadIdentifier();
    auto child = ChildProcess::Start(false);
    if (child && child->Pid() == id) return child;
  }
  return nullptr;
}

// A listed process that ended by itself, then a new one of the same file: the
// record holds the ended one, so the system gives its identifier to no other
// process, the record no longer runs and ending it reaches nothing.
TEST(ProcessInventory, ARecordOfAnEndedProcessReachesNoOther) {
  auto first = ChildProcess::Start(false);
  ASSERT_NE(first, nullptr);
  const DWORD pid = first->Pid();
  vek::TProcessList list;
  vek::GetProcessList(list);
  const vek::TProcessInfo* info = Find(list, pid);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->Held.Process, nullptr);
  ASSERT_TRUE(TerminateProcess(first->Process(), 7));
  ASSERT_TRUE(first->WaitEnded(10000));
  first.reset();

  EXPECT_EQ(ThreadsUntil(pid, 2000), -1) << "a held identifier was given to a thread";
  auto second = ChildProcess::Start(false);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->Pid(), pid);
  EXPECT_FALSE(vek::IsProcessRunning(*info, vek::CurrentProcesses().Snapshot()));
  EXPECT_EQ(vek::KillProcess(*info).Outcome, vek::TerminateOutcome::NotFound);
  EXPECT_EQ(WaitForSingleObject(second->Process(), 0), DWORD(WAIT_TIMEOUT)) << "the new child was ended";
}

// The gap between a snapshot and its holds: the snapshot's process ends, and
// its identifier goes to a new child of the same file before the hold. The
// hold finds the newcomer by its creation time and takes nothing; the listing
// names the record by its snapshot name, ending it reaches nothing, and it
// does not run, though its identifier does.
TEST(ProcessInventory, AnIdentifierRecycledBeforeTheHoldIsNotTheSnapshotsProcess) {
  auto first = ChildProcess::Start(false);
  ASSERT_NE(first, nullptr);
  const DWORD pid = first->Pid();
  vek::ProcessSystem& system = vek::CurrentProcesses();
  std::vector<vek::ProcessEntry> seen;
  for (const auto& e : system.Snapshot())
    if (e.ProcessID == pid) seen.push_back(e);
  ASSERT_EQ(seen.size(), 1u);
  first.reset();  // ended, and its last handle closed

  auto second = StartUnderIdentifier(pid);
  if (!second) GTEST_SKIP() << "Wine did not give identifier " << pid << " to a new process";
  const vek::ProcessHold hold = system.Hold(seen[0]);
  EXPECT_EQ(hold.Process, nullptr);
  EXPECT_EQ(hold.Failure.Outcome, vek::TerminateOutcome::NotFound);

  vek::TProcessList list;
  vek::AppendProcessRecords(list, seen, {}, system);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->FileName, u"qv_child.exe") << "not the newcomer's path";
  EXPECT_EQ(vek::KillProcess(*list[0]).Outcome, vek::TerminateOutcome::NotFound);
  const std::vector<vek::ProcessEntry> now = system.Snapshot();
  EXPECT_TRUE(vek::IsProcessRunning(pid)) << "the identifier alone names the newcomer";
  EXPECT_FALSE(vek::IsProcessRunning(*list[0], now));
  EXPECT_EQ(WaitForSingleObject(second->Process(), 0), DWORD(WAIT_TIMEOUT)) << "the new child was ended";
}

TEST(ProcessInventory, OwnImagePathIsTheModulePath) {
  wchar_t path[MAX_PATH];
  const DWORD len = GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_TRUE(vek::SameText(vek::GetProcessImagePath(GetCurrentProcessId()), vek::U(path, len)));
  EXPECT_EQ(vek::GetProcessImagePath(0xFFFFFFF0), u"");
}

// Paths compare as the file system compares them: beyond ASCII letters too.
TEST(ProcessInventory, SamePathFoldsCaseAsWindowsDoes) {
  vek::ProcessSystem& system = vek::CurrentProcesses();
  EXPECT_TRUE(system.SamePath(u"C:\\Program Files\\\u00C9diteur\\A.EXE", u"c:\\program files\\\u00E9diteur\\a.exe"));
  EXPECT_TRUE(system.SamePath(u"D:\\\uBCF4\uC548\\x.exe", u"d:\\\uBCF4\uC548\\X.exe"));
  EXPECT_FALSE(system.SamePath(u"C:\\a.exe", u"C:\\b.exe"));
  EXPECT_FALSE(system.SamePath(u"C:\\a.exe", u"C:\\a.exe "));
  EXPECT_TRUE(system.SamePath(u"", u""));
}

TEST(ProcessInventory, MemoryFiguresAreSane) {
  const int64_t total = vek::GetTotalPhysMemory();
  const int64_t avail = vek::GetAvailPhysMemory();
  EXPECT_GT(total, 0);
  EXPECT_GT(avail, 0);
  EXPECT_LE(avail, total);
}

TEST(ProcessInventory, ShellOpenStartsTheFileWithItsParametersWithEitherRights) {
  const Text exe = qvtest::BesideTestProgram(u"qv_child.exe");
  for (vek::ShellRights rights : {vek::ShellRights::Program, vek::ShellRights::User}) {
    const bool user = rights == vek::ShellRights::User;
    SCOPED_TRACE(user ? "user" : "program");
    const wchar_t* event = user ? L"QuorvaneShellOpenReadyUser" : L"QuorvaneShellOpenReady";
    vek::unique_handle ready(CreateEventW(nullptr, TRUE, FALSE, event));
    ASSERT_TRUE(bool(ready));
    vek::ShellOpen(exe, u"--ready " + vek::U(event) + u" --seconds 60", SW_SHOW, rights);
    ASSERT_EQ(WaitForSingleObject(ready.get(), 60000), WAIT_OBJECT_0) << "the started child never signalled";
    vek::TProcessList list;
    vek::GetProcessList(list);
    for (const auto& p : list) {
      if (!vek::SameText(p->FileName, exe)) continue;
      vek::KillProcess(*p);
      EXPECT_TRUE(EndsWithin([&] { return vek::IsProcessRunning(*p, {}); }, 10000));
    }
  }
}

}  // namespace

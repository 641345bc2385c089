// The process inventory against real processes: a child started here is listed
// under its full path with its window, ends when killed, and the memory figures
// are sane.
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

// The snapshot may still hold a process for a moment after it ended.
bool GoneWithin(uint32_t pid, DWORD milliseconds) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  while (vek::IsProcessRunning(pid)) {
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
  return true;
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
  EXPECT_EQ(vek::KillProcess(pid).Outcome, vek::TerminateOutcome::Ended);
  ASSERT_TRUE(child->WaitEnded(10000));
  DWORD code = 0xdeadbeef;
  GetExitCodeProcess(child->Process(), &code);
  EXPECT_EQ(code, 0u) << "terminated with exit code 0";
  child.reset();
  EXPECT_TRUE(GoneWithin(pid, 10000));
}

TEST(ProcessInventory, KillOfNoProcessIsSilentAndSaysNotFound) {
  EXPECT_EQ(vek::KillProcess(0).Outcome, vek::TerminateOutcome::NotFound);
  const vek::TerminateResult none = vek::KillProcess(0xFFFFFFF0);
  EXPECT_EQ(none.Outcome, vek::TerminateOutcome::NotFound) << "error " << none.Code;
  EXPECT_TRUE(vek::IsProcessRunning(GetCurrentProcessId()));
  EXPECT_FALSE(vek::IsProcessRunning(0xFFFFFFF0));
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
      vek::KillProcess(p->ProcessID);
      EXPECT_TRUE(GoneWithin(p->ProcessID, 10000));
    }
  }
}

}  // namespace

// Starting programs through the desktop's shell: the test child started by
// ShellStartUnelevated runs as Explorer's child where the desktop's
// Shell.Application takes the start, and as this process's child when any call
// of the way fails (each one made to fail in turn), with and without an owner.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process_win.h"
#include "vek/handles_win.h"
#include "vek/process.h"
#include "vek/shell_start_win.h"

#include <tlhelp32.h>

namespace {

using vek::DesktopShellStep;
using vek::Text;

const char* StepName(DesktopShellStep step) {
  static const char* const names[] = {"CoInitializeEx",       "CoCreateInstance(ShellWindows)",
                                      "FindWindowSW(SWC_DESKTOP)", "QueryInterface(IServiceProvider)",
                                      "QueryService(SID_STopLevelBrowser)", "QueryActiveShellView",
                                      "GetItemObject(SVGIO_BACKGROUND)",   "QueryInterface(IShellFolderViewDual)",
                                      "get_Application",      "QueryInterface(IShellDispatch2)",
                                      "IShellDispatch2::ShellExecute", "none"};
  return names[int(step)];
}

std::string Describe(const vek::ShellStartResult& r) {
  char hr[16];
  snprintf(hr, sizeof hr, "0x%08lx", static_cast<unsigned long>(uint32_t(r.Error)));
  return std::string("stopped at ") + StepName(r.Stopped) + " with " + hr;
}

struct Entry {
  DWORD Parent = 0;
  std::wstring Exe;
};

// Every process of a fresh snapshot: its parent and its executable's name.
std::map<DWORD, Entry> Processes() {
  std::map<DWORD, Entry> all;
  vek::unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return all;
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snapshot.get(), &e); more; more = Process32NextW(snapshot.get(), &e))
    all[e.th32ProcessID] = {e.th32ParentProcessID, e.szExeFile};
  return all;
}

bool IsChildExe(const std::wstring& exe) { return lstrcmpiW(exe.c_str(), L"qv_child.exe") == 0; }

class ShellStart : public ::testing::Test {
 protected:
  void TearDown() override {
    vek::SetFailingDesktopShellStep(DesktopShellStep::Done);
    vek::TProcessList list;
    vek::GetProcessList(list);
    for (const auto& p : list)
      for (DWORD pid : started_)
        if (p->ProcessID == pid) vek::KillProcess(*p);
  }

  struct Started {
    vek::ShellStartResult Result;
    DWORD Pid = 0, Parent = 0;
    std::wstring ParentExe;
  };

  // Starts the test child through ShellStartUnelevated and finds it (the one
  // qv_child that was not there before) once it has signalled.
  Started Start(HWND owner = nullptr) {
    Started s;
    const std::wstring event = L"QuorvaneShellStart" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(++count_);
    vek::unique_handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    if (!ready) {
      ADD_FAILURE() << "no event";
      return s;
    }
    const std::map<DWORD, Entry> before = Processes();
    vek::ShellStartRequest request;
    request.File = qvtest::BesideTestProgram(u"qv_child.exe");
    request.Params = u"--ready " + vek::U(event.c_str()) + u" --seconds 60";
    request.ShowCmd = SW_SHOW;
    request.Owner = owner;
    s.Result = vek::ShellStartUnelevated(request);
    if (WaitForSingleObject(ready.get(), 30000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the started child never signalled; " << Describe(s.Result);
      return s;
    }
    const std::map<DWORD, Entry> after = Processes();
    for (const auto& [pid, e] : after) {
      if (!IsChildExe(e.Exe) || before.count(pid)) continue;
      s.Pid = pid;
      s.Parent = e.Parent;
      started_.push_back(pid);
      auto parent = after.find(e.Parent);
      if (parent != after.end()) s.ParentExe = parent->second.Exe;
    }
    EXPECT_NE(s.Pid, 0u) << "no new qv_child.exe in the snapshot";
    return s;
  }

  std::vector<DWORD> started_;
  int count_ = 0;
};

TEST_F(ShellStart, TheDesktopsShellStartsTheProgramAsExplorersChild) {
  Started s = Start();
  if (!s.Result.ThroughDesktop()) {
    EXPECT_EQ(s.Parent, GetCurrentProcessId()) << "the fallback starts the program from this process";
    GTEST_SKIP() << "this desktop's shell does not take the start (" << Describe(s.Result)
                 << "); the fallback started it";
  }
  EXPECT_NE(s.Parent, GetCurrentProcessId());
  EXPECT_EQ(lstrcmpiW(s.ParentExe.c_str(), L"explorer.exe"), 0)
      << "parent " << s.Parent << " runs " << vek::ToUtf8(vek::U(s.ParentExe.c_str()));
}

TEST_F(ShellStart, AnyFailingCallFallsBackToThisProcessWithAndWithoutAnOwner) {
  HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(owner, nullptr);
  for (int step = int(DesktopShellStep::InitCom); step < int(DesktopShellStep::Done); ++step) {
    for (HWND withOwner : {static_cast<HWND>(nullptr), owner}) {
      SCOPED_TRACE(std::string(StepName(DesktopShellStep(step))) + (withOwner ? ", owned" : ", no owner"));
      vek::SetFailingDesktopShellStep(DesktopShellStep(step));
      Started s = Start(withOwner);
      EXPECT_EQ(int(s.Result.Stopped), step) << Describe(s.Result);
      EXPECT_EQ(uint32_t(s.Result.Error), uint32_t(E_ABORT)) << Describe(s.Result);
      EXPECT_EQ(s.Parent, GetCurrentProcessId()) << "started by " << vek::ToUtf8(vek::U(s.ParentExe.c_str()));
    }
  }
  DestroyWindow(owner);
}

// A worker in the multithreaded apartment keeps it, and the start still goes
// the way the main thread's does.
TEST_F(ShellStart, WorksFromAThreadInTheMultithreadedApartment) {
  Started onMain = Start();
  Started onWorker;
  std::thread([&] {
    vek::com_init_scope mta(COINIT_MULTITHREADED);
    onWorker = Start();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "the worker's apartment was ended";
    CoUninitialize();
  }).join();
  EXPECT_EQ(onWorker.Result.ThroughDesktop(), onMain.Result.ThroughDesktop()) << Describe(onWorker.Result);
  EXPECT_EQ(onWorker.Parent == GetCurrentProcessId(), onMain.Parent == GetCurrentProcessId());
}

}  // namespace

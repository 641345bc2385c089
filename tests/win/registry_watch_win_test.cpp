// RegistryMonitor against the real registry, with a window of the test's own
// serving the main-thread hand-over. Each test watches its own sandbox key under
// HKCU\Software\Quorvane Tests\<test>. Waits are on events the procedures set;
// the only time limits are guards that keep a broken watcher from hanging the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "core/handover_win.h"
#include "core/pump_win.h"
#include "tests/support/registry_sandbox_win.h"
#include "vek/handles_win.h"
#include "vek/registry.h"
#include "vek/registry_watch_win.h"

namespace {

using vek::Text;

constexpr int kGuardMs = 20000;

bool RunningUnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

LRESULT CALLBACK ServeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == core::WM_QV_HANDOVER) {
    core::ServeHandover(lp);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

class RegistryWatch : public qvtest::RegistrySandbox {
 protected:
  void SetUp() override {
    RegistrySandbox::SetUp();
    WNDCLASSW wc{};
    wc.lpfnWndProc = ServeProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QvRegistryWatchTest";
    RegisterClassW(&wc);
    window_ = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    core::SetHandoverWindow(window_);
    vek::SetMainThreadRunner(core::RunOnMainThread);
    mainThread_ = GetCurrentThreadId();
  }
  void TearDown() override {
    // Watchers of earlier tests stay blocked on their (deleted) keys; without a
    // window they can hand nothing over.
    core::SetHandoverWindow(nullptr);
    DestroyWindow(window_);
    RegistrySandbox::TearDown();
  }

  // Pumps the test's messages until the event is set (or, with none, for the
  // time); false when the time ran out first.
  static bool Pump(HANDLE event, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
      if (event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return true;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      MsgWaitForMultipleObjects(event ? 1 : 0, event ? &event : nullptr, FALSE, DWORD(deadline - now), QS_ALLINPUT);
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
  }
  static bool PumpUntil(HANDLE event) { return Pump(event, kGuardMs); }

  HWND window_ = nullptr;
  DWORD mainThread_ = 0;
};

TEST_F(RegistryWatch, OneWriteRunsTheProcedureOnTheMainThread) {
  vek::unique_handle called(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::atomic<int> calls{0};
  std::atomic<DWORD> ranOn{0};
  // The path as the program writes it, with a leading backslash.
  vek::unique_handle thread = vek::RegistryMonitor(
      vek::kHkeyCurrentUser, u"\\" + path_,
      [&] {
        ++calls;
        ranOn = GetCurrentThreadId();
        SetEvent(called.get());
      },
      true);
  ASSERT_TRUE(thread);
  // The watcher arms on its own thread; a write before that goes unseen, so
  // write until the first call comes.
  for (int i = 0; i < 100 && calls == 0; ++i) {
    ASSERT_TRUE(SetDword(u"v", DWORD(i)));
    Pump(called.get(), 100);
  }
  ASSERT_GE(calls.load(), 1);
  EXPECT_EQ(ranOn.load(), mainThread_);
  // The watcher re-arms on its own thread once the call has returned; a write
  // that comes first goes unseen, so again write until the next call comes.
  const int before = calls;
  int writes = 0;
  for (; writes < 100 && calls == before; ++writes) {
    ASSERT_TRUE(SetDword(u"w", DWORD(writes)));
    Pump(called.get(), 100);
  }
  ASSERT_GT(calls.load(), before);
  EXPECT_LE(calls.load() - before, writes) << "never more calls than writes";
}

TEST_F(RegistryWatch, ABurstOfWritesNeverOverlapsCalls) {
  vek::unique_handle sawLast(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> calls{0}, inside{0}, maxInside{0};
  vek::unique_handle thread = vek::RegistryMonitor(
      vek::kHkeyCurrentUser, path_,
      [&] {
        const int now = ++inside;
        maxInside = std::max(maxInside.load(), now);
        ++calls;
        // A nested pump, as the main window's waits have: a second hand-over
        // would be served here if the watcher did not wait for this one.
        Pump(nullptr, 30);
        if (ReadDword(u"last") == 1) SetEvent(sawLast.get());
        --inside;
      },
      true);
  ASSERT_TRUE(thread);
  std::thread writer([&] {
    for (DWORD i = 0; i < 10; ++i) SetDword(u"n" + vek::FromUtf8(std::to_string(i)), i);
  });
  Pump(nullptr, 50);
  writer.join();
  // A write made while the procedure runs gives no call of its own; repeat the
  // closing write until a call has seen it.
  for (int i = 0; i < 100 && WaitForSingleObject(sawLast.get(), 0) != WAIT_OBJECT_0; ++i) {
    ASSERT_TRUE(SetDword(u"last", 1));
    Pump(sawLast.get(), 200);
  }
  ASSERT_EQ(WaitForSingleObject(sawLast.get(), 0), WAIT_OBJECT_0);
  EXPECT_GE(calls.load(), 1);
  EXPECT_EQ(maxInside.load(), 1);
}

TEST_F(RegistryWatch, ASubkeyTwoLevelsDownCountsOnlyWhenWatchingTheSubtree) {
  ASSERT_TRUE(CreateKey(u"A"));
  vek::unique_handle subCalled(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  vek::unique_handle flatCalled(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::atomic<int> subCalls{0}, flatCalls{0}, flatWithoutMarker{0};
  vek::unique_handle sub = vek::RegistryMonitor(
      vek::kHkeyCurrentUser, path_, [&] { ++subCalls, SetEvent(subCalled.get()); }, true);
  vek::unique_handle flat = vek::RegistryMonitor(
      vek::kHkeyCurrentUser, path_,
      [&] {
        if (ReadDword(u"marker") == 0) ++flatWithoutMarker;
        ++flatCalls;
        SetEvent(flatCalled.get());
      },
      false);
  ASSERT_TRUE(sub && flat);
  // Both arm on their own threads: poke the key itself until each has reported.
  for (int i = 0; i < 100 && (subCalls == 0 || flatCalls == 0); ++i) {
    ASSERT_TRUE(SetDword(u"poke", DWORD(i)));
    Pump(nullptr, 100);
  }
  ASSERT_GT(subCalls.load(), 0);
  ASSERT_GT(flatCalls.load(), 0);
  const int flatBefore = flatCalls, flatWithoutBefore = flatWithoutMarker;
  ResetEvent(subCalled.get());
  ResetEvent(flatCalled.get());
  ASSERT_TRUE(CreateKey(u"A\\B"));
  ASSERT_TRUE(PumpUntil(subCalled.get())) << "a subtree watcher sees a key two levels down";
  ASSERT_TRUE(SetDword(u"marker", 1));
  ASSERT_TRUE(PumpUntil(flatCalled.get()));
  EXPECT_EQ(flatWithoutMarker.load(), flatWithoutBefore) << "the key-only watcher was called for the subkey";
  EXPECT_GT(flatCalls.load(), flatBefore);
}

TEST_F(RegistryWatch, AMissingKeyEndsTheWatcherAtOnce) {
  std::atomic<int> calls{0};
  vek::unique_handle thread =
      vek::RegistryMonitor(vek::kHkeyCurrentUser, path_ + u"\\Missing", [&] { ++calls; }, true);
  ASSERT_TRUE(thread);
  EXPECT_EQ(WaitForSingleObject(thread.get(), kGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(calls.load(), 0);
}

TEST_F(RegistryWatch, DeletingTheWatchedKeyEndsTheWatcher) {
  vek::unique_handle called(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::atomic<int> calls{0};
  vek::unique_handle thread = vek::RegistryMonitor(
      vek::kHkeyCurrentUser, path_, [&] { ++calls, SetEvent(called.get()); }, true);
  ASSERT_TRUE(thread);
  for (int i = 0; i < 100 && calls == 0; ++i) {
    ASSERT_TRUE(SetDword(u"v", DWORD(i)));
    Pump(called.get(), 100);
  }
  ASSERT_GT(calls.load(), 0);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, vek::W(path_)), ERROR_SUCCESS);
  // The deletion is a change: the procedure runs once more, then re-arming fails.
  HANDLE ended = thread.get();
  // Wine neither signals a registration when its key is deleted nor refuses a
  // new one on the deleted key: there the watcher waits for good, as designed
  // for a registration that cannot fire.
  const int guard = RunningUnderWine() ? 1000 : kGuardMs;
  for (int i = 0; i < guard / 100 && WaitForSingleObject(ended, 0) != WAIT_OBJECT_0; ++i) Pump(nullptr, 100);
  if (RunningUnderWine() && WaitForSingleObject(ended, 0) != WAIT_OBJECT_0)
    GTEST_SKIP() << "Wine keeps notifying on a deleted key (no ERROR_KEY_DELETED)";
  EXPECT_EQ(WaitForSingleObject(ended, 0), WAIT_OBJECT_0);
}

}  // namespace

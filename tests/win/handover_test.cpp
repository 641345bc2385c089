// Procedures handed from worker threads to the main thread.
#include "core/handover_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "core/pump_win.h"

namespace {

LRESULT CALLBACK ServeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == core::WM_QV_HANDOVER) {
    core::ServeHandover(lp);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

class Handover : public testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ServeProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QvHandoverTest";
    RegisterClassW(&wc);
    window_ = CreateWindowW(L"QvHandoverTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    core::SetHandoverWindow(window_);
  }
  void TearDown() override {
    core::SetHandoverWindow(nullptr);
    if (window_) DestroyWindow(window_);
  }
  HWND window_ = nullptr;
};

TEST_F(Handover, RunsOnTheMainThreadInsideANestedWaitAndBlocksTheWorker) {
  DWORD mainThread = GetCurrentThreadId();
  std::atomic<DWORD> ranOn{0};
  std::atomic<bool> returned{false}, result{false};
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread worker([&] {
    result = core::RunOnMainThread([&] {
      ranOn = GetCurrentThreadId();
      EXPECT_FALSE(returned.load()) << "the worker must wait until the procedure has run";
    });
    returned = true;
    SetEvent(done);
  });
  EXPECT_TRUE(core::WaitPumping(done, INFINITE));
  worker.join();
  CloseHandle(done);
  EXPECT_TRUE(result);
  EXPECT_EQ(ranOn.load(), mainThread);
}

TEST_F(Handover, ConcurrentWorkersNeverOverlap) {
  std::atomic<int> inside{0}, maxInside{0}, runs{0};
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i)
    workers.emplace_back([&] {
      core::RunOnMainThread([&] {
        int now = ++inside;
        maxInside = std::max(maxInside.load(), now);
        Sleep(5);
        ++runs;
        --inside;
      });
      if (++finished == 8) SetEvent(done);
    });
  EXPECT_TRUE(core::WaitPumping(done, INFINITE));
  for (auto& w : workers) w.join();
  CloseHandle(done);
  EXPECT_EQ(runs.load(), 8);
  EXPECT_EQ(maxInside.load(), 1);
}

TEST_F(Handover, WithoutAMainWindowNothingRunsAndTheWorkerIsNotStuck) {
  core::SetHandoverWindow(nullptr);
  bool ran = false;
  bool result = true;
  std::thread([&] { result = core::RunOnMainThread([&] { ran = true; }); }).join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(ran);
}

// A procedure posted to a window that goes before serving it never runs; it is
// freed, with everything it holds, and its worker released: whether the window
// is first dropped as the hand-over window (as the main window's close does) or
// simply destroyed.
TEST_F(Handover, AWindowGoneBeforeServingFreesTheProcedureAndReleasesTheWorker) {
  for (const bool droppedFirst : {true, false}) {
    SCOPED_TRACE(droppedFirst);
    if (!window_) {
      window_ = CreateWindowW(L"QvHandoverTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                              nullptr);
      core::SetHandoverWindow(window_);
    }
    auto held = std::make_shared<int>(0);
    std::atomic<bool> ran{false}, result{true};
    std::thread worker([&, held] { result = core::RunOnMainThread([&ran, held] { ran = true; }); });
    Sleep(50);  // the message is posted but never dispatched
    if (droppedFirst) core::SetHandoverWindow(nullptr);
    DestroyWindow(window_);
    if (!droppedFirst) core::SetHandoverWindow(nullptr);
    window_ = nullptr;
    worker.join();
    EXPECT_FALSE(result.load());
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(held.use_count(), 1) << "the posted procedure was not freed";
  }
}

TEST(WaitPumping, AnEventThatNeverComesEndsAtTheTimeout) {
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(core::WaitPumping(never, 300));
  EXPECT_GE(GetTickCount64() - start, 250u);
  CloseHandle(never);
}

TEST(WaitPumping, ServesPostedMessagesWhileItWaits) {
  struct Counter {
    static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
      if (m == WM_APP + 7) ++*reinterpret_cast<int*>(GetWindowLongPtrW(h, GWLP_USERDATA));
      return DefWindowProcW(h, m, w, l);
    }
  };
  WNDCLASSW wc{};
  wc.lpfnWndProc = Counter::Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QvPumpTest";
  RegisterClassW(&wc);
  HWND w = CreateWindowW(L"QvPumpTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  int served = 0;
  SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&served));
  for (int i = 0; i < 3; ++i) PostMessageW(w, WM_APP + 7, 0, 0);
  EXPECT_TRUE(core::WaitPumping(nullptr, 100));
  EXPECT_EQ(served, 3);
  DestroyWindow(w);
}

}  // namespace

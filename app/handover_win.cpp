#include "app/handover_win.h"

#include <atomic>
#include <memory>

#include "vek/handles_win.h"

namespace app {
namespace {

std::atomic<HWND> g_window{nullptr};

struct Handover {
  std::function<void()> Proc;
  vek::unique_handle Done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace

void SetHandoverWindow(HWND window) { g_window.store(window); }

bool RunOnMainThread(const std::function<void()>& proc) {
  HWND window = g_window.load();
  if (!window) return false;
  auto handover = std::make_shared<Handover>();
  handover->Proc = proc;
  if (!handover->Done) return false;
  // The message owns one reference; the main thread drops it after running.
  auto* posted = new std::shared_ptr<Handover>(handover);
  if (!PostMessageW(window, WM_QV_HANDOVER, 0, reinterpret_cast<LPARAM>(posted))) {
    delete posted;
    return false;
  }
  // A message posted to a window that is destroyed before serving it is dropped
  // with its reference; look again now and then so the worker does not wait
  // for ever.
  while (WaitForSingleObject(handover->Done.get(), 200) == WAIT_TIMEOUT)
    if (g_window.load() != window || !IsWindow(window)) return false;
  return true;
}

void ServeHandover(LPARAM lp) {
  std::unique_ptr<std::shared_ptr<Handover>> posted(reinterpret_cast<std::shared_ptr<Handover>*>(lp));
  if (!posted || !*posted) return;
  Handover& h = **posted;
  try {
    if (h.Proc) h.Proc();
  } catch (...) {
  }
  SetEvent(h.Done.get());
}

}  // namespace app

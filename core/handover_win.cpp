#include "core/handover_win.h"

#include <map>
#include <memory>
#include <mutex>

#include "vek/handles_win.h"

namespace core {
namespace {

struct Handover {
  std::function<void()> Proc;
  vek::unique_handle Done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  bool Ran = false;  // written before Done is set, read after it
};

// Hand-overs posted and not yet served. The posted message carries only the
// number: a message that is never served (its window went first) then leaves
// nothing behind, and whoever drops the entry sets its event.
std::mutex g_lock;
HWND g_window = nullptr;
uintptr_t g_last = 0;
std::map<uintptr_t, std::shared_ptr<Handover>> g_pending;

// Drops the entry, if still pending, and releases its worker.
bool Cancel(uintptr_t id) {
  std::shared_ptr<Handover> h;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_pending.find(id);
    if (it == g_pending.end()) return false;
    h = std::move(it->second);
    g_pending.erase(it);
  }
  SetEvent(h->Done.get());
  return true;
}

}  // namespace

void SetHandoverWindow(HWND window) {
  std::map<uintptr_t, std::shared_ptr<Handover>> dropped;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_window = window;
    dropped.swap(g_pending);  // posted to the window that is going
  }
  for (auto& [id, h] : dropped) SetEvent(h->Done.get());
}

bool RunOnMainThread(const std::function<void()>& proc) {
  auto handover = std::make_shared<Handover>();
  handover->Proc = proc;
  if (!handover->Done) return false;
  HWND window;
  uintptr_t id;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    window = g_window;
    if (!window) return false;
    id = ++g_last;
    g_pending.emplace(id, handover);
    if (!PostMessageW(window, WM_QV_HANDOVER, 0, LPARAM(id))) {
      g_pending.erase(id);
      return false;
    }
  }
  // A window destroyed without SetHandoverWindow drops the message silently;
  // look now and then, and take the entry back then.
  while (WaitForSingleObject(handover->Done.get(), 200) == WAIT_TIMEOUT)
    if (!IsWindow(window) && Cancel(id)) break;
  return handover->Ran;
}

void ServeHandover(LPARAM lp) {
  std::shared_ptr<Handover> h;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_pending.find(uintptr_t(lp));
    if (it == g_pending.end()) return;
    h = std::move(it->second);
    g_pending.erase(it);
  }
  try {
    if (h->Proc) h->Proc();
  } catch (...) {
  }
  h->Ran = true;
  SetEvent(h->Done.get());
}

}  // namespace core

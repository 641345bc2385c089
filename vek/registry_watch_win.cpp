#include "vek/registry_watch_win.h"

#include <atomic>
#include <memory>

#include "vek/registry.h"
#include "vek/system_win.h"

namespace vek {
namespace {

std::atomic<MainThreadRunner> g_runner{nullptr};

// Subkeys added or removed, attributes, values set or deleted, security.
constexpr DWORD kNotifyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                                REG_NOTIFY_CHANGE_SECURITY;

// Written once before the thread starts, read-only afterwards.
struct Watch {
  uint32_t RootKey;
  Text Key;
  std::function<void()> Proc;
  bool WatchSub;
};

DWORD WINAPI WatchThread(void* param) {
  GuaranteeFaultStack();
  std::shared_ptr<const Watch> watch(*static_cast<std::shared_ptr<const Watch>*>(param));
  delete static_cast<std::shared_ptr<const Watch>*>(param);
  try {
    TRegistry registry(kRegReadAccess, WindowsRegistry());
    registry.SetRootKey(watch->RootKey);
    if (!registry.OpenKeyReadOnly(watch->Key)) return 0;
    HKEY key = static_cast<HKEY>(registry.CurrentKeyHandle());
    unique_handle changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!key || !changed) return 0;
    for (;;) {
      // A registration is tied to this thread and reports one change; it is made
      // again only after the procedure has run.
      if (RegNotifyChangeKeyValue(key, watch->WatchSub ? TRUE : FALSE, kNotifyFilter, changed.get(), TRUE) !=
          ERROR_SUCCESS)
        return 0;
      // An infinite wait returns nothing but the signal or a failure; after a
      // failure every later wait fails too, so the watcher ends instead of spinning.
      if (WaitForSingleObject(changed.get(), INFINITE) != WAIT_OBJECT_0) return 0;
      if (MainThreadRunner run = g_runner.load()) run(watch->Proc);
    }
  } catch (...) {
    return 0;
  }
}

}  // namespace

void SetMainThreadRunner(MainThreadRunner runner) { g_runner.store(runner); }

unique_handle RegistryMonitor(uint32_t rootKey, const Text& key, std::function<void()> proc, bool watchSub) {
  try {
    auto* param = new std::shared_ptr<const Watch>(std::make_shared<const Watch>(Watch{rootKey, key, std::move(proc), watchSub}));
    unique_handle thread(CreateThread(nullptr, 0, WatchThread, param, 0, nullptr));
    if (!thread) delete param;
    return thread;
  } catch (...) {
    return unique_handle();
  }
}

}  // namespace vek

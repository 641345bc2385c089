#pragma once
// RegistryMonitor: watches one registry key (64-bit view) on a thread of its own
// and, after each change under it, runs a procedure on the main thread.
#include <cstdint>
#include <functional>

#include "vek/handles_win.h"
#include "vek/text.h"

namespace vek {

// How a watcher gets its procedure run on the main thread: synchronously (the
// call returns once the procedure has run), false without running it when the
// main thread cannot take it. The main window's hand-over is installed by the
// first user; until then watchers consume their changes without calling.
using MainThreadRunner = bool (*)(const std::function<void()>& proc);
void SetMainThreadRunner(MainThreadRunner runner);

// Starts a watcher and returns at once with a handle to its thread (empty when
// no thread could be started). Dropping the handle does not stop the watcher:
// nothing does; it lives, blocked in its wait, until the process ends, and never
// keeps the process from ending. key is the path below rootKey, a leading
// backslash allowed; watchSub also reports changes in keys below it.
//
// The thread ends at once, never calling proc, when the key cannot be opened,
// no event can be made, or the key refuses notification (it was opened with
// reduced rights, or was deleted: re-arming on a deleted key fails). Each change
// notification is consumed by one call of proc, which runs on the main thread;
// the watcher re-arms only after proc has returned, so a burst of changes gives
// one call and calls of one watcher never overlap.
unique_handle RegistryMonitor(uint32_t rootKey, const Text& key, std::function<void()> proc, bool watchSub);

}  // namespace vek

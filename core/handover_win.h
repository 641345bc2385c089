#pragma once
// Hands a procedure from a worker thread to the main thread. The main window
// serves hand-overs from its window procedure, so they also run inside every
// nested message pump the main thread waits in.
#include <functional>

#include "vek/win32.h"

namespace core {

constexpr UINT WM_QV_HANDOVER = WM_APP + 1;

// The window that serves hand-overs (the main window), or null once it is gone.
// Hand-overs posted to the previous window and not yet served are dropped.
void SetHandoverWindow(HWND window);

// Runs proc on the main thread and returns after it has run. Returns false
// without running it when there is no main window, or when the window goes
// before serving it: proc is then freed at once, with what it holds. Must not
// be called on the main thread itself.
bool RunOnMainThread(const std::function<void()>& proc);

// Called by the main window for WM_QV_HANDOVER.
void ServeHandover(LPARAM lp);

}  // namespace core

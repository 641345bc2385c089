// Links the program's crash handler and faults on purpose, one way per run:
//   qv_crasher MODE REPORT-FILE
// MODE: main (access violation on the main thread), worker (in a second
// thread), wndproc (in a window procedure serving a posted message),
// wndproc-create (in WM_CREATE, which Windows delivers through a kernel
// callback), throw (a C++ exception nobody catches), terminate (std::terminate),
// abort (abort()),
// reporter (a fault on the main thread, then another inside the reporting).
// The handler writes the report's text to REPORT-FILE before it sends it.
#include "vek/win32.h"

#include <cstdlib>
#include <cwchar>
#include <exception>
#include <stdexcept>
#include <thread>

#include "app/crash_win.h"

namespace {

// Through a volatile pointer, so that the compiler keeps the store as it is.
volatile uintptr_t g_unmapped = 0x10;

[[gnu::noinline]] void FaultHere() { *reinterpret_cast<volatile int*>(g_unmapped) = 1; }

[[gnu::noinline]] void ThrowUncaught() { throw std::runtime_error("nobody catches this"); }

LRESULT CALLBACK FaultingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP || (message == WM_CREATE && static_cast<bool>(
                                reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams)))
    FaultHere();
  return DefWindowProcW(window, message, wParam, lParam);
}

void FaultInWindow(bool inCreate) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = FaultingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QvCrasherWindow";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"qv_crasher", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, wc.hInstance, reinterpret_cast<void*>(inCreate ? 1 : 0));
  if (window) PostMessageW(window, WM_APP, 0, 0);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fwprintf(stderr, L"usage: qv_crasher MODE REPORT-FILE\n");
    return 2;
  }
  const std::wstring mode = argv[1];
  app::CrashHandlerOptions options;
  options.ReportFile = vek::U(argv[2]);
  if (mode == L"reporter") options.WhileReporting = FaultHere;
  if (!app::InstallCrashHandler(options)) return 3;

  if (mode == L"main" || mode == L"reporter") FaultHere();
  else if (mode == L"worker") std::thread(FaultHere).join();
  else if (mode == L"wndproc") FaultInWindow(false);
  else if (mode == L"wndproc-create") FaultInWindow(true);
  else if (mode == L"throw") ThrowUncaught();
  else if (mode == L"terminate") std::terminate();
  else if (mode == L"abort") abort();
  else return 2;
  // Reached only when a fault was swallowed on the way.
  fwprintf(stderr, L"qv_crasher: %ls did not end the process\n", mode.c_str());
  return 4;
}

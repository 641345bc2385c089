// A program the Windows tests start, look for and end.
//   qv_child [--window] [--ready EVENT] [--seconds N]
// --window creates one top-level window; --ready sets the named event once the
// window (if any) exists; the program ends by itself after N seconds (120 by
// default) so that no test run leaves it behind.
#include "vek/win32.h"

#include <cwchar>
#include <cwctype>

namespace {

LRESULT CALLBACK ChildWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void SignalReady(const wchar_t* name) {
  if (!name) return;
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return;
  SetEvent(event);
  CloseHandle(event);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool window = false;
  const wchar_t* ready = nullptr;
  DWORD seconds = 120;
  for (int i = 1; i < argc; ++i) {
    if (!wcscmp(argv[i], L"--window")) window = true;
    else if (!wcscmp(argv[i], L"--ready") && i + 1 < argc) ready = argv[++i];
    else if (!wcscmp(argv[i], L"--seconds") && i + 1 < argc) seconds = DWORD(wcstoul(argv[++i], nullptr, 10));
  }
  if (!window) {
    SignalReady(ready);
    Sleep(seconds * 1000);
    return 0;
  }
  WNDCLASSW wc{};
  wc.lpfnWndProc = ChildWndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QuorvaneTestChild";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"Quorvane test child", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                              nullptr, nullptr, wc.hInstance, nullptr);
  if (!hwnd) return 1;
  SetTimer(hwnd, 1, seconds * 1000, nullptr);
  SignalReady(ready);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER) DestroyWindow(hwnd);
    DispatchMessageW(&msg);
  }
  return 0;
}

#include "core/pump_win.h"

namespace core {
namespace {

bool g_terminating = false;

}  // namespace

bool Terminating() { return g_terminating; }

bool WaitPumping(HANDLE event, DWORD timeoutMs) {
  const bool forever = timeoutMs == INFINITE;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (g_terminating) return false;
    if (event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return true;
    ULONGLONG now = GetTickCount64();
    if (!forever && now >= deadline) return true;
    DWORD wait = forever ? INFINITE : DWORD(deadline - now);
    MsgWaitForMultipleObjectsEx(event ? 1 : 0, event ? &event : nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        g_terminating = true;
        PostQuitMessage(int(msg.wParam));
        return false;
      }
      HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
      if (!root || !IsDialogMessageW(root, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
}

}  // namespace core

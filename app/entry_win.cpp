// Program entry: one instance per logon session, the visual style, the main
// window and its message loop.
#include "vek/win32.h"

#include <commctrl.h>
#include <objbase.h>

#include "app/crash_win.h"
#include "app/main_win.h"
#include "app/seams_win.h"
#include "ui/controls_win.h"
#include "vek/handles_win.h"

namespace {
constexpr wchar_t kMutexName[] = L"QuorvaneMutex";
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  // Before any other thread exists, so that every fault is seen; in the copy
  // that serves as the crash reporter this call does not return.
  app::InstallCrashHandler();
  // No namespace prefix: the name is local to the logon session. One call both
  // makes the mutex and tells whether it was there, so two starts at the same
  // moment cannot both see it missing. A second start ends silently and leaves
  // the running instance as it is; ERROR_ACCESS_DENIED means the mutex exists
  // but belongs to an instance this one may not open. Held until the process ends.
  vek::unique_handle mutex{CreateMutexW(nullptr, TRUE, kMutexName)};
  const DWORD created = GetLastError();
  if (created == ERROR_ALREADY_EXISTS || (!mutex && created == ERROR_ACCESS_DENIED)) return 0;

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the machine key's WMI query needs COM on this thread
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  ui::ApplyStyle(instance);
  app::WireSeams();  // the folder-variable table exists before any window

  app::TFrmQuorvane window;
  pages::FrmQuorvane = &window;
  if (window.Create(instance)) {
    // The reporter starts once the window shows, so that its start costs the
    // program's start nothing.
    app::StartCrashReporter();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (!window.Handle() || !IsDialogMessageW(window.Handle(), &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
  pages::FrmQuorvane = nullptr;
  return 0;
}

// Program entry: one instance per logon session, the visual style, the main
// window and its message loop.
#include "vek/win32.h"

#include <commctrl.h>
#include <objbase.h>

#include "app/lib.h"
#include "app/main_win.h"
#include "ui/controls_win.h"
#include "vek/handles_win.h"

namespace {
constexpr wchar_t kMutexName[] = L"QuorvaneMutex";
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  // No namespace prefix: the name is local to the logon session. A second start
  // ends silently and leaves the running instance as it is.
  if (vek::unique_handle existing{OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kMutexName)}) return 0;
  // Held until the process ends.
  vek::unique_handle mutex{CreateMutexW(nullptr, TRUE, kMutexName)};

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the machine key's WMI query needs COM on this thread
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  ui::ApplyStyle(instance);
  lib::InitLib();  // the folder-variable table exists before any window

  app::TFrmQuorvane window;
  app::FrmQuorvane = &window;
  if (window.Create(instance)) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (!window.Handle() || !IsDialogMessageW(window.Handle(), &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
  app::FrmQuorvane = nullptr;
  return 0;
}

#pragma once
// Starting a file or web address with the user's own rights. The program runs
// elevated, and whatever ShellExecute starts from it inherits that token: a
// browser on a web page, or a command any program of the user could have
// written into the registry. The desktop's shell (Explorer) runs with the
// user's unelevated token, and its Shell.Application object starts files in
// Explorer's process when asked; the way to that object runs through the
// desktop's shell window:
//   IShellWindows (CLSID_ShellWindows) -> FindWindowSW(SWC_DESKTOP) -> its
//   IServiceProvider -> SID_STopLevelBrowser (IShellBrowser) -> the active
//   IShellView -> its background object (IShellFolderViewDual) -> Application
//   (IShellDispatch2) -> ShellExecute.
#include <cstdint>

#include "vek/text.h"
#include "vek/win32.h"

namespace vek {

// The calls of that way, in order.
enum class DesktopShellStep : int {
  InitCom,          // COM on the calling thread
  ShellWindows,     // CoCreateInstance(CLSID_ShellWindows): Explorer's local server
  FindDesktop,      // IShellWindows::FindWindowSW(SWC_DESKTOP, SWFO_NEEDDISPATCH)
  ServiceProvider,  // the desktop's IServiceProvider
  TopLevelBrowser,  // QueryService(SID_STopLevelBrowser, IShellBrowser)
  ActiveView,       // IShellBrowser::QueryActiveShellView
  Background,       // IShellView::GetItemObject(SVGIO_BACKGROUND, IDispatch)
  FolderViewDual,   // the background's IShellFolderViewDual
  Application,      // IShellFolderViewDual::get_Application
  ShellDispatch2,   // the application's IShellDispatch2
  Execute,          // IShellDispatch2::ShellExecute
  Done,             // every call succeeded: Explorer made the start
};

struct ShellStartRequest {
  Text Verb = u"open";
  Text File;
  Text Params;                    // none when empty
  int32_t ShowCmd = SW_SHOWNORMAL;
  // Only for the fallback: with an owner the start falls back to ShellExecute
  // owned by it, as the main window opened web pages; without one to
  // ShellExecuteEx with no owner and no working folder, as ShellOpen started
  // programs.
  HWND Owner = nullptr;
};

struct ShellStartResult {
  // Done when Explorer made the start; otherwise the call that failed, after
  // which the fallback made it.
  DesktopShellStep Stopped = DesktopShellStep::Done;
  // That call's HRESULT; E_POINTER for one that answered without an object
  // (FindWindowSW gives S_FALSE where no desktop is registered).
  int32_t Error = 0;
  bool ThroughDesktop() const { return Stopped == DesktopShellStep::Done; }
  // No desktop shell was there to ask: Explorer does not run, or has not yet
  // registered again after it ended (Windows starts the shell again then).
  bool NoDesktop() const {
    return Stopped == DesktopShellStep::ShellWindows || Stopped == DesktopShellStep::FindDesktop;
  }
};

// Starts the request's file through Explorer's Shell.Application, so that it
// runs with the desktop user's token; where there is no such shell (no
// Explorer desktop, Explorer ended, any call of the way refused) falls back to
// the program's own ShellExecute(Ex), which starts it with this process's
// rights. COM is initialised for the call as the thread needs (an apartment it
// has already is kept). Whether the started program itself then runs is not
// known here, as with ShellExecute. Never throws.
ShellStartResult ShellStartUnelevated(const ShellStartRequest& request) noexcept;

// The way through the desktop's shell alone, without the fallback: the start
// is made when the result is ThroughDesktop(), and not at all otherwise.
ShellStartResult ShellStartThroughDesktop(const ShellStartRequest& request) noexcept;

// The fallback alone: ShellExecute owned by request.Owner, or ShellExecuteEx
// without an owner and without a working folder when there is none. The
// started program runs with this process's rights. Never throws.
void ShellStartAsProgram(const ShellStartRequest& request) noexcept;

// For tests: makes one call of the way fail as if Windows had refused it with
// E_ABORT (the call itself is not made), so that the fallback can be shown where
// the desktop would take the start; Done makes none fail. Returns the previous.
DesktopShellStep SetFailingDesktopShellStep(DesktopShellStep step) noexcept;

}  // namespace vek

#include "vek/shell_start_win.h"

#include <atomic>

#include "vek/handles_win.h"
#include "vek/win32.h"

// shellapi.h names the API ShellExecute as a macro, which would rename
// IShellDispatch2's method of that name too; the API is called by its W name.
#include <shellapi.h>
#undef ShellExecute
#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace vek {
namespace {

std::atomic<int> g_failing{int(DesktopShellStep::Done)};

// The way through the desktop's shell, one call at a time; the first call that
// fails ends it and says which it was.
class DesktopWay {
 public:
  // Runs call (which gives an HRESULT) unless a test made this step fail; a
  // step succeeds on S_OK with its object in hand.
  template <typename T, typename Call>
  bool Take(DesktopShellStep step, const com_ptr<T>& object, Call call) {
    HRESULT hr = int(step) == g_failing.load() ? E_ABORT : call();
    if (hr == S_OK && !object) hr = E_POINTER;
    if (hr == S_OK) return true;
    Fail(step, hr == S_FALSE ? E_POINTER : hr);
    return false;
  }
  void Fail(DesktopShellStep step, HRESULT hr) {
    FResult.Stopped = step;
    FResult.Error = int32_t(hr);
  }
  bool Failing(DesktopShellStep step) {
    if (int(step) != g_failing.load()) return false;
    Fail(step, E_ABORT);
    return true;
  }
  const ShellStartResult& Result() const { return FResult; }

 private:
  ShellStartResult FResult;
};

// A BSTR VARIANT of text, or VT_EMPTY for the empty text (no parameters).
bool SetText(unique_variant& v, const Text& text) {
  if (text.empty()) return true;
  BSTR s = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), UINT(text.size()));
  if (!s) return false;
  v.put()->vt = VT_BSTR;
  v->bstrVal = s;
  return true;
}

ShellStartResult ThroughDesktop(const ShellStartRequest& request) {
  DesktopWay way;
  com_ptr<IShellWindows> windows;
  // The location is the desktop folder; Explorer looks only at the class for it.
  unique_variant location, root;
  location->vt = VT_I4;
  location->lVal = CSIDL_DESKTOP;
  LONG desktopWindow = 0;
  com_ptr<IDispatch> desktop, background, application;
  com_ptr<IServiceProvider> provider;
  com_ptr<IShellBrowser> browser;
  com_ptr<IShellView> view;
  com_ptr<IShellFolderViewDual> folderView;
  com_ptr<IShellDispatch2> shell;
  using Step = DesktopShellStep;
  const bool reached =
      way.Take(Step::ShellWindows, windows,
               [&] {
                 return CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                         windows.put_void());
               }) &&
      way.Take(Step::FindDesktop, desktop,
               [&] {
                 return windows->FindWindowSW(location.get(), root.get(), SWC_DESKTOP, &desktopWindow,
                                              SWFO_NEEDDISPATCH, desktop.put());
               }) &&
      way.Take(Step::ServiceProvider, provider,
               [&] { return desktop->QueryInterface(IID_IServiceProvider, provider.put_void()); }) &&
      way.Take(Step::TopLevelBrowser, browser,
               [&] { return provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.put_void()); }) &&
      way.Take(Step::ActiveView, view, [&] { return browser->QueryActiveShellView(view.put()); }) &&
      way.Take(Step::Background, background,
               [&] { return view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.put_void()); }) &&
      way.Take(Step::FolderViewDual, folderView,
               [&] { return background->QueryInterface(IID_IShellFolderViewDual, folderView.put_void()); }) &&
      way.Take(Step::Application, application, [&] { return folderView->get_Application(application.put()); }) &&
      way.Take(Step::ShellDispatch2, shell,
               [&] { return application->QueryInterface(IID_IShellDispatch2, shell.put_void()); });
  if (!reached) return way.Result();

  unique_bstr file(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(request.File.data()), UINT(request.File.size())));
  unique_variant args, folder, verb, show;
  if (!file || !SetText(args, request.Params) || !SetText(verb, request.Verb)) {
    way.Fail(DesktopShellStep::Execute, E_OUTOFMEMORY);
    return way.Result();
  }
  show->vt = VT_I4;
  show->lVal = request.ShowCmd;
  if (way.Failing(DesktopShellStep::Execute)) return way.Result();
  // The started program is Explorer's child, and Explorer is not the
  // foreground process: without this its first window would open behind the
  // program's instead of coming to the front.
  DWORD explorer = 0;
  if (desktopWindow && GetWindowThreadProcessId(reinterpret_cast<HWND>(LongToHandle(desktopWindow)), &explorer) &&
      explorer)
    AllowSetForegroundWindow(explorer);
  // Explorer may answer S_FALSE; a start that may have been made is never
  // made a second time through the fallback.
  const HRESULT hr = shell->ShellExecute(file.get(), *args.get(), *folder.get(), *verb.get(), *show.get());
  if (FAILED(hr)) way.Fail(DesktopShellStep::Execute, hr);
  return way.Result();
}

}  // namespace

ShellStartResult ShellStartThroughDesktop(const ShellStartRequest& request) noexcept {
  com_init_scope com;
  ShellStartResult result;
  if (!com.usable() || g_failing.load() == int(DesktopShellStep::InitCom)) {
    result.Stopped = DesktopShellStep::InitCom;
    result.Error = int32_t(com.usable() ? E_ABORT : com.result());
    return result;
  }
  return ThroughDesktop(request);
}

ShellStartResult ShellStartUnelevated(const ShellStartRequest& request) noexcept {
  // ShellExecuteEx may hand the start to shell extensions, which need COM too,
  // so the fallback runs inside a scope of its own as well.
  com_init_scope com;
  ShellStartResult result = ShellStartThroughDesktop(request);
  if (!result.ThroughDesktop()) ShellStartAsProgram(request);
  return result;
}

void ShellStartAsProgram(const ShellStartRequest& request) noexcept {
  if (request.Owner) {
    ShellExecuteW(request.Owner, W(request.Verb), W(request.File), request.Params.empty() ? nullptr : W(request.Params),
                  nullptr, request.ShowCmd);
    return;
  }
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.lpVerb = W(request.Verb);
  info.lpFile = W(request.File);
  info.lpParameters = W(request.Params);
  info.nShow = request.ShowCmd;
  ShellExecuteExW(&info);
}

DesktopShellStep SetFailingDesktopShellStep(DesktopShellStep step) noexcept {
  return DesktopShellStep(g_failing.exchange(int(step)));
}

}  // namespace vek

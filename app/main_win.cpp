#include "app/main_win.h"

#include <commctrl.h>
#include <shellapi.h>

#include <ctime>

#include "app/exchange.h"
#include "app/exchange_win.h"
#include "app/lists.h"
#include "app/outside_lists.h"
#include "core/handover_win.h"
#include "core/lib.h"
#include "core/pump_win.h"
#include "vek/handles_win.h"
#include "vek/shell_start_win.h"
#include "vek/system_win.h"
#include "vek/windows_win.h"

namespace app {

namespace {

constexpr wchar_t kClassName[] = L"TFrmQuorvane";
constexpr wchar_t kDesignCaption[] = L"쿼베노";
constexpr char16_t kPreparing[] = u"<C><FC:clBLUE>준비중...</FC></C>";
constexpr char16_t kNoServer[] = u"<C><FC:clRED>서버에서 정보를 받지 못했습니다.</FC></C>";
constexpr char16_t kTipOpen[] = u"<C><FC:clGray>";
constexpr char16_t kTipClose[] = u"</FC></C>";
constexpr char16_t kUpdateQuestion[] =
    u"쿼베노가 업데이트가 되었습니다.\r\r안정적으로 사용하기 위해 새로 다운받고 실행하는걸 권장합니다.\r\r다운받으시겠습니까?";
constexpr char16_t kApplyAgainQuestion[] = u"브라우저 또는 자동실행에서 적용하셨습니다.\r\r초기화 후 한번 더 적용하시겠습니까?";
constexpr char16_t kNoCleanFile[] = u"NoClean.txt";
constexpr char16_t kProfileNoClean[] = u"\\Quorvane\\NoClean.txt";
constexpr char16_t kReportPath[] = u"/report.php";
constexpr char16_t kReportPagePath[] = u"/?report=";
constexpr wchar_t kLogoResource[] = L"LOGO";
constexpr char16_t kDebugPrivilege[] = u"SeDebugPrivilege";
constexpr ui::FontSpec kPanelFont{L"Tahoma", -11, false, true};
constexpr int kClientWidth = 500;
constexpr int kMenuHeight = 41;
constexpr int kCleanHeight = 402;
constexpr UINT_PTR kTimerInit = 1;
constexpr UINT kTimerInitInterval = 100;
enum : int { IdBtnClean = 10, IdBtnBrowser, IdBtnStart, IdBtnInstall, IdListWhite, IdListBlack };

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

// Appends items[from...] to a list box in one go: its storage grown once, and no
// repainting or scroll-bar update per item.
void FillListBox(HWND box, const std::vector<vek::Text>& items, size_t from = 0) {
  if (from >= items.size()) return;
  size_t units = 0;
  for (size_t i = from; i < items.size(); ++i) units += items[i].size() + 1;
  SendMessageW(box, LB_INITSTORAGE, WPARAM(items.size() - from), LPARAM(units * sizeof(wchar_t)));
  const bool shown = IsWindowVisible(box);
  SendMessageW(box, WM_SETREDRAW, FALSE, 0);
  for (size_t i = from; i < items.size(); ++i)
    SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(vek::W(items[i])));
  SendMessageW(box, WM_SETREDRAW, TRUE, 0);
  // Turning redrawing back on may set WS_VISIBLE on a hidden window, as the
  // default handling of WM_SETREDRAW does.
  if (!shown && IsWindowVisible(box)) ShowWindow(box, SW_HIDE);
}

// Appends entries to a list and to the list box that mirrors it.
void AppendToList(std::vector<vek::Text>& list, HWND box, std::vector<vek::Text> entries) {
  const size_t from = list.size();
  list.insert(list.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
  FillListBox(box, list, from);
}

// NoClean.txt without a byte-order mark is in the system's ANSI code page.
vek::Text AnsiToText(std::string_view bytes) {
  if (bytes.empty()) return vek::Text();
  int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  if (n <= 0) return vek::Text();
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), w.data(), n);
  return vek::U(w.c_str(), w.size());
}

// The kept lines of a NoClean.txt; none when it does not exist or cannot be opened.
std::vector<vek::Text> NoCleanEntries(const vek::Text& path) {
  vek::unique_hfile file{CreateFileW(vek::W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  // The profile's file can be redirected by the user to a named pipe or a
  // device, whose ReadFile may wait for ever; only a disk file is read.
  if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return {};
  return ReadNoCleanFile(
      [&](char* buffer, size_t size, size_t& got) {
        DWORD read = 0;
        const bool ok = ReadFile(file.get(), buffer, DWORD(size), &read, nullptr);
        got = read;
        return ok;
      },
      AnsiToText);
}

// AdjustWindowRectExForDpi where the system has it, so that the client area is
// exact on a monitor whose DPI differs from the primary one.
RECT WindowRectForClient(int width, int height, UINT dpi) {
  RECT rc{0, 0, width, height};
  using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = vek::GetProc<AdjustFn>(L"user32.dll", "AdjustWindowRectExForDpi");
  if (!(adjust && adjust(&rc, kWindowStyle, FALSE, kWindowExStyle, dpi)))
    AdjustWindowRectEx(&rc, kWindowStyle, FALSE, kWindowExStyle);
  return rc;
}

}  // namespace

TFrmQuorvane::TFrmQuorvane() : FListWhite(BuiltinKeepList()), FListBlack(BuiltinPluginList()) {}

TFrmQuorvane::~TFrmQuorvane() {
  FFrmInstall.reset();
  FFrmStart.reset();
  FFrmBrowser.reset();
  FFrmClean.reset();
}

bool TFrmQuorvane::Create(HINSTANCE instance) {
  ui::RegisterControls(instance);
  RegisterWindowClass(instance, kClassName, LoadIconW(instance, MAKEINTRESOURCEW(1)));
  RECT rc = WindowRectForClient(kClientWidth, FClientDesignHeight, 96);
  if (!CreateBound(kWindowExStyle, kClassName, kDesignCaption, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                   rc.right - rc.left, rc.bottom - rc.top, nullptr, instance))
    return false;
  ShowWindow(Handle(), SW_SHOWNORMAL);
  UpdateWindow(Handle());
  return true;
}

vek::Text TFrmQuorvane::Caption() const {
  wchar_t text[256];
  int n = GetWindowTextW(Handle(), text, 256);
  return vek::U(text, size_t(n));
}

void TFrmQuorvane::AddWhite(std::vector<vek::Text> entries) { AppendToList(FListWhite, FListWhiteBox, std::move(entries)); }

void TFrmQuorvane::AddBlack(std::vector<vek::Text> entries) { AppendToList(FListBlack, FListBlackBox, std::move(entries)); }

void TFrmQuorvane::FormCreate() {
  const HWND form = Handle();
  static ui::PanelParams menuParams{&ui::Style::Menu, true};
  static ui::PanelParams cleanParams{&ui::Style::Page, false};
  FDpi = ui::WindowDpi(form);
  FLayout.Apply(FDpi);
  const ui::FontSpec* desktop = &ui::kDesktopFont;
  FPanelClean = ui::CreateControl(form, ui::kPanelClass, L"", WS_VISIBLE | WS_CLIPCHILDREN, 0, L"PanelClean",
                                  &cleanParams);
  SetWindowLongPtrW(FPanelClean, GWL_EXSTYLE, GetWindowLongPtrW(FPanelClean, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
  FLayout.Add(FPanelClean, {0, kMenuHeight, kClientWidth, kCleanHeight}, &kPanelFont);
  // The list boxes only store the two lists; they lie below the client area once
  // it is cut to its final height, and stay hidden.
  FListWhiteBox =
      ui::CreateControl(form, L"LISTBOX", L"", WS_VSCROLL | LBS_NOINTEGRALHEIGHT, IdListWhite, L"ListWhite");
  FLayout.Add(FListWhiteBox, {8, 494, 233, 147}, desktop);
  FPanelMenu = ui::CreateControl(form, ui::kPanelClass, L"", WS_VISIBLE | WS_CLIPCHILDREN, 0, L"PanelMenu",
                                 &menuParams);
  SetWindowLongPtrW(FPanelMenu, GWL_EXSTYLE, GetWindowLongPtrW(FPanelMenu, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
  FLayout.Add(FPanelMenu, {0, 0, kClientWidth, kMenuHeight}, nullptr);
  auto toggle = [&](const wchar_t* caption, int id, const wchar_t* name, int left) {
    HWND button = ui::CreateControl(FPanelMenu, L"BUTTON", caption,
                                    WS_VISIBLE | WS_DISABLED | WS_TABSTOP | BS_OWNERDRAW, id, name);
    FLayout.Add(button, {left, 6, 65, 29}, desktop);
    return button;
  };
  FBtnClean = toggle(L"처음화면", IdBtnClean, L"BtnClean", 0);
  FBtnBrowser = toggle(L"브라우저", IdBtnBrowser, L"BtnBrowser", 65);
  FImageLogo = ui::CreateControl(FPanelMenu, ui::kImageClass, L"", WS_VISIBLE, 0, L"ImageLogo");
  FLayout.Add(FImageLogo, {390, 6, 99, 29}, nullptr);
  FBtnStart = toggle(L"자동실행", IdBtnStart, L"BtnStart", 130);
  FBtnInstall = toggle(L"강제설치", IdBtnInstall, L"BtnInstall", 195);
  FListBlackBox =
      ui::CreateControl(form, L"LISTBOX", L"", WS_VSCROLL | LBS_NOINTEGRALHEIGHT, IdListBlack, L"ListBlack");
  FLayout.Add(FListBlackBox, {256, 494, 225, 150}, desktop);
  for (HWND h : {FBtnClean, FBtnBrowser, FBtnStart, FBtnInstall}) ui::MakeToggle(h);
  FDownToggle = FBtnClean;
  ui::SetToggleDown(FBtnClean, true);
  FillListBox(FListWhiteBox, FListWhite);
  FillListBox(FListBlackBox, FListBlack);
  ui::ImageLoadResource(FImageLogo, kLogoResource);
  // The page bar and the lists take the form's font; the page panel keeps its own.
  SendMessageW(form, WM_SETFONT, reinterpret_cast<WPARAM>(FLayout.Font(ui::kDesktopFont)), FALSE);

  // The tip picked after the start-up exchange draws from this generator.
  std::srand(unsigned(std::time(nullptr)));
  SetWindowTextW(Handle(), vek::W(vek::U(kDesignCaption) + u" v " + vek::GetAppVersion(u"%d.%d")));
  // The list boxes only store the lists; the client area is cut to the page bar
  // and the page panel, below which they lie.
  ShowWindow(FListWhiteBox, SW_HIDE);
  ShowWindow(FListBlackBox, SW_HIDE);
  SetClientHeight(kMenuHeight + kCleanHeight);
  // Centred on the monitor's work area.
  RECT wr, work;
  GetWindowRect(Handle(), &wr);
  MONITORINFO mi{sizeof(mi)};
  GetMonitorInfoW(MonitorFromWindow(Handle(), MONITOR_DEFAULTTOPRIMARY), &mi);
  work = mi.rcWork;
  SetWindowPos(Handle(), nullptr, work.left + (work.right - work.left - (wr.right - wr.left)) / 2,
               work.top + (work.bottom - work.top - (wr.bottom - wr.top)) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(Handle(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  // The reset ends other users' and services' processes, and the forced-install
  // page checks the native system folders from this 32-bit program.
  vek::SetPrivilege(kDebugPrivilege, true);
  vek::DisableWow64FsRedirection(true);
  FFrmClean = std::make_unique<pages::TFrmClean>(FPanelClean);
  FFrmClean->SetContent(kPreparing);
  FFrmClean->Show(true);
  // The other pages and the start-up exchange come once the window has shown.
  SetTimer(Handle(), kTimerInit, kTimerInitInterval, nullptr);
}

void TFrmQuorvane::ApplyDpi(UINT dpi) {
  FDpi = dpi;
  FLayout.Apply(dpi);
  SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(FLayout.Font(ui::kDesktopFont)), FALSE);
}

void TFrmQuorvane::SetClientHeight(int designHeight) {
  FClientDesignHeight = designHeight;
  RECT rc = WindowRectForClient(ui::Scale(kClientWidth, FDpi), ui::Scale(designHeight, FDpi), FDpi);
  SetWindowPos(Handle(), nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFrmQuorvane::TimerInitTimer() {
  KillTimer(Handle(), kTimerInit);
  // Each page reads its data as it is created; all stay hidden until their
  // button shows them.
  FFrmBrowser = std::make_unique<pages::TFrmBrowser>(FPanelClean);
  FFrmStart = std::make_unique<pages::TFrmStart>(FPanelClean);
  // Matches against the built-in plug-in list here; the service's additions are
  // in force by the time its button shows it, which matches again.
  FFrmInstall = std::make_unique<pages::TFrmInstall>(FPanelClean);
  Init();
  if (core::Terminating() || !Handle()) return;
  for (HWND h : {FBtnClean, FBtnBrowser, FBtnStart, FBtnInstall}) EnableWindow(h, TRUE);
  FFrmClean->EnableRun();
  vek::AllowWindowMessage(WM_USER);
}

bool TFrmQuorvane::Ask(const vek::Text& question) {
  vek::Text caption = Caption();
  return MessageBoxW(Handle(), vek::W(question), vek::W(caption), MB_YESNO | MB_SYSTEMMODAL) == IDYES;
}

void TFrmQuorvane::Inform(const vek::Text& message) {
  vek::Text caption = Caption();
  MessageBoxW(Handle(), vek::W(message), vek::W(caption), MB_OK);
}

void TFrmQuorvane::AddNoCleanFile(const vek::Text& path) {
  AddWhite(NoCleanEntries(path));  // missing or unreadable: skipped without a message
}

void TFrmQuorvane::Init() {
  vek::Text reply = GetServerInit();
  if (core::Terminating() || !Handle()) return;
  if (reply.empty()) {
    FFrmClean->SetContent(kNoServer);
  } else {
    FFrmClean->SetContent(vek::Text(kTipOpen) + vek::Text(kTips[std::rand() % 3]) + kTipClose);
    ServerConfig config = ReadServerConfig(reply);
    if (!config.Update.empty() && Ask(kUpdateQuestion)) {
      // Through the desktop's shell: the download runs with the user's rights.
      vek::ShellStartUnelevated({.Verb = u"open", .File = config.Update, .ShowCmd = SW_SHOWNORMAL, .Owner = Handle()});
      ExitProcess(0);
    }
    AddWhite(std::move(config.NoClean));
    AddBlack(std::move(config.BankClean));
  }
  wchar_t exe[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH * 2);
  if (n > 0 && n < MAX_PATH * 2) {
    vek::Text path = vek::U(exe, n);
    AddNoCleanFile(path.substr(0, path.find_last_of(u'\\') + 1) + kNoCleanFile);
  }
  vek::Text appData = core::GetSpecialFolder(core::kCsidlAppData);
  if (!appData.empty()) AddNoCleanFile(appData + kProfileNoClean);
}

void TFrmQuorvane::GetInfo() {
  for (pages::TListForm* page : {static_cast<pages::TListForm*>(FFrmInstall.get()),
                                 static_cast<pages::TListForm*>(FFrmStart.get()),
                                 static_cast<pages::TListForm*>(FFrmBrowser.get())})
    if (page && page->Visible()) page->GetInfo();
}

void TFrmQuorvane::SetInfo(bool confirm) {
  bool browser = FFrmBrowser && FFrmBrowser->Apply, start = FFrmStart && FFrmStart->Apply;
  if (confirm) {
    if ((browser || start) && !Ask(kApplyAgainQuestion)) {
      if (FFrmBrowser) FFrmBrowser->Apply = false;
      if (FFrmStart) FFrmStart->Apply = false;
    }
    return;
  }
  if (browser) FFrmBrowser->SetInfo();
  if (FFrmStart && FFrmStart->Apply) FFrmStart->SetInfo();
}

void TFrmQuorvane::PutInfo() {
  std::vector<vek::Text> records;
  FFrmClean->LogInfo(records);
  if (FFrmBrowser) FFrmBrowser->LogInfo(records);
  if (FFrmStart) FFrmStart->LogInfo(records);
  if (FFrmInstall) FFrmInstall->LogInfo(records);
  vek::Text reply = GetHTTP(ServiceUrl(true, kReportPath), ReportBody(records));
  if (core::Terminating()) return;
  vek::Text page = ServiceUrl(true, kReportPagePath) + EncodeReportKey(ReadReportKey(reply));
  OpenReportPage(Handle(), page);
}

void TFrmQuorvane::PressToggle(HWND button) {
  HWND previous = FDownToggle;
  FDownToggle = button;
  if (previous) {
    ui::SetToggleDown(previous, false);
    InvalidateRect(previous, nullptr, FALSE);
  }
  ui::SetToggleDown(button, true);
  InvalidateRect(button, nullptr, FALSE);
}

void TFrmQuorvane::ShowPage(HWND button, HWND zOrder) {
  PressToggle(button);
  SetWindowPos(Handle(), zOrder, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  FFrmClean->Show(button == FBtnClean);
  if (FFrmBrowser) FFrmBrowser->Show(button == FBtnBrowser);
  if (FFrmStart) FFrmStart->Show(button == FBtnStart);
  if (FFrmInstall) FFrmInstall->Show(button == FBtnInstall);
}

void TFrmQuorvane::BtnCleanClick() { ShowPage(FBtnClean, HWND_TOPMOST); }

void TFrmQuorvane::BtnBrowserClick() {
  ShowPage(FBtnBrowser, HWND_NOTOPMOST);
  if (FFrmBrowser) FFrmBrowser->GetInfo();
}

void TFrmQuorvane::BtnStartClick() {
  ShowPage(FBtnStart, HWND_NOTOPMOST);
  if (FFrmStart) FFrmStart->GetInfo();
}

void TFrmQuorvane::BtnInstallClick() {
  ShowPage(FBtnInstall, HWND_NOTOPMOST);
  if (FFrmInstall) FFrmInstall->GetInfo();
}

void TFrmQuorvane::WMUser(WPARAM wp) {
  if (wp == 1)
    ShowWindow(Handle(), SW_RESTORE);
  else if (wp == 2)
    Close();
}

void TFrmQuorvane::FormClose() {
  vek::DisableWow64FsRedirection(false);
  vek::SetPrivilege(kDebugPrivilege, false);
}

void TFrmQuorvane::Close() {
  if (!Handle()) return;
  FormClose();
  // The page objects stay until the main window object goes: a nested wait of
  // the start-up exchange or a reset may still be running on the stack below.
  HWND window = Detach();
  core::SetHandoverWindow(nullptr);
  DestroyWindow(window);
  PostQuitMessage(0);
}

LRESULT TFrmQuorvane::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      core::SetHandoverWindow(Handle());
      FormCreate();
      return 0;
    case WM_TIMER:
      if (wp == kTimerInit) {
        TimerInitTimer();
        return 0;
      }
      break;
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED) {
        switch (LOWORD(wp)) {
          case IdBtnClean: BtnCleanClick(); return 0;
          case IdBtnBrowser: BtnBrowserClick(); return 0;
          case IdBtnStart: BtnStartClick(); return 0;
          case IdBtnInstall: BtnInstallClick(); return 0;
        }
      }
      break;
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      ui::DrawToggleButton(*item, item->hwndItem == FDownToggle);
      return TRUE;
    }
    case WM_USER:
      WMUser(wp);
      return 0;
    case core::WM_QV_HANDOVER:
      core::ServeHandover(lp);
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_DPICHANGED: {
      ApplyDpi(HIWORD(wp));
      auto* suggested = reinterpret_cast<RECT*>(lp);
      SetWindowPos(Handle(), nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      SetClientHeight(FClientDesignHeight);
      return 0;
    }
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(Handle(), &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, ui::StyleBrush(&ui::Style::Window, COLOR_WINDOW));
      return 1;
    }
  }
  return TWindow::OnMessage(msg, wp, lp);
}

}  // namespace app

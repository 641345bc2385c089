#include "app/main_win.h"

#include <commctrl.h>
#include <shellapi.h>

#include <ctime>

#include "app/exchange.h"
#include "app/exchange_win.h"
#include "app/lists.h"
#include "core/handover_win.h"
#include "core/lib.h"
#include "core/pump_win.h"
#include "pages/browser/browser_win.h"
#include "pages/install/install_win.h"
#include "pages/start/start_win.h"
#include "vek/handles_win.h"
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
constexpr DWORD kNoCleanMaxBytes = 16 << 20;
constexpr wchar_t kLogoResource[] = L"LOGO";
constexpr char16_t kDebugPrivilege[] = u"SeDebugPrivilege";
constexpr wchar_t kPanelFontFace[] = L"Tahoma";
constexpr int kPanelFontHeight = -11;
constexpr int kClientWidth = 500;
constexpr int kMenuHeight = 41;
constexpr int kCleanHeight = 402;
constexpr UINT_PTR kTimerInit = 1;
constexpr UINT kTimerInitInterval = 100;
enum : int { IdBtnClean = 10, IdBtnBrowser, IdBtnStart, IdBtnInstall, IdListWhite, IdListBlack };

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

void FillListBox(HWND box, const std::vector<vek::Text>& items) {
  for (const auto& item : items) SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(vek::W(item)));
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

// The bytes of a file; false when it does not exist or cannot be read whole.
bool ReadWholeFile(const vek::Text& path, std::string& bytes) {
  vek::unique_hfile file{CreateFileW(vek::W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (!file) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 || size.QuadPart > kNoCleanMaxBytes) return false;
  bytes.resize(size_t(size.QuadPart));
  DWORD read = 0;
  return bytes.empty() || (ReadFile(file.get(), bytes.data(), DWORD(bytes.size()), &read, nullptr) && read == bytes.size());
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

TFrmQuorvane::TFrmQuorvane() : listWhite_(BuiltinKeepList()), listBlack_(BuiltinPluginList()) {}

TFrmQuorvane::~TFrmQuorvane() {
  FrmInstall.reset();
  FrmStart.reset();
  FrmBrowser.reset();
  FrmClean.reset();
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

bool TFrmQuorvane::Create(HINSTANCE instance) {
  ui::RegisterControls(instance);
  WNDCLASSEXW wc{sizeof(wc)};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hIconSm = wc.hIcon;
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  RECT rc = WindowRectForClient(kClientWidth, clientDesignHeight_, 96);
  hwnd_ = CreateWindowExW(kWindowExStyle, kClassName, kDesignCaption, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                          rc.right - rc.left, rc.bottom - rc.top, nullptr, nullptr, instance, this);
  if (!hwnd_) return false;
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  return true;
}

vek::Text TFrmQuorvane::Caption() const {
  wchar_t text[256];
  int n = GetWindowTextW(hwnd_, text, 256);
  return vek::U(text, size_t(n));
}

void TFrmQuorvane::AddWhite(const vek::Text& entry) {
  listWhite_.push_back(entry);
  SendMessageW(ListWhiteBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(vek::W(entry)));
}

void TFrmQuorvane::AddBlack(const vek::Text& entry) {
  listBlack_.push_back(entry);
  SendMessageW(ListBlackBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(vek::W(entry)));
}

void TFrmQuorvane::FormCreate() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto child = [&](HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, const wchar_t* name,
                   void* param = nullptr) {
    HWND h = CreateWindowExW(0, cls, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, param);
    ui::SetControlName(h, name);
    return h;
  };
  static ui::PanelParams menuParams{&ui::Style::Menu, true};
  static ui::PanelParams cleanParams{&ui::Style::Page, false};
  PanelClean = child(hwnd_, ui::kPanelClass, L"", WS_VISIBLE | WS_CLIPCHILDREN, 0, L"PanelClean", &cleanParams);
  SetWindowLongPtrW(PanelClean, GWL_EXSTYLE, GetWindowLongPtrW(PanelClean, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
  // The list boxes only store the two lists; they lie below the client area once
  // it is cut to its final height, and stay hidden.
  ListWhiteBox = child(hwnd_, L"LISTBOX", L"", WS_VSCROLL | LBS_NOINTEGRALHEIGHT, IdListWhite, L"ListWhite");
  PanelMenu = child(hwnd_, ui::kPanelClass, L"", WS_VISIBLE | WS_CLIPCHILDREN, 0, L"PanelMenu", &menuParams);
  SetWindowLongPtrW(PanelMenu, GWL_EXSTYLE, GetWindowLongPtrW(PanelMenu, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
  constexpr DWORD toggle = WS_VISIBLE | WS_DISABLED | WS_TABSTOP | BS_OWNERDRAW;
  BtnClean = child(PanelMenu, L"BUTTON", L"처음화면", toggle, IdBtnClean, L"BtnClean");
  BtnBrowser = child(PanelMenu, L"BUTTON", L"브라우저", toggle, IdBtnBrowser, L"BtnBrowser");
  ImageLogo = child(PanelMenu, ui::kImageClass, L"", WS_VISIBLE, 0, L"ImageLogo");
  BtnStart = child(PanelMenu, L"BUTTON", L"자동실행", toggle, IdBtnStart, L"BtnStart");
  BtnInstall = child(PanelMenu, L"BUTTON", L"강제설치", toggle, IdBtnInstall, L"BtnInstall");
  ListBlackBox = child(hwnd_, L"LISTBOX", L"", WS_VSCROLL | LBS_NOINTEGRALHEIGHT, IdListBlack, L"ListBlack");
  for (HWND h : {BtnClean, BtnBrowser, BtnStart, BtnInstall}) ui::MakeToggle(h);
  downToggle_ = BtnClean;
  ui::SetToggleDown(BtnClean, true);
  FillListBox(ListWhiteBox, listWhite_);
  FillListBox(ListBlackBox, listBlack_);
  ui::ImageLoadResource(ImageLogo, kLogoResource);

  layout_.Add(PanelClean, 0, kMenuHeight, kClientWidth, kCleanHeight);
  layout_.Add(ListWhiteBox, 8, 494, 233, 147);
  layout_.Add(PanelMenu, 0, 0, kClientWidth, kMenuHeight);
  layout_.Add(BtnClean, 0, 6, 65, 29);
  layout_.Add(BtnBrowser, 65, 6, 65, 29);
  layout_.Add(ImageLogo, 390, 6, 99, 29);
  layout_.Add(BtnStart, 130, 6, 65, 29);
  layout_.Add(BtnInstall, 195, 6, 65, 29);
  layout_.Add(ListBlackBox, 256, 494, 225, 150);

  // The tip picked after the start-up exchange draws from this generator.
  std::srand(unsigned(std::time(nullptr)));
  ApplyDpi(ui::WindowDpi(hwnd_));
  SetWindowTextW(hwnd_, vek::W(vek::U(kDesignCaption) + u" v " + vek::GetAppVersion(u"%d.%d")));
  // The list boxes only store the lists; the client area is cut to the page bar
  // and the page panel, below which they lie.
  ShowWindow(ListWhiteBox, SW_HIDE);
  ShowWindow(ListBlackBox, SW_HIDE);
  SetClientHeight(kMenuHeight + kCleanHeight);
  // Centred on the monitor's work area.
  RECT wr, work;
  GetWindowRect(hwnd_, &wr);
  MONITORINFO mi{sizeof(mi)};
  GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &mi);
  work = mi.rcWork;
  SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - (wr.right - wr.left)) / 2,
               work.top + (work.bottom - work.top - (wr.bottom - wr.top)) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(hwnd_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  // The reset ends other users' and services' processes, and the forced-install
  // page checks the native system folders from this 32-bit program.
  vek::SetPrivilege(kDebugPrivilege, true);
  vek::DisableWow64FsRedirection(true);
  FrmClean = std::make_unique<pages::TFrmClean>(PanelClean);
  FrmClean->SetContent(kPreparing);
  FrmClean->Show(true);
  // The other pages and the start-up exchange come once the window has shown.
  SetTimer(hwnd_, kTimerInit, kTimerInitInterval, nullptr);
}

void TFrmQuorvane::ApplyDpi(UINT dpi) {
  dpi_ = dpi;
  layout_.Apply(dpi);
  font_.reset(ui::CreateDesktopFont(dpi));
  const ui::Style* style = ui::ActiveStyle();
  panelFont_.reset(ui::CreateDesignFont(style ? vek::W(style->Font) : kPanelFontFace, kPanelFontHeight, dpi, false));
  // The page bar and the lists take the form's font; the page panel keeps its own.
  SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  for (HWND h : {BtnClean, BtnBrowser, BtnStart, BtnInstall, ListWhiteBox, ListBlackBox})
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
  SendMessageW(PanelClean, WM_SETFONT, reinterpret_cast<WPARAM>(panelFont_.get()), TRUE);
}

void TFrmQuorvane::SetClientHeight(int designHeight) {
  clientDesignHeight_ = designHeight;
  RECT rc = WindowRectForClient(ui::Scale(kClientWidth, dpi_), ui::Scale(designHeight, dpi_), dpi_);
  SetWindowPos(hwnd_, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFrmQuorvane::TimerInitTimer() {
  KillTimer(hwnd_, kTimerInit);
  // Each page reads its data as it is created; all stay hidden until their
  // button shows them.
  FrmBrowser = std::make_unique<pages::TFrmBrowser>(PanelClean);
  FrmStart = std::make_unique<pages::TFrmStart>(PanelClean);
  // Matches against the built-in plug-in list here; the service's additions are
  // in force by the time its button shows it, which matches again.
  FrmInstall = std::make_unique<pages::TFrmInstall>(PanelClean);
  Init();
  if (core::Terminating() || !hwnd_) return;
  for (HWND h : {BtnClean, BtnBrowser, BtnStart, BtnInstall}) EnableWindow(h, TRUE);
  FrmClean->EnableRun();
  vek::AllowWindowMessage(WM_USER);
}

bool TFrmQuorvane::Ask(const vek::Text& question) {
  vek::Text caption = Caption();
  return MessageBoxW(hwnd_, vek::W(question), vek::W(caption), MB_YESNO | MB_SYSTEMMODAL) == IDYES;
}

void TFrmQuorvane::Inform(const vek::Text& message) {
  vek::Text caption = Caption();
  MessageBoxW(hwnd_, vek::W(message), vek::W(caption), MB_OK);
}

void TFrmQuorvane::AddNoCleanFile(const vek::Text& path) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) return;  // missing or unreadable: skipped without a message
  for (auto& line : TextFileLines(bytes, AnsiToText)) AddWhite(line);
}

void TFrmQuorvane::Init() {
  vek::Text reply = GetServerInit();
  if (core::Terminating() || !hwnd_) return;
  if (reply.empty()) {
    FrmClean->SetContent(kNoServer);
  } else {
    FrmClean->SetContent(vek::Text(kTipOpen) + vek::Text(kTips[std::rand() % 3]) + kTipClose);
    ServerConfig config = ReadServerConfig(reply);
    if (!config.Update.empty() && Ask(kUpdateQuestion)) {
      ShellExecuteW(hwnd_, L"open", vek::W(config.Update), nullptr, nullptr, SW_SHOWNORMAL);
      ExitProcess(0);
    }
    for (const auto& entry : config.NoClean) AddWhite(entry);
    for (const auto& entry : config.BankClean) AddBlack(entry);
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
  for (pages::TListPage* page : {static_cast<pages::TListPage*>(FrmInstall.get()),
                                 static_cast<pages::TListPage*>(FrmStart.get()),
                                 static_cast<pages::TListPage*>(FrmBrowser.get())})
    if (page && page->Visible()) page->GetInfo();
}

void TFrmQuorvane::SetInfo(bool confirm) {
  bool browser = FrmBrowser && FrmBrowser->Apply, start = FrmStart && FrmStart->Apply;
  if (confirm) {
    if ((browser || start) && !Ask(kApplyAgainQuestion)) {
      if (FrmBrowser) FrmBrowser->Apply = false;
      if (FrmStart) FrmStart->Apply = false;
    }
    return;
  }
  if (browser) FrmBrowser->SetInfo();
  if (FrmStart && FrmStart->Apply) FrmStart->SetInfo();
}

void TFrmQuorvane::PutInfo() {
  std::vector<vek::Text> records;
  FrmClean->LogInfo(records);
  if (FrmBrowser) FrmBrowser->LogInfo(records);
  if (FrmStart) FrmStart->LogInfo(records);
  if (FrmInstall) FrmInstall->LogInfo(records);
  vek::Text reply = GetHTTP(ServiceUrl(true, kReportPath), ReportBody(records));
  if (core::Terminating()) return;
  vek::Text page = ServiceUrl(true, kReportPagePath) + EncodeReportKey(ReadReportKey(reply));
  ShellExecuteW(hwnd_, L"open", vek::W(page), nullptr, nullptr, SW_SHOWNORMAL);
}

void TFrmQuorvane::PressToggle(HWND button) {
  HWND previous = downToggle_;
  downToggle_ = button;
  if (previous) {
    ui::SetToggleDown(previous, false);
    InvalidateRect(previous, nullptr, FALSE);
  }
  ui::SetToggleDown(button, true);
  InvalidateRect(button, nullptr, FALSE);
}

void TFrmQuorvane::ShowPage(HWND button, HWND zOrder) {
  PressToggle(button);
  SetWindowPos(hwnd_, zOrder, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  FrmClean->Show(button == BtnClean);
  if (FrmBrowser) FrmBrowser->Show(button == BtnBrowser);
  if (FrmStart) FrmStart->Show(button == BtnStart);
  if (FrmInstall) FrmInstall->Show(button == BtnInstall);
}

void TFrmQuorvane::BtnCleanClick() { ShowPage(BtnClean, HWND_TOPMOST); }

void TFrmQuorvane::BtnBrowserClick() {
  ShowPage(BtnBrowser, HWND_NOTOPMOST);
  if (FrmBrowser) FrmBrowser->GetInfo();
}

void TFrmQuorvane::BtnStartClick() {
  ShowPage(BtnStart, HWND_NOTOPMOST);
  if (FrmStart) FrmStart->GetInfo();
}

void TFrmQuorvane::BtnInstallClick() {
  ShowPage(BtnInstall, HWND_NOTOPMOST);
  if (FrmInstall) FrmInstall->GetInfo();
}

void TFrmQuorvane::WMUser(WPARAM wp) {
  if (wp == 1)
    ShowWindow(hwnd_, SW_RESTORE);
  else if (wp == 2)
    Close();
}

void TFrmQuorvane::FormClose() {
  vek::DisableWow64FsRedirection(false);
  vek::SetPrivilege(kDebugPrivilege, false);
}

void TFrmQuorvane::Close() {
  if (!hwnd_) return;
  FormClose();
  // The page objects stay until the main window object goes: a nested wait of
  // the start-up exchange or a reset may still be running on the stack below.
  HWND h = hwnd_;
  hwnd_ = nullptr;
  core::SetHandoverWindow(nullptr);
  DestroyWindow(h);
}

LRESULT CALLBACK TFrmQuorvane::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    auto* self = static_cast<TFrmQuorvane*>(cs->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TFrmQuorvane*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self && self->hwnd_ == hwnd) return self->Handle(msg, wp, lp);
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TFrmQuorvane::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      core::SetHandoverWindow(hwnd_);
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
      ui::DrawToggleButton(*item, item->hwndItem == downToggle_);
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
      SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      SetClientHeight(clientDesignHeight_);
      return 0;
    }
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd_, &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, ui::StyleBrush(&ui::Style::Window, COLOR_WINDOW));
      return 1;
    }
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace app

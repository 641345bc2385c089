#include "pages/install/install_win.h"

#include <commctrl.h>

#include "pages/host.h"
#include "pages/install/install.h"
#include "vek/registry_watch_win.h"

namespace pages {
namespace {

constexpr wchar_t kClassName[] = L"TFrmInstall";
constexpr wchar_t kSubmitCaption[] = L"제거하기";
constexpr wchar_t kNameColumn[] = L"프로그램 이름";
constexpr wchar_t kPublisherColumn[] = L"게시자";
constexpr char16_t kSelectFirst[] = u"제거할 항목을 선택해주세요.";
constexpr wchar_t kFontFace[] = L"Tahoma";
constexpr int kFontHeight = -11;  // 8 pt at 96 DPI
constexpr int kNameWidth = 280, kPublisherWidth = 160;
enum : int { IdList = 100, IdSubmit };

}  // namespace

TFrmInstall::TFrmInstall(HWND parent) {
  static bool registered = false;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!registered) {
    WNDCLASSEXW wc{sizeof(wc)};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    registered = RegisterClassExW(&wc) != 0;
  }
  const UINT dpi = ui::WindowDpi(parent);
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, ui::Scale(500, dpi),
                          ui::Scale(400, dpi), parent, nullptr, instance, this);
  ui::SetControlName(hwnd_, L"FrmInstall");
  FormCreate();
}

TFrmInstall::~TFrmInstall() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

void TFrmInstall::FormCreate() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const UINT dpi = ui::WindowDpi(hwnd_);
  ListApp = ui::Win32ListView(ui::Win32ListView::Create(hwnd_, IdList));
  // A plain list: rows are picked, not ticked.
  ListView_SetExtendedListViewStyleEx(ListApp.Handle(), LVS_EX_CHECKBOXES, 0);
  ui::SetControlName(ListApp.Handle(), L"ListApp");
  ListApp.AddColumn(vek::U(kNameColumn), ui::Scale(kNameWidth, dpi));
  ListApp.AddColumn(vek::U(kPublisherColumn), ui::Scale(kPublisherWidth, dpi));
  ListApp.SetImages(ImageList1);

  const DWORD buttonStyle = ui::ActiveStyle() ? BS_OWNERDRAW : BS_PUSHBUTTON;
  BtnSubmit = CreateWindowExW(0, L"BUTTON", kSubmitCaption, WS_CHILD | WS_VISIBLE | buttonStyle, 0, 0, 0, 0, hwnd_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdSubmit)), instance, nullptr);
  ui::SetControlName(BtnSubmit, L"BtnSubmit");
  layout_.Add(ListApp.Handle(), 8, 8, 484, 337);
  layout_.Add(BtnSubmit, 417, 358, 75, 34);
  ApplyDpi(dpi);

  GetInfo();

  for (const vek::UninstallKey& key : vek::kUninstallKeys)
    vek::RegistryMonitor(key.Root, vek::Text(key.Path), [] {
      if (FrmQuorvane) FrmQuorvane->GetInfo();
    }, true);
}

void TFrmInstall::ApplyDpi(UINT dpi) {
  layout_.Apply(dpi);
  font_.reset(ui::CreateDesignFont(kFontFace, kFontHeight, dpi, true));
  for (HWND h : {ListApp.Handle(), BtnSubmit})
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
  ListApp.SetColumnWidth(0, ui::Scale(kNameWidth, dpi));
  ListApp.SetColumnWidth(1, ui::Scale(kPublisherWidth, dpi));
}

void TFrmInstall::GetInfo() {
  vek::GetInstall(InstallList);
  static const std::vector<vek::Text> kNoPlugins;
  install::FillRows(InstallList, FrmQuorvane ? FrmQuorvane->ListBlack() : kNoPlugins, ListApp, ImageList1);
}

void TFrmInstall::LogInfo(std::vector<vek::Text>& list) const { install::AppendInstallRecords(InstallList, list); }

int TFrmInstall::SelectedRow() const {
  return int(SendMessageW(ListApp.Handle(), LVM_GETNEXTITEM, WPARAM(-1), LPARAM(LVNI_SELECTED)));
}

void TFrmInstall::BtnSubmitClick() {
  if (SelectedRow() < 0) {
    if (FrmQuorvane) FrmQuorvane->Inform(kSelectFirst);
    return;
  }
  ListAppDblClick();
}

void TFrmInstall::ListAppDblClick() { install::StartUninstaller(ListApp, SelectedRow()); }

LRESULT CALLBACK TFrmInstall::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<TFrmInstall*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self && self->hwnd_ == hwnd) return self->Handle(msg, wp, lp);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TFrmInstall::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd_, &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, ui::StyleBrush(&ui::Style::Page, COLOR_WINDOW));
      return 1;
    }
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wp);
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(ui::StyleBrush(&ui::Style::Page, COLOR_WINDOW));
    }
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      if (item->hwndItem == BtnSubmit) {
        ui::DrawPushButton(*item);
        return TRUE;
      }
      break;
    }
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      if (hdr->hwndFrom == ListApp.Handle() && hdr->code == NM_DBLCLK) {
        ListAppDblClick();
        return 0;
      }
      break;
    }
    case WM_COMMAND:
      if (reinterpret_cast<HWND>(lp) == BtnSubmit && HIWORD(wp) == BN_CLICKED) {
        BtnSubmitClick();
        return 0;
      }
      break;
    case WM_DPICHANGED_AFTERPARENT:
      ApplyDpi(ui::WindowDpi(hwnd_));
      return 0;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace pages

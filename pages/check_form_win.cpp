#include "pages/check_form_win.h"

#include "pages/host.h"

namespace pages {
namespace {

constexpr wchar_t kClassName[] = L"TCheckForm";
constexpr wchar_t kSubmitCaption[] = L"적용하기";
constexpr wchar_t kFontFace[] = L"Tahoma";
constexpr int kFontHeight = -11;
constexpr char16_t kApplied[] =
    u"\r정상적으로 적용하였습니다.\r\r\r악성코드가 다시 복구 시킬 수 있으므로\r\r\"처음화면\"에서 초기화를 "
    u"실행해주시면 더 좋습니다.\r\r";
enum : int { IdList = 100, IdSubmit };

}  // namespace

TCheckForm::TCheckForm(HWND parent, const wchar_t* formName, const std::vector<Column>& columns)
    : columns_(columns) {
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
  UINT dpi = ui::WindowDpi(parent);
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, ui::Scale(500, dpi),
                          ui::Scale(400, dpi), parent, nullptr, instance, this);
  ui::SetControlName(hwnd_, formName);

  ListApp = ui::Win32ListView(ui::Win32ListView::Create(hwnd_, IdList));
  ui::SetControlName(ListApp.Handle(), L"ListApp");
  for (const Column& c : columns_) ListApp.AddColumn(vek::U(c.Caption), ui::Scale(c.Width, dpi));
  ListApp.SetImages(ImageList1);

  DWORD buttonStyle = ui::ActiveStyle() ? BS_OWNERDRAW : BS_PUSHBUTTON;
  BtnSubmit = CreateWindowExW(0, L"BUTTON", kSubmitCaption, WS_CHILD | WS_VISIBLE | buttonStyle, 0, 0, 0, 0, hwnd_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdSubmit)), instance, nullptr);
  ui::SetControlName(BtnSubmit, L"BtnSubmit");

  layout_.Add(ListApp.Handle(), 8, 8, 484, 337);
  layout_.Add(BtnSubmit, 417, 358, 75, 34);
  ApplyDpi(dpi);
}

TCheckForm::~TCheckForm() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

void TCheckForm::ApplyDpi(UINT dpi) {
  layout_.Apply(dpi);
  font_.reset(ui::CreateDesignFont(kFontFace, kFontHeight, dpi, true));
  for (HWND h : {ListApp.Handle(), BtnSubmit})
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
  for (size_t i = 0; i < columns_.size(); ++i) ListApp.SetColumnWidth(int(i), ui::Scale(columns_[i].Width, dpi));
}

void TCheckForm::BtnSubmitClick() {
  SetInfo();
  if (FrmQuorvane) FrmQuorvane->Inform(kApplied);
}

LRESULT CALLBACK TCheckForm::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<TCheckForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  // hwnd_ is set only once CreateWindowExW returns: messages of the creation
  // itself go to the default handling.
  if (self && self->hwnd_ == hwnd) return self->Handle(msg, wp, lp);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TCheckForm::Handle(UINT msg, WPARAM wp, LPARAM lp) {
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

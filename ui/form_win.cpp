#include "ui/form_win.h"

#include <commctrl.h>

namespace ui {

TWindow::~TWindow() {
  if (FHandle) DestroyWindow(Detach());
}

void TWindow::RegisterWindowClass(HINSTANCE instance, const wchar_t* className, HICON icon) {
  WNDCLASSEXW existing{sizeof(existing)};
  if (GetClassInfoExW(instance, className, &existing)) return;
  WNDCLASSEXW wc{sizeof(wc)};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hIcon = icon;
  wc.hIconSm = icon;
  wc.lpszClassName = className;
  RegisterClassExW(&wc);
}

bool TWindow::CreateBound(DWORD exStyle, const wchar_t* className, const wchar_t* caption, DWORD style, int x, int y,
                          int width, int height, HWND parent, HINSTANCE instance) {
  CreateWindowExW(exStyle, className, caption, style, x, y, width, height, parent, nullptr, instance, this);
  return FHandle != nullptr;
}

HWND TWindow::Detach() {
  HWND window = FHandle;
  if (window) SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  FHandle = nullptr;
  return window;
}

LRESULT TWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcW(FHandle, msg, wp, lp); }

LRESULT CALLBACK TWindow::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->FHandle = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || self->FHandle != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
  const LRESULT result = self->OnMessage(msg, wp, lp);
  // The window is gone: the object must not reach it, nor destroy it again.
  if (msg == WM_NCDESTROY) self->Detach();
  return result;
}

TChildForm::TChildForm(HWND parent, const wchar_t* className, const wchar_t* designName) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass(instance, className, nullptr);
  FDpi = WindowDpi(parent);
  FLayout.Apply(FDpi);
  CreateBound(WS_EX_CONTROLPARENT, className, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, Scale(500, FDpi),
              Scale(400, FDpi), parent, instance);
  SetControlName(Handle(), designName);
}

void TChildForm::Show(bool visible) { ShowWindow(Handle(), visible ? SW_SHOW : SW_HIDE); }

bool TChildForm::Visible() const { return IsWindowVisible(Handle()) != FALSE; }

HWND TChildForm::AddControl(const wchar_t* controlClass, const wchar_t* text, DWORD style, const wchar_t* designName,
                            const DesignRect& rect, const FontSpec* font) {
  HWND control = CreateControl(Handle(), controlClass, text, style, NextControlId(), designName);
  FLayout.Add(control, rect, font);
  return control;
}

HWND TChildForm::AddPushButton(const wchar_t* caption, DWORD style, const wchar_t* designName, const DesignRect& rect,
                               const FontSpec* font) {
  HWND button =
      AddControl(L"BUTTON", caption, style | (ActiveStyle() ? BS_OWNERDRAW : BS_PUSHBUTTON), designName, rect, font);
  FPushButtons.push_back(button);
  return button;
}

HWND TChildForm::AddControl(HWND control, const wchar_t* designName, const DesignRect& rect, const FontSpec* font) {
  SetControlName(control, designName);
  FLayout.Add(control, rect, font);
  return control;
}

void TChildForm::OnClick(HWND control, std::function<void()> handler) {
  FEvents.push_back({control, BN_CLICKED, std::move(handler)});
}

void TChildForm::OnDblClick(HWND control, std::function<void()> handler) {
  FEvents.push_back({control, UINT(NM_DBLCLK), std::move(handler)});
}

bool TChildForm::Fire(HWND control, UINT code) {
  for (const Event& e : FEvents) {
    if (e.Control == control && e.Code == code) {
      e.Handler();
      return true;
    }
  }
  return false;
}

void TChildForm::ApplyDpi(UINT dpi) {
  FDpi = dpi;
  FLayout.Apply(dpi);
}

COLORREF TChildForm::TextColour(HWND) const { return StyleColour(&Style::Text, COLOR_WINDOWTEXT); }

LRESULT TChildForm::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(Handle(), &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, StyleBrush(&Style::Page, COLOR_WINDOW));
      return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wp);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, TextColour(reinterpret_cast<HWND>(lp)));
      return reinterpret_cast<LRESULT>(StyleBrush(&Style::Page, COLOR_WINDOW));
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      for (HWND button : FPushButtons) {
        if (item->hwndItem == button) {
          DrawPushButton(*item);
          return TRUE;
        }
      }
      break;
    }
    case WM_COMMAND:
      if (lp && Fire(reinterpret_cast<HWND>(lp), HIWORD(wp))) return 0;
      break;
    case WM_NOTIFY: {
      const auto* hdr = reinterpret_cast<const NMHDR*>(lp);
      if (Fire(hdr->hwndFrom, hdr->code)) return 0;
      break;
    }
    case WM_DPICHANGED_AFTERPARENT:
      ApplyDpi(WindowDpi(Handle()));
      return 0;
  }
  return TWindow::OnMessage(msg, wp, lp);
}

}  // namespace ui

#include "pages/clean/clean_win.h"

#include <commctrl.h>

#include "core/pump_win.h"
#include "pages/clean/reset.h"
#include "pages/host.h"

namespace pages {
namespace {

constexpr wchar_t kClassName[] = L"TFrmClean";
constexpr wchar_t kTitle[] = L"쿼베노";
constexpr wchar_t kRunCaption[] = L"초기화 하기";
constexpr wchar_t kTerminateCaption[] = L"Terminate";
constexpr wchar_t kTitleFontFace[] = L"Tahoma";
constexpr int kTitleFontHeight = -59;
constexpr int kIndicatorSize = 32;
enum : int { IdTitle = 100, IdContent, IdRun, IdTerminate, IdIndicator };

}  // namespace

TFrmClean::TFrmClean(HWND parent) {
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
  ui::SetControlName(hwnd_, L"FrmClean");
  FormCreate();
}

TFrmClean::~TFrmClean() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

void TFrmClean::FormCreate() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id, const wchar_t* name) {
    HWND h = CreateWindowExW(0, cls, text, WS_CHILD | style, 0, 0, 0, 0, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    ui::SetControlName(h, name);
    return h;
  };
  LabelTitle = child(L"STATIC", kTitle, WS_VISIBLE | SS_CENTER | SS_NOPREFIX, IdTitle, L"LabelTitle");
  LabelContent = child(ui::kMarkupLabelClass, L"", WS_VISIBLE, IdContent, L"LabelContent");
  DWORD buttonStyle = ui::ActiveStyle() ? BS_OWNERDRAW : BS_PUSHBUTTON;
  BtnClean = child(L"BUTTON", kRunCaption, WS_VISIBLE | WS_DISABLED | buttonStyle, IdRun, L"BtnClean");
  ChkTerminate = child(L"BUTTON", kTerminateCaption, BS_AUTOCHECKBOX | WS_TABSTOP, IdTerminate, L"ChkTerminate");
  SendMessageW(ChkTerminate, BM_SETCHECK, BST_CHECKED, 0);
  Indicator = child(ui::kIndicatorClass, L"", 0, IdIndicator, L"Indicator");

  layout_.Add(LabelTitle, 0, 40, 500, 81);
  layout_.Add(LabelContent, 0, 152, 500, 105);
  layout_.Add(BtnClean, 176, 297, 161, 65);
  layout_.Add(ChkTerminate, 403, 375, 97, 17);
  layout_.Add(Indicator, 241, 314, kIndicatorSize, kIndicatorSize);
  // The indicator lies over the button's area; it must paint above it.
  SetWindowPos(Indicator, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ApplyDpi(ui::WindowDpi(hwnd_));
}

void TFrmClean::ApplyDpi(UINT dpi) {
  layout_.Apply(dpi);
  font_.reset(ui::CreateDesktopFont(dpi));
  const ui::Style* style = ui::ActiveStyle();
  titleFont_.reset(ui::CreateDesignFont(style ? vek::W(style->Font) : kTitleFontFace, kTitleFontHeight, dpi, true));
  for (HWND h : {LabelContent, BtnClean, ChkTerminate})
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
  SendMessageW(LabelTitle, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont_.get()), TRUE);
}

void TFrmClean::Show(bool visible) { ShowWindow(hwnd_, visible ? SW_SHOW : SW_HIDE); }
bool TFrmClean::Visible() const { return IsWindowVisible(hwnd_) != FALSE; }

void TFrmClean::SetContent(const vek::Text& markup) { SetWindowTextW(LabelContent, vek::W(markup)); }

void TFrmClean::EnableRun() { EnableWindow(BtnClean, TRUE); }

void TFrmClean::LogInfo(std::vector<vek::Text>& list) const {
  // The installed programs name the processes that came back; read only then.
  vek::TInstallList installed;
  if (!Outcomes.Back.empty()) vek::GetInstall(installed);
  clean::AppendResetRecords(ProcessList, Outcomes, installed, OldAvailMemory, vek::GetAvailPhysMemory(),
                            vek::GetTotalPhysMemory(), list);
}

// The reset: runs once per program start, on the main thread, serving window
// messages while it waits, and ends by closing the main window.
void TFrmClean::BtnCleanClick() {
  TPageHost* main = FrmQuorvane;
  if (!main || !IsWindowEnabled(BtnClean)) return;

  struct Host final : clean::ResetHost {
    TFrmClean& page;
    TPageHost& main;
    Host(TFrmClean& p, TPageHost& m) : page(p), main(m) {}
    void AskApplyAgain() override { main.SetInfo(true); }
    // The question is modal, yet WM_USER can close the main window while it
    // shows, and the close ends the program while the run waits.
    bool Closed() override { return core::Terminating() || !main.OwnerWindow(); }
    void ShowRunning() override {
      SetWindowTextW(page.BtnClean, L"");
      EnableWindow(page.BtnClean, FALSE);
      ShowWindow(page.Indicator, SW_SHOW);
      ui::IndicatorStart(page.Indicator);
      UpdateWindow(page.hwnd_);
    }
    std::vector<vek::Text> KeepList() override { return main.ListWhite(); }
    bool Terminate() override { return SendMessageW(page.ChkTerminate, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    void WaitOneSecond() override { core::WaitPumping(nullptr, 1000); }
    void ApplyAgain() override { main.SetInfo(false); }
    void PutInfo() override { main.PutInfo(); }
    void CloseMain() override { main.Close(); }
  } host(*this, *main);
  clean::RunReset(host, ProcessList, OldAvailMemory, Outcomes, GetCurrentProcessId());
}

LRESULT CALLBACK TFrmClean::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<TFrmClean*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self && self->hwnd_ == hwnd) return self->Handle(msg, wp, lp);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TFrmClean::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd_, &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, ui::StyleBrush(&ui::Style::Page, COLOR_WINDOW));
      return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wp);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, reinterpret_cast<HWND>(lp) == LabelTitle ? ui::StyleColour(&ui::Style::Title, COLOR_WINDOWTEXT)
                                                                 : ui::StyleColour(&ui::Style::Text, COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(ui::StyleBrush(&ui::Style::Page, COLOR_WINDOW));
    }
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      if (item->hwndItem == BtnClean) {
        ui::DrawPushButton(*item);
        return TRUE;
      }
      break;
    }
    case WM_COMMAND:
      if (reinterpret_cast<HWND>(lp) == BtnClean && HIWORD(wp) == BN_CLICKED) {
        BtnCleanClick();
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

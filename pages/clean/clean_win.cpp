#include "pages/clean/clean_win.h"

#include "core/lib.h"
#include "core/pump_win.h"
#include "pages/clean/reset.h"
#include "pages/host.h"

namespace pages {
namespace {

constexpr wchar_t kTitle[] = L"쿼베노";
constexpr wchar_t kRunCaption[] = L"초기화 하기";
constexpr wchar_t kTerminateCaption[] = L"Terminate";
constexpr ui::FontSpec kTitleFont{L"Tahoma", -59, true, true};
constexpr int kIndicatorSize = 32;

}  // namespace

TFrmClean::TFrmClean(HWND parent) : TChildForm(parent, L"TFrmClean", L"FrmClean") {
  const ui::FontSpec* desktop = &ui::kDesktopFont;
  FLabelTitle = AddControl(L"STATIC", kTitle, WS_VISIBLE | SS_CENTER | SS_NOPREFIX, L"LabelTitle", {0, 40, 500, 81},
                           &kTitleFont);
  FLabelContent = AddControl(ui::kMarkupLabelClass, L"", WS_VISIBLE, L"LabelContent", {0, 152, 500, 105}, desktop);
  FBtnRun = AddPushButton(kRunCaption, WS_VISIBLE | WS_DISABLED, L"BtnClean", {176, 297, 161, 65}, desktop);
  FChkTerminate = AddControl(L"BUTTON", kTerminateCaption, BS_AUTOCHECKBOX | WS_TABSTOP, L"ChkTerminate",
                             {403, 375, 97, 17}, desktop);
  SendMessageW(FChkTerminate, BM_SETCHECK, BST_CHECKED, 0);
  FIndicator = AddControl(ui::kIndicatorClass, L"", 0, L"Indicator", {241, 314, kIndicatorSize, kIndicatorSize}, nullptr);
  // The indicator lies over the button's area; it must paint above it.
  SetWindowPos(FIndicator, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  OnClick(FBtnRun, [this] { BtnRunClick(); });
}

COLORREF TFrmClean::TextColour(HWND control) const {
  return control == FLabelTitle ? ui::StyleColour(&ui::Style::Title, COLOR_WINDOWTEXT) : TChildForm::TextColour(control);
}

void TFrmClean::SetContent(const vek::Text& markup) { SetWindowTextW(FLabelContent, vek::W(markup)); }

void TFrmClean::EnableRun() { EnableWindow(FBtnRun, TRUE); }

void TFrmClean::LogInfo(std::vector<vek::Text>& list) const {
  // The installed programs name the processes that came back; read only then.
  vek::TInstallList installed;
  if (!Outcomes.Back.empty()) vek::GetInstall(installed);
  clean::AppendResetRecords(ProcessList, Outcomes, installed, FOldAvailMemory, vek::GetAvailPhysMemory(),
                            vek::GetTotalPhysMemory(), list);
}

// Runs on the main thread, serving window messages while it waits, and ends by
// closing the main window.
void TFrmClean::BtnRunClick() {
  TPageHost* main = FrmQuorvane;
  if (!main || !IsWindowEnabled(FBtnRun)) return;

  struct Host final : clean::ResetHost {
    TFrmClean& page;
    TPageHost& main;
    Host(TFrmClean& p, TPageHost& m) : page(p), main(m) {}
    void AskApplyAgain() override { main.SetInfo(true); }
    // The question is modal, yet WM_USER can close the main window while it
    // shows, and the close ends the program while the run waits.
    bool Closed() override { return core::Terminating() || !main.OwnerWindow(); }
    void ShowRunning() override {
      SetWindowTextW(page.FBtnRun, L"");
      EnableWindow(page.FBtnRun, FALSE);
      ShowWindow(page.FIndicator, SW_SHOW);
      ui::IndicatorStart(page.FIndicator);
      UpdateWindow(page.Handle());
    }
    std::vector<vek::Text> KeepList() override { return main.ListWhite(); }
    bool Terminate() override { return SendMessageW(page.FChkTerminate, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    void WaitOneSecond() override { core::WaitPumping(nullptr, 1000); }
    void ApplyAgain() override { main.SetInfo(false); }
    void PutInfo() override { main.PutInfo(); }
    void CloseMain() override { main.Close(); }
  } host(*this, *main);
  clean::RunReset(host, ProcessList, FOldAvailMemory, Outcomes, GetCurrentProcessId(), core::CrashReporterProcessId());
}

}  // namespace pages

#pragma once
// The Reset page: the product's name, the status text and the one big button.
#include <memory>
#include <vector>

#include "pages/clean/reset.h"
#include "ui/controls_win.h"
#include "vek/handles_win.h"
#include "vek/process.h"
#include "vek/text.h"
#include "vek/win32.h"

namespace pages {

class TFrmClean {
 public:
  // Creates the page as a borderless child of Parent at (0, 0), hidden.
  explicit TFrmClean(HWND parent);
  ~TFrmClean();
  TFrmClean(const TFrmClean&) = delete;
  TFrmClean& operator=(const TFrmClean&) = delete;

  HWND Handle() const { return hwnd_; }
  void Show(bool visible);
  bool Visible() const;

  // Status text in the label's markup; set by the main window only.
  void SetContent(const vek::Text& markup);
  void EnableRun();

  // Appends the "clean" record of every process of the run, the "memory" record
  // (the available memory measured now), and a record per refused termination
  // and per process that came back.
  void LogInfo(std::vector<vek::Text>& list) const;

  // The run's process snapshot with each process's outcome.
  vek::TProcessList ProcessList;
  // The run's termination results and the processes that came back.
  clean::ResetOutcomes Outcomes;

  HWND LabelTitle = nullptr;
  HWND LabelContent = nullptr;
  HWND BtnClean = nullptr;
  HWND ChkTerminate = nullptr;
  HWND Indicator = nullptr;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void FormCreate();
  void ApplyDpi(UINT dpi);
  void BtnCleanClick();
  int64_t OldAvailMemory = 0;

  HWND hwnd_ = nullptr;
  ui::DpiLayout layout_;
  vek::unique_hfont font_, titleFont_;
};

}  // namespace pages

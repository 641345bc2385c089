#pragma once
// The Reset page: the product's name, the status text and the one big button.
#include <cstdint>
#include <vector>

#include "ui/form_win.h"
#include "pages/clean/reset.h"
#include "vek/process.h"
#include "vek/text.h"

namespace pages {

class TFrmClean final : public ui::TChildForm {
 public:
  // Creates the page as a borderless child of parent at (0, 0), hidden.
  explicit TFrmClean(HWND parent);

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

 protected:
  COLORREF TextColour(HWND control) const override;

 private:
  // The reset, once per program start: the run button's event.
  void BtnRunClick();

  HWND FLabelTitle = nullptr;
  HWND FLabelContent = nullptr;
  // Its design name is "BtnClean", as the page-bar button's is.
  HWND FBtnRun = nullptr;
  HWND FChkTerminate = nullptr;
  HWND FIndicator = nullptr;
  int64_t FOldAvailMemory = 0;
};

}  // namespace pages

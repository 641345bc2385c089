#pragma once
// The window both check-box list pages share: a borderless child form with the
// list view ListApp, the apply button BtnSubmit and the image list ImageList1.
// A page names its form and columns and supplies GetInfo, SetInfo and LogInfo.
#include <vector>

#include "pages/page_win.h"
#include "ui/controls_win.h"
#include "vek/handles_win.h"
#include "ui/listview_win.h"
#include "vek/text.h"
#include "vek/win32.h"

namespace pages {

class TCheckForm : public TCheckPage {
 public:
  struct Column {
    const wchar_t* Caption;
    int Width;  // design pixels at 96 DPI
  };

  ~TCheckForm() override;
  TCheckForm(const TCheckForm&) = delete;
  TCheckForm& operator=(const TCheckForm&) = delete;

  HWND Handle() const override { return hwnd_; }

  // SetInfo, then the confirmation owned by the main window. The page is not
  // rebuilt.
  void BtnSubmitClick();

  ui::Win32ImageList ImageList1;
  ui::Win32ListView ListApp{nullptr};
  HWND BtnSubmit = nullptr;

 protected:
  // Creates the form as a borderless child of parent at (0, 0), hidden, with its
  // controls; the derived page then reads its data.
  TCheckForm(HWND parent, const wchar_t* formName, const std::vector<Column>& columns);

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void ApplyDpi(UINT dpi);

  HWND hwnd_ = nullptr;
  std::vector<Column> columns_;
  ui::DpiLayout layout_;
  vek::unique_hfont font_;
};

}  // namespace pages

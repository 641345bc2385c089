#pragma once
// The form of the three list pages: the report-style list view ListApp, the
// action button BtnSubmit below it and the 24 x 24 image list ImageList1, whose
// image 0 stands in for any icon that cannot be loaded. A page names its class,
// its form, its button's caption and its columns, and states its events. Each
// is a borderless child of the main window's page panel, created once and kept
// until the program ends.
#include <vector>

#include "ui/form_win.h"
#include "ui/listview_win.h"
#include "vek/text.h"

namespace pages {

class TListForm : public ui::TChildForm {
 public:
  // Rebuilds the page's records and rows from the system.
  virtual void GetInfo() = 0;
  // Appends the page's report records, one text per record, in list order.
  virtual void LogInfo(std::vector<vek::Text>& list) const = 0;
  // The action button's event.
  virtual void BtnSubmitClick() = 0;

  ui::Win32ListView& ListApp() { return FListApp; }
  const ui::Win32ListView& ListApp() const { return FListApp; }
  HWND BtnSubmit() const { return FBtnSubmit; }
  ui::Win32ImageList& ImageList1() { return FImageList1; }

 protected:
  struct Column {
    const wchar_t* Caption;
    int Width;  // design pixels at 96 DPI
  };
  struct Design {
    const wchar_t* ClassName;
    const wchar_t* FormName;
    const wchar_t* SubmitCaption;
    std::vector<Column> Columns;
    bool CheckBoxes;  // rows are ticked, not only picked
  };

  // Creates the form as a hidden child of parent at (0, 0) with its controls;
  // the derived page then reads its data.
  TListForm(HWND parent, const Design& design);
  // The window goes before the image list its list view shares.
  ~TListForm() override;

  void ApplyDpi(UINT dpi) override;

 private:
  ui::Win32ImageList FImageList1;
  ui::Win32ListView FListApp{nullptr};
  HWND FBtnSubmit = nullptr;
  std::vector<Column> FColumns;
};

// A page whose check boxes SetInfo writes to the registry. Apply is set by
// SetInfo and cleared by GetInfo; the main window reads and may clear it around
// a reset.
class TCheckForm : public TListForm {
 public:
  // Writes every row's tick; returns the names of the rows that could not be
  // changed, each left as it was.
  virtual std::vector<vek::Text> SetInfo() = 0;
  // SetInfo, then the confirmation owned by the main window: the usual one, or
  // one naming the rows that could not be changed. The page is not rebuilt.
  void BtnSubmitClick() override;

  bool Apply = false;

 protected:
  TCheckForm(HWND parent, const wchar_t* formName, std::vector<Column> columns);
};

}  // namespace pages

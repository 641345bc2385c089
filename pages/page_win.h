#pragma once
// The three list pages as the main window sees them. Each page is a borderless
// child form of the main window's page panel, created once and kept until the
// program ends.
#include <vector>

#include "vek/text.h"
#include "vek/win32.h"

namespace pages {

class TListPage {
 public:
  virtual ~TListPage() = default;
  virtual HWND Handle() const = 0;
  void Show(bool visible) { ShowWindow(Handle(), visible ? SW_SHOW : SW_HIDE); }
  bool Visible() const { return IsWindowVisible(Handle()) != FALSE; }
  // Rebuilds the page's records and rows from the system.
  virtual void GetInfo() = 0;
  // Appends the page's report records, one text per record, in list order.
  virtual void LogInfo(std::vector<vek::Text>& list) const = 0;
};

// A page whose check boxes are written to the registry by SetInfo. Apply is set
// by SetInfo and cleared by GetInfo; the main window reads and may clear it
// around a reset.
class TCheckPage : public TListPage {
 public:
  virtual void SetInfo() = 0;
  bool Apply = false;
};

}  // namespace pages

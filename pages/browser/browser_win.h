#pragma once
// The browser add-on page: Internet Explorer's add-ons, one ticked (enabled) or
// unticked (disabled) row each.
#include <vector>

#include "pages/browser/browser.h"
#include "pages/list_form_win.h"

namespace pages {

class TFrmBrowser final : public TCheckForm {
 public:
  // Creates the page hidden as a child of parent at (0, 0) and reads its add-ons.
  explicit TFrmBrowser(HWND parent);

  // Re-reads the registry into CLSIDList and the rows; Apply becomes false.
  void GetInfo() override;
  // Writes every row's tick to the add-ons' settings keys; Apply becomes true.
  std::vector<vek::Text> SetInfo() override;
  // One "browser" record per add-on of the last rebuild.
  void LogInfo(std::vector<vek::Text>& list) const override;

  // The add-ons of the last rebuild, in reading order.
  TCLSIDList CLSIDList;
};

}  // namespace pages

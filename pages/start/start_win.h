#pragma once
// The startup entries page: the Run-key entries and the entries disabled into
// the backup store, one ticked or unticked row each.
#include <vector>

#include "pages/list_form_win.h"
#include "pages/start/start.h"

namespace pages {

class TFrmStart final : public TCheckForm {
 public:
  // Creates the page hidden as a child of parent at (0, 0) and reads its entries.
  explicit TFrmStart(HWND parent);

  // Re-reads the registry into StartList and the rows; Apply becomes false.
  void GetInfo() override;
  // Writes every row's tick to the registry; Apply becomes true.
  std::vector<vek::Text> SetInfo() override;
  // One "start" record per entry of the last rebuild.
  void LogInfo(std::vector<vek::Text>& list) const override;

  // The entries of the last rebuild, in reading order.
  TStartList StartList;
};

}  // namespace pages

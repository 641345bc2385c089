#pragma once
// The forced-install page: the installed programs whose names begin with an entry
// of the main window's plug-in list, and the uninstaller of the one the user picks.
// Four watchers on the Uninstall keys have the main window rebuild its visible
// page after every change there.
#include <vector>

#include "pages/list_form_win.h"
#include "vek/install.h"
#include "vek/text.h"

namespace pages {

class TFrmInstall final : public TListForm {
 public:
  // Creates the page as a borderless child of parent at (0, 0), hidden, reads the
  // inventory and starts the watchers (which live until the process ends).
  explicit TFrmInstall(HWND parent);

  // Rebuilds InstallList, the rows and their images.
  void GetInfo() override;
  // One "install" record per program of the latest inventory, listed or not.
  void LogInfo(std::vector<vek::Text>& list) const override;

  // With no row selected, asks for one; otherwise ListAppDblClick.
  void BtnSubmitClick() override;
  // Starts the selected row's uninstaller without waiting; nothing without a row.
  void ListAppDblClick();

  vek::TInstallList InstallList;

 private:
  int SelectedRow() const;
};

}  // namespace pages

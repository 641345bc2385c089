#pragma once
// The forced-install page: the installed programs whose names begin with an entry
// of the main window's plug-in list, and the uninstaller of the one the user picks.
// Four watchers on the Uninstall keys have the main window rebuild its visible
// page after every change there.
#include <vector>

#include "pages/page_win.h"
#include "ui/controls_win.h"
#include "vek/handles_win.h"
#include "ui/listview_win.h"
#include "vek/install.h"
#include "vek/text.h"
#include "vek/win32.h"

namespace pages {

class TFrmInstall final : public TListPage {
 public:
  // Creates the page as a borderless child of parent at (0, 0), hidden, reads the
  // inventory and starts the watchers (which live until the process ends).
  explicit TFrmInstall(HWND parent);
  ~TFrmInstall() override;
  TFrmInstall(const TFrmInstall&) = delete;
  TFrmInstall& operator=(const TFrmInstall&) = delete;

  HWND Handle() const override { return hwnd_; }
  // Rebuilds InstallList, the rows and their images.
  void GetInfo() override;
  // One "install" record per program of the latest inventory, listed or not.
  void LogInfo(std::vector<vek::Text>& list) const override;

  // With no row selected, asks for one; otherwise ListAppDblClick.
  void BtnSubmitClick();
  // Starts the selected row's uninstaller without waiting; nothing without a row.
  void ListAppDblClick();

  ui::Win32ImageList ImageList1;
  ui::Win32ListView ListApp{nullptr};
  HWND BtnSubmit = nullptr;
  vek::TInstallList InstallList;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void FormCreate();
  void ApplyDpi(UINT dpi);
  int SelectedRow() const;

  HWND hwnd_ = nullptr;
  ui::DpiLayout layout_;
  vek::unique_hfont font_;
};

}  // namespace pages

#pragma once
// The main window: the page bar, the panel that hosts the four pages, the two
// built-in lists, and the coordination of the pages around a reset.
#include <memory>
#include <vector>

#include "pages/browser/browser_win.h"
#include "pages/clean/clean_win.h"
#include "pages/host.h"
#include "pages/install/install_win.h"
#include "pages/start/start_win.h"
#include "ui/controls_win.h"
#include "ui/form_win.h"
#include "vek/text.h"
#include "vek/win32.h"

namespace app {

// The host of the four pages (pages/host.h), which reach it as FrmQuorvane.
class TFrmQuorvane final : public ui::TWindow, public pages::TPageHost {
 public:
  TFrmQuorvane();
  ~TFrmQuorvane() override;

  // Creates the window (running FormCreate) and shows it. False when the window
  // could not be created.
  bool Create(HINSTANCE instance);

  // The page host. The keep-list and the plug-in list have hidden list boxes
  // that mirror them, so that outside tools can read what the program holds.
  HWND OwnerWindow() const override { return Handle(); }
  vek::Text Caption() const override;
  const std::vector<vek::Text>& ListWhite() const override { return FListWhite; }
  const std::vector<vek::Text>& ListBlack() const override { return FListBlack; }
  bool Ask(const vek::Text& question) override;
  void Inform(const vek::Text& message) override;
  void GetInfo() override;
  void SetInfo(bool confirm) override;
  void PutInfo() override;
  void Close() override;

  // Append to ListWhite and ListBlack and to their list boxes.
  void AddWhite(std::vector<vek::Text> entries);
  void AddBlack(std::vector<vek::Text> entries);

 private:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;

  void FormCreate();
  void FormClose();
  void TimerInitTimer();
  void BtnCleanClick();
  void BtnBrowserClick();
  void BtnStartClick();
  void BtnInstallClick();
  void WMUser(WPARAM wp);
  void Init();
  void AddNoCleanFile(const vek::Text& path);

  void ShowPage(HWND button, HWND zOrder);
  void PressToggle(HWND button);
  void ApplyDpi(UINT dpi);
  void SetClientHeight(int designHeight);

  // The pages, children of PanelClean, kept until the window object goes.
  std::unique_ptr<pages::TFrmClean> FFrmClean;
  std::unique_ptr<pages::TFrmBrowser> FFrmBrowser;
  std::unique_ptr<pages::TFrmStart> FFrmStart;
  std::unique_ptr<pages::TFrmInstall> FFrmInstall;

  HWND FPanelMenu = nullptr, FPanelClean = nullptr;
  // The page bar's toggle buttons; FBtnClean shows the Reset page.
  HWND FBtnClean = nullptr, FBtnBrowser = nullptr, FBtnStart = nullptr, FBtnInstall = nullptr;
  HWND FImageLogo = nullptr;
  HWND FListWhiteBox = nullptr, FListBlackBox = nullptr;

  HWND FDownToggle = nullptr;
  UINT FDpi = 96;
  int FClientDesignHeight = 652;
  std::vector<vek::Text> FListWhite, FListBlack;
  ui::DpiLayout FLayout;
};

}  // namespace app

#pragma once
// The main window: the page bar, the panel that hosts the four pages, the two
// built-in lists, and the coordination of the pages around a reset.
#include <memory>
#include <vector>

#include "pages/clean/clean_win.h"
#include "pages/host.h"
#include "pages/page_win.h"
#include "ui/controls_win.h"
#include "vek/handles_win.h"
#include "vek/text.h"
#include "vek/win32.h"

namespace app {

// The host of the four pages (pages/host.h), which reach it as FrmQuorvane.
class TFrmQuorvane final : public pages::TPageHost {
 public:
  TFrmQuorvane();
  ~TFrmQuorvane();
  TFrmQuorvane(const TFrmQuorvane&) = delete;
  TFrmQuorvane& operator=(const TFrmQuorvane&) = delete;

  // Creates the window (running FormCreate) and shows it. False when the window
  // could not be created.
  bool Create(HINSTANCE instance);
  HWND Handle() const { return hwnd_; }

  // The page host. The keep-list and the plug-in list have hidden list boxes
  // that mirror them, so that outside tools can read what the program holds.
  HWND OwnerWindow() const override { return hwnd_; }
  vek::Text Caption() const override;
  const std::vector<vek::Text>& ListWhite() const override { return listWhite_; }
  const std::vector<vek::Text>& ListBlack() const override { return listBlack_; }
  bool Ask(const vek::Text& question) override;
  void Inform(const vek::Text& message) override;
  void GetInfo() override;
  void SetInfo(bool confirm) override;
  void PutInfo() override;
  void Close() override;

  void AddWhite(const vek::Text& entry);
  void AddBlack(const vek::Text& entry);

  std::unique_ptr<pages::TFrmClean> FrmClean;
  std::unique_ptr<pages::TCheckPage> FrmBrowser, FrmStart;
  std::unique_ptr<pages::TListPage> FrmInstall;

  HWND PanelMenu = nullptr, PanelClean = nullptr;
  HWND BtnClean = nullptr, BtnBrowser = nullptr, BtnStart = nullptr, BtnInstall = nullptr;
  HWND ImageLogo = nullptr;
  HWND ListWhiteBox = nullptr, ListBlackBox = nullptr;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);

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

  HWND hwnd_ = nullptr;
  HWND downToggle_ = nullptr;
  UINT dpi_ = 96;
  int clientDesignHeight_ = 652;
  std::vector<vek::Text> listWhite_, listBlack_;
  ui::DpiLayout layout_;
  vek::unique_hfont font_, panelFont_;
};

}  // namespace app

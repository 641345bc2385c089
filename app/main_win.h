#pragma once
// The main window: the page bar, the panel that hosts the four pages, the two
// built-in lists, and the coordination of the pages around a reset.
#include <memory>
#include <vector>

#include "pages/clean/clean_win.h"
#include "pages/page_win.h"
#include "ui/controls_win.h"
#include "vek/handles_win.h"
#include "vek/text.h"
#include "vek/win32.h"

namespace app {

class TFrmQuorvane {
 public:
  TFrmQuorvane();
  ~TFrmQuorvane();
  TFrmQuorvane(const TFrmQuorvane&) = delete;
  TFrmQuorvane& operator=(const TFrmQuorvane&) = delete;

  // Creates the window (running FormCreate) and shows it. False when the window
  // could not be created.
  bool Create(HINSTANCE instance);
  HWND Handle() const { return hwnd_; }
  vek::Text Caption() const;

  // The keep-list and the plug-in list; the hidden list boxes mirror them so that
  // outside tools can read what the program holds.
  const std::vector<vek::Text>& ListWhite() const { return listWhite_; }
  const std::vector<vek::Text>& ListBlack() const { return listBlack_; }
  void AddWhite(const vek::Text& entry);
  void AddBlack(const vek::Text& entry);

  // Closes the window exactly as the user's close button does.
  void Close();

  // Re-reads the list page that is showing.
  void GetInfo();
  // Around a reset: before it (confirm), asks whether applied pages are to be
  // applied again; after it, applies them again, browser before startup.
  void SetInfo(bool confirm);
  // Builds the report of every page, uploads it and opens the report page.
  void PutInfo();

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
  bool Ask(const wchar_t* question);

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

// The one main window, through which the pages reach it.
extern TFrmQuorvane* FrmQuorvane;

}  // namespace app

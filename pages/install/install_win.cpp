#include "pages/install/install_win.h"

#include <commctrl.h>

#include "pages/host.h"
#include "pages/install/install.h"
#include "vek/registry_watch_win.h"

namespace pages {
namespace {

constexpr char16_t kSelectFirst[] = u"제거할 항목을 선택해주세요.";

}  // namespace

TFrmInstall::TFrmInstall(HWND parent)
    : TListForm(parent, {L"TFrmInstall", L"FrmInstall", L"제거하기", {{L"프로그램 이름", 280}, {L"게시자", 160}}, false}) {
  OnDblClick(ListApp().Handle(), [this] { ListAppDblClick(); });
  GetInfo();
  for (const vek::UninstallKey& key : vek::kUninstallKeys)
    vek::RegistryMonitor(key.Root, vek::Text(key.Path), [] {
      if (FrmQuorvane) FrmQuorvane->GetInfo();
    }, true);
}

void TFrmInstall::GetInfo() {
  vek::GetInstall(InstallList);
  static const std::vector<vek::Text> kNoPlugins;
  install::FillRows(InstallList, FrmQuorvane ? FrmQuorvane->ListBlack() : kNoPlugins, ListApp(), ImageList1());
}

void TFrmInstall::LogInfo(std::vector<vek::Text>& list) const { install::AppendInstallRecords(InstallList, list); }

int TFrmInstall::SelectedRow() const {
  return int(SendMessageW(ListApp().Handle(), LVM_GETNEXTITEM, WPARAM(-1), LPARAM(LVNI_SELECTED)));
}

void TFrmInstall::BtnSubmitClick() {
  if (SelectedRow() < 0) {
    if (FrmQuorvane) FrmQuorvane->Inform(kSelectFirst);
    return;
  }
  ListAppDblClick();
}

void TFrmInstall::ListAppDblClick() { install::StartUninstaller(ListApp(), SelectedRow()); }

}  // namespace pages

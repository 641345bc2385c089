#include "pages/browser/browser_win.h"

namespace pages {

TFrmBrowser::TFrmBrowser(HWND parent) : TCheckForm(parent, L"FrmBrowser", {{L"프로그램 이름", 280}, {L"게시자", 160}}) {
  GetInfo();
}

void TFrmBrowser::GetInfo() {
  Apply = false;
  browser::GetInfo(CLSIDList, ListApp());
}

std::vector<vek::Text> TFrmBrowser::SetInfo() {
  Apply = true;
  return browser::SetInfo(ListApp());
}

void TFrmBrowser::LogInfo(std::vector<vek::Text>& list) const { browser::LogInfo(CLSIDList, list); }

}  // namespace pages

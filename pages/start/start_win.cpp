#include "pages/start/start_win.h"

namespace pages {

TFrmStart::TFrmStart(HWND parent)
    : TCheckForm(parent, L"FrmStart", {{L"프로그램 이름", 280}, {L"항목", 80}, {L"게시자", 80}}) {
  GetInfo();
}

void TFrmStart::GetInfo() {
  Apply = false;
  start::GetInfo(StartList, ListApp(), ImageList1());
}

std::vector<vek::Text> TFrmStart::SetInfo() {
  Apply = true;
  return start::SetInfo(StartList, ListApp());
}

void TFrmStart::LogInfo(std::vector<vek::Text>& list) const { start::LogInfo(StartList, list); }

}  // namespace pages

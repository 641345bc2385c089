#include "pages/list_form_win.h"

#include <commctrl.h>

#include "pages/applied.h"
#include "pages/host.h"

namespace pages {
namespace {

constexpr ui::FontSpec kListFont{L"Tahoma", -11, true, false};  // 8 pt at 96 DPI
constexpr wchar_t kCheckFormClass[] = L"TCheckForm";
constexpr wchar_t kApplyCaption[] = L"적용하기";

}  // namespace

TListForm::TListForm(HWND parent, const Design& design)
    : TChildForm(parent, design.ClassName, design.FormName), FColumns(design.Columns) {
  FListApp = ui::Win32ListView(ui::Win32ListView::Create(Handle(), NextControlId()));
  if (!design.CheckBoxes) ListView_SetExtendedListViewStyleEx(FListApp.Handle(), LVS_EX_CHECKBOXES, 0);
  AddControl(FListApp.Handle(), L"ListApp", {8, 8, 484, 337}, &kListFont);
  for (const Column& c : FColumns) FListApp.AddColumn(vek::U(c.Caption), ui::Scale(c.Width, Dpi()));
  FListApp.SetImages(FImageList1);
  FBtnSubmit = AddPushButton(design.SubmitCaption, WS_VISIBLE, L"BtnSubmit", {417, 358, 75, 34}, &kListFont);
  OnClick(FBtnSubmit, [this] { BtnSubmitClick(); });
}

TListForm::~TListForm() {
  if (Handle()) DestroyWindow(Detach());
}

void TListForm::ApplyDpi(UINT dpi) {
  TChildForm::ApplyDpi(dpi);
  for (size_t i = 0; i < FColumns.size(); ++i) FListApp.SetColumnWidth(int(i), ui::Scale(FColumns[i].Width, dpi));
}

TCheckForm::TCheckForm(HWND parent, const wchar_t* formName, std::vector<Column> columns)
    : TListForm(parent, {kCheckFormClass, formName, kApplyCaption, std::move(columns), true}) {}

void TCheckForm::BtnSubmitClick() {
  const std::vector<vek::Text> notChanged = SetInfo();
  if (FrmQuorvane) FrmQuorvane->Inform(AppliedMessage(notChanged));
}

}  // namespace pages

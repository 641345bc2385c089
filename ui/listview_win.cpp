#include "ui/listview_win.h"

#include "vek/handles_win.h"

namespace ui {

Win32ImageList::Win32ImageList(int size) : FList(ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 1, 8)) {
  if (!FList) return;
  vek::unique_hicon own(static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDefaultItemIconId), IMAGE_ICON, size, size, 0)));
  // LR_SHARED: the system's icon must not be destroyed.
  HICON icon = own ? own.get()
                   : static_cast<HICON>(LoadImageW(nullptr, MAKEINTRESOURCEW(32512 /* IDI_APPLICATION */),
                                                   IMAGE_ICON, size, size, LR_SHARED));
  if (icon) ImageList_AddIcon(FList.get(), icon);
  if (ImageList_GetImageCount(FList.get()) == 0) ImageList_SetImageCount(FList.get(), 1);
}

int Win32ImageList::AddIcon(void* icon) {
  if (!FList || !icon) return -1;
  return ImageList_AddIcon(FList.get(), static_cast<HICON>(icon));
}

int Win32ImageList::Count() const { return FList ? ImageList_GetImageCount(FList.get()) : 0; }

void Win32ImageList::RemoveAdded() {
  if (FList && ImageList_GetImageCount(FList.get()) > 1) ImageList_SetImageCount(FList.get(), 1);
}

HWND Win32ListView::Create(HWND parent, int id) {
  HWND h = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                           WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SHAREIMAGELISTS,
                           0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
  if (h) {
    const DWORD ex = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    SendMessageW(h, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
  }
  return h;
}

void Win32ListView::AddColumn(const vek::Text& caption, int width) {
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  col.pszText = const_cast<wchar_t*>(vek::W(caption));
  col.cx = width;
  col.iSubItem = ColumnCount();
  SendMessageW(FHandle, LVM_INSERTCOLUMNW, WPARAM(col.iSubItem), reinterpret_cast<LPARAM>(&col));
}

void Win32ListView::SetColumnWidth(int column, int width) {
  SendMessageW(FHandle, LVM_SETCOLUMNWIDTH, WPARAM(column), MAKELPARAM(width, 0));
}

void Win32ListView::SetImages(const Win32ImageList& images) {
  SendMessageW(FHandle, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images.Handle()));
}

int Win32ListView::ColumnCount() const {
  HWND header = reinterpret_cast<HWND>(SendMessageW(FHandle, LVM_GETHEADER, 0, 0));
  if (!header) return 0;
  LRESULT n = SendMessageW(header, HDM_GETITEMCOUNT, 0, 0);
  return n > 0 ? int(n) : 0;
}

int Win32ListView::RowCount() const { return int(SendMessageW(FHandle, LVM_GETITEMCOUNT, 0, 0)); }

vek::Text Win32ListView::ItemText(int row, int column) const {
  // LVM_GETITEMTEXTW copies what fits and returns the count copied, so a full
  // buffer means the text may be longer.
  std::vector<wchar_t> buffer(256);
  for (;;) {
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer.data();
    item.cchTextMax = int(buffer.size());
    LRESULT n = SendMessageW(FHandle, LVM_GETITEMTEXTW, WPARAM(row), reinterpret_cast<LPARAM>(&item));
    if (n < 0) return {};
    if (size_t(n) + 1 < buffer.size() || buffer.size() >= 65536) return vek::U(buffer.data(), size_t(n));
    buffer.resize(buffer.size() * 4);
  }
}

vek::Text Win32ListView::Caption(int row) const {
  if (row < 0 || row >= RowCount()) return {};
  return ItemText(row, 0);
}

int Win32ListView::SubItemCount(int row) const {
  return row >= 0 && size_t(row) < FSubItems.size() ? int(FSubItems[size_t(row)].size()) : 0;
}

vek::Text Win32ListView::SubItem(int row, int n) const {
  if (n < 0 || n >= SubItemCount(row)) return {};
  if (n + 1 < ColumnCount()) return ItemText(row, n + 1);
  return FSubItems[size_t(row)][size_t(n)];
}

int Win32ListView::ImageIndex(int row) const {
  LVITEMW item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  if (!SendMessageW(FHandle, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return -1;
  return item.iImage;
}

bool Win32ListView::Checked(int row) const {
  LRESULT state = SendMessageW(FHandle, LVM_GETITEMSTATE, WPARAM(row), LVIS_STATEIMAGEMASK);
  return ((UINT(state) & LVIS_STATEIMAGEMASK) >> 12) == 2;
}

void Win32ListView::SetChecked(int row, bool checked) {
  LVITEMW item{};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
  SendMessageW(FHandle, LVM_SETITEMSTATE, WPARAM(row), reinterpret_cast<LPARAM>(&item));
}

int Win32ListView::AddRow(const vek::Text& caption, const std::vector<vek::Text>& subItems, int imageIndex,
                          bool checked) {
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE;
  item.iItem = RowCount();
  item.pszText = const_cast<wchar_t*>(vek::W(caption));
  item.iImage = imageIndex;
  const int row = int(SendMessageW(FHandle, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (row < 0) return -1;
  // Rows are only ever appended, so the row's index is its place in FSubItems.
  FSubItems.resize(size_t(row));
  FSubItems.push_back(subItems);
  const int shown = ColumnCount() - 1;
  for (int n = 0; n < int(subItems.size()) && n < shown; ++n) {
    LVITEMW sub{};
    sub.iSubItem = n + 1;
    sub.pszText = const_cast<wchar_t*>(vek::W(subItems[size_t(n)]));
    SendMessageW(FHandle, LVM_SETITEMTEXTW, WPARAM(row), reinterpret_cast<LPARAM>(&sub));
  }
  SetChecked(row, checked);
  return row;
}

void Win32ListView::Clear() {
  SendMessageW(FHandle, LVM_DELETEALLITEMS, 0, 0);
  FSubItems.clear();
}

}  // namespace ui

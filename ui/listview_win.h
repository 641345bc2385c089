#pragma once
// The list pages' report-style list view (SysListView32 with check boxes,
// sub-items and small images) and their 24 x 24 image list, behind the portable
// ui::ListView and ui::ImageList interfaces.
#include <vector>

#include "ui/lists.h"
#include "vek/handles_win.h"
#include "vek/text.h"

namespace ui {

// Resource number of the built-in row picture (a white page with a folded corner
// and two grey gears) in the program's resources.
constexpr int kDefaultItemIconId = 2;

// An image list of one image size and 32-bit colour whose index 0 is always the
// built-in picture: loaded from the module's resources, or the system's
// application icon where the module carries none (the test program), or else a
// blank image, so that index 0 exists whatever happens.
class Win32ImageList final : public ImageList {
 public:
  explicit Win32ImageList(int size = 24);
  Win32ImageList(const Win32ImageList&) = delete;
  Win32ImageList& operator=(const Win32ImageList&) = delete;

  // The icon stays the caller's; -1 when it could not be added.
  int AddIcon(void* icon) override;
  int Count() const override;
  void RemoveAdded() override;
  HIMAGELIST Handle() const { return FList.get(); }

 private:
  vek::unique_himagelist FList;
};

// A report-style list view created by Create (or any report view with check
// boxes). The wrapper does not own the window. Sub-items beyond the view's
// columns, which no column shows, are kept here beside the rows, so rows must be
// added and removed through the wrapper; ticks are read from the control, where
// the user changes them.
class Win32ListView final : public ListView {
 public:
  explicit Win32ListView(HWND list) : FHandle(list) {}

  // A child report view with check boxes, whole-row selection, read-only captions,
  // no sorting and small images, sized later by the form's layout. The view
  // shares its image list: the image list's owner destroys it.
  static HWND Create(HWND parent, int id);
  // Appends a column of a width in pixels.
  void AddColumn(const vek::Text& caption, int width);
  void SetColumnWidth(int column, int width);
  void SetImages(const Win32ImageList& images);

  HWND Handle() const { return FHandle; }
  int ColumnCount() const;

  int RowCount() const override;
  vek::Text Caption(int row) const override;
  int SubItemCount(int row) const override;
  vek::Text SubItem(int row, int n) const override;
  int ImageIndex(int row) const override;
  bool Checked(int row) const override;
  void SetChecked(int row, bool checked) override;
  int AddRow(const vek::Text& caption, const std::vector<vek::Text>& subItems, int imageIndex,
             bool checked) override;
  void Clear() override;

 private:
  vek::Text ItemText(int row, int column) const;

  HWND FHandle;
  std::vector<std::vector<vek::Text>> FSubItems;  // every row's sub-items as added
};

}  // namespace ui

#pragma once
// What page logic needs of its report-style list view and its image list, so that
// the logic runs natively against in-memory lists and in the program against the
// Win32 controls that implement these interfaces.
#include <vector>

#include "vek/text.h"

namespace ui {

// Rows with a caption (first column), ordered sub-item texts (the further
// columns), an image index and a check state. Rows are numbered from 0.
class ListView {
 public:
  virtual ~ListView() = default;
  virtual int RowCount() const = 0;
  virtual vek::Text Caption(int row) const = 0;
  virtual int SubItemCount(int row) const = 0;
  // Sub-item n (0 is the second column); empty for an n the row does not carry.
  virtual vek::Text SubItem(int row, int n) const = 0;
  virtual int ImageIndex(int row) const = 0;
  virtual bool Checked(int row) const = 0;
  virtual void SetChecked(int row, bool checked) = 0;
  // Appends a row and returns its index.
  virtual int AddRow(const vek::Text& caption, const std::vector<vek::Text>& subItems, int imageIndex,
                     bool checked) = 0;
  virtual void Clear() = 0;
};

// An image list at one image size (24 x 24 on the pages).
class ImageList {
 public:
  virtual ~ImageList() = default;
  // Adds the icon (a Windows HICON, which stays the caller's) drawn at the list's
  // image size; returns the new image's index, or -1 when it could not be added.
  virtual int AddIcon(void* icon) = 0;
  virtual int Count() const = 0;
  // Drops every image added after the built-in one at index 0, so that a page's
  // rebuild does not add its rows' icons to those of the previous one.
  virtual void RemoveAdded() = 0;
};

}  // namespace ui

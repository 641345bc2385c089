#pragma once
// In-memory list view and image list for native tests of page logic.
#include <vector>

#include "ui/lists.h"

namespace qvtest {

class MemoryListView final : public ui::ListView {
 public:
  struct Row {
    vek::Text Caption;
    std::vector<vek::Text> SubItems;
    int ImageIndex = 0;
    bool Checked = false;
  };

  int RowCount() const override { return int(rows_.size()); }
  vek::Text Caption(int row) const override { return rows_.at(size_t(row)).Caption; }
  int SubItemCount(int row) const override { return int(rows_.at(size_t(row)).SubItems.size()); }
  vek::Text SubItem(int row, int n) const override {
    const auto& items = rows_.at(size_t(row)).SubItems;
    return n >= 0 && size_t(n) < items.size() ? items[size_t(n)] : vek::Text();
  }
  int ImageIndex(int row) const override { return rows_.at(size_t(row)).ImageIndex; }
  bool Checked(int row) const override { return rows_.at(size_t(row)).Checked; }
  void SetChecked(int row, bool checked) override { rows_.at(size_t(row)).Checked = checked; }
  int AddRow(const vek::Text& caption, const std::vector<vek::Text>& subItems, int imageIndex, bool checked) override {
    rows_.push_back({caption, subItems, imageIndex, checked});
    return int(rows_.size()) - 1;
  }
  void Clear() override { rows_.clear(); }

  const std::vector<Row>& Rows() const { return rows_; }

 private:
  std::vector<Row> rows_;
};

// Starts with the pages' built-in image at index 0; records the icons added.
class MemoryImageList final : public ui::ImageList {
 public:
  int AddIcon(void* icon) override {
    if (!icon) return -1;
    icons_.push_back(icon);
    return int(icons_.size());
  }
  int Count() const override { return int(icons_.size()) + 1; }
  void RemoveAdded() override { icons_.clear(); }
  const std::vector<void*>& Added() const { return icons_; }

 private:
  std::vector<void*> icons_;
};

}  // namespace qvtest

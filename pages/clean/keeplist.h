#pragma once
// The keep-list test of the Reset page: whether an entry of the keep-list
// protects a process from being ended.
//
// Each entry is trimmed, a leading folder variable followed by a backslash is
// expanded (core::ExpandPath), and it is compared with ASCII case ignored:
//   - empty, or beginning with "//": ignored;
//   - ending with "*": the rest must equal the process's FileName;
//   - anything else: it must occur somewhere within the FileName.
// No other character is special; nothing acts as a wildcard.
#include <vector>

#include "core/folders.h"
#include "vek/text.h"

namespace pages::clean {

bool ProcessExists(const std::vector<vek::Text>& fileList, vek::TextView fileName);

// The keep-list made ready once for a whole run: every entry trimmed, expanded
// and upper-cased when it is built, so that a run with tens of thousands of
// entries does that work once per entry instead of once per entry and process.
// Keeps(fileName) answers exactly as ProcessExists(fileList, fileName) with the
// same folder-variable table. The table is read when the list is built.
class PreparedKeepList {
 public:
  explicit PreparedKeepList(const std::vector<vek::Text>& fileList);
  PreparedKeepList(const std::vector<vek::Text>& fileList, const core::FolderVarList& vars);

  bool Keeps(vek::TextView fileName) const;

 private:
  std::vector<vek::Text> FWholeNames;  // the "*" entries without it; sorted, no duplicates
  std::vector<vek::Text> FContained;   // the other entries; no duplicates
};

}  // namespace pages::clean

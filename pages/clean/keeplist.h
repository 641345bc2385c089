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

#include "vek/text.h"

namespace pages::clean {

bool ProcessExists(const std::vector<vek::Text>& fileList, vek::TextView fileName);

}  // namespace pages::clean

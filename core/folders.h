#pragma once
// The folder-variable table of the keep-list syntax: %NAME% forms of the
// program-files, common-files and Windows folders, and the conversions between
// real paths and those forms.
#include <functional>
#include <vector>

#include "vek/text.h"

namespace core {

using vek::Text;
using vek::TextView;

// The folder-variable table: names with their percent signs, folders without a
// trailing backslash. Built once by the program's start-up, before any window, and
// read-only afterwards.
struct FolderVar {
  Text Name;
  Text Folder;
};
using FolderVarList = std::vector<FolderVar>;
extern FolderVarList FolderVars;

// Builds the table from the folders the shell gives for each CSIDL, as a 32-bit
// process sees them. On native x64 the "(x86)" is taken out of the common-files
// and program-files rows; elsewhere the "(x86)" rows take the folders of the
// plain ones. A row whose replaced folder is empty is dropped.
FolderVarList BuildFolderVars(const std::function<Text(int)>& folderOf, bool nativeX64);

// The path with a leading known folder (followed by a backslash) replaced by the
// first row's name that fits, or the path unchanged. Rows whose folder the shell
// could not resolve take no part.
Text FoldPath(const FolderVarList& vars, TextView path);
Text FoldPath(TextView path);
// The text with a leading row name followed by a backslash replaced by the row's
// folder, or the text unchanged. Rows with an empty folder take no part.
Text ExpandPath(const FolderVarList& vars, TextView path);
Text ExpandPath(TextView path);

}  // namespace core

#include "core/folders.h"

#include "core/lib.h"

namespace core {

FolderVarList FolderVars;

namespace {

struct FolderRow {
  const char16_t* Name;
  int Csidl;
};

constexpr FolderRow kFolderRows[] = {
    {u"%CommonProgramFiles(x86)%", kCsidlProgramFilesCommonX86},
    {u"%CommonProgramFiles%", kCsidlProgramFilesCommon},
    {u"%CommonProgramFilesW6432%", kCsidlProgramFilesCommon},
    {u"%ProgramFiles(x86)%", kCsidlProgramFilesX86},
    {u"%ProgramFiles%", kCsidlProgramFiles},
    {u"%ProgramFilesW6432%", kCsidlProgramFiles},
    {u"%SystemRoot%", kCsidlWindows},
    {u"%WinDir%", kCsidlWindows},
};

// Both forms compare a table entry followed by a backslash with the start of
// the text, ASCII case ignored, and keep the rest of the text from that
// backslash on as written.
bool StartsWithThenBackslash(TextView head, TextView text) {
  return text.size() > head.size() && text[head.size()] == u'\\' && vek::StartsText(head, text);
}

}  // namespace

FolderVarList BuildFolderVars(const std::function<Text(int)>& folderOf, bool nativeX64) {
  FolderVarList vars;
  for (const FolderRow& row : kFolderRows) vars.push_back({row.Name, folderOf(row.Csidl)});
  // Rows replaced below, by their place in kFolderRows.
  std::vector<bool> replaced(vars.size(), false);
  if (nativeX64) {
    // The 32-bit program hears the "(x86)" folders for the plain names.
    for (size_t i : {1u, 2u, 4u, 5u}) {
      Text& folder = vars[i].Folder;
      const size_t at = vek::FindText(folder, u" (x86)");
      if (at != TextView::npos) folder.erase(at, 6);
      replaced[i] = true;
    }
  } else {
    vars[0].Folder = vars[1].Folder;
    vars[3].Folder = vars[4].Folder;
    replaced[0] = replaced[3] = true;
  }
  FolderVarList kept;
  for (size_t i = 0; i < vars.size(); ++i)
    if (!(replaced[i] && vars[i].Folder.empty())) kept.push_back(std::move(vars[i]));
  return kept;
}

Text FoldPath(const FolderVarList& vars, TextView path) {
  for (const FolderVar& v : vars) {
    if (v.Folder.empty()) continue;
    if (StartsWithThenBackslash(v.Folder, path)) return v.Name + Text(path.substr(v.Folder.size()));
  }
  return Text(path);
}

Text FoldPath(TextView path) { return FoldPath(FolderVars, path); }

Text ExpandPath(const FolderVarList& vars, TextView path) {
  for (const FolderVar& v : vars) {
    if (v.Folder.empty()) continue;
    if (StartsWithThenBackslash(v.Name, path)) return v.Folder + Text(path.substr(v.Name.size()));
  }
  return Text(path);
}

Text ExpandPath(TextView path) { return ExpandPath(FolderVars, path); }

}  // namespace core

#include "core/folders.h"

#include <mutex>

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

namespace core {

namespace {

// The rest of path after folder and its backslash, when folder leads path.
bool Leads(TextView folder, TextView path) { return !folder.empty() && StartsWithThenBackslash(folder, path); }

Text FoldUnprefixed(const UserFolders& users, const FolderVarList& vars, TextView path) {
  const struct {
    const char16_t* Name;
    const Text& Folder;
  } own[] = {{u"%LOCALAPPDATA%", users.LocalAppData}, {u"%APPDATA%", users.RoamingAppData}, {u"%USERPROFILE%", users.Profile}};
  const char16_t* name = nullptr;
  size_t length = 0;
  for (const auto& row : own)
    if (row.Folder.size() > length && Leads(row.Folder, path)) {
      name = row.Name;
      length = row.Folder.size();
    }
  if (name) return name + Text(path.substr(length));

  Text folded = FoldPath(vars, path);
  if (folded != path) return folded;

  length = 0;
  for (const Text& profile : users.Profiles)
    if (profile.size() > length && Leads(profile, path)) length = profile.size();
  if (!length && Leads(users.ProfilesFolder, path)) {
    // The first component below the profiles folder is someone's profile, but
    // only when a backslash follows it: a file lying in the folder itself names no one.
    const size_t user = users.ProfilesFolder.size() + 1;
    const size_t end = path.find(u'\\', user);
    if (end != TextView::npos && end > user) length = end;
  }
  if (length) return kAnyProfile + Text(path.substr(length));
  return Text(path);
}

std::mutex g_userFoldersLock;
UserFolders (*g_userFoldersSource)() = nullptr;
bool g_userFoldersRead = false;
UserFolders g_userFolders;

}  // namespace

Text FoldPrivatePath(const UserFolders& users, const FolderVarList& vars, TextView path) {
  for (TextView prefix : {TextView(u"\\\\?\\"), TextView(u"\\??\\")}) {
    if (path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix) {
      const TextView rest = path.substr(prefix.size());
      Text folded = FoldUnprefixed(users, vars, rest);
      return folded != rest ? folded : Text(path);
    }
  }
  return FoldUnprefixed(users, vars, path);
}

Text FoldPrivatePath(TextView path) { return FoldPrivatePath(CurrentUserFolders(), FolderVars, path); }

UserFolders CurrentUserFolders() {
  try {
    std::lock_guard<std::mutex> hold(g_userFoldersLock);
    if (!g_userFoldersRead && g_userFoldersSource) g_userFolders = g_userFoldersSource();
    g_userFoldersRead = true;
    return g_userFolders;
  } catch (...) {
    return UserFolders();  // out of memory: nothing folds beyond FoldPath
  }
}

void SetUserFoldersSource(UserFolders (*source)()) {
  std::lock_guard<std::mutex> hold(g_userFoldersLock);
  g_userFoldersSource = source;
  g_userFoldersRead = false;
  g_userFolders = UserFolders();
}

}  // namespace core

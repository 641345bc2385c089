#include "core/folders.h"

#include "vek/win32.h"

#include <shlobj.h>

#include "vek/handles_win.h"

namespace core {
namespace {

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

Text Trimmed(Text folder) {
  while (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  return folder;
}

Text ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_DONT_VERIFY, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
  return Trimmed(vek::U(path));
}

// A string value of the key, environment variables expanded: RegGetValueW
// expands a REG_EXPAND_SZ asked for as REG_SZ (and refuses to be asked for
// REG_EXPAND_SZ unless it may leave it unexpanded).
Text PathValue(HKEY key, const wchar_t* subKey, const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  DWORD size = sizeof path - sizeof(wchar_t);
  if (RegGetValueW(key, subKey, name, RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS)
    return {};
  return Trimmed(vek::U(path));
}

}  // namespace

UserFolders ReadUserFolders() {
  UserFolders users;
  users.LocalAppData = ShellFolder(CSIDL_LOCAL_APPDATA);
  users.RoamingAppData = ShellFolder(CSIDL_APPDATA);
  users.Profile = ShellFolder(CSIDL_PROFILE);
  vek::unique_hkey list;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ | KEY_WOW64_64KEY, list.put()) != ERROR_SUCCESS)
    return users;
  users.ProfilesFolder = PathValue(list.get(), nullptr, L"ProfilesDirectory");
  wchar_t sid[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = std::size(sid);
    const LONG status = RegEnumKeyExW(list.get(), i, sid, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;  // no account's key name is that long
    if (status != ERROR_SUCCESS) break;
    Text profile = PathValue(list.get(), sid, L"ProfileImagePath");
    // A profile of the system's own accounts (under the Windows folder) holds
    // no one's name and folds to %SystemRoot% first anyway.
    if (profile.size() > 3) users.Profiles.push_back(std::move(profile));
  }
  return users;
}

}  // namespace core

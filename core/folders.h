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

// The folders whose paths carry a user's name. Folders without a trailing
// backslash; an empty one takes no part.
struct UserFolders {
  Text LocalAppData;    // the running user's, CSIDL_LOCAL_APPDATA
  Text RoamingAppData;  // CSIDL_APPDATA
  Text Profile;         // CSIDL_PROFILE
  // The folder under which Windows makes every user's profile (ProfilesDirectory).
  Text ProfilesFolder;
  // Every profile folder the system lists (ProfileList), wherever it lies.
  std::vector<Text> Profiles;
};

// The name another user's profile folder takes in a folded path: it keeps no
// name, and no program mistakes it for a folder it could open.
inline constexpr char16_t kAnyProfile[] = u"\\Users\\*";

// A path as the program may send it without a user's name, for the crash
// report and the reset's "refused" and "back" records:
//  - under the running user's local or roaming application data or profile:
//    "%LOCALAPPDATA%", "%APPDATA%" or "%USERPROFILE%" and the rest, the
//    longest such folder winning;
//  - else folded by vars (FoldPath);
//  - else under a listed profile folder, or a folder directly under the
//    profiles folder: kAnyProfile and the rest ("\Users\*\Downloads\x.exe");
//  - else unchanged.
// Folders compare as FoldPath compares them (ASCII case ignored, a backslash
// after the folder). A "\\?\" or "\??\" prefix is looked through, and dropped
// when the path folds.
Text FoldPrivatePath(const UserFolders& users, const FolderVarList& vars, TextView path);
// The same with FolderVars and CurrentUserFolders().
Text FoldPrivatePath(TextView path);

// The user folders of the running system: read through the source given to
// SetUserFoldersSource on the first call after it was given (none: all empty),
// then kept. Safe on any thread.
UserFolders CurrentUserFolders();
void SetUserFoldersSource(UserFolders (*source)());

#ifdef _WIN32
// The running user's folders from the shell, the profiles folder and the
// listed profiles from the registry's ProfileList (folders_win.cpp).
UserFolders ReadUserFolders();
#endif

}  // namespace core

#pragma once
// Vek.Install: the programs Windows lists as installed, read from the four
// Uninstall keys (machine and user, native and 32-bit views) into TInstallInfo
// records, without the entries the system hides, deduplicated by name and
// publisher and sorted newest first.
//
// Registry access goes through TRegistry (CurrentRegistry()); environment
// variables and file-system look-ups through InstallFiles, which is Windows in
// the program and a fake in native tests. Nothing here throws.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "vek/text.h"

namespace vek {

class TInstallInfo {
 public:
  Text DisplayIcon;               // bare file path: no quotes, no ",index"
  uint16_t DisplayIconIndex = 0;  // 0..100
  Text DisplayName;               // trimmed
  Text DisplayVersion;
  int32_t EstimatedSize = 0;      // only a DWORD counts
  Text HelpLink;
  Text InstallDate;               // digits only; see GetInstall
  Text InstallLocation;
  Text Publisher;                 // as stored, not trimmed
  Text UninstallString;           // first %ProgramFiles% expanded
  Text URLInfoAbout;
  // The predefined key whose Uninstall key listed the entry: kHkeyLocalMachine
  // (machine-wide) or kHkeyCurrentUser (per-user, writable by any program of
  // the user); 0 for a record made elsewhere.
  uint32_t RootKey = 0;
};

// The owning list GetInstall fills; records never outlive it.
using TInstallList = std::vector<std::unique_ptr<TInstallInfo>>;

// One directory entry as the file system reports it; the date is the last-write
// time converted to local time.
struct FileEntry {
  Text Name;
  bool Directory = false;
  bool Hidden = false;
  bool System = false;
  int Year = 0, Month = 0, Day = 0;
};

class InstallFiles {
 public:
  virtual ~InstallFiles() = default;
  // The variable's value; empty when it is not set.
  virtual Text Environment(const Text& name) = 0;
  // Whether a file (not a folder) of that name exists.
  virtual bool FileExists(const Text& path) = 0;
  // The entries of folder\*.* in the file system's order, hidden and system
  // entries included; empty when the folder cannot be listed.
  virtual std::vector<FileEntry> ListFolder(const Text& folder) = 0;
  // The one entry a path names, looked up without wildcards; nullopt when none.
  virtual std::optional<FileEntry> FindEntry(const Text& path) = 0;
};

// The files GetInstall uses: until one is installed (the program installs
// WindowsInstallFiles() before its first inventory), none, with no environment
// and no files. Returns the previous one (null for that default); null restores it.
InstallFiles& CurrentInstallFiles();
InstallFiles* SetInstallFiles(InstallFiles* files);

#ifdef _WIN32
InstallFiles& WindowsInstallFiles();  // install_win.cpp
#endif

// The four Uninstall keys, in reading order.
struct UninstallKey {
  uint32_t Root;
  TextView Path;
};
extern const UninstallKey kUninstallKeys[4];

// Empties the list, reads the four keys in order (each one's entries in the
// registry's enumeration order) and sorts the list by InstallDate, latest first,
// records without a date last. Of entries with the same trimmed name and
// publisher only the first read is kept.
void GetInstall(TInstallList& list);

// Appends the accepted entries of one key to a list being filled. Keys and
// entries that cannot be opened are passed over. An entry is skipped when its
// DisplayName or UninstallString reads empty, when it has a ParentKeyName value
// of any type, when NoRemove or SystemComponent is a DWORD other than 0, or when
// the list already holds its name and publisher.
void ReadUninstallKey(TInstallList& list, uint32_t root, TextView path);

// Sorts by InstallDate, descending by UTF-16 code units.
void SortInstallList(TInstallList& list);

// The icon path and number a DisplayIcon (or, without one, the UninstallString)
// gives: Windows Installer commands take the product's cached file, else the
// system's msiexec.exe; a quoted path loses its quotes (an unclosed quote gives
// the empty text); ",n" gives the number when it is 0..100, else 0.
struct IconRef {
  Text Path;
  uint16_t Index = 0;
};
IconRef IconOf(TextView iconText);

// The first "%ProgramFiles%" (ASCII case ignored) replaced by ProgramW6432 on
// native x64, by ProgramFiles elsewhere; any later one stays.
Text ExpandProgramFiles(TextView text);
// The first file in the Windows Installer cache folder of the product code
// ("{...}") found in the text; empty without braces in order or without a file.
Text GetMsiCachedIcon(TextView text);
// The last-write date, "yyyymmdd" in local time, of the folder holding a file;
// empty when that folder is not found or is hidden or a system folder.
Text GetFolderDate(TextView path);
// Only the characters 0 to 9, in order.
Text DigitsOnly(TextView text);

}  // namespace vek

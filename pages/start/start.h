#pragma once
// Start: the startup entries page's records and decisions. Entries come from the
// four Run keys and from the System Configuration utility's backup store
// "startupreg"; a ticked row is an enabled entry (a Run value), an unticked one a
// disabled entry (a backup subkey). Everything here works on the registry through
// the Lib helpers and on the page's rows through ui::ListView, and never throws.
#include <cstdint>
#include <vector>

#include "ui/lists.h"
#include "vek/text.h"

namespace pages {

using vek::Text;
using vek::TextView;

// One startup entry: enabled (read from a Run key) or disabled (a backup).
struct TStartInfo {
  Text FileName;  // the program file of Command (CommandToFileName)
  Text Command;   // the Run value's data, or the backup's "command"
  Text Item;      // the Run value's name, or the backup subkey's name
  Text Icon;      // icon source: the same text as FileName
  Text HKey;      // "HKLM"/"HKCU", or the backup's "hkey"
  Text Key;       // the Run key's path below HKey, or the backup's "key"
  int32_t Flags = 0;  // -1 enabled (Run key), 1 disabled (backup store)
  // The command goes back into its Run key as REG_EXPAND_SZ, so that Windows
  // still expands its references at logon: a Run value read with that type, or a
  // backup's command (the store keeps REG_SZ) that holds a %NAME% pair.
  bool Expandable = false;
};

// Owns the entries of one rebuild, in reading order.
using TStartList = std::vector<TStartInfo>;

namespace start {

// The backup store: read under this spelling, written under kStoreWritePath + "\" + item.
inline constexpr TextView kStorePath = u"\\SOFTWARE\\Microsoft\\Shared Tools\\MSConfig\\startupreg";
inline constexpr TextView kStoreWritePath = u"\\Software\\Microsoft\\Shared Tools\\MSConfig\\startupreg";
inline constexpr TextView kRunKey = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr TextView kRunKey32 = u"\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr TextView kUnknownPublisher = u"알수없음";

// The program file of a command line: without a "\??\" prefix and parameters,
// a leading folder variable expanded, the library a case-exact "rundll32.exe" is
// asked to load instead of rundll32 itself, doubled backslashes made single.
Text CommandToFileName(TextView command);

// Empties list, then appends the entries of HKLM Run, HKLM Wow6432Node Run, HKCU
// Run, HKCU Wow6432Node Run and the backup store, in that order. Keys that cannot
// be opened contribute nothing; unreadable values give empty texts.
void GetFiles(TStartList& list);

// Rebuilds list and rows: every row goes, then the images added for the rows of
// the previous rebuild (the built-in image 0 stays), then one row per named
// entry with a command, the first entry of a name winning. Rows: caption
// (product name, else the item), image, sub-items item, publisher and command;
// ticked for enabled entries.
void GetInfo(TStartList& list, ui::ListView& rows, ui::ImageList& images);

// Writes every row's tick to the registry, each entry keeping its identity: its
// Run key (the four Run keys only), its name and its command. Enabling writes the
// Run value back and then deletes the backup of that name only when the backup is
// the entry's own (it names the same Run key and holds the same command or none).
// Disabling writes the backup and then deletes the Run value, but never
// overwrites another entry's backup: that entry then simply stays enabled. A
// backup's row never overwrites a Run value holding something else, nor deletes
// one that the last rebuild read as another row's. A backup naming an unknown
// root, an empty key or any place but a Run key is listed but never applied; a
// Run value whose name cannot be a store subkey is listed and left where it is.
// The second step runs only when the first succeeded, and a backup made for a
// move that then failed is removed again, so a refused write never loses an
// entry. Rows whose entry is not in list are passed over.
void SetInfo(const TStartList& list, const ui::ListView& rows);

// Appends one "start" report record per entry of list, in list order.
void LogInfo(const TStartList& list, std::vector<Text>& records);

}  // namespace start
}  // namespace pages

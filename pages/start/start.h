#pragma once
// Start: the startup entries page's records and decisions. Entries come from the
// four Run keys and from the System Configuration utility's backup store
// "startupreg"; a ticked row is an enabled entry (a Run value), an unticked one a
// disabled entry (a backup subkey). Since Windows 8 an entry can also stay in its
// Run key and be switched off beside it (StartupApproved), as Task Manager does;
// the page reads and writes that switch there too. Everything here works on the registry through
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
  // A Run entry that Windows 8 and later skip at logon: Task Manager or Settings
  // switched it off in the StartupApproved key beside its Run key. Its row shows
  // unticked although its Run value is there.
  bool SwitchedOff = false;
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

// Where Windows 8 and later keep the switch of each Run value: beside HKLM's and
// HKCU's native Run key ("Run") and their Wow6432Node Run key ("Run32"). A
// REG_BINARY of 12 bytes named like the Run value: a first byte of 02 (also 00
// or 06) and eleven zero bytes when enabled; 03 (also 07), three zero bytes and
// the FILETIME of the switch-off when disabled. Windows publishes no layout, so
// only the last eight bytes decide: all zero, a missing value or a value of any
// other type or size means enabled.
inline constexpr TextView kApprovedRunKey = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
inline constexpr TextView kApprovedRun32Key = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run32";

// Whether the running Windows reads the StartupApproved keys (8 and later).
bool WindowsReadsApproved();

// Whether a StartupApproved value, as stored, switches its Run value off.
bool ApprovedSaysDisabled(uint32_t type, const std::vector<uint8_t>& data);
// The values Task Manager writes: enabled, and disabled at a FILETIME.
std::vector<uint8_t> ApprovedEnabled();
std::vector<uint8_t> ApprovedDisabled(uint64_t fileTime);
// The current time as a FILETIME (100 ns units since 1601, UTC).
uint64_t FileTimeNow();

// "on" (in a Run key and not switched off), "off" (in a Run key, switched off
// by Windows' own switch) or "stored" (in the backup store): the report's state.
TextView EntryState(const TStartInfo& entry);

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
// ticked for enabled entries that Windows does not keep switched off.
void GetInfo(TStartList& list, ui::ListView& rows, ui::ImageList& images);

// Brings every row's entry to its tick: ticked, it starts at the next logon (its
// Run value holds its command and, where Windows reads them, its switch is not
// off); unticked, it does not (no Run value, or the switch off). A row whose
// entry is there already changes nothing, so applying with nothing changed
// writes nothing. Each entry keeps its identity: its Run key (the four Run keys
// only), its name and its command; a Run value of that name holding anything
// else is never overwritten or deleted.
//
// Enabling writes the Run value back when it is missing, then deletes the
// backup of that name only when the backup is the entry's own (it names the
// same Run key and holds the same command or none), and switches an entry that
// Windows keeps off on again; a Run value that is there is not rewritten.
// Disabling switches the entry off where Windows reads the switch, writes the
// backup and then deletes the Run value, but never overwrites another entry's
// backup: the entry then stays in its Run key, switched off (or, before
// Windows 8, simply enabled). A backup's row never overwrites a Run value, nor
// deletes one that the last rebuild read as another row's. A backup naming an
// unknown root, an empty key or any place but a Run key is listed but never
// applied; a Run value whose name cannot be a store subkey is only switched.
// The second step of a move runs only when the first succeeded, and a backup
// made for a move that then failed is removed again, so a refused write never
// loses an entry. Rows whose entry is not in list are passed over.
//
// Returns the names of the rows whose entry could not be brought to its tick,
// in row order; each of them is where it was.
std::vector<Text> SetInfo(const TStartList& list, const ui::ListView& rows);

// Appends one "start" report record per entry of list, in list order, with
// its name and its state.
void LogInfo(const TStartList& list, std::vector<Text>& records);

}  // namespace start
}  // namespace pages

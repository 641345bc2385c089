#include "pages/start/start.h"

#include <chrono>
#include <optional>

#include "core/folders.h"
#include "core/lib.h"
#include "core/report.h"
#include "vek/process.h"
#include "vek/registry.h"
#include "vek/strings.h"
#include "vek/sysinfo.h"

namespace pages::start {
namespace {

constexpr uint32_t kHklm = vek::kHkeyLocalMachine;
constexpr uint32_t kHkcu = vek::kHkeyCurrentUser;

// Row layout.
constexpr int kItemSubItem = 0;
constexpr int kCommandSubItem = 2;

// A Run key: the only places whose values this page writes or deletes, and the
// StartupApproved key beside it, the only place of its switches.
struct RunLocation {
  uint32_t Root;
  TextView Key;
  TextView Approved;
};
constexpr RunLocation kRunLocations[] = {{kHklm, kRunKey, kApprovedRunKey},
                                         {kHklm, kRunKey32, kApprovedRun32Key},
                                         {kHkcu, kRunKey, kApprovedRunKey},
                                         {kHkcu, kRunKey32, kApprovedRun32Key}};

TextView WithoutLeadingBackslash(TextView path) {
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  return path;
}

// The Run key that an entry's HKey and Key name, however they are spelt (the
// System Configuration utility writes the key without its leading backslash);
// null for an unknown root, an empty key or any other place.
const RunLocation* LocationOf(TextView hkey, TextView key) {
  const uint32_t root = core::RootKeyFromName(hkey);
  for (const RunLocation& at : kRunLocations)
    if (at.Root == root && vek::SameText(WithoutLeadingBackslash(key), WithoutLeadingBackslash(at.Key))) return &at;
  return nullptr;
}

// Whether a command holds a %NAME% reference, which Windows expands at logon
// only in a REG_EXPAND_SZ value.
bool HasVariable(TextView command) {
  const size_t open = command.find(u'%');
  if (open == TextView::npos) return false;
  const size_t close = command.find(u'%', open + 1);
  return close != TextView::npos && close > open + 1;
}

bool IsText(const vek::RegValue& value) { return value.Type == vek::kRegSz || value.Type == vek::kRegExpandSz; }

// Whether Windows keeps the Run value of that name at that place from starting.
bool SwitchedOffAt(const RunLocation& at, const Text& item) {
  if (!WindowsReadsApproved()) return false;
  const std::optional<vek::RegValue> state = core::ReadRegValue(at.Root, at.Approved, item);
  return state && ApprovedSaysDisabled(state->Type, state->Data);
}

bool WriteSwitch(const RunLocation& at, const Text& item, std::vector<uint8_t> bytes) {
  return core::WriteRegValue(at.Root, at.Approved, item, vek::RegValue::Binary(std::move(bytes)));
}

void AddRunEntries(TStartList& list, const RunLocation& at) {
  std::vector<Text> names;
  core::ListRegValues(at.Root, at.Key, names);
  for (const Text& name : names) {
    TStartInfo& e = list.emplace_back();
    const std::optional<vek::RegValue> value = core::ReadRegValue(at.Root, at.Key, name);
    if (value && IsText(*value)) {
      e.Command = vek::RegDataText(value->Data);
      e.Expandable = value->Type == vek::kRegExpandSz;
    }
    e.FileName = CommandToFileName(e.Command);
    e.Item = name;
    e.Icon = e.FileName;
    e.HKey = core::RootKeyName(at.Root, true);
    e.Key = Text(at.Key);
    e.Flags = -1;
    e.SwitchedOff = !e.Command.empty() && SwitchedOffAt(at, name);
  }
}

// A backup subkey as the store holds it now. Exists is false when there is none,
// and when the name cannot be a subkey at all.
struct Backup {
  bool Exists = false;
  Text Command, HKey, Key;
};

Backup ReadBackup(TextView item) {
  Backup b;
  const std::optional<Text> path = core::SubKeyPath(kStorePath, item);
  if (!path || !core::RegKeyExists(kHklm, *path)) return b;
  b.Exists = true;
  b.Command = core::ReadRegString(kHklm, *path, u"command");
  b.HKey = core::ReadRegString(kHklm, *path, u"hkey");
  b.Key = core::ReadRegString(kHklm, *path, u"key");
  return b;
}

void AddBackupEntries(TStartList& list) {
  std::vector<Text> names;
  core::ListRegKeys(kHklm, kStorePath, names);
  for (const Text& name : names) {
    Backup b = ReadBackup(name);
    TStartInfo& e = list.emplace_back();
    e.Command = std::move(b.Command);
    e.Expandable = HasVariable(e.Command);
    e.FileName = CommandToFileName(e.Command);
    e.Item = name;
    e.Icon = e.FileName;
    e.HKey = std::move(b.HKey);
    e.Key = std::move(b.Key);
    e.Flags = 1;
  }
}

// The entry a row was made for: the first with the row's name and command.
const TStartInfo* FindEntry(const TStartList& list, TextView item, TextView command) {
  for (const TStartInfo& e : list)
    if (e.Item == item && e.Command == command) return &e;
  return nullptr;
}

// The backup is the entry's own: it names the entry's Run key, and holds the
// entry's command or none. Store names compare without case, as the registry's
// do, so "Foo" of HKLM and "foo" of HKCU would otherwise share one backup.
bool IsOwnBackup(const Backup& b, const RunLocation& at, TextView command) {
  return LocationOf(b.HKey, b.Key) == &at && (b.Command.empty() || b.Command == command);
}

// Whether a Run value of that name (in any case) was read from that Run key at
// the last rebuild: it is another row's entry, which a backup's row never
// overwrites, deletes or switches.
bool HasRunEntry(const TStartList& list, const RunLocation& at, TextView item) {
  for (const TStartInfo& e : list)
    if (e.Flags == -1 && LocationOf(e.HKey, e.Key) == &at && vek::SameText(e.Item, item)) return true;
  return false;
}

// Where an entry's Run value stands now.
struct RunValueNow {
  bool Present = false;     // a value of that name, of any type
  bool Holds = false;       // a text value holding the entry's command
  bool Starts = false;      // Holds, and Windows does not keep it switched off
  bool NameStarts = false;  // a command under that name, not switched off
};

RunValueNow ReadRunValue(const RunLocation& at, const TStartInfo& e) {
  RunValueNow now;
  const std::optional<vek::RegValue> value = core::ReadRegValue(at.Root, at.Key, e.Item);
  now.Present = value.has_value();
  if (!value || !IsText(*value)) return now;
  const Text command = vek::RegDataText(value->Data);
  now.Holds = command == e.Command;
  if (command.empty() || SwitchedOffAt(at, e.Item)) return now;
  now.Starts = now.Holds;
  now.NameStarts = true;
  return now;
}

bool WriteRunValue(const RunLocation& at, const TStartInfo& e) {
  return e.Expandable ? core::WriteRegExpandString(at.Root, at.Key, e.Item, e.Command)
                      : core::WriteRegString(at.Root, at.Key, e.Item, e.Command);
}

// Makes the entry start at the next logon; true when it then does.
bool Enable(const TStartList& list, const TStartInfo& e, const RunLocation& at) {
  if (e.Flags != -1 && HasRunEntry(list, at, e.Item)) return false;
  const RunValueNow now = ReadRunValue(at, e);
  if (!now.Holds) {
    // A Run value of that name holding something else (another entry's, or a
    // value of another type) is never overwritten.
    if (now.Present) return false;
    if (!WriteRunValue(at, e)) return false;
    // With no backup of that name the delete still runs: it makes the empty
    // store key where there was none.
    const Backup b = ReadBackup(e.Item);
    if (!b.Exists || IsOwnBackup(b, at, e.Command)) core::DeleteRegKey(kHklm, kStoreWritePath, e.Item);
  }
  if (SwitchedOffAt(at, e.Item)) WriteSwitch(at, e.Item, ApprovedEnabled());
  return ReadRunValue(at, e).Starts;
}

// Keeps the entry's name from starting at the next logon; true when it then
// does not.
bool Disable(const TStartList& list, const TStartInfo& e, const RunLocation& at) {
  if (e.Flags != -1 && HasRunEntry(list, at, e.Item)) return false;
  const bool switches = WindowsReadsApproved();
  // Switched off first: should the move below be refused, Windows still skips
  // the Run value, and a program that writes its Run value back later finds it
  // switched off.
  if (switches) WriteSwitch(at, e.Item, ApprovedDisabled(FileTimeNow()));
  // A Run value that its program wrote back with another command: where Windows
  // reads the switch, that is enough and the value is kept; before Windows 8 it
  // goes, as it does when it holds the entry's own command, but only once the
  // entry's own backup is in the store.
  const Backup b = ReadBackup(e.Item);
  if (!ReadRunValue(at, e).Holds && (switches || !b.Exists || !IsOwnBackup(b, at, e.Command)))
    return !ReadRunValue(at, e).NameStarts;
  // Another entry's backup is never overwritten: this entry stays in its Run key.
  if (core::IsKeyName(e.Item) && (!b.Exists || IsOwnBackup(b, at, e.Command))) {
    // The command goes last: a backup cut short by a refused write holds none,
    // so no rebuild takes it for a disabled entry.
    const std::pair<const char16_t*, TextView> values[] = {
        {u"hkey", e.HKey}, {u"key", e.Key}, {u"item", e.Item}, {u"inimapping", u"0"}, {u"command", e.Command}};
    bool saved = true;
    for (const auto& [name, data] : values)
      saved = saved && core::WriteRegSubKeyString(kHklm, kStoreWritePath, e.Item, name, data);
    const bool moved = saved && (core::DeleteRegValue(at.Root, at.Key, e.Item) || !ReadRunValue(at, e).Present);
    // Undone when the move did not happen, so that the entry is in one place.
    if (!moved && !b.Exists) core::DeleteRegKey(kHklm, kStoreWritePath, e.Item);
  }
  return !ReadRunValue(at, e).NameStarts;
}

Text FileNamePart(TextView path) {
  const size_t cut = path.find_last_of(u"\\:");
  return Text(cut == TextView::npos ? path : path.substr(cut + 1));
}

}  // namespace

bool WindowsReadsApproved() { return vek::WindowsAtLeast(6, 2); }

bool ApprovedSaysDisabled(uint32_t type, const std::vector<uint8_t>& data) {
  if (type != vek::kRegBinary || data.size() != 12) return false;
  for (size_t i = 4; i < 12; ++i)
    if (data[i] != 0) return true;
  return false;
}

std::vector<uint8_t> ApprovedEnabled() {
  std::vector<uint8_t> bytes(12, 0);
  bytes[0] = 0x02;
  return bytes;
}

std::vector<uint8_t> ApprovedDisabled(uint64_t fileTime) {
  std::vector<uint8_t> bytes(12, 0);
  bytes[0] = 0x03;
  // A switch-off at FILETIME 0 would read as enabled; no clock gives it.
  if (fileTime == 0) fileTime = 1;
  for (int i = 0; i < 8; ++i) bytes[size_t(4 + i)] = uint8_t(fileTime >> (8 * i));
  return bytes;
}

uint64_t FileTimeNow() {
  // FILETIME counts 100 ns from 1601-01-01; the Unix epoch is 11,644,473,600 s later.
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  const auto since = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
      std::chrono::system_clock::now().time_since_epoch());
  return kUnixEpoch + uint64_t(since.count() > 0 ? since.count() : 0);
}

TextView EntryState(const TStartInfo& entry) {
  if (entry.Flags != -1) return u"stored";
  return entry.SwitchedOff ? u"off" : u"on";
}

Text CommandToFileName(TextView command) {
  TextView s = command;
  if (s.substr(0, 4) == u"\\??\\") s.remove_prefix(4);
  Text program, params;
  vek::SplitCommandLine(s, program, params);
  Text result = core::ExpandPath(program);
  if (FileNamePart(result) == u"rundll32.exe" && !params.empty()) {
    Text library = vek::Trim(params);
    if (!library.empty() && library.front() == u'"') {
      const size_t close = library.find(u'"', 1);
      library = close == Text::npos ? Text() : vek::Trim(TextView(library).substr(1, close - 1));
    }
    const size_t comma = library.find(u',');
    if (comma != Text::npos) library.resize(comma);
    result = core::ExpandPath(library);
  }
  Text single;
  single.reserve(result.size());
  for (size_t i = 0; i < result.size(); ++i) {
    single.push_back(result[i]);
    if (result[i] == u'\\' && i + 1 < result.size() && result[i + 1] == u'\\') ++i;
  }
  return single;
}

void GetFiles(TStartList& list) {
  list.clear();
  for (const RunLocation& at : kRunLocations) AddRunEntries(list, at);
  AddBackupEntries(list);
}

void GetInfo(TStartList& list, ui::ListView& rows, ui::ImageList& images) {
  rows.Clear();
  images.RemoveAdded();
  GetFiles(list);
  for (const TStartInfo& e : list) {
    if (e.Item.empty() || e.Command.empty() || core::FindSubItemIndex(rows, e.Item, kItemSubItem) >= 0) continue;
    const int image = core::AddFileIcon(images, e.Icon, 0);
    const Text caption = vek::IfEmpty(core::GetFileVersionValue(e.FileName, u"ProductName"), e.Item);
    const Text publisher = vek::IfEmpty(core::GetFileVersionValue(e.FileName, u"CompanyName"), kUnknownPublisher);
    rows.AddRow(caption, {e.Item, publisher, e.Command}, image, e.Flags == -1 && !e.SwitchedOff);
  }
}

std::vector<Text> SetInfo(const TStartList& list, const ui::ListView& rows) {
  std::vector<Text> notChanged;
  const int count = rows.RowCount();
  for (int r = 0; r < count; ++r) {
    const TStartInfo* e = FindEntry(list, rows.SubItem(r, kItemSubItem), rows.SubItem(r, kCommandSubItem));
    if (!e) continue;
    const bool wanted = rows.Checked(r);
    const RunLocation* at = LocationOf(e->HKey, e->Key);
    // A backup that names no Run key is nowhere Windows starts it from: it is
    // listed, never applied. A ticked row asks for its own command; an unticked
    // one, that nothing starts under its name.
    const RunValueNow now = at ? ReadRunValue(*at, *e) : RunValueNow{};
    if (wanted ? now.Starts : !now.NameStarts) continue;
    const bool done = at && (wanted ? Enable(list, *e, *at) : Disable(list, *e, *at));
    if (!done) notChanged.push_back(e->Item);
  }
  return notChanged;
}

void LogInfo(const TStartList& list, std::vector<Text>& records) {
  for (const TStartInfo& e : list) records.push_back(core::StartRecord(e.Item, EntryState(e)));
}

}  // namespace pages::start

#include "pages/start/start.h"

#include "core/folders.h"
#include "core/lib.h"
#include "core/report.h"
#include "vek/process.h"
#include "vek/registry.h"
#include "vek/strings.h"

namespace pages::start {
namespace {

constexpr uint32_t kHklm = vek::kHkeyLocalMachine;
constexpr uint32_t kHkcu = vek::kHkeyCurrentUser;

// Row layout.
constexpr int kItemSubItem = 0;
constexpr int kCommandSubItem = 2;

// A Run key: the only places whose values this page writes or deletes.
struct RunLocation {
  uint32_t Root;
  TextView Key;
};
constexpr RunLocation kRunLocations[] = {{kHklm, kRunKey}, {kHklm, kRunKey32}, {kHkcu, kRunKey}, {kHkcu, kRunKey32}};

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

void AddRunEntries(TStartList& list, uint32_t root, TextView runKey) {
  std::vector<Text> names;
  core::ListRegValues(root, runKey, names);
  for (const Text& name : names) {
    TStartInfo& e = list.emplace_back();
    const std::optional<vek::RegValue> value = core::ReadRegValue(root, runKey, name);
    if (value && (value->Type == vek::kRegSz || value->Type == vek::kRegExpandSz)) {
      e.Command = vek::RegDataText(value->Data);
      e.Expandable = value->Type == vek::kRegExpandSz;
    }
    e.FileName = CommandToFileName(e.Command);
    e.Item = name;
    e.Icon = e.FileName;
    e.HKey = core::RootKeyName(root, true);
    e.Key = Text(runKey);
    e.Flags = -1;
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
// overwrites or deletes.
bool HasRunEntry(const TStartList& list, const RunLocation& at, TextView item) {
  for (const TStartInfo& e : list)
    if (e.Flags == -1 && LocationOf(e.HKey, e.Key) == &at && vek::SameText(e.Item, item)) return true;
  return false;
}

// Whether the Run value is free for the entry: missing, or holding its command.
bool RunValueFree(const RunLocation& at, const TStartInfo& e) {
  const std::optional<vek::RegValue> value = core::ReadRegValue(at.Root, at.Key, e.Item);
  return !value || ((value->Type == vek::kRegSz || value->Type == vek::kRegExpandSz) &&
                    vek::RegDataText(value->Data) == e.Command);
}

bool WriteRunValue(const RunLocation& at, const TStartInfo& e) {
  return e.Expandable ? core::WriteRegExpandString(at.Root, at.Key, e.Item, e.Command)
                      : core::WriteRegString(at.Root, at.Key, e.Item, e.Command);
}

void Enable(const TStartInfo& e) {
  const RunLocation* at = LocationOf(e.HKey, e.Key);
  if (!at) return;  // a backup that names no Run key is listed, never applied
  // An entry read from the store never overwrites a Run value that holds
  // something else: another entry's, or a value of another type.
  if (e.Flags != -1 && !RunValueFree(*at, e)) return;
  if (!WriteRunValue(*at, e)) return;
  // With no backup of that name the delete still runs: it makes the empty store
  // key where there was none.
  const Backup b = ReadBackup(e.Item);
  if (!b.Exists || IsOwnBackup(b, *at, e.Command)) core::DeleteRegKey(kHklm, kStoreWritePath, e.Item);
}

void Disable(const TStartList& list, const TStartInfo& e) {
  const RunLocation* at = LocationOf(e.HKey, e.Key);
  if (!at || !core::IsKeyName(e.Item)) return;
  if (e.Flags != -1 && HasRunEntry(list, *at, e.Item)) return;
  const Backup b = ReadBackup(e.Item);
  // Another entry's backup is never overwritten: this entry stays enabled.
  if (b.Exists && !IsOwnBackup(b, *at, e.Command)) return;
  // The command goes last: a backup cut short by a refused write holds none, so
  // no rebuild takes it for a disabled entry.
  const std::pair<const char16_t*, TextView> values[] = {
      {u"hkey", e.HKey}, {u"key", e.Key}, {u"item", e.Item}, {u"inimapping", u"0"}, {u"command", e.Command}};
  bool saved = true;
  for (const auto& [name, data] : values)
    saved = saved && core::WriteRegSubKeyString(kHklm, kStoreWritePath, e.Item, name, data);
  const bool moved = saved && (core::DeleteRegValue(at->Root, at->Key, e.Item) ||
                               !core::ReadRegValue(at->Root, at->Key, e.Item));
  // Undone when the move did not happen, so that the entry is in one place.
  if (!moved && !b.Exists) core::DeleteRegKey(kHklm, kStoreWritePath, e.Item);
}

Text FileNamePart(TextView path) {
  const size_t cut = path.find_last_of(u"\\:");
  return Text(cut == TextView::npos ? path : path.substr(cut + 1));
}

}  // namespace

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
  AddRunEntries(list, kHklm, kRunKey);
  AddRunEntries(list, kHklm, kRunKey32);
  AddRunEntries(list, kHkcu, kRunKey);
  AddRunEntries(list, kHkcu, kRunKey32);
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
    rows.AddRow(caption, {e.Item, publisher, e.Command}, image, e.Flags == -1);
  }
}

void SetInfo(const TStartList& list, const ui::ListView& rows) {
  const int count = rows.RowCount();
  for (int r = 0; r < count; ++r) {
    const TStartInfo* e = FindEntry(list, rows.SubItem(r, kItemSubItem), rows.SubItem(r, kCommandSubItem));
    if (!e) continue;
    if (rows.Checked(r))
      Enable(*e);
    else
      Disable(list, *e);
  }
}

void LogInfo(const TStartList& list, std::vector<Text>& records) {
  for (const TStartInfo& e : list) records.push_back(core::StartRecord(e.Item));
}

}  // namespace pages::start

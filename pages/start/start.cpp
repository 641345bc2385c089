#include "pages/start/start.h"

#include "app/exchange.h"
#include "app/lib.h"
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

struct RunValue {
  Text Data;
  bool Expandable = false;
};

// A Run value's text and whether it is REG_EXPAND_SZ; empty for any other type.
RunValue ReadRunValue(uint32_t root, TextView key, const Text& name) {
  vek::TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(root);
  if (!reg.OpenKeyReadOnly(key)) return {};
  std::optional<vek::RegValue> value = reg.ReadValue(name);
  if (!value || (value->Type != vek::kRegSz && value->Type != vek::kRegExpandSz)) return {};
  return {vek::RegDataText(value->Data), value->Type == vek::kRegExpandSz};
}

bool WriteRunValue(const TStartInfo& e) {
  const uint32_t root = lib::RootKeyFromName(e.HKey);
  if (!e.Expandable) return lib::WriteRegString(root, e.Key, e.Item, e.Command);
  vek::TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(root);
  return reg.OpenKey(e.Key, true) && reg.WriteExpandString(e.Item, e.Command);
}

void AddRunEntries(TStartList& list, uint32_t root, TextView runKey) {
  std::vector<Text> names;
  lib::ListRegValues(root, runKey, names);
  for (const Text& name : names) {
    TStartInfo& e = list.emplace_back();
    RunValue value = ReadRunValue(root, runKey, name);
    e.Command = std::move(value.Data);
    e.Expandable = value.Expandable;
    e.FileName = CommandToFileName(e.Command);
    e.Item = name;
    e.Icon = e.FileName;
    e.HKey = lib::RootKeyName(root, true);
    e.Key = Text(runKey);
    e.Flags = -1;
  }
}

void AddBackupEntries(TStartList& list) {
  std::vector<Text> names;
  lib::ListRegKeys(kHklm, kStorePath, names);
  for (const Text& name : names) {
    const Text path = Text(kStorePath) + u'\\' + name;
    TStartInfo& e = list.emplace_back();
    e.Command = lib::ReadRegString(kHklm, path, u"command");
    e.FileName = CommandToFileName(e.Command);
    e.Item = name;
    e.Icon = e.FileName;
    e.HKey = lib::ReadRegString(kHklm, path, u"hkey");
    e.Key = lib::ReadRegString(kHklm, path, u"key");
    e.Flags = 1;
  }
}

// The entry a row was made for: the first with the row's name and command.
const TStartInfo* FindEntry(const TStartList& list, TextView item, TextView command) {
  for (const TStartInfo& e : list)
    if (e.Item == item && e.Command == command) return &e;
  return nullptr;
}

void Enable(const TStartInfo& e) {
  if (!WriteRunValue(e)) return;
  lib::DeleteRegKey(kHklm, kStoreWritePath, e.Item);
}

void Disable(const TStartInfo& e) {
  // A name with a backslash cannot be one subkey of the store; its backup would
  // land in a nested key that no rebuild reads back.
  if (e.Item.find(u'\\') != Text::npos) return;
  const Text path = Text(kStoreWritePath) + u'\\' + e.Item;
  bool saved = lib::WriteRegString(kHklm, path, u"command", e.Command);
  saved = saved && lib::WriteRegString(kHklm, path, u"hkey", e.HKey);
  saved = saved && lib::WriteRegString(kHklm, path, u"key", e.Key);
  saved = saved && lib::WriteRegString(kHklm, path, u"item", e.Item);
  saved = saved && lib::WriteRegString(kHklm, path, u"inimapping", u"0");
  if (!saved) return;
  lib::DeleteRegValue(lib::RootKeyFromName(e.HKey), e.Key, e.Item);
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
  Text result = lib::ExpandPath(program);
  if (FileNamePart(result) == u"rundll32.exe" && !params.empty()) {
    Text library = vek::Trim(params);
    if (!library.empty() && library.front() == u'"') {
      const size_t close = library.find(u'"', 1);
      library = close == Text::npos ? Text() : vek::Trim(TextView(library).substr(1, close - 1));
    }
    const size_t comma = library.find(u',');
    if (comma != Text::npos) library.resize(comma);
    result = lib::ExpandPath(library);
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

void GetInfo(TStartList& list, ui::ListView& rows, ui::ImageList& images,
             const std::function<void()>& dropAddedImages) {
  rows.Clear();
  if (dropAddedImages) dropAddedImages();
  GetFiles(list);
  for (const TStartInfo& e : list) {
    if (e.Item.empty() || e.Command.empty() || lib::FindSubItemIndex(rows, e.Item, kItemSubItem) >= 0) continue;
    const int image = lib::AddFileIcon(images, e.Icon, 0);
    const Text caption = vek::IfEmpty(lib::GetFileVersionValue(e.FileName, u"ProductName"), e.Item);
    const Text publisher = vek::IfEmpty(lib::GetFileVersionValue(e.FileName, u"CompanyName"), kUnknownPublisher);
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
      Disable(*e);
  }
}

void LogInfo(const TStartList& list, std::vector<Text>& records) {
  for (const TStartInfo& e : list) records.push_back(app::StartRecord(e.Item));
}

}  // namespace pages::start

// The startup entries page as a property. Seeded random starting states of the
// four Run keys and the backup store, drawn from a small pool of names (case
// variants, leading and inner backslashes, the same name in several Run keys,
// names too long for a key), commands (some with %NAME% references) and value
// types, with backups that miss values, name an unknown root, an empty key or a
// place that is no Run key; then random rebuilds, ticks and applies, some of them
// with refused writes and deletes. After every step:
//  - every entry of the start (its Run key, its name without case, its command)
//    is still in a Run key or in the store, and no entry appears that was not
//    there at the start: nothing lost, nothing duplicated into a new place;
//  - Run values of other types, and backups that name no Run key, are as they
//    were; a REG_EXPAND_SZ entry never comes back as REG_SZ;
//  - nothing outside the four Run keys and the store changed.
// After an apply that met no refusal, every row whose name no other entry shares
// shows its tick in the registry: enabled in its Run key, or disabled in the
// store; rows whose name cannot be a store subkey stay where they are.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "core/lib.h"
#include "pages/start/start.h"
#include "tests/support/page_keys.h"
#include "tests/support/page_property.h"

namespace {

using namespace qvtest;
using vek::RegValue;
using vek::Text;
using vek::TextView;

struct Location {
  uint32_t Root;
  Text Key, Dump;
};
const Location kLocations[] = {
    {HKLM, kRun, u"HKLM" + kRun},
    {HKLM, kRun32, u"HKLM" + kRun32},
    {HKCU, kRun, u"HKCU" + kRun},
    {HKCU, kRun32, u"HKCU" + kRun32},
};

const Text kRunNames[] = {u"Agent", u"agent", u"AGENT", u"Tool", u"Old", u"old", u"\\Tool", u"Tool\\x",
                          u"\\\\SOFTWARE\\Canary", u"\\SOFTWARE", u"\\\\", u"", Text(255, u'L'), Text(256, u'L')};
const Text kStoreNames[] = {u"Agent", u"agent", u"Tool", u"Old", u"old", u"Gone", Text(255, u'L')};
const Text kCommands[] = {u"C:\\a.exe", u"C:\\b.exe /q", u"%windir%\\c.exe", u"\"C:\\Program Files\\d.exe\" -x",
                          u"C:\\100%\\e.exe"};
const Text kHKeys[] = {u"HKLM", u"HKCU", u"hkcu", u"HKEY_LOCAL_MACHINE", u"HKXX", u""};
const Text kKeys[] = {kRun,
                      kRun32,
                      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                      u"\\software\\microsoft\\windows\\currentversion\\RUN",
                      u"",
                      u"\\Software\\Canary",
                      u"\\\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"};

// The Run key an entry's "hkey" and "key" name; -1 for anything else. This is
// what makes a backup an entry's: the root in any case and either form of key.
int LocationIndex(TextView hkey, TextView key) {
  if (!key.empty() && key.front() == u'\\') key.remove_prefix(1);
  const uint32_t root = core::RootKeyFromName(hkey);
  for (int i = 0; i < 4; ++i)
    if (kLocations[i].Root == root && vek::SameText(key, TextView(kLocations[i].Key).substr(1))) return i;
  return -1;
}

bool IsText(const RegValue& v) { return v.Type == vek::kRegSz || v.Type == vek::kRegExpandSz; }

bool HasVariable(TextView command) {
  const size_t open = command.find(u'%');
  const size_t close = open == TextView::npos ? open : command.find(u'%', open + 1);
  return close != TextView::npos && close > open + 1;
}

// The registry as one dump, with its keys found by path without case.
struct Snapshot {
  explicit Snapshot(const MemoryRegistry& mem) : Keys(mem.Dump()) {
    for (const auto& key : Keys) ByPath.emplace(vek::UpperCase(key.Path), &key);
  }
  const MemoryRegistry::KeyDump* Key(const Text& path) const {
    auto it = ByPath.find(vek::UpperCase(path));
    return it == ByPath.end() ? nullptr : it->second;
  }
  // The value's text when it is text, else empty.
  static Text TextOf(const MemoryRegistry::KeyDump* key, TextView name) {
    if (key)
      for (const auto& [n, v] : key->Values)
        if (vek::SameText(n, name)) return IsText(v) ? vek::RegDataText(v.Data) : Text();
    return {};
  }
  std::vector<MemoryRegistry::KeyDump> Keys;
  std::map<Text, const MemoryRegistry::KeyDump*> ByPath;
};

const Text kStoreDump = u"HKLM" + kStore;

// The store's subkeys, each with the path of its key.
std::vector<std::pair<Text, const MemoryRegistry::KeyDump*>> Backups(const Snapshot& snap) {
  std::vector<std::pair<Text, const MemoryRegistry::KeyDump*>> out;
  const Text prefix = kStoreDump + u"\\";
  for (const auto& key : snap.Keys)
    if (vek::StartsText(prefix, key.Path) && key.Path.find(u'\\', prefix.size()) == Text::npos)
      out.emplace_back(key.Path.substr(prefix.size()), &key);
  return out;
}

// Every entry that holds a command, wherever it is: identity (where, name
// without case, command) with the Run value's type, or 0 for a backup.
struct Entry {
  std::string Identity;
  uint32_t Type = 0;
};

std::string Identity(int at, const Text& name, const Text& command) {
  return "run" + std::to_string(at) + " / " + vek::ToUtf8(vek::UpperCase(name)) + " / " + vek::ToUtf8(command);
}

std::vector<Entry> Entries(const Snapshot& snap) {
  std::vector<Entry> out;
  for (int i = 0; i < 4; ++i)
    if (const auto* key = snap.Key(kLocations[i].Dump))
      for (const auto& [name, v] : key->Values)
        if (IsText(v) && !vek::RegDataText(v.Data).empty())
          out.push_back({Identity(i, name, vek::RegDataText(v.Data)), v.Type});
  for (const auto& [name, key] : Backups(snap)) {
    const Text command = Snapshot::TextOf(key, u"command"), hkey = Snapshot::TextOf(key, u"hkey");
    const Text where = Snapshot::TextOf(key, u"key");
    if (command.empty()) continue;
    const int at = LocationIndex(hkey, where);
    out.push_back({at >= 0 ? Identity(at, name, command)
                           : "elsewhere " + vek::ToUtf8(hkey + u"|" + where + u" / " + vek::UpperCase(name) + u" / " + command),
                   0});
  }
  return out;
}

// The keys of every backup that names no Run key, by the backup's name.
std::map<Text, std::vector<MemoryRegistry::KeyDump>> ForeignBackups(const Snapshot& snap) {
  std::map<Text, std::vector<MemoryRegistry::KeyDump>> out;
  for (const auto& [name, key] : Backups(snap)) {
    if (LocationIndex(Snapshot::TextOf(key, u"hkey"), Snapshot::TextOf(key, u"key")) >= 0) continue;
    const Text top = key->Path;
    for (const auto& k : snap.Keys)
      if (vek::StartsText(top, k.Path) && (k.Path.size() == top.size() || k.Path[top.size()] == u'\\'))
        out[vek::UpperCase(name)].push_back(k);
  }
  return out;
}

// One sequence: a starting state, then steps, each followed by the invariant
// checker. The random sequences and the bad-input cases share it.
class StartPageProperty final : public PageProperty {
 public:
  using PageProperty::PageProperty;

  void Begin() override {
    const Snapshot start(mem_);
    outside_ = Outside(start.Keys);
    foreign_ = ForeignBackups(start);
    for (const Entry& e : Entries(start)) initial_[e.Identity].insert(e.Type);
    for (int i = 0; i < 4; ++i)
      if (const auto* key = start.Key(kLocations[i].Dump))
        for (const auto& [name, v] : key->Values)
          if (!IsText(v)) otherTypes_.emplace_back(i, name, v);
  }

  std::string Rebuild() override {
    pages::start::GetInfo(list_, rows_, images_);
    faultsAtRebuild_ = faults_.Fired();
    log_ << "rebuild: " << rows_.RowCount() << " rows\n";
    return Check();
  }

  std::string Apply() override {
    const int firedBefore = faults_.Fired();
    pages::start::SetInfo(list_, rows_);
    log_ << "apply (" << faults_.Fired() - firedBefore << " refused)\n";
    // Refusals since the rebuild may have left what the rows do not know of.
    if (faults_.Fired() == faultsAtRebuild_)
      if (std::string f = Applied(); !f.empty()) return f;
    return Check();
  }

 private:
  Text RowName(int row) const override { return rows_.SubItem(row, 0); }

  RegValue RandomRunValue() {
    const int kind = Between(0, 19);
    if (kind < 13) return RegValue::String(Pick(kCommands));
    if (kind < 16) return RegValue::String(Pick(kCommands), vek::kRegExpandSz);
    switch (kind) {
      case 16: return RegValue::Dword(7);
      case 17: return RegValue::Binary({'C', 0, ':', 0});
      case 18: return RegValue::MultiString({Pick(kCommands)});
      default: return RegValue::Qword(1);
    }
  }

  void Arrange() override {
    mem_.Put(HKLM, u"SOFTWARE\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKLM, u"SOFTWARE\\Canary\\Sub", u"", RegValue::String(u"canary"));
    mem_.Put(HKLM, u"SOFTWARE\\Tool", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKCU, u"Software\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKLM, u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", u"Agent", RegValue::String(u"C:\\a.exe"));
    mem_.Put(HKLM, u"SOFTWARE\\Microsoft\\Shared Tools\\MSConfig\\startupfolder\\Agent", u"path",
             RegValue::String(u"C:\\a.lnk"));
    for (const Location& at : kLocations) {
      if (Chance(15)) continue;
      mem_.AddKey(at.Root, at.Key);
      for (int n = Between(0, 4); n > 0; --n) mem_.Put(at.Root, at.Key, Pick(kRunNames), RandomRunValue());
    }
    if (Chance(20)) return;
    mem_.AddKey(HKLM, kStore);
    for (int n = Between(0, 4); n > 0; --n) {
      const Text path = kStore + u"\\" + Pick(kStoreNames);
      mem_.AddKey(HKLM, path);
      if (Chance(85)) mem_.Put(HKLM, path, u"command", RegValue::String(Pick(kCommands)));
      if (Chance(85)) mem_.Put(HKLM, path, u"hkey", RegValue::String(Pick(kHKeys)));
      if (Chance(85)) mem_.Put(HKLM, path, u"key", RegValue::String(Pick(kKeys)));
      if (Chance(30)) mem_.Put(HKLM, path, u"YEAR", RegValue::Dword(2024));
      if (Chance(10)) mem_.Put(HKLM, path + u"\\Sub", u"v", RegValue::Dword(1));
    }
  }

  static std::vector<MemoryRegistry::KeyDump> Outside(const std::vector<MemoryRegistry::KeyDump>& keys) {
    std::vector<Text> own{kStoreDump};
    for (const Location& at : kLocations) own.push_back(at.Dump);
    return DumpOutside(keys, own);
  }

  const pages::TStartInfo* EntryOf(int row) const {
    for (const auto& e : list_)
      if (e.Item == rows_.SubItem(row, 0) && e.Command == rows_.SubItem(row, 2)) return &e;
    return nullptr;
  }

  // Rows whose name no other entry shares, after an apply with no refusal.
  std::string Applied() {
    for (int r = 0; r < rows_.RowCount(); ++r) {
      const pages::TStartInfo* e = EntryOf(r);
      int sharing = 0;
      for (const auto& other : list_) sharing += vek::SameText(other.Item, e->Item);
      const int at = LocationIndex(e->HKey, e->Key);
      if (sharing > 1 || at < 0) continue;
      const Location& l = kLocations[at];
      const auto run = mem_.Get(l.Root, l.Key, e->Item);
      const Text backup = kStore + u"\\" + e->Item;
      const auto saved = mem_.Get(HKLM, backup, u"command");
      std::ostringstream row;
      row << "row " << vek::ToUtf8(e->Item.substr(0, 20)) << ": ";
      if (!core::IsKeyName(e->Item) || e->Item.size() > 255) {
        if (!run || !IsText(*run) || vek::RegDataText(run->Data) != e->Command)
          return row.str() + "a name that cannot be a store subkey was not left where it was";
      } else if (rows_.Checked(r)) {
        const uint32_t type = e->Expandable ? vek::kRegExpandSz : vek::kRegSz;
        if (run != std::optional<RegValue>(RegValue::String(e->Command, type)))
          return row.str() + "ticked, but its Run value is not its command with its type";
        if (mem_.HasKey(HKLM, backup)) return row.str() + "ticked, but its backup is still there";
      } else {
        if (run) return row.str() + "unticked, but its Run value is still there";
        if (saved != std::optional<RegValue>(RegValue::String(e->Command)))
          return row.str() + "unticked, but the store does not hold its command";
        const auto hkey = mem_.Get(HKLM, backup, u"hkey"), key = mem_.Get(HKLM, backup, u"key");
        if (!hkey || !key || LocationIndex(vek::RegDataText(hkey->Data), vek::RegDataText(key->Data)) != at)
          return row.str() + "unticked, but its backup names another place";
      }
    }
    return {};
  }

  // The invariant checker, run after every step.
  std::string Check() const {
    const auto& initial = initial_;
    const Snapshot now(mem_);
    std::set<std::string> present;
    for (const Entry& e : Entries(now)) {
      present.insert(e.Identity);
      auto it = initial.find(e.Identity);
      if (it == initial.end()) return "an entry that was not there at the start: " + e.Identity;
      if (!e.Type) continue;
      const Text command = vek::FromUtf8(e.Identity.substr(e.Identity.rfind(" / ") + 3));
      const uint32_t restored = HasVariable(command) ? vek::kRegExpandSz : vek::kRegSz;
      if (!it->second.count(e.Type) && e.Type != restored)
        return "Run value of type " + std::to_string(e.Type) + ": " + e.Identity;
    }
    for (const auto& [identity, types] : initial)
      if (!present.count(identity)) return "entry lost: " + identity;
    for (const auto& [at, name, value] : otherTypes_) {
      const auto* key = now.Key(kLocations[at].Dump);
      const bool same = key && std::any_of(key->Values.begin(), key->Values.end(),
                                           [&](const auto& v) { return v.first == name && v.second == value; });
      if (!same) return "a Run value of another type changed: " + vek::ToUtf8(name);
    }
    // A backup cut short by a refused write whose clean-up was refused too may
    // remain (with no command); the ones there from the start never change.
    const auto nowForeign = ForeignBackups(now);
    for (const auto& [name, keys] : foreign_) {
      auto it = nowForeign.find(name);
      if (it == nowForeign.end() || it->second != keys) return "a backup that names no Run key changed: " + vek::ToUtf8(name);
    }
    return FirstDifference(outside_, Outside(now.Keys));
  }

 private:
  pages::TStartList list_;
  MemoryImageList images_;
  int faultsAtRebuild_ = 0;
  // The start: every entry's identity with the types its Run values had, what
  // lies outside the page's keys, backups that name no Run key, Run values of
  // other types.
  std::map<std::string, std::set<uint32_t>> initial_;
  std::vector<MemoryRegistry::KeyDump> outside_;
  std::map<Text, std::vector<MemoryRegistry::KeyDump>> foreign_;
  std::vector<std::tuple<int, Text, RegValue>> otherTypes_;
};

TEST(StartPageProperty, EntriesKeepTheirIdentityAndNothingOutsideThePageChanges) {
  RunSequences<StartPageProperty>(0x5eed0000);
}

// Names of 16,383 units (the longest a value name may be), empty names, names of
// backslashes only or leading into HKLM\SOFTWARE, names one unit too long for a
// key, and values of every registry type under every one of them, in every Run
// key and as backups: enabling, disabling and re-reading them all never crashes,
// loses nothing and touches nothing outside the page's keys.
TEST(StartPageBadInput, OddNamesAndEveryValueTypeTouchOnlyThePagesKeys) {
  const Text names[] = {Text(16383, u'n'), u"", u"\\", Text(200, u'\\'), u"\\\\SOFTWARE", u"\\SOFTWARE\\Canary",
                        Text(255, u'k'), Text(256, u'k')};
  const auto arrange = [&](MemoryRegistry& mem, auto value) {
    mem.Put(HKLM, u"SOFTWARE\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    for (size_t n = 0; n < std::size(names); ++n)
      for (size_t at = 0; at < 4; ++at) mem.Put(kLocations[at].Root, kLocations[at].Key, names[n], value(n + at));
    const Text backup = kStore + u"\\" + Text(255, u'k');
    mem.Put(HKLM, backup, u"command", value(0));
    mem.Put(HKLM, backup, u"hkey", value(1));
    mem.Put(HKLM, backup, u"key", value(2));
    mem.Put(HKLM, backup, Text(16383, u'v'), value(3));
  };
  EveryValueTypeRounds<StartPageProperty>(u"%windir%\\b.exe", {true, false, true, true, false, true}, arrange);
}

}  // namespace

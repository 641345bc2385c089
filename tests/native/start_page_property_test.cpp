// The startup entries page as a property, on Windows 7 and on Windows 10.
// Seeded random starting states of the four Run keys, the backup store and the
// four StartupApproved keys, drawn from a small pool of names (case variants,
// leading and inner backslashes, the same name in several Run keys, names too
// long for a key), commands (some with %NAME% references) and value types, with
// backups that miss values, name an unknown root, an empty key or a place that
// is no Run key, and switches as Task Manager leaves them, of odd types and
// sizes, and stale ones for names with no Run value; then random rebuilds,
// ticks, applies and Run values written back by their programs, some steps with
// refused writes and deletes. After every step:
//  - every entry of the start (its Run key, its name without case, its command)
//    is still in a Run key or in the store, and no entry appears that was not
//    there at the start: nothing lost, nothing duplicated into a new place;
//  - Run values of other types, and backups that name no Run key, are as they
//    were; a REG_EXPAND_SZ entry never comes back as REG_SZ;
//  - nothing outside the four Run keys, the store and the four StartupApproved
//    keys changed (a StartupApproved key may be a link to a key of HKLM, which
//    never changes), and before Windows 8 no StartupApproved key changed at all.
// After every rebuild a row is ticked exactly when its entry would start at the
// next logon, and from Windows 8 on an entry that the page switched off shows
// unticked when its program has written its Run value back. An apply with no row to change writes nothing; an apply changes a
// switch only for a row that asked for a change, and only to the enabled or a
// disabled form. After an apply that met no refusal, every row that is not
// named as unchanged is where its tick says: ticked, it would start at the next
// logon; unticked, nothing starts under its name. Rows named as unchanged are
// left as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "core/lib.h"
#include "pages/start/start.h"
#include "tests/support/page_keys.h"
#include "tests/support/page_property.h"
#include "vek/sysinfo.h"

namespace {

using namespace qvtest;
using vek::RegValue;
using vek::Text;
using vek::TextView;

const Text kApproved = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
const Text kApproved32 = kApproved + u"32";

struct Location {
  uint32_t Root;
  Text Key, Dump, Approved, ApprovedDump;
};
const Location kLocations[] = {
    {HKLM, kRun, u"HKLM" + kRun, kApproved, u"HKLM" + kApproved},
    {HKLM, kRun32, u"HKLM" + kRun32, kApproved32, u"HKLM" + kApproved32},
    {HKCU, kRun, u"HKCU" + kRun, kApproved, u"HKCU" + kApproved},
    {HKCU, kRun32, u"HKCU" + kRun32, kApproved32, u"HKCU" + kApproved32},
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

bool Approved() { return vek::WindowsAtLeast(6, 2); }

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

// The forms a page's switch may take: Task Manager's enabled value, or a
// switch-off with a time.
bool IsSwitchForm(const RegValue& v) {
  if (v.Type != vek::kRegBinary || v.Data.size() != 12) return false;
  const bool timeZero = std::all_of(v.Data.begin() + 4, v.Data.end(), [](uint8_t b) { return b == 0; });
  const bool pad = v.Data[1] == 0 && v.Data[2] == 0 && v.Data[3] == 0;
  return pad && ((v.Data[0] == 0x02 && timeZero) || (v.Data[0] == 0x03 && !timeZero));
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
    for (int r = 0; r < rows_.RowCount(); ++r) {
      const pages::TStartInfo* e = EntryOf(r);
      const int at = LocationIndex(e->HKey, e->Key);
      const bool starts = e->Flags == -1 && at >= 0 && StartsUnder(at, e->Item) == e->Command;
      if (rows_.Checked(r) != starts)
        return "row " + vek::ToUtf8(e->Item.substr(0, 20)) + (starts ? ": would start, yet unticked" : ": ticked, yet would not start");
      if (at >= 0 && rows_.Checked(r) && offByPage_.count({at, vek::UpperCase(e->Item)}))
        return "row " + vek::ToUtf8(e->Item.substr(0, 20)) + ": unticked and applied, yet it starts again once written back";
    }
    return Check();
  }

  std::string Apply() override {
    const int firedBefore = faults_.Fired(), changesBefore = faults_.Changes();
    const auto before = mem_.Dump();
    changedRows_.clear();
    startedBefore_.clear();
    for (int r = 0; r < rows_.RowCount(); ++r) {
      const pages::TStartInfo* e = EntryOf(r);
      const int at = LocationIndex(e->HKey, e->Key);
      startedBefore_.push_back(at >= 0 ? StartsUnder(at, e->Item) : Text());
      if (NeedsChange(r)) changedRows_.insert({at, vek::UpperCase(e->Item)});
    }
    const bool anyToChange = !changedRows_.empty();
    const std::vector<Text> notChanged = pages::start::SetInfo(list_, rows_);
    log_ << "apply (" << faults_.Fired() - firedBefore << " refused, " << notChanged.size() << " not changed)\n";
    if (!anyToChange && faults_.Changes() != changesBefore) return "an apply with nothing to change wrote to the registry";
    if (std::string f = Switches(before); !f.empty()) return f;
    // Refusals since the rebuild may have left what the rows do not know of.
    if (faults_.Fired() == faultsAtRebuild_)
      if (std::string f = Applied(notChanged); !f.empty()) return f;
    // Where Windows reads the switches, an entry the page switched off stays
    // off whatever its program writes back, until a row ticks it again.
    for (int r = 0; r < rows_.RowCount(); ++r) {
      const pages::TStartInfo* e = EntryOf(r);
      const std::pair<int, Text> where{LocationIndex(e->HKey, e->Key), vek::UpperCase(e->Item)};
      if (!changedRows_.count(where)) continue;
      if (faults_.Fired() != firedBefore || Named(notChanged, e->Item) || rows_.Checked(r))
        offByPage_.erase(where);
      else if (Approved() && where.first >= 0 && approvedAt_[size_t(where.first)].second.find(u"QvApproved") == Text::npos)
        offByPage_.insert(where);  // (a switch behind a link cannot be written)
    }
    return Check();
  }

  // A program writes its Run value back, as plug-ins do each time they run:
  // an entry that is only in the store gets its command back in its Run key.
  std::optional<std::string> Meddle() override {
    const Snapshot now(mem_);
    std::vector<std::pair<int, std::pair<Text, Text>>> stored;
    for (const auto& [name, key] : Backups(now)) {
      const int at = LocationIndex(Snapshot::TextOf(key, u"hkey"), Snapshot::TextOf(key, u"key"));
      const Text command = Snapshot::TextOf(key, u"command");
      if (at >= 0 && !command.empty() && !mem_.Get(kLocations[at].Root, kLocations[at].Key, name))
        stored.push_back({at, {name, command}});
    }
    if (stored.empty()) return std::nullopt;
    const auto& [at, entry] = stored[size_t(Between(0, int(stored.size()) - 1))];
    // With the type its program gave it at the start, or for an entry that was
    // only ever a backup the type the page restores it with.
    uint32_t type = HasVariable(entry.second) ? vek::kRegExpandSz : vek::kRegSz;
    for (uint32_t t : initial_[Identity(at, entry.first, entry.second)])
      if (t) type = t;
    mem_.Put(kLocations[at].Root, kLocations[at].Key, entry.first, RegValue::String(entry.second, type));
    log_ << "written back: " << vek::ToUtf8(entry.first.substr(0, 20)) << "\n";
    return Check();
  }

 private:
  Text RowName(int row) const override { return rows_.SubItem(row, 0); }

  // Whether Windows skips the Run value of that name: Windows 8 and later read a
  // REG_BINARY of 12 bytes whose last eight are not all zero as switched off,
  // in the StartupApproved key or, where it is a link, in the key it leads to.
  bool SwitchedOff(int at, const Text& name) const {
    if (!Approved()) return false;
    const auto& [root, key] = approvedAt_[size_t(at)];
    const auto v = mem_.Get(root, key, name);
    return v && v->Type == vek::kRegBinary && v->Data.size() == 12 &&
           std::any_of(v->Data.begin() + 4, v->Data.end(), [](uint8_t b) { return b != 0; });
  }

  // The command Windows would start under that name at the next logon; empty for none.
  Text StartsUnder(int at, const Text& name) const {
    const auto v = mem_.Get(kLocations[at].Root, kLocations[at].Key, name);
    if (!v || !IsText(*v) || SwitchedOff(at, name)) return {};
    return vek::RegDataText(v->Data);
  }


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

  // A switch as Task Manager, Settings or an odd program leaves it.
  RegValue RandomSwitch() {
    std::vector<uint8_t> bytes(12, 0);
    switch (Between(0, 9)) {
      case 0: bytes[0] = 0x02; break;
      case 1: bytes[0] = Chance(50) ? 0x00 : 0x06; break;
      case 2:
      case 3:
      case 4:
        bytes[0] = Chance(70) ? 0x03 : 0x07;
        for (size_t i = 4; i < 12; ++i) bytes[i] = uint8_t(Between(0, 255));
        bytes[11] = 0x01;
        break;
      case 5: bytes = {0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; bytes[5] = 9; break;  // 11 bytes
      case 6: bytes.assign(13, 0x03); break;
      case 7: return RegValue::Dword(3);
      case 8: return RegValue::String(u"03");
      default: bytes = {0x03, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}; break;  // only the first four set
    }
    return RegValue::Binary(std::move(bytes));
  }

  void Arrange() override {
    mem_.Put(HKLM, u"SOFTWARE\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKLM, u"SOFTWARE\\Canary\\Sub", u"", RegValue::String(u"canary"));
    mem_.Put(HKLM, u"SOFTWARE\\Tool", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKCU, u"Software\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKLM, u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", u"Agent", RegValue::String(u"C:\\a.exe"));
    mem_.Put(HKLM, u"SOFTWARE\\Microsoft\\Shared Tools\\MSConfig\\startupfolder\\Agent", u"path",
             RegValue::String(u"C:\\a.lnk"));
    mem_.Put(HKCU, u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\StartupFolder", u"Agent",
             RegValue::Binary({3, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
    for (const Location& at : kLocations) {
      if (!Chance(15)) {
        mem_.AddKey(at.Root, at.Key);
        for (int n = Between(0, 4); n > 0; --n) mem_.Put(at.Root, at.Key, Pick(kRunNames), RandomRunValue());
      }
      // Switches of the names there and of names with no Run value at all; now
      // and then in a key of HKLM that the StartupApproved key is a link to,
      // which may be read through the link but never changed.
      if (Chance(30)) continue;
      const size_t i = size_t(&at - kLocations);
      if (Chance(15)) {
        approvedAt_[i] = {HKLM, u"SOFTWARE\\QvApproved" + vek::FromUtf8(std::to_string(i))};
        mem_.AddLink(at.Root, at.Approved, approvedAt_[i].first, approvedAt_[i].second);
      }
      const auto& [root, key] = approvedAt_[i];
      mem_.AddKey(root, key);
      for (int n = Between(0, 4); n > 0; --n) mem_.Put(root, key, Pick(kRunNames), RandomSwitch());
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
    for (const Location& at : kLocations) {
      own.push_back(at.Dump);
      own.push_back(at.ApprovedDump);
    }
    return DumpOutside(keys, own);
  }

  // A StartupApproved key's values in a dump, by name without case (a link's
  // own SymbolicLinkValue among them).
  static std::map<Text, RegValue> ApprovedValues(const std::vector<MemoryRegistry::KeyDump>& dump, const Location& at) {
    std::map<Text, RegValue> out;
    for (const auto& key : dump)
      if (vek::SameText(key.Path, at.ApprovedDump))
        for (const auto& [name, v] : key.Values) out.emplace(vek::UpperCase(name), v);
    return out;
  }

  const pages::TStartInfo* EntryOf(int row) const {
    for (const auto& e : list_)
      if (e.Item == rows_.SubItem(row, 0) && e.Command == rows_.SubItem(row, 2)) return &e;
    return nullptr;
  }

  // Whether the row's entry is not where its tick says: ticked, its command
  // would not start; unticked, something would start under its name.
  bool NeedsChange(int row) const {
    const pages::TStartInfo* e = EntryOf(row);
    const int at = LocationIndex(e->HKey, e->Key);
    const Text starts = at >= 0 ? StartsUnder(at, e->Item) : Text();
    return rows_.Checked(row) ? starts != e->Command : !starts.empty();
  }

  static bool Named(const std::vector<Text>& notChanged, const Text& item) {
    return std::find(notChanged.begin(), notChanged.end(), item) != notChanged.end();
  }

  // Switches change only for rows that asked for a change, and only to the
  // forms a switch takes; before Windows 8 they never change.
  std::string Switches(const std::vector<MemoryRegistry::KeyDump>& before) {
    const auto after = mem_.Dump();
    for (int i = 0; i < 4; ++i) {
      const Location& at = kLocations[i];
      std::map<Text, RegValue> then = ApprovedValues(before, at), now = ApprovedValues(after, at);
      std::set<Text> names;
      for (const auto& [n, v] : then) names.insert(n);
      for (const auto& [n, v] : now) names.insert(n);
      for (const Text& name : names) {
        const auto a = then.find(name);
        const auto b = now.find(name);
        if (a != then.end() && b != now.end() && a->second == b->second) continue;
        const std::string what = "switch " + vek::ToUtf8(name.substr(0, 20)) + " of run" + std::to_string(i) + ": ";
        if (!Approved()) return what + "changed before Windows 8";
        if (b == now.end()) return what + "deleted";
        if (!IsSwitchForm(b->second)) return what + "written in a form Windows does not write";
        if (!changedRows_.count(std::make_pair(i, name))) return what + "changed for no row that asked for a change";
      }
    }
    return {};
  }

  // After an apply with no refusal since the rebuild.
  std::string Applied(const std::vector<Text>& notChanged) {
    for (int r = 0; r < rows_.RowCount(); ++r) {
      const pages::TStartInfo* e = EntryOf(r);
      const int at = LocationIndex(e->HKey, e->Key);
      std::ostringstream row;
      row << "row " << vek::ToUtf8(e->Item.substr(0, 20)) << ": ";
      if (Named(notChanged, e->Item)) {
        // As it was, unless another row of its name and place changed it.
        int sharing = 0;
        for (int o = 0; o < rows_.RowCount(); ++o) {
          const pages::TStartInfo* other = EntryOf(o);
          sharing += LocationIndex(other->HKey, other->Key) == at && vek::SameText(other->Item, e->Item);
        }
        if (sharing == 1 && at >= 0 && StartsUnder(at, e->Item) != startedBefore_[size_t(r)])
          return row.str() + "named as unchanged, but it changed";
        continue;
      }
      if (at < 0) {
        if (rows_.Checked(r)) return row.str() + "ticked, naming no Run key, yet not named as unchanged";
        continue;
      }
      const Text starts = StartsUnder(at, e->Item);
      if (rows_.Checked(r)) {
        // (The type a restored command comes back with is the checker's.)
        if (starts != e->Command) return row.str() + "ticked, but its command would not start";
      } else if (!starts.empty()) {
        return row.str() + "unticked, but something would start under its name";
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
  // other types, the switches.
  std::map<std::string, std::set<uint32_t>> initial_;
  std::vector<MemoryRegistry::KeyDump> outside_;
  std::map<Text, std::vector<MemoryRegistry::KeyDump>> foreign_;
  std::vector<std::tuple<int, Text, RegValue>> otherTypes_;
  // Of the last apply: the rows (place and name) that asked for a change, and
  // what started under each row's name before it.
  std::set<std::pair<int, Text>> changedRows_;
  std::vector<Text> startedBefore_;
  // The entries (place and name) that an apply with no refusal switched off.
  std::set<std::pair<int, Text>> offByPage_;
  // Where each Run key's switches are read: its StartupApproved key, or the key
  // that one is a link to.
  std::pair<uint32_t, Text> approvedAt_[4] = {{HKLM, kApproved}, {HKLM, kApproved32}, {HKCU, kApproved}, {HKCU, kApproved32}};
};

// The Windows version a sequence runs on, and the seeds it starts from.
struct OnWindows {
  vek::WindowsVersion Version;
  uint64_t FirstSeed;
};

class StartPageOnWindows : public ::testing::TestWithParam<OnWindows> {
 protected:
  void SetUp() override { vek::SetRunningWindows(GetParam().Version); }
  void TearDown() override { vek::SetRunningWindows({}); }
};

std::string VersionName(const ::testing::TestParamInfo<OnWindows>& info) {
  return info.param.Version.Major == 6 ? "Windows7" : "Windows10";
}

INSTANTIATE_TEST_SUITE_P(, StartPageOnWindows,
                         ::testing::Values(OnWindows{{6, 1}, 0x5eed0000}, OnWindows{{10, 0}, 0x5eed8000}), VersionName);

TEST_P(StartPageOnWindows, EntriesKeepTheirIdentityTheRowsAgreeWithTheNextLogonAndNothingOutsideThePageChanges) {
  RunSequences<StartPageProperty>(GetParam().FirstSeed);
}

// Names of 16,383 units (the longest a value name may be), empty names, names of
// backslashes only or leading into HKLM\SOFTWARE, names one unit too long for a
// key, and values of every registry type and of sizes up to 64 KiB under every
// one of them, in every Run key and StartupApproved key and as backups:
// enabling, disabling and re-reading them all never crashes, loses nothing and
// touches nothing outside the page's keys.
TEST_P(StartPageOnWindows, OddNamesAndEveryValueTypeAndSizeTouchOnlyThePagesKeys) {
  const Text names[] = {Text(16383, u'n'), u"", u"\\", Text(200, u'\\'), u"\\\\SOFTWARE", u"\\SOFTWARE\\Canary",
                        Text(255, u'k'), Text(256, u'k')};
  const auto arrange = [&](MemoryRegistry& mem, auto value) {
    mem.Put(HKLM, u"SOFTWARE\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    for (size_t n = 0; n < std::size(names); ++n)
      for (size_t at = 0; at < 4; ++at) {
        mem.Put(kLocations[at].Root, kLocations[at].Key, names[n], value(n + at));
        mem.Put(kLocations[at].Root, kLocations[at].Approved, names[n], value(n + at + 1));
      }
    const Text backup = kStore + u"\\" + Text(255, u'k');
    mem.Put(HKLM, backup, u"command", value(0));
    mem.Put(HKLM, backup, u"hkey", value(1));
    mem.Put(HKLM, backup, u"key", value(2));
    mem.Put(HKLM, backup, Text(16383, u'v'), value(3));
  };
  EveryValueTypeRounds<StartPageProperty>(u"%windir%\\b.exe", {true, false, true, true, false, true}, arrange);
}

}  // namespace

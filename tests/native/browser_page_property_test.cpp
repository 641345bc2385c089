// The browser add-on page as a property. Seeded random registrations in the
// twelve add-on locations, drawn from a small pool of identifiers (case variants,
// leading and inner backslashes, empty, one that fills a key name), classes with
// shared or empty names, a nested class key, per-user settings of every kind
// (flags of other types, values of other programs, subkeys), settings of add-ons
// that are not listed and settings under HKEY_LOCAL_MACHINE; then random
// rebuilds, ticks and applies, some with refused writes and deletes. After every
// step nothing changed outside the per-user settings keys of the listed add-ons.
// An apply with no row to change writes nothing. After an apply that met no
// refusal, each listed identifier reads as its last row says (no "Flags" when
// ticked, a "Flags" number when unticked), with every other value of the key
// still there when no row of that add-on was ticked, and the rows that could
// not be changed are named.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/lib.h"
#include "pages/browser/browser.h"
#include "tests/support/page_keys.h"
#include "tests/support/page_property.h"

namespace {

using namespace qvtest;
using vek::RegValue;
using vek::Text;

// The ten keys that list add-ons by value or subkey name (the download handlers
// are values of kExplorer and kExplorer32).
struct Location {
  uint32_t Root;
  Text Key;
  bool ByValue;  // toolbars: value names; the others: subkey names
  bool Extension;
};
const Location kLocations[] = {
    {HKLM, kToolbar, true, false},      {HKLM, kToolbar32, true, false},      {HKCU, kBars, false, false},
    {HKCU, kBars32, false, false},      {HKLM, kHelpers, false, false},       {HKLM, kHelpers32, false, false},
    {HKCU, kExtensions, false, true},   {HKCU, kExtensions32, false, true},   {HKLM, kExtensions, false, true},
    {HKLM, kExtensions32, false, true},
};

const Text kKeyIds[] = {u"{A}", u"{a}", u"{B}", u"{C}", u"{D}", Text(255, u'c')};
const Text kAnyIds[] = {u"{A}", u"{a}", u"{B}", u"{C}", u"{A}\\sub", u"\\{C}", u"\\\\Software\\Canary", u"\\", u""};
const Text kNames[] = {u"Toolbar", u"Helper", u"Same", u"same", u""};

class BrowserPageProperty final : public PageProperty {
 public:
  using PageProperty::PageProperty;

  // The add-ons listed at the start (their registrations never change) name the
  // keys the page may change.
  void Begin() override {
    pages::TCLSIDList listed;
    pages::browser::GetCLSID(listed);
    for (const auto& e : listed)
      if (core::IsKeyName(e.CLSID)) own_.push_back(u"HKCU" + kSettings + u"\\" + e.CLSID);
    outside_ = DumpOutside(mem_.Dump(), own_);
  }

  std::string Rebuild() override {
    pages::browser::GetInfo(list_, rows_);
    log_ << "rebuild: " << rows_.RowCount() << " rows\n";
    return Check();
  }

  std::string Apply() override {
    const int firedBefore = faults_.Fired(), changesBefore = faults_.Changes();
    const auto before = mem_.Dump();
    bool anyToChange = false;
    for (int r = 0; r < rows_.RowCount(); ++r) anyToChange = anyToChange || Enabled(rows_.SubItem(r, 1)) != rows_.Checked(r);
    const std::vector<Text> notChanged = pages::browser::SetInfo(rows_);
    log_ << "apply (" << faults_.Fired() - firedBefore << " refused, " << notChanged.size() << " not changed)\n";
    if (!anyToChange && faults_.Changes() != changesBefore) return "an apply with nothing to change wrote to the registry";
    if (faults_.Fired() == firedBefore)
      if (std::string f = Applied(before, notChanged); !f.empty()) return f;
    return Check();
  }

 private:
  Text RowName(int row) const override { return rows_.SubItem(row, 1); }

  // The page's own reading: enabled while no "Flags" reads as a number.
  bool Enabled(const Text& id) const {
    if (!core::IsKeyName(id)) return true;
    const auto flags = mem_.Get(HKCU, kSettings + u"\\" + id, u"Flags");
    return !flags || flags->Type != vek::kRegDword || flags->Data.size() < 4;
  }

  RegValue RandomFlags() {
    switch (Between(0, 4)) {
      case 0: return RegValue::Dword(1);
      case 1: return RegValue::Dword(0);
      case 2: return RegValue::String(u"1");
      case 3: return RegValue::Qword(1);
      default: return RegValue::Dword(0x400);
    }
  }

  void Arrange() override {
    mem_.Put(HKCU, u"Software\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKLM, u"SOFTWARE\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem_.Put(HKCU, kSettings + u"\\{Z}", u"Flags", RegValue::Dword(1));  // an add-on that is not listed
    mem_.Put(HKLM, kSettings + u"\\{A}", u"Flags", RegValue::Dword(1));  // machine settings are not the page's
    mem_.Put(HKCU, u"\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\{B}", u"Flags",
             RegValue::Dword(1));
    for (const Text& id : kKeyIds) {
      if (Chance(80)) mem_.Put(HKCR, u"CLSID\\" + id, u"", RegValue::String(Pick(kNames)));
      if (Chance(20)) mem_.Put(HKCR, u"CLSID\\" + id + u"\\InprocServer32", u"", RegValue::String(u"C:\\x.dll"));
      if (Chance(40)) {
        const Text settings = kSettings + u"\\" + id;
        mem_.Put(HKCU, settings, u"Flags", RandomFlags());
        if (Chance(50)) mem_.Put(HKCU, settings, u"Version", RegValue::String(u"*"));
        if (Chance(50)) mem_.Put(HKCU, settings, u"Other", RegValue::Dword(0xdeadbeef));
        if (Chance(20)) mem_.Put(HKCU, settings + u"\\Sub", u"v", RegValue::Dword(1));
      }
    }
    if (Chance(30)) mem_.Put(HKCR, u"CLSID\\{A}\\sub", u"", RegValue::String(u"Nested"));
    for (const Location& at : kLocations) {
      if (Chance(30)) continue;
      mem_.AddKey(at.Root, at.Key);
      for (int n = Between(0, 3); n > 0; --n) {
        if (at.ByValue) {
          mem_.Put(at.Root, at.Key, Pick(kAnyIds), RegValue::String(u""));
        } else {
          const Text key = at.Key + u"\\" + Pick(kKeyIds);
          mem_.AddKey(at.Root, key);
          if (at.Extension && Chance(70)) mem_.Put(at.Root, key, u"ButtonText", RegValue::String(Pick(kNames)));
        }
      }
    }
    for (const Text& key : {kExplorer, kExplorer32})
      if (Chance(50)) mem_.Put(HKLM, key, u"DownloadUI", RegValue::String(Pick(kAnyIds)));
  }

  // After an apply without refusals: each identifier reads as its last row
  // says, unless that row is named as not changed; a disabled add-on keeps the
  // other values of its settings key when no row of it was ticked.
  std::string Applied(const std::vector<MemoryRegistry::KeyDump>& before, const std::vector<Text>& notChanged) {
    struct Ticks {
      bool Last = false, Any = false;
      Text Name;
    };
    std::map<Text, Ticks> byId;
    for (int r = 0; r < rows_.RowCount(); ++r) {
      const Text id = rows_.SubItem(r, 1);
      if (!core::IsKeyName(id)) {
        // No key can be changed for it: a row that asks for a change says so.
        if (!rows_.Checked(r) && std::find(notChanged.begin(), notChanged.end(), rows_.Caption(r)) == notChanged.end())
          return "add-on " + vek::ToUtf8(id.substr(0, 20)) + ": could not be disabled, yet not named";
        continue;
      }
      Ticks& t = byId[vek::UpperCase(id)];
      t.Last = rows_.Checked(r);
      t.Any = t.Any || t.Last;
      t.Name = rows_.Caption(r);
    }
    for (const auto& [id, ticks] : byId) {
      const Text settings = kSettings + u"\\" + id;
      const std::string what = "add-on " + vek::ToUtf8(id.substr(0, 20)) + ": ";
      if (std::find(notChanged.begin(), notChanged.end(), ticks.Name) != notChanged.end())
        return what + "named as not changed after an apply that met no refusal";
      if (Enabled(id) != ticks.Last) return what + (ticks.Last ? "ticked, but disabled" : "unticked, but enabled");
      if (ticks.Any || ticks.Last) continue;
      for (const auto& key : before) {
        if (!vek::SameText(key.Path, u"HKCU" + settings)) continue;
        for (const auto& [name, value] : key.Values)
          if (!vek::SameText(name, u"Flags") && !vek::SameText(name, u"Version") &&
              mem_.Get(HKCU, settings, name) != value)
            return what + "unticked, but its settings lost " + vek::ToUtf8(name);
      }
    }
    return {};
  }

  // The invariant checker, run after every step.
  std::string Check() const {
    return FirstDifference(outside_, DumpOutside(mem_.Dump(), own_));
  }

  pages::TCLSIDList list_;
  std::vector<Text> own_;  // the settings keys of the listed add-ons
  std::vector<MemoryRegistry::KeyDump> outside_;
};

TEST(BrowserPageProperty, ApplyingChangesOnlyTheSettingsOfListedAddOns) {
  RunSequences<BrowserPageProperty>(0xb505e000);
}

// Identifiers of 16,383 units, empty ones, ones of backslashes only or leading
// into HKCU\Software, and values of every registry type as toolbar entries,
// download handlers and flags: ticking, applying and re-reading them all never
// crashes and touches nothing outside the listed add-ons' settings.
TEST(BrowserPageBadInput, OddIdentifiersAndEveryValueTypeTouchOnlyTheirSettings) {
  const Text ids[] = {Text(16383, u'i'), u"", u"\\", Text(200, u'\\'), u"\\\\Software\\Canary", Text(255, u'k'),
                      Text(256, u'k')};
  EveryValueTypeRounds<BrowserPageProperty>(u"{A}", {false, true, false, true}, [&](MemoryRegistry& mem, auto value) {
    mem.Put(HKCU, u"Software\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem.Put(HKCR, u"CLSID\\" + Text(255, u'k'), u"", value(0));
    mem.Put(HKCR, u"CLSID\\{A}", u"", RegValue::String(u"Named"));
    for (size_t n = 0; n < std::size(ids); ++n) {
      for (size_t at = 0; at < 2; ++at) mem.Put(kLocations[at].Root, kLocations[at].Key, ids[n], value(n + at));
      mem.Put(HKCU, kSettings + u"\\" + ids[n], u"Flags", value(n));
      mem.Put(HKLM, kExtensions + u"\\" + ids[n], u"ButtonText", value(n + 1));
    }
    mem.Put(HKLM, kExplorer, u"DownloadUI", value(0));
    mem.Put(HKLM, kExplorer32, u"DownloadUI", value(1));
  });
}

}  // namespace

// The browser add-on page as a property. Seeded random registrations in the
// twelve add-on locations, drawn from a small pool of identifiers (case variants,
// leading and inner backslashes, empty, one that fills a key name), classes with
// shared or empty names, a nested class key, per-user settings of every kind
// (flags of other types, values of other programs, subkeys), settings of add-ons
// that are not listed and settings under HKEY_LOCAL_MACHINE; then random
// rebuilds, ticks and applies, some with refused writes and deletes. After every
// step nothing changed outside the per-user settings keys of the listed add-ons.
// After an apply that met no refusal, each listed identifier's settings follow
// its last row: no settings key when ticked, "Flags" = 1 and "Version" = "*"
// when unticked, with every other value of the key still there when no row of
// that add-on was ticked.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "app/lib.h"
#include "pages/browser/browser.h"
#include "tests/support/fake_shell.h"
#include "tests/support/memory_lists.h"
#include "tests/support/memory_registry.h"
#include "tests/support/registry_property.h"

namespace {

using qvtest::MemoryRegistry;
using vek::RegValue;
using vek::Text;

constexpr uint32_t HKLM = vek::kHkeyLocalMachine;
constexpr uint32_t HKCU = vek::kHkeyCurrentUser;
constexpr uint32_t HKCR = vek::kHkeyClassesRoot;
const Text kSettings = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings";
const Text kExplorer = u"\\Software\\Microsoft\\Internet Explorer";
const Text kExplorer32 = u"\\Software\\Wow6432Node\\Microsoft\\Internet Explorer";

// The eleven keys that list add-ons by value or subkey name (the download
// handlers are values of kExplorer and kExplorer32).
struct Location {
  uint32_t Root;
  Text Key;
  bool ByValue;  // toolbars: value names; the others: subkey names
  bool Extension;
};
const Location kLocations[] = {
    {HKLM, kExplorer + u"\\Toolbar", true, false},
    {HKLM, kExplorer32 + u"\\Toolbar", true, false},
    {HKCU, kExplorer + u"\\Explorer Bars", false, false},
    {HKCU, kExplorer32 + u"\\Explorer Bars", false, false},
    {HKLM, u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects", false, false},
    {HKLM, u"\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects", false,
     false},
    {HKCU, kExplorer + u"\\Extensions", false, true},
    {HKCU, kExplorer32 + u"\\Extensions", false, true},
    {HKLM, kExplorer + u"\\Extensions", false, true},
    {HKLM, kExplorer32 + u"\\Extensions", false, true},
};

const Text kKeyIds[] = {u"{A}", u"{a}", u"{B}", u"{C}", u"{D}", Text(255, u'c')};
const Text kAnyIds[] = {u"{A}", u"{a}", u"{B}", u"{C}", u"{A}\\sub", u"\\{C}", u"\\\\Software\\Canary", u"\\", u""};
const Text kNames[] = {u"Toolbar", u"Helper", u"Same", u"same", u""};

class BrowserPageProperty {
 public:
  explicit BrowserPageProperty(uint64_t seed) : rng_(seed), faults_(mem_, rng_) {}

  MemoryRegistry& Registry() { return mem_; }
  std::string Log() const { return log_.str(); }

  // Takes the starting state: the add-ons listed (their registrations never
  // change) name the keys the page may change.
  void Begin() {
    pages::TCLSIDList listed;
    pages::browser::GetCLSID(listed);
    for (const auto& e : listed)
      if (lib::IsKeyName(e.CLSID)) own_.push_back(u"HKCU" + kSettings + u"\\" + e.CLSID);
    outside_ = qvtest::DumpOutside(mem_.Dump(), own_);
  }

  std::string Rebuild() {
    pages::browser::GetInfo(list_, rows_);
    log_ << "rebuild: " << rows_.RowCount() << " rows\n";
    return Check();
  }

  // A tick changes the rows only; the registry is checked after the next apply.
  void Tick(int row, bool checked) {
    rows_.SetChecked(row, checked);
    log_ << (checked ? "tick " : "untick ") << vek::ToUtf8(rows_.SubItem(row, 1).substr(0, 20)) << "\n";
  }

  void TickAll(bool checked) {
    for (int r = 0; r < rows_.RowCount(); ++r) Tick(r, checked);
  }

  std::string Apply() {
    const int firedBefore = faults_.Fired();
    const auto before = mem_.Dump();
    pages::browser::SetInfo(rows_);
    log_ << "apply (" << faults_.Fired() - firedBefore << " refused)\n";
    if (faults_.Fired() == firedBefore)
      if (std::string f = Applied(before); !f.empty()) return f;
    return Check();
  }

  // A random starting state and random steps.
  std::string Run() {
    Arrange();
    Begin();
    faults_.SetRate(std::uniform_int_distribution<int>(0, 3)(rng_) * 0.1);
    std::string failure = Rebuild();
    for (int step = Between(3, 10); failure.empty() && step > 0; --step) {
      const int what = Between(0, 9);
      if (what < 2)
        failure = Rebuild();
      else if (what < 6 && rows_.RowCount() > 0)
        Tick(Between(0, rows_.RowCount() - 1), Chance(50));
      else
        failure = Apply();
    }
    return failure;
  }

 private:
  template <typename T, size_t N>
  const T& Pick(const T (&pool)[N]) {
    return pool[Between(0, int(N) - 1)];
  }
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  bool Chance(int percent) { return Between(1, 100) <= percent; }

  RegValue RandomFlags() {
    switch (Between(0, 4)) {
      case 0: return RegValue::Dword(1);
      case 1: return RegValue::Dword(0);
      case 2: return RegValue::String(u"1");
      case 3: return RegValue::Qword(1);
      default: return RegValue::Dword(0x400);
    }
  }

  void Arrange() {
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

  // After an apply without refusals: each identifier's settings as its last row says.
  std::string Applied(const std::vector<MemoryRegistry::KeyDump>& before) {
    struct Ticks {
      bool Last = false, Any = false;
    };
    std::map<Text, Ticks> byId;
    for (int r = 0; r < rows_.RowCount(); ++r) {
      const Text id = rows_.SubItem(r, 1);
      if (!lib::IsKeyName(id)) continue;
      Ticks& t = byId[vek::UpperCase(id)];
      t.Last = rows_.Checked(r);
      t.Any = t.Any || t.Last;
    }
    for (const auto& [id, ticks] : byId) {
      const Text settings = kSettings + u"\\" + id;
      const std::string what = "add-on " + vek::ToUtf8(id.substr(0, 20)) + ": ";
      if (ticks.Last) {
        if (mem_.HasKey(HKCU, settings)) return what + "ticked, but its settings key is still there";
        continue;
      }
      if (mem_.Get(HKCU, settings, u"Flags") != RegValue::Dword(1) ||
          mem_.Get(HKCU, settings, u"Version") != RegValue::String(u"*"))
        return what + "unticked, but its settings do not say disabled";
      if (ticks.Any) continue;
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
    return qvtest::FirstDifference(outside_, qvtest::DumpOutside(mem_.Dump(), own_));
  }

  std::mt19937_64 rng_;
  MemoryRegistry mem_;
  vek::ScopedRegistryBackend backend_{mem_};
  qvtest::RandomFaults faults_;
  qvtest::FakeShell shell_;
  qvtest::ScopedShell scopedShell_{shell_};
  pages::TCLSIDList list_;
  qvtest::MemoryListView rows_;
  std::ostringstream log_;
  std::vector<Text> own_;  // the settings keys of the listed add-ons
  std::vector<MemoryRegistry::KeyDump> outside_;
};

TEST(BrowserPageProperty, ApplyingChangesOnlyTheSettingsOfListedAddOns) {
  qvtest::RunSequences(0xb505e000, [](uint64_t seed) {
    BrowserPageProperty property(seed);
    const std::string failure = property.Run();
    return failure.empty() ? failure : failure + "\nsteps:\n" + property.Log();
  });
}

// Identifiers of 16,383 units, empty ones, ones of backslashes only or leading
// into HKCU\Software, and values of every registry type as toolbar entries,
// download handlers and flags: ticking, applying and re-reading them all never
// crashes and touches nothing outside the listed add-ons' settings.
TEST(BrowserPageBadInput, OddIdentifiersAndEveryValueTypeTouchOnlyTheirSettings) {
  const Text ids[] = {Text(16383, u'i'), u"", u"\\", Text(200, u'\\'), u"\\\\Software\\Canary", Text(255, u'k'),
                      Text(256, u'k')};
  const std::vector<RegValue> values = {
      RegValue::String(u"{A}"),
      RegValue::String(u"\\Software\\Canary", vek::kRegExpandSz),
      RegValue::Dword(1),
      RegValue::Qword(2),
      RegValue::Binary({1, 2, 3}),
      RegValue::MultiString({u"{A}", u"x"}),
      RegValue{vek::kRegNone, {}},
      RegValue{vek::kRegSz, {}},
      RegValue{vek::kRegSz, {'{', 0, 'A', 0, '}'}},  // no terminating NUL, odd size
      RegValue{vek::kRegSz, std::vector<uint8_t>(40000, 'e')},
  };
  for (size_t round = 0; round < values.size(); ++round) {
    SCOPED_TRACE(round);
    BrowserPageProperty property(round);
    MemoryRegistry& mem = property.Registry();
    mem.Put(HKCU, u"Software\\Canary", u"v", RegValue::Dword(0xdeadbeef));
    mem.Put(HKCR, u"CLSID\\" + Text(255, u'k'), u"", values[round]);
    mem.Put(HKCR, u"CLSID\\{A}", u"", RegValue::String(u"Named"));
    for (size_t n = 0; n < std::size(ids); ++n) {
      for (size_t at = 0; at < 2; ++at)
        mem.Put(kLocations[at].Root, kLocations[at].Key, ids[n], values[(round + n + at) % values.size()]);
      mem.Put(HKCU, kSettings + u"\\" + ids[n], u"Flags", values[(round + n) % values.size()]);
      mem.Put(HKLM, kExplorer + u"\\Extensions\\" + ids[n], u"ButtonText", values[(round + n + 1) % values.size()]);
    }
    mem.Put(HKLM, kExplorer, u"DownloadUI", values[round]);
    mem.Put(HKLM, kExplorer32, u"DownloadUI", values[(round + 1) % values.size()]);
    property.Begin();
    std::string failure = property.Rebuild();
    for (const bool checked : {false, true, false, true}) {
      property.TickAll(checked);
      if (failure.empty()) failure = property.Apply();
      if (failure.empty()) failure = property.Rebuild();
    }
    EXPECT_EQ(failure, "") << property.Log();
  }
}

}  // namespace

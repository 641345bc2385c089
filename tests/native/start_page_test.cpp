// The startup entries page over the in-memory registry, a fake shell and an
// in-memory list view: which entries are read and shown, and what applying the
// ticks writes, including when the registry refuses a write.
#include <gtest/gtest.h>

#include <functional>

#include "core/folders.h"
#include "core/lib.h"
#include "pages/start/start.h"
#include "tests/support/fake_shell.h"
#include "tests/support/memory_lists.h"
#include "tests/support/memory_registry.h"
#include "tests/support/page_keys.h"
#include "vek/registry.h"
#include "vek/sysinfo.h"

namespace {

using pages::TStartList;
using qvtest::MemoryListView;
using vek::RegValue;
using vek::Text;

using qvtest::HKCU;
using qvtest::HKLM;
using qvtest::kRun;
using qvtest::kRun32;
using qvtest::kStore;

// Folder variables as the program builds them on 64-bit Windows.
class StartFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = core::FolderVars;
    core::FolderVars = {{u"%ProgramFiles%", u"C:\\Program Files"}, {u"%windir%", u"C:\\Windows"}};
  }
  void TearDown() override { core::FolderVars = saved_; }

 private:
  core::FolderVarList saved_;
};

using CommandToFileName = StartFolders;

TEST_F(CommandToFileName, FindsTheProgramFileOfRunCommands) {
  struct Case {
    Text command, file;
  } cases[] = {
      {u"\"C:\\Program Files\\Acme\\agent.exe\" /tray -q", u"C:\\Program Files\\Acme\\agent.exe"},
      {u"C:\\Acme\\agent.exe /tray", u"C:\\Acme\\agent.exe"},
      {u"\\??\\C:\\Acme\\svc.exe -start", u"C:\\Acme\\svc.exe"},
      {u"%ProgramFiles%\\Acme\\agent.exe -q", u"C:\\Program Files\\Acme\\agent.exe"},
      {u"C:\\Windows\\System32\\rundll32.exe \"C:\\Acme\\hook.dll\",Start 1", u"C:\\Acme\\hook.dll"},
      {u"rundll32.exe   C:\\Acme\\hook.dll,Start", u"C:\\Acme\\hook.dll"},
      {u"rundll32.exe \" %windir%\\hook.dll \",Run", u"C:\\Windows\\hook.dll"},
      {u"C:\\Windows\\System32\\RunDll32.exe \"C:\\Acme\\hook.dll\",Start", u"C:\\Windows\\System32\\RunDll32.exe"},
      {u"C:\\Windows\\System32\\rundll32.exe", u"C:\\Windows\\System32\\rundll32.exe"},
      {u"rundll32.exe \"C:\\Acme\\hook.dll,Start", u""},
      {u"C:\\\\Acme\\\\agent.exe", u"C:\\Acme\\agent.exe"},
      {u"C:\\Acme\\\\\\agent.exe", u"C:\\Acme\\\\agent.exe"},
      {u"\\??\\", u""},
      {u"", u""},
      {u"   ", u""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(pages::start::CommandToFileName(c.command), c.file) << vek::ToUtf8(c.command);
}

class StartPage : public StartFolders {
 protected:
  void SetUp() override {
    StartFolders::SetUp();
    shell.Files = {u"C:\\Acme\\agent.exe", u"C:\\Acme\\hook.dll"};
    shell.FilesWithIcons = {u"C:\\Acme\\agent.exe"};
    shell.Versions[{u"C:\\Acme\\agent.exe", u"ProductName"}] = u"Acme Agent";
    shell.Versions[{u"C:\\Acme\\agent.exe", u"CompanyName"}] = u"Acme Corp";
  }

  void Rebuild() {
    pages::start::GetInfo(list, rows, images);
  }
  void Apply() { pages::start::SetInfo(list, rows); }

  // The value's text when it is text of the given type; "<missing>" or "<type N>" otherwise.
  Text ValueOf(uint32_t root, const Text& key, const Text& name, uint32_t type = vek::kRegSz) {
    auto v = mem.Get(root, key, name);
    if (!v) return u"<missing>";
    if (v->Type != type) return u"<type " + vek::FromUtf8(std::to_string(v->Type)) + u">";
    return vek::RegDataText(v->Data);
  }
  int RowOf(const Text& item) { return core::FindSubItemIndex(rows, item, 0); }

  void Backup(const Text& name, const Text& command, const Text& hkey, const Text& key) {
    const Text path = kStore + u"\\" + name;
    mem.Put(HKLM, path, u"command", RegValue::String(command));
    mem.Put(HKLM, path, u"hkey", RegValue::String(hkey));
    mem.Put(HKLM, path, u"key", RegValue::String(key));
  }

  qvtest::MemoryRegistry mem;
  vek::ScopedRegistryBackend backend{mem};
  qvtest::FakeShell shell;
  qvtest::ScopedShell scopedShell{shell};
  TStartList list;
  MemoryListView rows;
  qvtest::MemoryImageList images;
};

TEST_F(StartPage, ListsRunKeysInOrderThenBackupsWithTheFirstEntryOfANameWinning) {
  mem.Put(HKLM, kRun, u"Agent", RegValue::String(u"\"C:\\Acme\\agent.exe\" /tray"));
  mem.Put(HKLM, kRun, u"Shared", RegValue::String(u"C:\\Acme\\hklm.exe"));
  mem.Put(HKLM, kRun32, u"Hook", RegValue::String(u"rundll32.exe \"C:\\Acme\\hook.dll\",Go"));
  mem.Put(HKCU, kRun, u"Shared", RegValue::String(u"C:\\Acme\\hkcu.exe"));
  mem.Put(HKCU, kRun, u"", RegValue::String(u"C:\\Acme\\default.exe"));
  mem.Put(HKCU, kRun, u"Number", RegValue::Dword(7));
  mem.Put(HKCU, kRun, u"Multi", RegValue::MultiString({u"C:\\Acme\\multi.exe"}));
  mem.Put(HKCU, kRun32, u"Broken", RegValue::String(u"rundll32.exe \"C:\\Acme\\hook.dll,Go"));
  Backup(u"Old", u"C:\\Old\\old.exe -x", u"HKCU", kRun);
  Backup(u"Agent", u"C:\\Acme\\agent.exe", u"HKLM", kRun);  // also a Run value: one row, ticked
  mem.AddKey(HKLM, kStore + u"\\Empty");                      // no values at all

  Rebuild();

  struct Row {
    Text caption, item, publisher, command;
    int image;
    bool checked;
  } want[] = {
      {u"Acme Agent", u"Agent", u"Acme Corp", u"\"C:\\Acme\\agent.exe\" /tray", 1, true},
      {u"Shared", u"Shared", u"알수없음", u"C:\\Acme\\hklm.exe", 0, true},
      {u"Hook", u"Hook", u"알수없음", u"rundll32.exe \"C:\\Acme\\hook.dll\",Go", 0, true},
      {u"Broken", u"Broken", u"알수없음", u"rundll32.exe \"C:\\Acme\\hook.dll,Go", 0, true},
      {u"Old", u"Old", u"알수없음", u"C:\\Old\\old.exe -x", 0, false},
  };
  ASSERT_EQ(rows.RowCount(), int(std::size(want)));
  for (int r = 0; r < rows.RowCount(); ++r) {
    const Row& w = want[r];
    EXPECT_EQ(rows.Caption(r), w.caption) << r;
    EXPECT_EQ(rows.SubItemCount(r), 3) << r;
    EXPECT_EQ(rows.SubItem(r, 0), w.item) << r;
    EXPECT_EQ(rows.SubItem(r, 1), w.publisher) << r;
    EXPECT_EQ(rows.SubItem(r, 2), w.command) << r;
    EXPECT_EQ(rows.ImageIndex(r), w.image) << r;
    EXPECT_EQ(rows.Checked(r), w.checked) << r;
  }
  EXPECT_EQ(list[2].FileName, u"C:\\Acme\\hook.dll");
  EXPECT_EQ(list[2].HKey, u"HKLM");
  EXPECT_EQ(list[2].Key, kRun32);
  EXPECT_EQ(list[7].FileName, u"");

  // Every entry is reported, duplicates and those without a row included.
  std::vector<Text> records;
  pages::start::LogInfo(list, records);
  std::vector<Text> items;
  for (const auto& e : list) items.push_back(e.Item);
  EXPECT_EQ(items, (std::vector<Text>{u"Agent", u"Shared", u"Hook", u"Shared", u"", u"Number", u"Multi", u"Broken",
                                      u"Agent", u"Empty", u"Old"}));
  ASSERT_EQ(records.size(), list.size());
  EXPECT_EQ(records[0], u"{\"cate\":\"start\",\"item\":\"Agent\",\"state\":\"on\"}");
  EXPECT_EQ(records.back(), u"{\"cate\":\"start\",\"item\":\"Old\",\"state\":\"stored\"}");
  EXPECT_EQ(list.back().Flags, 1);
  EXPECT_EQ(list.front().Flags, -1);
}

// The switches beside the Run keys as Task Manager leaves them, on Windows 10,
// and the same registry on Windows 7, where nothing reads them.
class StartPageSwitches : public StartPage, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    StartPage::SetUp();
    vek::SetRunningWindows(GetParam() ? vek::WindowsVersion{10, 0} : vek::WindowsVersion{6, 1});
  }
  void TearDown() override {
    vek::SetRunningWindows({});
    StartPage::TearDown();
  }
  static RegValue Switch(std::vector<uint8_t> bytes) { return RegValue::Binary(std::move(bytes)); }
  std::vector<Text> States() {
    std::vector<Text> records;
    pages::start::LogInfo(list, records);
    std::vector<Text> states;
    for (const Text& r : records) states.push_back(r.substr(r.rfind(u":\"") + 2, r.size() - r.rfind(u":\"") - 4));
    return states;
  }
};

INSTANTIATE_TEST_SUITE_P(, StartPageSwitches, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Windows10" : "Windows7"; });

TEST_P(StartPageSwitches, RowsFollowTheSwitchAndApplyingWritesItWhereWindowsReadsIt) {
  const bool reads = GetParam();
  const Text approved = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
  const RegValue off = Switch({0x03, 0, 0, 0, 0x10, 0x4a, 0xd3, 0x8e, 0x5f, 0x6b, 0xdb, 0x01});
  mem.Put(HKCU, kRun, u"Off", RegValue::String(u"%windir%\\off.exe", vek::kRegExpandSz));
  mem.Put(HKCU, approved, u"off", off);  // names compare without case
  mem.Put(HKCU, kRun, u"Odd", RegValue::String(u"C:\\odd.exe"));
  mem.Put(HKCU, approved, u"Odd", Switch({0x03, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));  // 13 bytes: enabled
  mem.Put(HKLM, kRun32, u"On", RegValue::String(u"C:\\on.exe"));
  mem.Put(HKLM, approved + u"32", u"On", Switch({0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  mem.Put(HKLM, approved, u"On", off);  // the native key's switch is not the Wow6432Node entry's
  Backup(u"Stored", u"C:\\stored.exe", u"HKCU", kRun);
  mem.Put(HKCU, approved, u"Stored", off);  // stale: no Run value of that name
  Rebuild();
  ASSERT_EQ(rows.RowCount(), 4);
  EXPECT_EQ(rows.Checked(RowOf(u"Off")), !reads);
  EXPECT_TRUE(rows.Checked(RowOf(u"Odd")));
  EXPECT_TRUE(rows.Checked(RowOf(u"On")));
  EXPECT_FALSE(rows.Checked(RowOf(u"Stored")));
  EXPECT_EQ(States(), (std::vector<Text>{u"on", reads ? u"off" : u"on", u"on", u"stored"}));

  // Nothing to change: nothing written.
  auto before = mem.Dump();
  EXPECT_TRUE(pages::start::SetInfo(list, rows).empty());
  EXPECT_EQ(mem.Dump(), before);

  // Ticking the switched-off entry and the stored one, unticking the odd one.
  rows.SetChecked(RowOf(u"Off"), true);
  rows.SetChecked(RowOf(u"Stored"), true);
  rows.SetChecked(RowOf(u"Odd"), false);
  const uint64_t t0 = pages::start::FileTimeNow();
  EXPECT_TRUE(pages::start::SetInfo(list, rows).empty());
  const RegValue enabled = Switch({0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Off", vek::kRegExpandSz), u"%windir%\\off.exe");
  EXPECT_EQ(mem.Get(HKCU, approved, u"Off"), reads ? enabled : off);
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Stored"), u"C:\\stored.exe");
  EXPECT_FALSE(mem.HasKey(HKLM, kStore + u"\\Stored"));
  EXPECT_EQ(mem.Get(HKCU, approved, u"Stored"), reads ? enabled : off);
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Odd"), u"<missing>");
  EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Odd", u"command"), u"C:\\odd.exe");
  const auto odd = mem.Get(HKCU, approved, u"Odd");
  if (reads) {
    ASSERT_TRUE(odd && odd->Type == vek::kRegBinary && odd->Data.size() == 12);
    EXPECT_EQ(std::vector<uint8_t>(odd->Data.begin(), odd->Data.begin() + 4), (std::vector<uint8_t>{3, 0, 0, 0}));
    uint64_t when = 0;
    for (int i = 11; i >= 4; --i) when = when << 8 | odd->Data[size_t(i)];
    EXPECT_GE(when, t0);
    EXPECT_LE(when, t0 + 600000000ull) << "within a minute of the apply";
  } else {
    EXPECT_EQ(odd, Switch({0x03, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  }

  // Its program writes the Run value back: where Windows reads the switch, the
  // entry stays off and its row unticked; before, the next apply deletes it again.
  mem.Put(HKCU, kRun, u"Odd", RegValue::String(u"C:\\odd.exe"));
  Rebuild();
  EXPECT_EQ(rows.Checked(RowOf(u"Odd")), !reads);
  rows.SetChecked(RowOf(u"Odd"), false);
  before = mem.Dump();
  EXPECT_TRUE(pages::start::SetInfo(list, rows).empty());
  if (reads) {
    EXPECT_EQ(mem.Dump(), before);
  } else {
    EXPECT_EQ(ValueOf(HKCU, kRun, u"Odd"), u"<missing>");
    EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Odd", u"command"), u"C:\\odd.exe");
  }
}

TEST_F(StartPage, ARebuildDropsTheIconsOfThePreviousOneAndForgetsUnappliedTicks) {
  mem.Put(HKCU, kRun, u"Agent", RegValue::String(u"C:\\Acme\\agent.exe"));
  Rebuild();
  rows.SetChecked(0, false);
  Rebuild();
  Rebuild();
  EXPECT_EQ(images.Count(), 2);
  ASSERT_EQ(rows.RowCount(), 1);
  EXPECT_EQ(rows.ImageIndex(0), 1);
  EXPECT_TRUE(rows.Checked(0));
}

TEST_F(StartPage, UntickedEntryMovesIntoTheStoreAndTickedBackupReturns) {
  mem.Put(HKCU, kRun, u"Agent", RegValue::String(u"C:\\Acme\\agent.exe /tray"));
  Backup(u"Old", u"C:\\Old\\old.exe", u"HKLM", kRun32);
  // The System Configuration utility's own layout: no leading backslash, more values.
  Backup(u"Tool", u"C:\\Tool\\tool.exe", u"HKCU", u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
  mem.Put(HKLM, kStore + u"\\Tool", u"YEAR", RegValue::Dword(2024));
  Rebuild();
  ASSERT_EQ(rows.RowCount(), 3);
  rows.SetChecked(RowOf(u"Agent"), false);
  rows.SetChecked(RowOf(u"Old"), true);
  rows.SetChecked(RowOf(u"Tool"), true);
  Apply();

  const Text agent = kStore + u"\\Agent";
  EXPECT_EQ(ValueOf(HKLM, agent, u"command"), u"C:\\Acme\\agent.exe /tray");
  EXPECT_EQ(ValueOf(HKLM, agent, u"hkey"), u"HKCU");
  EXPECT_EQ(ValueOf(HKLM, agent, u"key"), kRun);
  EXPECT_EQ(ValueOf(HKLM, agent, u"item"), u"Agent");
  EXPECT_EQ(ValueOf(HKLM, agent, u"inimapping"), u"0");
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Agent"), u"<missing>");

  EXPECT_EQ(ValueOf(HKLM, kRun32, u"Old"), u"C:\\Old\\old.exe");
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Tool"), u"C:\\Tool\\tool.exe");
  EXPECT_EQ(mem.SubKeys(HKLM, kStore), std::vector<Text>{u"Agent"});

  Rebuild();
  EXPECT_FALSE(rows.Checked(RowOf(u"Agent")));
  EXPECT_TRUE(rows.Checked(RowOf(u"Old")));
  EXPECT_TRUE(rows.Checked(RowOf(u"Tool")));
}

TEST_F(StartPage, ApplyingUnchangedRowsWritesNothingAndNeverOverwritesAnotherCommand) {
  mem.Put(HKLM, kRun, u"Plain", RegValue::String(u"C:\\Acme\\agent.exe"));
  mem.Put(HKLM, kRun, u"Expand", RegValue::String(u"%ProgramFiles%\\Acme\\agent.exe", vek::kRegExpandSz));
  Backup(u"Old", u"C:\\Old\\old.exe", u"HKLM", kRun);
  Rebuild();
  auto before = mem.Dump();
  EXPECT_TRUE(pages::start::SetInfo(list, rows).empty());
  EXPECT_EQ(mem.Dump(), before);

  // Another program put its own command under the name since the rebuild: the
  // ticked row does not write its command over it, and says so.
  mem.Put(HKLM, kRun, u"Plain", RegValue::String(u"C:\\Malware\\swapped.exe"));
  before = mem.Dump();
  EXPECT_EQ(pages::start::SetInfo(list, rows), std::vector<Text>{u"Plain"});
  EXPECT_EQ(mem.Dump(), before);
}

TEST_F(StartPage, ASecondApplyDeletesARunValueRecreatedMeanwhile) {
  mem.Put(HKCU, kRun, u"Agent", RegValue::String(u"C:\\Acme\\agent.exe"));
  Rebuild();
  rows.SetChecked(0, false);
  Apply();
  mem.Put(HKCU, kRun, u"Agent", RegValue::String(u"C:\\Acme\\agent.exe -again"));
  Apply();
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Agent"), u"<missing>");
  EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Agent", u"command"), u"C:\\Acme\\agent.exe");
}

TEST_F(StartPage, ARefusedFirstWriteNeverLosesTheEntry) {
  mem.Put(HKCU, kRun, u"Agent", RegValue::String(u"C:\\Acme\\agent.exe"));
  Backup(u"Old", u"C:\\Old\\old.exe", u"HKLM", kRun);
  Backup(u"Nowhere", u"C:\\Old\\nowhere.exe", u"HKXX", kRun);
  Rebuild();
  ASSERT_EQ(rows.RowCount(), 3);
  rows.SetChecked(RowOf(u"Agent"), false);
  rows.SetChecked(RowOf(u"Old"), true);
  rows.SetChecked(RowOf(u"Nowhere"), true);
  mem.RefuseWrites(HKLM, kRun);                  // Old cannot return
  mem.RefuseWrites(HKLM, kStore + u"\\Agent");  // Agent cannot be saved
  Apply();
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Agent"), u"C:\\Acme\\agent.exe");  // no backup could be made
  EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Old", u"command"), u"C:\\Old\\old.exe");
  EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Nowhere", u"command"), u"C:\\Old\\nowhere.exe");
  EXPECT_EQ(ValueOf(HKLM, kRun, u"Old"), u"<missing>");
}

TEST_F(StartPage, RowsActOnTheirOwnEntryWhenTwoNamesShareACommand) {
  mem.Put(HKCU, kRun, u"First", RegValue::String(u"C:\\Acme\\agent.exe"));
  mem.Put(HKCU, kRun, u"Second", RegValue::String(u"C:\\Acme\\agent.exe"));
  Rebuild();
  ASSERT_EQ(rows.RowCount(), 2);
  rows.SetChecked(1, false);
  Apply();
  EXPECT_EQ(ValueOf(HKCU, kRun, u"First"), u"C:\\Acme\\agent.exe");
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Second"), u"<missing>");
  EXPECT_EQ(mem.SubKeys(HKLM, kStore), std::vector<Text>{u"Second"});
}

// A backup made for a move whose second step was refused is taken back, so the
// entry is in one place only: still enabled, with no stale backup beside it.
TEST_F(StartPage, ARefusedRunValueDeleteTakesTheNewBackupBack) {
  mem.Put(HKCU, kRun, u"Agent", RegValue::String(u"C:\\Acme\\agent.exe"));
  Rebuild();
  rows.SetChecked(0, false);
  mem.InjectFaults([](qvtest::MemoryRegistry::Change change, uint32_t, const Text&) {
    return change == qvtest::MemoryRegistry::Change::DeleteValue;
  });
  Apply();
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Agent"), u"C:\\Acme\\agent.exe");
  EXPECT_FALSE(mem.HasKey(HKLM, kStore + u"\\Agent"));
}

// What the startup page did to entries that are not what they seem, each from a
// reported case: after the steps, where every command is.
TEST_F(StartPage, EntriesKeepTheirIdentity) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::vector<Text> steps;  // "apply", "rebuild", "tick NAME", "untick NAME", "untick all"
    std::function<void()> check;
  };
  const Text hklmKey = u"SOFTWARE\\X";
  const Case cases[] = {
      {"a Run value named \\\\SOFTWARE\\X applied unchanged leaves HKLM\\SOFTWARE\\X",
       [&] {
         mem.Put(HKLM, hklmKey, u"canary", RegValue::Dword(0xdeadbeef));
         mem.Put(HKCU, kRun, u"\\\\SOFTWARE\\X", RegValue::String(u"C:\\x.exe"));
         mem.Put(HKCU, kRun, u"\\\\SOFTWARE", RegValue::String(u"C:\\y.exe"));
       },
       {u"apply", u"untick all", u"apply"},
       [&] {
         EXPECT_EQ(mem.Get(HKLM, hklmKey, u"canary"), RegValue::Dword(0xdeadbeef));
         EXPECT_EQ(ValueOf(HKCU, kRun, u"\\\\SOFTWARE\\X"), u"C:\\x.exe");
         EXPECT_EQ(ValueOf(HKCU, kRun, u"\\\\SOFTWARE"), u"C:\\y.exe");
       }},
      {"a Run value named \\Foo leaves the backup of a disabled Foo alone",
       [&] {
         mem.Put(HKCU, kRun, u"\\Foo", RegValue::String(u"C:\\x.exe"));
         Backup(u"Foo", u"C:\\foo.exe", u"HKLM", kRun);
         mem.Put(HKLM, kStore + u"\\Foo", u"YEAR", RegValue::Dword(2024));
       },
       {u"apply"},
       [&] {
         EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Foo", u"command"), u"C:\\foo.exe");
         EXPECT_EQ(mem.Get(HKLM, kStore + u"\\Foo", u"YEAR"), RegValue::Dword(2024));
       }},
      {"the same name in the native and the 32-bit Run key, disabled twice, loses neither",
       [&] {
         mem.Put(HKLM, kRun, u"Dup", RegValue::String(u"C:\\native.exe"));
         mem.Put(HKLM, kRun32, u"Dup", RegValue::String(u"C:\\wow.exe"));
       },
       {u"untick all", u"apply", u"rebuild", u"untick all", u"apply"},
       [&] {
         EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Dup", u"command"), u"C:\\native.exe");
         EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Dup", u"key"), kRun);
         EXPECT_EQ(ValueOf(HKLM, kRun32, u"Dup"), u"C:\\wow.exe");  // stays enabled
         Rebuild();
         EXPECT_TRUE(rows.Checked(RowOf(u"Dup")));
       }},
      {"HKLM Foo and HKCU foo disabled together lose neither",
       [&] {
         mem.Put(HKLM, kRun, u"Foo", RegValue::String(u"C:\\machine.exe"));
         mem.Put(HKCU, kRun, u"foo", RegValue::String(u"C:\\user.exe"));
       },
       {u"untick all", u"apply"},
       [&] {
         EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Foo", u"command"), u"C:\\machine.exe");
         EXPECT_EQ(ValueOf(HKLM, kRun, u"Foo"), u"<missing>");
         EXPECT_EQ(ValueOf(HKCU, kRun, u"foo"), u"C:\\user.exe");
       }},
      {"a native backup beside an enabled 32-bit value of its name stays",
       [&] {
         Backup(u"X", u"C:\\native.exe", u"HKLM", kRun);
         mem.Put(HKLM, kRun32, u"X", RegValue::String(u"C:\\wow.exe"));
       },
       {u"apply"},
       [&] { EXPECT_EQ(ValueOf(HKLM, kStore + u"\\X", u"command"), u"C:\\native.exe"); }},
      {"an expandable command comes back expandable after a rebuild",
       [&] { mem.Put(HKCU, kRun, u"Exp", RegValue::String(u"%windir%\\x.exe", vek::kRegExpandSz)); },
       {u"untick all", u"apply", u"rebuild", u"tick Exp", u"apply"},
       [&] {
         EXPECT_EQ(ValueOf(HKCU, kRun, u"Exp", vek::kRegExpandSz), u"%windir%\\x.exe");
         EXPECT_EQ(ValueOf(HKLM, kStore + u"\\Exp", u"command"), u"<missing>");
       }},
      {"backups with an empty or missing key, or an unknown root, are never applied",
       [&] {
         Backup(u"Empty", u"C:\\empty.exe", u"HKCU", u"");
         Backup(u"Missing", u"C:\\missing.exe", u"HKCU", u"");
         mem.Put(HKLM, kStore + u"\\Missing", u"key", RegValue::Dword(0));
         Backup(u"Root", u"C:\\root.exe", u"HKXX", kRun);
         Backup(u"Place", u"C:\\place.exe", u"HKCU", u"\\Software\\Canary");
         mem.Put(HKCU, u"Software\\Canary", u"Place", RegValue::Dword(0xdeadbeef));
       },
       {u"tick Empty", u"tick Missing", u"tick Root", u"tick Place", u"apply", u"untick all", u"apply"},
       [&] {
         for (const Text name : {u"Empty", u"Missing", u"Root", u"Place"})
           EXPECT_TRUE(mem.HasKey(HKLM, kStore + u"\\" + name)) << vek::ToUtf8(name);
         EXPECT_TRUE(mem.ValueNames(HKCU, u"").empty());
         EXPECT_EQ(mem.Get(HKCU, u"Software\\Canary", u"Place"), RegValue::Dword(0xdeadbeef));
         EXPECT_TRUE(mem.ValueNames(HKCU, kRun).empty());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    mem.Clear();
    c.arrange();
    Rebuild();
    for (const Text& step : c.steps) {
      if (step == u"apply") {
        Apply();
      } else if (step == u"rebuild") {
        Rebuild();
      } else if (step == u"untick all") {
        for (int r = 0; r < rows.RowCount(); ++r) rows.SetChecked(r, false);
      } else {
        const bool tick = step.starts_with(u"tick ");
        const int row = RowOf(step.substr(tick ? 5 : 7));
        ASSERT_GE(row, 0) << vek::ToUtf8(step);
        rows.SetChecked(row, tick);
      }
    }
    c.check();
  }
}

TEST_F(StartPage, NameWithABackslashStaysEnabledRatherThanLandInANestedBackup) {
  mem.Put(HKCU, kRun, u"Acme\\Agent", RegValue::String(u"C:\\Acme\\agent.exe"));
  Rebuild();
  ASSERT_EQ(rows.RowCount(), 1);
  rows.SetChecked(0, false);
  Apply();
  EXPECT_EQ(ValueOf(HKCU, kRun, u"Acme\\Agent"), u"C:\\Acme\\agent.exe");
  EXPECT_FALSE(mem.HasKey(HKLM, kStore + u"\\Acme"));
}

TEST_F(StartPage, UnreadableKeysContributeNothing) {
  mem.Put(HKLM, kRun, u"Agent", RegValue::String(u"C:\\Acme\\agent.exe"));
  mem.Put(HKCU, kRun, u"Other", RegValue::String(u"C:\\Acme\\other.exe"));
  Backup(u"Old", u"C:\\Old\\old.exe", u"HKLM", kRun);
  mem.DenyOpen(HKLM, kRun);
  mem.DenyOpen(HKLM, kStore);
  Rebuild();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Item, u"Other");
  EXPECT_EQ(mem.OpenHandles(), 0);
}

}  // namespace

// The shared helpers: root-key names, one-shot registry operations over the
// in-memory registry, file icons, version strings and list-view look-ups.
#include <gtest/gtest.h>

#include "core/lib.h"
#include "tests/support/fake_shell.h"
#include "tests/support/memory_lists.h"
#include "tests/support/memory_registry.h"
#include "vek/registry.h"

namespace {

using qvtest::MemoryRegistry;
using vek::RegValue;
using vek::Text;

constexpr uint32_t HKLM = vek::kHkeyLocalMachine;
constexpr uint32_t HKCU = vek::kHkeyCurrentUser;

TEST(RootKeyName, NamesEveryPredefinedKeyAndNothingElse) {
  struct Case {
    uint32_t key;
    Text longName, shortName;
  } cases[] = {
      {0x80000000, u"HKEY_CLASSES_ROOT", u"HKCR"},
      {0x80000001, u"HKEY_CURRENT_USER", u"HKCU"},
      {0x80000002, u"HKEY_LOCAL_MACHINE", u"HKLM"},
      {0x80000003, u"HKEY_USERS", u"HKU"},
      {0x80000004, u"HKEY_PERFORMANCE_DATA", u"HKEY_PERFORMANCE_DATA"},
      {0x80000005, u"HKEY_CURRENT_CONFIG", u"HKEY_CURRENT_CONFIG"},
      {0x80000006, u"HKEY_DYN_DATA", u"HKEY_DYN_DATA"},
      {0x7FFFFFFF, u"", u""},
      {0x80000007, u"", u""},
      {0, u"", u""},
      {0xFFFFFFFF, u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(core::RootKeyName(c.key, false), c.longName) << std::hex << c.key;
    EXPECT_EQ(core::RootKeyName(c.key, true), c.shortName) << std::hex << c.key;
    if (!c.longName.empty()) {
      EXPECT_EQ(core::RootKeyFromName(c.longName), c.key);
      EXPECT_EQ(core::RootKeyFromName(c.shortName), c.key);
    }
  }
}

TEST(RootKeyFromName, AnyAsciiCaseButOnlyWholeNames) {
  struct Case {
    Text name;
    uint32_t key;
  } cases[] = {
      {u"hkcu", 0x80000001}, {u"HkEy_Local_Machine", 0x80000002}, {u"hku", 0x80000003},
      {u"", 0}, {u"HKLM\\Software", 0}, {u" HKLM", 0}, {u"HKLM ", 0}, {u"HKEY", 0}, {u"HKLMX", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(core::RootKeyFromName(c.name), c.key) << vek::ToUtf8(c.name);
}

class RegHelpers : public ::testing::Test {
 protected:
  MemoryRegistry mem;
  vek::ScopedRegistryBackend use{mem};
  void TearDown() override { EXPECT_EQ(mem.OpenHandles(), 0) << "a helper left a key open"; }
};

TEST_F(RegHelpers, ReadsGiveNeutralResultsForMissingAndOtherTypes) {
  mem.Put(HKCU, u"K", u"dw", RegValue::Dword(0xFFFFFFFE));
  mem.Put(HKCU, u"K", u"sz", RegValue::String(u"text"));
  mem.Put(HKCU, u"K", u"ex", RegValue::String(u"%ProgramFiles%\\x", vek::kRegExpandSz));
  mem.Put(HKCU, u"K", u"bin", RegValue::Binary({'a', 0}));
  struct Case {
    Text key, name;
    int32_t integer;
    Text string;
  } cases[] = {
      {u"\\K", u"dw", -2, u""},
      {u"K", u"sz", -1, u"text"},
      {u"K", u"ex", -1, u"%ProgramFiles%\\x"},
      {u"K", u"bin", -1, u""},
      {u"K", u"missing", -1, u""},
      {u"\\Missing", u"dw", -1, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(vek::ToUtf8(c.key + u"/" + c.name));
    EXPECT_EQ(core::ReadRegInteger(HKCU, c.key, c.name), c.integer);
    EXPECT_EQ(core::ReadRegString(HKCU, c.key, c.name), c.string);
  }
  EXPECT_FALSE(mem.HasKey(HKCU, u"Missing")) << "reads never create";
}

TEST_F(RegHelpers, ListsEmptyTheCallersListFirst) {
  mem.AddKey(HKLM, u"Run\\B");
  mem.AddKey(HKLM, u"Run\\A");
  mem.Put(HKLM, u"Run", u"z", RegValue::String(u""));
  mem.Put(HKLM, u"Run", u"", RegValue::String(u""));
  std::vector<Text> list{u"stale"};
  EXPECT_EQ(core::ListRegKeys(HKLM, u"\\Run", list), 2);
  EXPECT_EQ(list, (std::vector<Text>{u"A", u"B"}));
  EXPECT_EQ(core::ListRegValues(HKLM, u"Run", list), 2);
  EXPECT_EQ(list, (std::vector<Text>{u"z", u""}));
  EXPECT_EQ(core::ListRegKeys(HKLM, u"\\Missing", list), 0);
  EXPECT_TRUE(list.empty());
  list = {u"stale"};
  mem.DenyOpen(HKLM, u"Run");
  EXPECT_EQ(core::ListRegValues(HKLM, u"Run", list), 0);
  EXPECT_TRUE(list.empty());
}

// A key that grants only KEY_QUERY_VALUE still opens read-only: its values read,
// its subkeys do not list.
TEST_F(RegHelpers, QueryOnlyKeyReadsButDoesNotList) {
  mem.Put(HKLM, u"Q", u"v", RegValue::Dword(3));
  mem.AddKey(HKLM, u"Q\\Sub");
  mem.SetRights(HKLM, u"Q", vek::kKeyQueryValue);
  std::vector<Text> list;
  EXPECT_EQ(core::ReadRegInteger(HKLM, u"Q", u"v"), 3);
  EXPECT_EQ(core::ListRegKeys(HKLM, u"Q", list), 0);
  EXPECT_EQ(core::ListRegValues(HKLM, u"Q", list), 1);
}

TEST_F(RegHelpers, WritesCreateTheKeyPathAndStoreTheirTypes) {
  EXPECT_TRUE(core::WriteRegString(HKCU, u"\\A\\B", u"s", u"x"));
  EXPECT_TRUE(core::WriteRegInteger(HKCU, u"A\\B", u"i", -1));
  EXPECT_EQ(mem.Get(HKCU, u"A\\B", u"s"), RegValue::String(u"x"));
  EXPECT_EQ(mem.Get(HKCU, u"A\\B", u"i"), RegValue::Dword(0xFFFFFFFF));
}

TEST_F(RegHelpers, DeletesCreateAMissingPathAndOtherwiseDoNothing) {
  EXPECT_FALSE(core::DeleteRegValue(HKCU, u"\\New\\Path", u"v"));
  EXPECT_TRUE(mem.HasKey(HKCU, u"New\\Path"));
  EXPECT_TRUE(mem.ValueNames(HKCU, u"New\\Path").empty());
  EXPECT_FALSE(core::DeleteRegKey(HKCU, u"\\Other", u"Sub"));
  EXPECT_TRUE(mem.HasKey(HKCU, u"Other"));
}

TEST_F(RegHelpers, DeleteRegKeyRemovesTheSubkeyTreeOnly) {
  mem.Put(HKLM, u"S\\startupreg\\App\\x", u"v", RegValue::Dword(1));
  mem.Put(HKLM, u"S\\startupreg\\Other", u"v", RegValue::Dword(1));
  EXPECT_TRUE(core::DeleteRegKey(HKLM, u"\\S\\startupreg", u"app"));
  EXPECT_EQ(mem.SubKeys(HKLM, u"S\\startupreg"), std::vector<Text>{u"Other"});
}

// A name from outside is one key name or nothing: every helper that puts one
// into a key path refuses the others before opening anything, so a Run value
// named "\\SOFTWARE\\X" can never reach HKLM\SOFTWARE\X.
TEST_F(RegHelpers, NamesThatAreNotOneKeyNameTouchNothing) {
  mem.Put(HKLM, u"SOFTWARE\\X", u"canary", RegValue::Dword(0xdeadbeef));
  mem.Put(HKLM, u"Store\\X", u"canary", RegValue::Dword(0xdeadbeef));
  mem.Put(HKLM, u"Store\\Y", u"canary", RegValue::Dword(0xdeadbeef));
  const auto before = mem.Dump();
  for (const Text& name : {Text(), Text(u"\\"), Text(u"\\\\"), Text(u"\\X"), Text(u"\\\\SOFTWARE\\X"),
                           Text(u"\\SOFTWARE"), Text(u"X\\"), Text(u"Y\\..\\X"), Text(u"X\0Y", 3)}) {
    SCOPED_TRACE(vek::ToUtf8(name));
    EXPECT_FALSE(core::IsKeyName(name));
    EXPECT_EQ(core::SubKeyPath(u"\\Store", name), std::nullopt);
    EXPECT_FALSE(core::DeleteRegKey(HKLM, u"\\Store", name));
    EXPECT_FALSE(core::DeleteRegKey(HKLM, u"\\Missing", name));
    EXPECT_FALSE(core::WriteRegSubKeyString(HKLM, u"\\Store", name, u"canary", u"x"));
    EXPECT_FALSE(core::WriteRegSubKeyInteger(HKLM, u"\\Missing", name, u"canary", 1));
    EXPECT_EQ(mem.Dump(), before);
  }
  // Value names may hold backslashes; a NUL would make Windows address another value.
  EXPECT_TRUE(core::WriteRegString(HKLM, u"Store\\Y", u"\\SOFTWARE\\X", u"v"));
  EXPECT_EQ(mem.Get(HKLM, u"Store\\Y", u"\\SOFTWARE\\X"), RegValue::String(u"v"));
  const Text withNul(u"canary\0x", 8);
  EXPECT_FALSE(core::WriteRegString(HKLM, u"Store\\Y", withNul, u"v"));
  EXPECT_FALSE(core::DeleteRegValue(HKLM, u"Store\\Y", withNul));
  EXPECT_EQ(core::ReadRegInteger(HKLM, u"Store\\Y", withNul), -1);
  EXPECT_EQ(mem.Get(HKLM, u"Store\\Y", u"canary"), RegValue::Dword(0xdeadbeef));

  EXPECT_EQ(core::SubKeyPath(u"\\Store", u"Y"), Text(u"\\Store\\Y"));
  EXPECT_TRUE(core::WriteRegSubKeyInteger(HKLM, u"\\Store", u"y", u"n", 7));
  EXPECT_EQ(mem.Get(HKLM, u"Store\\Y", u"n"), RegValue::Dword(7));
  EXPECT_TRUE(core::DeleteRegKey(HKLM, u"\\Store", u"x"));
  EXPECT_TRUE(mem.HasKey(HKLM, u"SOFTWARE\\X"));
  EXPECT_FALSE(mem.HasKey(HKLM, u"Store\\X"));
}

TEST_F(RegHelpers, RefusedKeyLeavesWritesWithoutEffect) {
  mem.Put(HKLM, u"Run", u"a", RegValue::String(u"1"));
  mem.RefuseWrites(HKLM, u"Run");
  EXPECT_FALSE(core::WriteRegString(HKLM, u"Run", u"b", u"2"));
  EXPECT_FALSE(core::DeleteRegValue(HKLM, u"Run", u"a"));
  EXPECT_EQ(mem.ValueNames(HKLM, u"Run"), std::vector<Text>{u"a"});
  EXPECT_EQ(core::ReadRegString(HKLM, u"Run", u"a"), u"1");
}

TEST_F(RegHelpers, EachHelperOpensItsOwnKeyPerCall) {
  mem.Put(HKCU, u"K", u"v", RegValue::Dword(1));
  const int before = mem.OpensGranted();
  core::ReadRegInteger(HKCU, u"K", u"v");
  core::ReadRegInteger(HKCU, u"K", u"v");
  EXPECT_EQ(mem.OpensGranted() - before, 2);
}

class ShellHelpers : public ::testing::Test {
 protected:
  qvtest::FakeShell shell;
  qvtest::ScopedShell use{shell};
  qvtest::MemoryImageList images;
};

TEST_F(ShellHelpers, SpecialFolderLosesItsTrailingBackslash) {
  shell.Folders = {{26, u"C:\\Users\\u\\AppData\\Roaming"}, {36, u"C:\\Windows\\"}, {99, u"D:\\"}};
  EXPECT_EQ(core::GetSpecialFolder(26), u"C:\\Users\\u\\AppData\\Roaming");
  EXPECT_EQ(core::GetSpecialFolder(36), u"C:\\Windows");
  EXPECT_EQ(core::GetSpecialFolder(99), u"D:");
  EXPECT_EQ(core::GetSpecialFolder(12345), u"");
}

TEST_F(ShellHelpers, AddFileIconAsksForTheFileTheTextNames) {
  shell.Files = {u"C:\\App\\app.exe", u"C:\\No Icon.txt"};
  shell.FilesWithIcons = {u"C:\\App\\app.exe"};
  struct Case {
    Text text;
    int index;
    Text asked;  // empty: no icon asked for
  } cases[] = {
      {u"\"C:\\App\\app.exe\",3", 1, u"C:\\App\\app.exe"},
      {u"C:\\App\\app.exe,5", 2, u"C:\\App\\app.exe"},
      {u" \t\"C:\\App\\app.exe\" /S ", 3, u"C:\\App\\app.exe"},
      {u"\"C:\\App\\app.exe", 7, u""},  // no closing quote
      {u"C:\\App\\missing.exe", 7, u""},
      {u"C:\\No Icon.txt", 7, u"C:\\No Icon.txt"},
      {u"", 7, u""},
      {u",0", 7, u""},
  };
  for (const Case& c : cases) {
    shell.IconRequests.clear();
    EXPECT_EQ(core::AddFileIcon(images, c.text, 7), c.index) << vek::ToUtf8(c.text);
    EXPECT_EQ(shell.IconRequests, c.asked.empty() ? std::vector<Text>{} : std::vector<Text>{c.asked});
  }
  EXPECT_EQ(images.Added().size(), 3u);
}

TEST_F(ShellHelpers, VersionValueOnlyForExistingFiles) {
  shell.Files = {u"C:\\a.exe"};
  shell.Versions[{u"C:\\a.exe", u"CompanyName"}] = u"회사";
  shell.Versions[{u"C:\\gone.exe", u"CompanyName"}] = u"stale";
  EXPECT_EQ(core::GetFileVersionValue(u"C:\\a.exe", u"CompanyName"), u"회사");
  EXPECT_EQ(core::GetFileVersionValue(u"C:\\a.exe", u"ProductName"), u"");
  EXPECT_EQ(core::GetFileVersionValue(u"C:\\gone.exe", u"CompanyName"), u"");
  EXPECT_EQ(core::VersionQueryPath(0x0412, 0x04B0, u"CompanyName"), u"\\StringFileInfo\\041204b0\\CompanyName");
  EXPECT_EQ(core::VersionQueryPath(0xFFFF, 0, u""), u"\\StringFileInfo\\ffff0000\\");
}

TEST(ListLookups, FirstExactMatchCaseIncluded) {
  qvtest::MemoryListView view;
  view.AddRow(u"Toolbar", {u"a", u"HKLM"}, 0, true);
  view.AddRow(u"toolbar", {u"b", u"HKCU"}, 0, true);
  view.AddRow(u"Toolbar", {u"c", u"HKCU"}, 0, false);
  view.AddRow(u"Short", {}, 0, false);
  EXPECT_EQ(core::FindCaptionIndex(view, u"Toolbar"), 0);
  EXPECT_EQ(core::FindCaptionIndex(view, u"toolbar"), 1);
  EXPECT_EQ(core::FindCaptionIndex(view, u"Tool"), -1);
  EXPECT_EQ(core::FindSubItemIndex(view, u"HKCU", 1), 1);
  EXPECT_EQ(core::FindSubItemIndex(view, u"hkcu", 1), -1);
  EXPECT_EQ(core::FindSubItemIndex(view, u"c", 0), 2);
  // A row without that sub-item never matches, not even the empty text.
  EXPECT_EQ(core::FindSubItemIndex(view, u"", 1), -1);
  EXPECT_EQ(core::FindSubItemIndex(view, u"a", -1), -1);
  view.Clear();
  EXPECT_EQ(core::FindCaptionIndex(view, u"Toolbar"), -1);
}

}  // namespace

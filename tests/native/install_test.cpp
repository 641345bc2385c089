// The installed-program inventory over the in-memory registry and file system:
// which entries are listed, deduplication across the four keys, icon paths and
// numbers, install dates and the newest-first order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/support/memory_install_files.h"
#include "tests/support/memory_registry.h"
#include "vek/install.h"
#include "vek/sysinfo.h"

namespace {

using qvtest::MemoryInstallFiles;
using qvtest::MemoryRegistry;
using vek::FileEntry;
using vek::RegValue;
using vek::Text;

constexpr uint32_t HKLM = vek::kHkeyLocalMachine;
constexpr uint32_t HKCU = vek::kHkeyCurrentUser;
constexpr char16_t kNative[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char16_t kWow[] = u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char16_t kGuid[] = u"{6F1C4C6A-8E34-4F8A-9E8B-0C1D2E3F4A5B}";

class InstallTest : public ::testing::Test {
 protected:
  InstallTest() {
    files.Env = {{u"WinDir", u"C:\\Windows"},
                 {u"ProgramFiles", u"C:\\Program Files (x86)"},
                 {u"ProgramW6432", u"C:\\Program Files"}};
    vek::SetNativeX64(true);
  }
  ~InstallTest() override { vek::SetNativeX64(false); }

  // An entry with a name and an uninstall command unless the values say otherwise;
  // a value holding nullopt is left out.
  void Entry(uint32_t root, const char16_t* key, const Text& sub,
             std::vector<std::pair<Text, std::optional<RegValue>>> values) {
    std::map<Text, std::optional<RegValue>> all{{u"DisplayName", RegValue::String(sub)},
                                                {u"UninstallString", RegValue::String(u"C:\\u\\" + sub + u".exe")}};
    for (auto& [name, value] : values) all[name] = value;
    Text path = Text(key) + u"\\" + sub;
    mem.AddKey(root, path);
    for (auto& [name, value] : all)
      if (value) mem.Put(root, path, name, *value);
  }
  vek::TInstallList Read() {
    vek::TInstallList list;
    vek::GetInstall(list);
    return list;
  }
  static std::vector<Text> Names(const vek::TInstallList& list) {
    std::vector<Text> names;
    for (const auto& r : list) names.push_back(r->DisplayName);
    return names;
  }

  MemoryRegistry mem;
  vek::ScopedRegistryBackend use{mem};
  MemoryInstallFiles files;
  qvtest::ScopedInstallFiles useFiles{files};
};

RegValue S(const Text& s) { return RegValue::String(s); }
RegValue D(uint32_t d) { return RegValue::Dword(d); }

TEST_F(InstallTest, SkipRules) {
  struct Case {
    Text key;
    std::vector<std::pair<Text, std::optional<RegValue>>> values;
    bool listed;
  };
  const std::vector<Case> cases = {
      {u"SystemComponentDword1", {{u"SystemComponent", D(1)}}, false},
      {u"SystemComponentText1", {{u"SystemComponent", S(u"1")}}, true},
      {u"SystemComponentDword0", {{u"SystemComponent", D(0)}}, true},
      {u"NoRemoveDword0", {{u"NoRemove", D(0)}}, true},
      {u"NoRemoveDword7", {{u"NoRemove", D(7)}}, false},
      {u"NoRemoveBinary", {{u"NoRemove", RegValue::Binary({1, 0, 0, 0})}}, true},
      {u"ParentKeyNameEmpty", {{u"ParentKeyName", S(u"")}}, false},
      {u"ParentKeyNameDword", {{u"ParentKeyName", D(0)}}, false},
      {u"NoUninstallString", {{u"UninstallString", std::nullopt}}, false},
      {u"EmptyUninstallString", {{u"UninstallString", S(u"")}}, false},
      {u"UninstallStringBinary", {{u"UninstallString", RegValue::Binary({0x41, 0})}}, false},
      {u"NoDisplayName", {{u"DisplayName", std::nullopt}}, false},
      {u"DisplayNameMultiString", {{u"DisplayName", RegValue::MultiString({u"x"})}}, false},
      {u"DisplayNameDword", {{u"DisplayName", D(42)}}, true},
  };
  std::vector<Text> expected;
  for (const Case& c : cases) {
    Entry(HKLM, kNative, c.key, c.values);
    if (c.listed) expected.push_back(c.key == u"DisplayNameDword" ? Text(u"42") : c.key);
  }
  // Entries are read in the registry's enumeration order, not in this table's.
  std::vector<Text> listed = Names(Read());
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
}

TEST_F(InstallTest, KeysAreReadInOrderAndDuplicatesKeepTheFirst) {
  Entry(HKLM, kNative, u"A", {{u"Publisher", S(u"P")}, {u"DisplayVersion", S(u"native")}});
  Entry(HKLM, kWow, u"A", {{u"Publisher", S(u"P")}, {u"DisplayVersion", S(u"wow")}});
  Entry(HKLM, kWow, u"A2", {{u"DisplayName", S(u"  A \t")}, {u"Publisher", S(u" P ")}});  // trimmed: same pair
  Entry(HKLM, kWow, u"AOther", {{u"DisplayName", S(u"A")}, {u"Publisher", S(u"Q")}});
  Entry(HKCU, kNative, u"B", {{u"Publisher", S(u"Pub ")}});
  Entry(HKCU, kWow, u"B", {{u"Publisher", S(u"Pub ")}});  // stored "Pub " never equals trimmed "Pub"
  Entry(HKCU, kWow, u"C", {});
  vek::TInstallList list = Read();
  EXPECT_EQ(Names(list), (std::vector<Text>{u"A", u"A", u"B", u"B", u"C"}));
  EXPECT_EQ(list[0]->DisplayVersion, u"native");
  EXPECT_EQ(list[1]->Publisher, u"Q");
  EXPECT_EQ(list[2]->Publisher, u"Pub ");
}

TEST_F(InstallTest, UnreadableKeysAndEntriesArePassedOver) {
  Entry(HKLM, kNative, u"Hidden", {});
  mem.DenyOpen(HKLM, Text(kNative) + u"\\Hidden");
  Entry(HKLM, kNative, u"Shown", {});
  Entry(HKCU, kNative, u"Gone", {});
  mem.DenyOpen(HKCU, kNative);
  EXPECT_EQ(Names(Read()), std::vector<Text>{u"Shown"});
}

TEST_F(InstallTest, FillsEveryFieldAndEmptiesTheListFirst) {
  Entry(HKLM, kNative, u"{X}", {{u"DisplayName", S(u"  Delfino G3  ")},
                                {u"DisplayVersion", D(3)},
                                {u"EstimatedSize", D(1234)},
                                {u"HelpLink", S(u"h")},
                                {u"InstallLocation", RegValue::String(u"%ProgramFiles%\\D", vek::kRegExpandSz)},
                                {u"Publisher", S(u"Wizvera ")},
                                {u"URLInfoAbout", S(u"u")},
                                {u"InstallDate", S(u"2023-12-12")},
                                {u"DisplayIcon", S(u"\"%PROGRAMFILES%\\D\\d.exe\",3")},
                                {u"UninstallString", S(u"%programfiles%\\D\\un.exe %ProgramFiles%")}});
  vek::TInstallList list;
  list.push_back(std::make_unique<vek::TInstallInfo>());
  vek::GetInstall(list);
  ASSERT_EQ(list.size(), 1u);
  const vek::TInstallInfo& r = *list[0];
  EXPECT_EQ(r.DisplayName, u"Delfino G3");
  EXPECT_EQ(r.DisplayVersion, u"3");
  EXPECT_EQ(r.EstimatedSize, 1234);
  EXPECT_EQ(r.HelpLink, u"h");
  EXPECT_EQ(r.InstallLocation, u"%ProgramFiles%\\D");
  EXPECT_EQ(r.Publisher, u"Wizvera ");
  EXPECT_EQ(r.URLInfoAbout, u"u");
  EXPECT_EQ(r.InstallDate, u"20231212");
  EXPECT_EQ(r.DisplayIcon, u"C:\\Program Files\\D\\d.exe");
  EXPECT_EQ(r.DisplayIconIndex, 3);
  EXPECT_EQ(r.UninstallString, u"C:\\Program Files\\D\\un.exe %ProgramFiles%");
}

TEST_F(InstallTest, IconPathAndNumber) {
  files.Folders[Text(u"C:\\Windows\\Installer\\") + kGuid] = {
      {u".", true}, {u"..", true}, {u"sub", true}, {u"ARPPRODUCTICON.exe", false, true, true}, {u"b.ico"}};
  struct Case {
    Text text;
    Text path;
    int index;
  };
  const Case cases[] = {
      {u"\"C:\\a b\\a.exe\",-101", u"C:\\a b\\a.exe", 0},
      {u"\"C:\\a b\\a.exe\",7", u"C:\\a b\\a.exe", 7},
      {u"\"C:\\a b\\a.exe\",101", u"C:\\a b\\a.exe", 0},
      {u"\"C:\\a b\\a.exe,5\"", u"C:\\a b\\a.exe", 5},
      {u"\"C:\\a b\\a.exe\" /uninstall", u"C:\\a b\\a.exe", 0},
      {u"\"C:\\a b\\a.exe", u"", 0},
      {u"\"", u"", 0},
      {u"C:\\a.exe,100", u"C:\\a.exe", 100},
      {u"C:\\a.exe, 2 ", u"C:\\a.exe", 2},
      {u"C:\\a.exe,-1", u"C:\\a.exe", 0},
      {u"C:\\a.exe,65543", u"C:\\a.exe", 0},
      {u"C:\\a.exe,99999999999999999999", u"C:\\a.exe", 0},
      {u"C:\\a.exe,x", u"C:\\a.exe", 0},
      {u"C:\\a.exe,", u"C:\\a.exe", 0},
      {u"%ProgramFiles%\\App\\a.exe,1", u"C:\\Program Files\\App\\a.exe", 1},
      {Text(u"MsiExec.exe /X") + kGuid, Text(u"C:\\Windows\\Installer\\") + kGuid + u"\\ARPPRODUCTICON.exe", 0},
      {u"msiexec /x{00000000-0000-0000-0000-000000000000}", u"C:\\Windows\\System32\\msiexec.exe", 0},
      {u"MsiExec.exe /X6F1C4C6A}", u"C:\\Windows\\System32\\msiexec.exe", 0},
      {u"MsiExec.exe /X}{", u"C:\\Windows\\System32\\msiexec.exe", 0},
      {u"", u"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(vek::ToUtf8(c.text));
    vek::IconRef ref = vek::IconOf(c.text);
    EXPECT_EQ(ref.Path, c.path);
    EXPECT_EQ(ref.Index, c.index);
  }
}

TEST_F(InstallTest, WithoutDisplayIconTheUninstallCommandGivesTheIcon) {
  Entry(HKLM, kNative, u"Msi", {{u"UninstallString", S(Text(u"MsiExec.exe /X") + kGuid)}});
  Entry(HKLM, kNative, u"Plain", {{u"UninstallString", S(u"\"%ProgramFiles%\\P\\un.exe\" /S")}});
  vek::TInstallList list = Read();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->DisplayIcon, u"C:\\Windows\\System32\\msiexec.exe");
  EXPECT_EQ(list[0]->UninstallString, Text(u"MsiExec.exe /X") + kGuid);
  EXPECT_EQ(list[1]->DisplayIcon, u"C:\\Program Files\\P\\un.exe");
}

TEST_F(InstallTest, MissingWinDirFindsNoCachedIcon) {
  files.Env.erase(u"WinDir");
  files.Folders[Text(u"C:\\Windows\\Installer\\") + kGuid] = {{u"a.ico"}};
  EXPECT_EQ(vek::GetMsiCachedIcon(Text(u"msiexec /x") + kGuid), u"");
  EXPECT_EQ(files.Listed, std::vector<Text>{Text(u"\\Installer\\") + kGuid});
}

TEST_F(InstallTest, ProgramFilesExpansion) {
  struct Case {
    bool nativeX64;
    Text text, expanded;
  };
  const Case cases[] = {
      {true, u"%programfiles%\\a %ProgramFiles%\\b", u"C:\\Program Files\\a %ProgramFiles%\\b"},
      {false, u"x %PROGRAMFILES%", u"x C:\\Program Files (x86)"},
      {true, u"%ProgramFiles\\a", u"%ProgramFiles\\a"},
      {true, u"", u""},
  };
  for (const Case& c : cases) {
    vek::SetNativeX64(c.nativeX64);
    EXPECT_EQ(vek::ExpandProgramFiles(c.text), c.expanded) << vek::ToUtf8(c.text);
  }
}

TEST_F(InstallTest, InstallDateFromDigitsElseFromTheIconFolder) {
  files.Files = {u"C:\\D\\d.exe", u"C:\\H\\h.exe"};
  files.Entries[u"C:\\D"] = {u"D", true, false, false, 2021, 3, 4};
  files.Entries[u"C:\\H"] = {u"H", true, true, false, 2021, 3, 4};
  struct Case {
    std::optional<RegValue> date;
    Text icon;
    Text expected;
  };
  const Case cases[] = {
      {S(u"2023-12-12"), u"C:\\D\\d.exe", u"20231212"},
      {D(20231212), u"C:\\D\\d.exe", u"20231212"},
      {S(u"12/12/2023 10:00"), u"C:\\D\\d.exe", u"20210304"},
      {S(u""), u"C:\\D\\d.exe", u"20210304"},
      {std::nullopt, u"C:\\D\\d.exe,2", u"20210304"},
      {RegValue::Binary({1}), u"C:\\D\\d.exe", u"20210304"},
      {S(u""), u"C:\\Missing\\m.exe", u""},
      {S(u"2023-1-5"), u"C:\\Missing\\m.exe", u"202315"},
      {S(u""), u"C:\\H\\h.exe", u""},  // hidden folder
  };
  int n = 0;
  for (const Case& c : cases) {
    vek::TRegistry clear(vek::kRegWriteAccess);
    clear.SetRootKey(HKLM);
    clear.DeleteKey(kNative);
    Entry(HKLM, kNative, u"E", {{u"InstallDate", c.date}, {u"DisplayIcon", S(c.icon)}});
    vek::TInstallList list = Read();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->InstallDate, c.expected) << "case " << n++;
  }
}

TEST_F(InstallTest, FolderDateLooksUpTheFilesFolder) {
  for (const char16_t* dir : {u"C:\\A", u"C:", u"\\\\srv\\share"})
    files.Entries[dir] = {u"x", true, false, false, 1999, 12, 31};
  files.Entries[u"C:\\S"] = {u"S", true, false, true, 1999, 12, 31};
  struct Case {
    Text path, date;
  };
  const Case cases[] = {
      {u"C:\\A\\b.exe", u"19991231"}, {u"C:\\A\\", u"19991231"},  {u"C:\\b.exe", u"19991231"},
      {u"C:b.exe", u"19991231"},      {u"\\\\srv\\share\\f", u"19991231"}, {u"b.exe", u""},
      {u"C:\\S\\b.exe", u""},         {u"C:\\Missing\\b.exe", u""}, {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(vek::GetFolderDate(c.path), c.date) << vek::ToUtf8(c.path);
}

TEST_F(InstallTest, NewestFirstWithUndatedLast) {
  Entry(HKLM, kNative, u"Old", {{u"InstallDate", S(u"20230101")}});
  Entry(HKLM, kNative, u"Undated", {});
  Entry(HKCU, kNative, u"New", {{u"InstallDate", S(u"20231212")}});
  EXPECT_EQ(Names(Read()), (std::vector<Text>{u"New", u"Old", u"Undated"}));
}

TEST_F(InstallTest, ThousandsOfEntriesOfAnyShapeNeverBreakTheRead) {
  std::mt19937 rng(7);
  auto randomText = [&] {
    static const char16_t units[] = u"\"{},%-/ 0123456789aZ\\\t\xAC00";
    Text t;
    for (int i = int(rng() % 24); i > 0; --i) t.push_back(units[rng() % (std::size(units) - 1)]);
    return t;
  };
  auto randomValue = [&]() -> RegValue {
    switch (rng() % 5) {
      case 0: return RegValue::Dword(rng());
      case 1: return RegValue::Binary({uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
      case 2: return RegValue{vek::kRegSz, {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())}};  // odd length, no NUL
      default: return RegValue::String(randomText());
    }
  };
  const Text names[] = {u"DisplayName", u"UninstallString", u"DisplayIcon", u"InstallDate",
                        u"Publisher",   u"NoRemove",        u"EstimatedSize"};
  for (int i = 0; i < 3000; ++i) {
    Text path = Text(i % 2 ? kNative : kWow) + u"\\e" + vek::FromUtf8(std::to_string(i));
    mem.AddKey(HKLM, path);
    for (const Text& name : names)
      if (rng() % 4) mem.Put(HKLM, path, name, randomValue());
  }
  vek::TInstallList list = Read();
  EXPECT_GT(list.size(), 100u);
  for (size_t i = 1; i < list.size(); ++i) ASSERT_GE(list[i - 1]->InstallDate, list[i]->InstallDate);
  for (const auto& r : list) {
    EXPECT_LE(r->DisplayIconIndex, 100);
    EXPECT_FALSE(r->DisplayIcon.starts_with(u'"'));
  }
}

}  // namespace

// The forced-install page's decisions: plug-in prefix matching, one row per
// display name, row contents and icons, report records and the uninstaller a
// row starts.
#include <gtest/gtest.h>

#include <map>

#include "core/report.h"
#include "pages/install/install.h"
#include "tests/support/fake_shell.h"
#include "tests/support/memory_install_files.h"
#include "tests/support/memory_lists.h"
#include "tests/support/memory_registry.h"
#include "tests/support/recorded_processes.h"

namespace {

using vek::Text;

std::unique_ptr<vek::TInstallInfo> Record(const Text& name, const Text& publisher = u"", const Text& date = u"",
                                          const Text& icon = u"", const Text& uninstall = u"") {
  auto r = std::make_unique<vek::TInstallInfo>();
  r->DisplayName = name;
  r->Publisher = publisher;
  r->InstallDate = date;
  r->DisplayIcon = icon;
  r->UninstallString = uninstall;
  return r;
}

TEST(InstallPage, PluginListMatching) {
  struct Case {
    std::vector<Text> items;
    Text name;
    bool matches;
  };
  const Case cases[] = {
      {{u"MagicLine4NP"}, u"MagicLine4NP 1.0.0.26", true},
      {{u"MagicLine4NP"}, u"magicline4np 1.0.0.26", false},
      {{u"MagicLine4NP"}, u"MagicLine4N", false},
      {{u"  Delfino G3 (x86)\t"}, u"Delfino G3 (x86)", true},
      {{u"//Delfino"}, u"//Delfino", false},
      {{u"// comment", u"", u"   ", u"Veraport"}, u"Veraport G3", true},
      {{u"", u" "}, u"", false},
      {{u"ASTx"}, u"AhnLab ASTx", false},
      {{u"AhnLab"}, u"AhnLab Safe Transaction", true},
      {{}, u"Anything", false},
  };
  for (const Case& c : cases) EXPECT_EQ(pages::install::MatchesPluginList(c.items, c.name), c.matches) << vek::ToUtf8(c.name);
}

class InstallRows : public ::testing::Test {
 protected:
  qvtest::FakeShell shell;
  qvtest::ScopedShell useShell{shell};
  qvtest::MemoryListView rows;
  qvtest::MemoryImageList images;
};

TEST_F(InstallRows, OneRowPerDisplayNameWithPublisherDateCommandAndIcon) {
  shell.Files = {u"C:\\D\\d.exe", u"C:\\N\\n.exe"};
  shell.FilesWithIcons = {u"C:\\D\\d.exe"};
  vek::TInstallList list;
  list.push_back(Record(u"Delfino G3", u"Wizvera", u"20231212", u"C:\\D\\d.exe", u"C:\\D\\un.exe /S"));
  list.back()->RootKey = vek::kHkeyCurrentUser;
  list.push_back(Record(u"Other", u"X", u"20231201"));
  list.push_back(Record(u"Delfino G3", u"Someone else", u"20230101"));
  list.push_back(Record(u"nProtect Online", u"", u"", u"C:\\N\\n.exe", u"n.exe"));
  rows.AddRow(u"stale", {}, 0, false);
  pages::install::FillRows(list, {u"Delfino", u"nProtect"}, rows, images);
  ASSERT_EQ(rows.RowCount(), 2);
  EXPECT_EQ(rows.Rows()[0].Caption, u"Delfino G3");
  EXPECT_EQ(rows.Rows()[0].SubItems, (std::vector<Text>{u"Wizvera", u"20231212", u"C:\\D\\un.exe /S", u"HKCU"}));
  EXPECT_EQ(rows.Rows()[0].ImageIndex, 1);
  EXPECT_EQ(rows.Rows()[1].SubItems[0], u"알수없음");
  EXPECT_EQ(rows.Rows()[1].ImageIndex, 0) << "a file without an icon shows the built-in image";
  EXPECT_EQ(images.Count(), 2);
  // A rebuild replaces the icons of the previous one instead of adding to them.
  pages::install::FillRows(list, {u"Delfino", u"nProtect"}, rows, images);
  EXPECT_EQ(images.Count(), 2);
  EXPECT_EQ(rows.Rows()[0].ImageIndex, 1);
}

TEST(InstallPage, ReportHasEveryProgramWithThePublisherAsStored) {
  vek::TInstallList list;
  list.push_back(Record(u"Not a plug-in", u""));
  list.push_back(Record(u"Quote \" name", u"Pub "));
  std::vector<Text> records{u"earlier"};
  pages::install::AppendInstallRecords(list, records);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1], core::InstallRecord(u"Not a plug-in", u""));
  EXPECT_EQ(records[2], core::InstallRecord(u"Quote \" name", u"Pub "));
  EXPECT_EQ(records[1].find(u"알수없음"), Text::npos);
}

TEST(InstallPage, UninstallerFolderSubstitutions) {
  struct Case {
    std::vector<Text> files;
    Text command, file, params;
  };
  const Case cases[] = {
      {{u"C:\\Windows\\SysWOW64\\un.exe"}, u"C:\\WINDOWS\\system32\\un.exe /x", u"C:\\Windows\\SysWOW64\\un.exe", u"/x"},
      {{u"C:\\Windows\\SysWOW64\\un.exe", u"C:\\Windows\\System32\\un.exe"}, u"C:\\Windows\\System32\\un.exe",
       u"C:\\Windows\\System32\\un.exe", u""},
      {{}, u"C:\\Windows\\System32\\un.exe", u"C:\\Windows\\System32\\un.exe", u""},
      {{u"C:\\Program Files (x86)\\P\\u.exe"}, u"\"C:\\Program Files\\P\\u.exe\" /S", u"C:\\Program Files (x86)\\P\\u.exe",
       u"/S"},
      {{u"C:\\Program Files (x86)\\P\\u.exe", u"C:\\Program Files\\P\\u.exe"}, u"C:\\Program Files\\P\\u.exe /S",
       u"C:\\Program Files\\P\\u.exe", u"/S"},
      {{}, u"MsiExec.exe /X{6F1C4C6A-8E34-4F8A-9E8B-0C1D2E3F4A5B}", u"MsiExec.exe",
       u"/X{6F1C4C6A-8E34-4F8A-9E8B-0C1D2E3F4A5B}"},
  };
  for (const Case& c : cases) {
    qvtest::FakeShell shell;
    shell.Files.insert(c.files.begin(), c.files.end());
    qvtest::ScopedShell use(shell);
    pages::install::Uninstaller u = pages::install::ResolveUninstaller(c.command);
    EXPECT_EQ(u.FileName, c.file) << vek::ToUtf8(c.command);
    EXPECT_EQ(u.Params, c.params) << vek::ToUtf8(c.command);
  }
}

TEST(InstallPage, StartingARowOpensItsCommandAndNothingWithoutARow) {
  qvtest::RecordedProcesses processes;
  qvtest::ScopedProcesses use(processes);
  qvtest::MemoryListView rows;
  rows.AddRow(u"A", {u"P", u"", u"\"C:\\A\\un.exe\" /remove", u"HKLM"}, 0, false);
  pages::install::StartUninstaller(rows, -1);
  pages::install::StartUninstaller(rows, 1);
  EXPECT_TRUE(processes.Shell.empty());
  pages::install::StartUninstaller(rows, 0);
  ASSERT_EQ(processes.Shell.size(), 1u);
  EXPECT_EQ(processes.Shell[0].File, u"C:\\A\\un.exe");
  EXPECT_EQ(processes.Shell[0].Params, u"/remove");
  EXPECT_EQ(processes.Shell[0].Show, 5);
}

// Only the entries of the machine-wide Uninstall keys start their uninstallers
// with the program's rights; those of the user's keys, and a row that names no
// key or another one, start with the desktop user's.
TEST(InstallPage, PerUserEntriesStartTheirUninstallersWithTheUsersRights) {
  qvtest::MemoryRegistry registry;
  vek::ScopedRegistryBackend useRegistry{registry};
  qvtest::MemoryInstallFiles files;
  qvtest::ScopedInstallFiles useFiles{files};
  qvtest::FakeShell shell;
  qvtest::ScopedShell useShell{shell};
  qvtest::RecordedProcesses processes;
  qvtest::ScopedProcesses useProcesses(processes);
  std::map<Text, vek::ShellRights> expected;
  for (const vek::UninstallKey& key : vek::kUninstallKeys) {
    const Text name = u"Plugin " + core::RootKeyName(key.Root, true) + (key.Path.find(u"Wow6432Node") == Text::npos ? u"" : u" 32");
    const Text path = Text(key.Path) + u"\\" + name;
    registry.AddKey(key.Root, path);
    registry.Put(key.Root, path, u"DisplayName", vek::RegValue::String(name));
    registry.Put(key.Root, path, u"UninstallString", vek::RegValue::String(u"\"C:\\u\\" + name + u".exe\" /x"));
    expected[u"C:\\u\\" + name + u".exe"] =
        key.Root == vek::kHkeyLocalMachine ? vek::ShellRights::Program : vek::ShellRights::User;
  }
  vek::TInstallList list;
  vek::GetInstall(list);
  qvtest::MemoryListView rows;
  qvtest::MemoryImageList images;
  pages::install::FillRows(list, {u"Plugin"}, rows, images);
  ASSERT_EQ(rows.RowCount(), 4);
  for (int row = 0; row < rows.RowCount(); ++row) pages::install::StartUninstaller(rows, row);
  for (const Text& root : {Text(), Text(u"HKCR"), Text(u"HKEY_LOCAL_MACHINE "), Text(u"hklm")}) {
    rows.AddRow(u"Odd " + root, {u"", u"", u"C:\\odd\\" + root + u".exe", root}, 0, false);
    expected[u"C:\\odd\\" + root + u".exe"] =
        root == u"hklm" ? vek::ShellRights::Program : vek::ShellRights::User;
    pages::install::StartUninstaller(rows, rows.RowCount() - 1);
  }
  std::map<Text, vek::ShellRights> started;
  for (const auto& s : processes.Shell) started[s.File] = s.Rights;
  EXPECT_EQ(started, expected);
}

}  // namespace

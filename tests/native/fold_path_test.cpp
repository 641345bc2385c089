// The folder-variable table on 64-bit and 32-bit Windows, folding, expansion,
// and the keep-list test built on them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "core/folders.h"
#include "pages/clean/keeplist.h"
#include "tests/support/property_seeds.h"

namespace {

using core::FolderVarList;
using vek::Text;

// What the shell tells a 32-bit process on 64-bit Windows.
Text Wow64Folder(int csidl) {
  static const std::map<int, Text> folders = {
      {44, u"C:\\Program Files (x86)\\Common Files"}, {43, u"C:\\Program Files (x86)\\Common Files"},
      {42, u"C:\\Program Files (x86)"},               {38, u"C:\\Program Files (x86)"},
      {36, u"C:\\Windows"},
  };
  auto it = folders.find(csidl);
  return it == folders.end() ? Text() : it->second;
}

// 32-bit Windows: the shell does not know the x86 folders.
Text X86Folder(int csidl) {
  static const std::map<int, Text> folders = {
      {43, u"C:\\Program Files\\Common Files"}, {38, u"C:\\Program Files"}, {36, u"C:\\WINDOWS"}};
  auto it = folders.find(csidl);
  return it == folders.end() ? Text() : it->second;
}

FolderVarList Table64() { return core::BuildFolderVars(Wow64Folder, true); }
FolderVarList Table32() { return core::BuildFolderVars(X86Folder, false); }

TEST(FolderVars, NativeX64TableHasNativeAndX86Folders) {
  const FolderVarList want = {
      {u"%CommonProgramFiles(x86)%", u"C:\\Program Files (x86)\\Common Files"},
      {u"%CommonProgramFiles%", u"C:\\Program Files\\Common Files"},
      {u"%CommonProgramFilesW6432%", u"C:\\Program Files\\Common Files"},
      {u"%ProgramFiles(x86)%", u"C:\\Program Files (x86)"},
      {u"%ProgramFiles%", u"C:\\Program Files"},
      {u"%ProgramFilesW6432%", u"C:\\Program Files"},
      {u"%SystemRoot%", u"C:\\Windows"},
      {u"%WinDir%", u"C:\\Windows"},
  };
  const FolderVarList got = Table64();
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].Name, want[i].Name);
    EXPECT_EQ(got[i].Folder, want[i].Folder);
  }
}

TEST(FolderVars, X86RowsTakeThePlainFoldersOn32BitWindows) {
  const FolderVarList got = Table32();
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[0].Folder, u"C:\\Program Files\\Common Files");
  EXPECT_EQ(got[3].Folder, u"C:\\Program Files");
  EXPECT_EQ(got[3].Name, u"%ProgramFiles(x86)%");
}

TEST(FolderVars, X86IsRemovedOnceWithoutRegardToCase) {
  auto folders = [](int csidl) -> Text {
    return csidl == 38 ? u"D:\\PROGRAM FILES (X86) (x86)" : u"C:\\W";
  };
  EXPECT_EQ(core::BuildFolderVars(folders, true)[4].Folder, u"D:\\PROGRAM FILES (x86)");
}

TEST(FolderVars, ReplacedRowsThatComeOutEmptyAreDropped) {
  auto onlyWindows = [](int csidl) -> Text { return csidl == 36 ? u"C:\\Windows" : u""; };
  const FolderVarList on32 = core::BuildFolderVars(onlyWindows, false);
  // Rows 1 and 4 took the empty folders of rows 2 and 5 and went; 2, 3, 5, 6
  // keep their places with empty folders.
  ASSERT_EQ(on32.size(), 6u);
  EXPECT_EQ(on32[0].Name, u"%CommonProgramFiles%");
  const FolderVarList on64 = core::BuildFolderVars(onlyWindows, true);
  ASSERT_EQ(on64.size(), 4u);
  EXPECT_EQ(on64[0].Name, u"%CommonProgramFiles(x86)%");
  EXPECT_EQ(on64[1].Name, u"%ProgramFiles(x86)%");
}

struct PathCase {
  Text in, out;
};

TEST(FoldPath, FoldsTheFirstRowWhoseFolderLeadsThePath) {
  const PathCase cases[] = {
      {u"C:\\Program Files (x86)\\Common Files\\VMware\\USB\\x.exe", u"%CommonProgramFiles(x86)%\\VMware\\USB\\x.exe"},
      {u"C:\\Program Files (x86)\\App\\a.exe", u"%ProgramFiles(x86)%\\App\\a.exe"},
      {u"C:\\Program Files\\Common Files\\y.exe", u"%CommonProgramFiles%\\y.exe"},
      {u"c:\\program files\\Intel\\y.exe", u"%ProgramFiles%\\Intel\\y.exe"},
      {u"C:\\Windows\\System32\\svchost.exe", u"%SystemRoot%\\System32\\svchost.exe"},
      {u"C:\\Windows\\", u"%SystemRoot%\\"},
      {u"C:\\Windows", u"C:\\Windows"},
      {u"D:\\Tools\\z.exe", u"D:\\Tools\\z.exe"},
      {u"C:\\Program Filesx\\a.exe", u"C:\\Program Filesx\\a.exe"},
      {u"X:\\C:\\Windows\\a.exe", u"X:\\C:\\Windows\\a.exe"},
      {u"svchost.exe", u"svchost.exe"},
      {u"", u""},
  };
  const FolderVarList vars = Table64();
  for (const PathCase& c : cases) EXPECT_EQ(core::FoldPath(vars, c.in), c.out) << vek::ToUtf8(c.in);
}

TEST(FoldPath, ProgramFilesFoldToX86NamesOn32BitWindows) {
  const FolderVarList vars = Table32();
  EXPECT_EQ(core::FoldPath(vars, u"C:\\Program Files\\Common Files\\a.exe"), u"%CommonProgramFiles(x86)%\\a.exe");
  EXPECT_EQ(core::FoldPath(vars, u"C:\\Program Files\\b.exe"), u"%ProgramFiles(x86)%\\b.exe");
  EXPECT_EQ(core::FoldPath(vars, u"c:\\windows\\c.exe"), u"%SystemRoot%\\c.exe");
}

TEST(ExpandPath, ExpandsEveryNameFollowedByABackslash) {
  const PathCase cases[] = {
      {u"%WinDir%\\notepad.exe", u"C:\\Windows\\notepad.exe"},
      {u"%SystemRoot%\\notepad.exe", u"C:\\Windows\\notepad.exe"},
      {u"%programfiles%\\A", u"C:\\Program Files\\A"},
      {u"%ProgramFilesW6432%\\A", u"C:\\Program Files\\A"},
      {u"%ProgramFiles(x86)%\\A", u"C:\\Program Files (x86)\\A"},
      {u"%CommonProgramFiles(x86)%\\A", u"C:\\Program Files (x86)\\Common Files\\A"},
      {u"%CommonProgramFilesW6432%\\A", u"C:\\Program Files\\Common Files\\A"},
      {u"%ProgramFiles%", u"%ProgramFiles%"},
      {u"%ProgramFiles%A", u"%ProgramFiles%A"},
      {u"x%ProgramFiles%\\A", u"x%ProgramFiles%\\A"},
      {u"%Unknown%\\A", u"%Unknown%\\A"},
      {u"%", u"%"},
  };
  const FolderVarList vars = Table64();
  for (const PathCase& c : cases) EXPECT_EQ(core::ExpandPath(vars, c.in), c.out) << vek::ToUtf8(c.in);
}

// A folder the shell could not resolve must neither fold every path that
// begins with a backslash to its name nor expand its name to nothing.
TEST(FoldPath, UnresolvedFolderTakesNoPart) {
  auto noX86 = [](int csidl) -> Text { return csidl == 42 || csidl == 44 ? u"" : Wow64Folder(csidl); };
  const FolderVarList vars = core::BuildFolderVars(noX86, true);
  ASSERT_EQ(vars[0].Folder, u"");
  EXPECT_EQ(core::FoldPath(vars, u"\\Device\\x.exe"), u"\\Device\\x.exe");
  EXPECT_EQ(core::FoldPath(vars, u"\\\\server\\share\\x.exe"), u"\\\\server\\share\\x.exe");
  EXPECT_EQ(core::ExpandPath(vars, u"%ProgramFiles(x86)%\\a.exe"), u"%ProgramFiles(x86)%\\a.exe");
  EXPECT_EQ(core::ExpandPath(vars, u"%ProgramFiles%\\a.exe"), u"C:\\Program Files\\a.exe");
}

class KeepList : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = std::exchange(core::FolderVars, Table64()); }
  void TearDown() override { core::FolderVars = std::move(saved_); }

 private:
  FolderVarList saved_;
};

TEST_F(KeepList, EntryKindsDecideWhatIsKept) {
  const Text svchostPath = u"C:\\Windows\\System32\\svchost.exe";
  struct Case {
    Text entry, fileName;
    bool kept;
  } cases[] = {
      {u"svchost.exe*", u"svchost.exe", true},
      {u"svchost.exe*", svchostPath, false},
      {u"  SVCHOST.EXE*\t", u"svchost.exe", true},
      {u"%SystemRoot%\\System32\\svchost.exe", svchostPath, true},
      {u"%systemroot%\\system32\\SVCHOST.EXE", svchostPath, true},
      {u"%SystemRoot%\\System32\\svchost.exe", u"D:\\copy\\C:\\Windows\\System32\\svchost.exe.bak", true},
      {u"%SystemRoot%\\System32\\svchost.exe*", svchostPath, true},
      {u"System*", u"System", true},
      {u"System*", u"SYSTEM", true},
      {u"System*", u"System Idle Process", false},
      {u"System*", u"C:\\Windows\\ImmersiveControlPanel\\SystemSettings.exe", false},
      {u"Memory Compression*", u"Memory Compression", true},
      {u"notepad", u"C:\\Windows\\notepad.exe", true},
      {u"", u"x.exe", false},
      {u"   ", u"x.exe", false},
      {u"//svchost.exe*", u"svchost.exe", false},
      {u"  //", u"//", false},
      {u"*", u"x.exe", false},
      {u"a*b", u"C:\\a*b\\x.exe", true},
      {u"a*b", u"C:\\ab\\x.exe", false},
      {u"a**", u"a*", true},
      {u"%ProgramFiles%", u"C:\\Program Files\\x.exe", false},
      {u"%ProgramFiles%", u"C:\\%programfiles%.exe", true},
      {u"x.exe", u"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pages::clean::ProcessExists({c.entry}, c.fileName), c.kept)
        << "entry '" << vek::ToUtf8(c.entry) << "' file '" << vek::ToUtf8(c.fileName) << "'";
  }
}

TEST_F(KeepList, AnyEntryOfTheListKeeps) {
  const std::vector<Text> list = {u"", u"// comment", u"explorer.exe*", u"%ProgramFiles(x86)%\\VMware\\"};
  EXPECT_TRUE(pages::clean::ProcessExists(list, u"C:\\Program Files (x86)\\VMware\\VMware Tools\\vmtoolsd.exe"));
  EXPECT_TRUE(pages::clean::ProcessExists(list, u"explorer.exe"));
  EXPECT_FALSE(pages::clean::ProcessExists(list, u"C:\\Windows\\explorer.exe"));
  EXPECT_FALSE(pages::clean::ProcessExists({}, u"System"));
}

// The list prepared once for a run answers as ProcessExists does, for random
// lists of every kind of entry against random names built of the same pieces,
// under random tables (an unresolved row, a folder that begins with "//").
TEST(PreparedKeepList, AnswersAsProcessExistsForRandomListsAndNames) {
  static const vek::TextView pieces[] = {
      u"%ProgramFiles%", u"%programfiles%", u"%SystemRoot%", u"%Gone%", u"\\", u"C:\\Windows", u"c:\\program files",
      u"svchost.exe", u"SVCHOST.EXE", u"System", u"a", u"A", u"*", u"//", u" ", u"\t", u"%", vek::TextView(u"\0", 1), u"한", u"\xD800"};
  const auto text = [](std::mt19937_64& rng, size_t most) {
    Text t;
    for (size_t n = rng() % (most + 1); n > 0; --n) t += pieces[rng() % std::size(pieces)];
    return t;
  };
  const qvtest::SeedRange seeds = qvtest::PropertySeeds(0x6b656570, 3000);
  const FolderVarList saved = core::FolderVars;
  for (uint64_t seed = seeds.First; seed < seeds.End(); ++seed) {
    std::mt19937_64 rng(seed);
    static const Text folders[] = {u"C:\\Windows", u"C:\\Program Files", u"", u"//srv", u"c:\\windows"};
    core::FolderVars = {{u"%ProgramFiles%", folders[rng() % std::size(folders)]},
                        {u"%SystemRoot%", folders[rng() % std::size(folders)]},
                        {u"%Gone%", u""}};
    std::vector<Text> list;
    for (size_t n = rng() % 12; n > 0; --n) list.push_back(text(rng, 4));
    const pages::clean::PreparedKeepList prepared(list);
    for (int k = 0; k < 20; ++k) {
      const Text name = text(rng, 6);
      const bool expected = pages::clean::ProcessExists(list, name);
      if (prepared.Keeps(name) == expected) continue;
      std::string entries;
      for (const Text& e : list) entries += " [" + vek::ToUtf8(e) + "]";
      ADD_FAILURE() << qvtest::ReplayNote(seed) << ": name ["
                    << vek::ToUtf8(name) << "] ProcessExists " << expected << ", prepared list the other; entries"
                    << entries << "; folders [" << vek::ToUtf8(core::FolderVars[0].Folder) << "] ["
                    << vek::ToUtf8(core::FolderVars[1].Folder) << "]";
      core::FolderVars = saved;
      return;
    }
  }
  core::FolderVars = saved;
}

}  // namespace

namespace {

// A machine with the running user 김철수 (profile moved to lower case by hand),
// a second user kim, and a profile kept on another drive.
core::UserFolders Users() {
  core::UserFolders users;
  users.LocalAppData = u"C:\\Users\\김철수\\AppData\\Local";
  users.RoamingAppData = u"C:\\Users\\김철수\\AppData\\Roaming";
  users.Profile = u"C:\\Users\\김철수";
  users.ProfilesFolder = u"C:\\Users";
  users.Profiles = {u"C:\\Windows\\ServiceProfiles\\LocalService", u"C:\\Users\\김철수", u"C:\\Users\\kim",
                    u"D:\\Profiles\\lee.park"};
  return users;
}

}  // namespace

// Every case names its own user (if any) in the path; what comes out must keep
// no name and still say where in a profile the file lies.
TEST(FoldPrivatePath, ProfilesFoldToNamesThatKeepNoUser) {
  const PathCase cases[] = {
      {u"C:\\Users\\김철수\\Downloads\\x.exe", u"%USERPROFILE%\\Downloads\\x.exe"},
      {u"c:\\users\\김철수\\appdata\\local\\Temp\\a.dll", u"%LOCALAPPDATA%\\Temp\\a.dll"},
      {u"C:\\Users\\김철수\\AppData\\Roaming\\Quorvane\\NoClean.txt", u"%APPDATA%\\Quorvane\\NoClean.txt"},
      {u"C:\\Users\\김철수\\AppData\\LocalLow\\b.exe", u"%USERPROFILE%\\AppData\\LocalLow\\b.exe"},
      {u"\\\\?\\C:\\Users\\김철수\\c.exe", u"%USERPROFILE%\\c.exe"},
      {u"\\??\\C:\\Users\\kim\\d.exe", u"\\Users\\*\\d.exe"},
      {u"C:\\Users\\kim\\AppData\\Local\\e.exe", u"\\Users\\*\\AppData\\Local\\e.exe"},
      {u"C:\\Users\\김철수x\\f.exe", u"\\Users\\*\\f.exe"},  // another user whose name starts like ours
      {u"C:\\Users\\KIMCHU~1\\g.exe", u"\\Users\\*\\g.exe"},  // a short name nobody listed
      {u"C:\\Users\\Public\\h.exe", u"\\Users\\*\\h.exe"},
      {u"D:\\Profiles\\lee.park\\i.exe", u"\\Users\\*\\i.exe"},
      {u"D:\\Profiles\\lee.parks\\j.exe", u"D:\\Profiles\\lee.parks\\j.exe"},
      {u"C:\\Users\\k.exe", u"C:\\Users\\k.exe"},  // a file in the profiles folder itself names no one
      {u"C:\\Users\\\\l.exe", u"C:\\Users\\\\l.exe"},
      {u"C:\\Users", u"C:\\Users"},
      {u"C:\\Windows\\ServiceProfiles\\LocalService\\m.exe", u"%SystemRoot%\\ServiceProfiles\\LocalService\\m.exe"},
      {u"C:\\Program Files\\n.exe", u"%ProgramFiles%\\n.exe"},
      {u"\\\\?\\C:\\Windows\\o.exe", u"%SystemRoot%\\o.exe"},
      {u"\\\\?\\D:\\p.exe", u"\\\\?\\D:\\p.exe"},
      {u"q.exe", u"q.exe"},
      {u"", u""},
  };
  const core::UserFolders users = Users();
  const FolderVarList vars = Table64();
  for (const PathCase& c : cases) EXPECT_EQ(core::FoldPrivatePath(users, vars, c.in), c.out) << vek::ToUtf8(c.in);

  // The system could not name a folder: it takes no part, and nothing else
  // changes.
  core::UserFolders unknown;
  unknown.Profile = u"C:\\Users\\김철수";
  EXPECT_EQ(core::FoldPrivatePath(unknown, vars, u"C:\\Users\\김철수\\AppData\\Local\\x.exe"),
            u"%USERPROFILE%\\AppData\\Local\\x.exe");
  EXPECT_EQ(core::FoldPrivatePath(unknown, vars, u"C:\\Users\\kim\\x.exe"), u"C:\\Users\\kim\\x.exe");
  EXPECT_EQ(core::FoldPrivatePath(core::UserFolders(), vars, u"\\x.exe"), u"\\x.exe");
}

// The inventory's decisions over recorded platform results, and command-line
// splitting.
#include <gtest/gtest.h>

#include "tests/support/recorded_processes.h"
#include "vek/process.h"

namespace {

using qvtest::RecordedProcesses;
using vek::Text;

struct SplitCase {
  Text line, file, params;
};

TEST(SplitCommandLine, SplitsEveryForm) {
  const Text longText(100000, u'x');
  const SplitCase cases[] = {
      {u"\"C:\\Program Files\\App\\un.exe\" /S", u"C:\\Program Files\\App\\un.exe", u"/S"},
      {u"  \" C:\\a b\\x.exe \"  -q  ", u"C:\\a b\\x.exe", u"-q"},
      {u"\"C:\\no close /S", u"", u"\"C:\\no close /S"},
      {u"\"", u"", u"\""},
      {u"\"\"", u"", u""},
      {u"C:\\Program Files\\App\\un.exe /S", u"C:\\Program Files\\App\\un.exe", u"/S"},
      {u"C:\\Tools\\run.bat x", u"C:\\Tools\\run.bat", u"x"},
      {u"c:\\tools\\Run.Com  a b", u"c:\\tools\\Run.Com", u"a b"},
      // .EXE is tried first wherever it stands, and an extension inside a folder
      // name ends the program there.
      {u"C:\\a.com\\b.exe", u"C:\\a.com\\b.exe", u""},
      {u"C:\\App.Exe Files\\x.exe", u"C:\\App.Exe", u"Files\\x.exe"},
      {u"C:\\Tools\\script.cmd arg", u"C:\\Tools\\script.cmd arg", u""},
      {u"MsiExec.exe /X{id}", u"MsiExec.exe", u"/X{id}"},
      {u"notepad.exe", u"notepad.exe", u""},
      {u"rundll32.exe   shell32.dll,Control_RunDLL", u"rundll32.exe", u"shell32.dll,Control_RunDLL"},
      {u"", u"", u""},
      {u" \t\r\n ", u"", u""},
      {u"C:", u"C:", u""},
      {u"C:\\", u"C:\\", u""},
      {longText, longText, u""},
      {longText + u" p", longText, u"p"},
  };
  for (const SplitCase& c : cases) {
    Text file = u"stale", params = u"stale";
    vek::SplitCommandLine(c.line, file, params);
    EXPECT_EQ(file, c.file) << vek::ToUtf8(c.line.substr(0, 60));
    EXPECT_EQ(params, c.params) << vek::ToUtf8(c.line.substr(0, 60));
  }
}

class ProcessListTest : public ::testing::Test {
 protected:
  RecordedProcesses sys;
  qvtest::ScopedProcesses use{sys};
};

TEST_F(ProcessListTest, ListsEveryProcessButIdleUnderItsBestName) {
  const Text longName(260, u'n');
  sys.Entries = {{0, u"[System Process]"}, {4, u"System"}, {88, u"svchost.exe"}, {90, u"svchost.exe"},
                 {120, longName}};
  sys.Paths[90] = u"C:\\Windows\\System32\\svchost.exe";
  vek::TProcessList list;
  list.push_back(std::make_unique<vek::TProcessInfo>());  // kept: the list is not cleared
  vek::GetProcessList(list);
  ASSERT_EQ(list.size(), 5u);
  struct Want {
    uint32_t pid;
    Text file;
  } want[] = {{0, u""}, {4, u"System"}, {88, u"svchost.exe"}, {90, u"C:\\Windows\\System32\\svchost.exe"},
              {120, longName}};
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i]->ProcessID, want[i].pid);
    EXPECT_EQ(list[i]->FileName, want[i].file);
    EXPECT_EQ(list[i]->State, 1);
  }
}

TEST_F(ProcessListTest, NoSnapshotAddsNothingAndWalksNoWindows) {
  sys.Windows = {{1, 0, 4}};
  vek::TProcessList list;
  vek::GetProcessList(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(sys.WindowWalks, 0);
}

// The window map of the listing must give what a walk per process gives: the
// topmost window with no parent (owned windows have one), 0 when none.
TEST_F(ProcessListTest, WindowIsTheTopmostParentlessOneOfTheProcess) {
  sys.Entries = {{10, u"a"}, {20, u"b"}, {30, u"c"}, {40, u"d"}};
  sys.Windows = {
      {0x100, 0x900, 10},  // owned popup of 10: skipped
      {0x200, 0, 20}, {0x300, 0, 10}, {0x400, 0, 10},  // 10's first parentless is 0x300
      {0x500, 0x300, 30},                          // 30 has only an owned window
      {0x600, 0, 99},                              // a process not in the snapshot
  };
  vek::TProcessList list;
  vek::GetProcessList(list);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(sys.WindowWalks, 1);
  for (const auto& p : list) {
    EXPECT_EQ(p->Handle, vek::FindProcessWindow(p->ProcessID)) << p->ProcessID;
  }
  EXPECT_EQ(list[0]->Handle, 0x300u);
  EXPECT_EQ(list[1]->Handle, 0x200u);
  EXPECT_EQ(list[2]->Handle, 0u);
  EXPECT_EQ(list[3]->Handle, 0u);
}

TEST_F(ProcessListTest, RunningKillAndMemoryGoThroughTheSystem) {
  sys.Entries = {{4, u"System"}, {500, u"x.exe"}};
  EXPECT_TRUE(vek::IsProcessRunning(500));
  EXPECT_FALSE(vek::IsProcessRunning(501));
  vek::TProcessList list;
  vek::GetProcessList(list);
  ASSERT_EQ(list.size(), 2u);
  vek::KillProcess(vek::TProcessInfo{});
  vek::KillProcess(*list[1]);
  EXPECT_EQ(sys.Terminated, std::vector<uint32_t>{500});
  sys.Figures = {8LL << 30, 3LL << 30};
  EXPECT_EQ(vek::GetTotalPhysMemory(), 8LL << 30);
  EXPECT_EQ(vek::GetAvailPhysMemory(), 3LL << 30);
  vek::ShellOpen(u"C:\\un.exe", u"/S", 5, vek::ShellRights::User);
  ASSERT_EQ(sys.Shell.size(), 1u);
  EXPECT_EQ(sys.Shell[0].Params, u"/S");
  EXPECT_EQ(sys.Shell[0].Rights, vek::ShellRights::User);
}

TEST(ProcessDefaults, WithoutASystemNothingIsListedOrRunning) {
  vek::TProcessList list;
  vek::GetProcessList(list);
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(vek::IsProcessRunning(4));
  EXPECT_EQ(vek::GetTotalPhysMemory(), 0);
}

TEST(WithoutNtPrefix, DropsOnlyALeadingNtPrefix) {
  EXPECT_EQ(vek::WithoutNtPrefix(u"\\??\\C:\\x.exe"), u"C:\\x.exe");
  EXPECT_EQ(vek::WithoutNtPrefix(u"C:\\??\\x.exe"), u"C:\\??\\x.exe");
  EXPECT_EQ(vek::WithoutNtPrefix(u"\\??"), u"\\??");
}

}  // namespace

#include "pages/clean/reset.h"

#include <gtest/gtest.h>

#include <string>

#include "core/folders.h"
#include "tests/support/recorded_processes.h"

namespace {

using vek::Text;

class ResetRun : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = core::FolderVars;
    core::FolderVars = {{u"%SystemRoot%", u"C:\\Windows"}, {u"%ProgramFiles%", u"C:\\Program Files"}};
  }
  void TearDown() override { core::FolderVars = saved_; }

  // The processes running, listed as the run lists them.
  vek::TProcessList List(std::initializer_list<std::pair<uint32_t, const char16_t*>> processes) {
    for (auto [pid, file] : processes) system_.Entries.push_back({pid, Text(file)});
    vek::TProcessList list;
    vek::GetProcessList(list);
    return list;
  }
  std::vector<int32_t> States(const vek::TProcessList& list) {
    std::vector<int32_t> s;
    for (const auto& p : list) s.push_back(p->State);
    return s;
  }

  qvtest::RecordedProcesses system_;
  qvtest::ScopedProcesses scope_{system_};
  core::FolderVarList saved_;
};

TEST_F(ResetRun, MarksAllButThisProgramAndKeptProcesses) {
  auto list = List({{4, u"System"}, {100, u"C:\\Windows\\System32\\svchost.exe"}, {200, u"C:\\Tools\\me.exe"},
                    {300, u"C:\\Tools\\other.exe"}, {400, u"svchost.exe"}});
  pages::clean::MarkProcesses(list, {u"System*", u"%SystemRoot%\\System32\\svchost.exe"}, 200);
  EXPECT_EQ(States(list), (std::vector<int32_t>{1, 1, 1, -2, -2}));
}

TEST_F(ResetRun, EmptyKeepListMarksEverythingButThisProgram) {
  auto list = List({{4, u"System"}, {200, u"me.exe"}, {300, u"x.exe"}});
  pages::clean::MarkProcesses(list, {}, 200);
  EXPECT_EQ(States(list), (std::vector<int32_t>{-2, 1, -2}));
}

TEST_F(ResetRun, TheCrashReporterIsSparedLikeThisProgramAndZeroNamesNoReporter) {
  auto list = List({{200, u"me.exe"}, {300, u"me.exe"}, {400, u"x.exe"}});
  pages::clean::MarkProcesses(list, {}, 200, 300);
  EXPECT_EQ(States(list), (std::vector<int32_t>{1, 1, -2}));
  for (auto& p : list) p->State = 1;
  pages::clean::MarkProcesses(list, {}, 200, 0);
  EXPECT_EQ(States(list), (std::vector<int32_t>{1, -2, -2})) << "no reporter: its copy of the file is not spared";
}

TEST_F(ResetRun, EndsMarkedOnceAndWatchesFivePasses) {
  auto list = List({{10, u"a.exe"}, {20, u"b.exe"}, {30, u"kept.exe"}, {40, u"stubborn.exe"}});
  pages::clean::MarkProcesses(list, {u"kept.exe*"}, 0);
  int waits = 0;
  pages::clean::ResetOutcomes outcomes;
  pages::clean::EndMarkedProcesses(list, true, [&] {
    ++waits;
    // a.exe is gone by the first check, b.exe by the third; stubborn.exe never ends.
    if (waits == 1) system_.Entries.erase(system_.Entries.begin());
    if (waits == 3) system_.Entries.erase(system_.Entries.begin());
  }, outcomes);
  EXPECT_EQ(waits, 5);
  EXPECT_EQ(system_.Terminated, (std::vector<uint32_t>{10, 20, 40}));
  EXPECT_EQ(States(list), (std::vector<int32_t>{-1, -1, 1, -2}));
  EXPECT_LE(system_.Snapshots, 5) << "one snapshot per pass at most";
}

TEST_F(ResetRun, AllFivePassesRunEvenWithNothingMarked) {
  auto list = List({{30, u"kept.exe"}});
  int waits = 0;
  pages::clean::ResetOutcomes outcomes;
  pages::clean::EndMarkedProcesses(list, true, [&] { ++waits; }, outcomes);
  EXPECT_EQ(waits, 5);
  EXPECT_TRUE(system_.Terminated.empty());
}

TEST_F(ResetRun, WithoutTerminationMarkedBecomeGoneAtOnce) {
  auto list = List({{10, u"a.exe"}, {30, u"kept.exe"}});
  pages::clean::MarkProcesses(list, {u"kept.exe*"}, 0);
  int waits = 0;
  pages::clean::ResetOutcomes outcomes;
  pages::clean::EndMarkedProcesses(list, false, [&] { ++waits; }, outcomes);
  EXPECT_EQ(waits, 0);
  EXPECT_TRUE(outcomes.Terminations.empty());
  EXPECT_TRUE(system_.Terminated.empty());
  EXPECT_EQ(States(list), (std::vector<int32_t>{-1, 1}));
}

// The windows around a run, writing down what the run asked of them; the main
// window counts as closed from the named call on.
struct RecordingHost final : pages::clean::ResetHost {
  std::string closedBy;
  std::vector<std::string> calls;
  bool closed = false;

  void Call(const std::string& name) {
    calls.push_back(name);
    if (name == closedBy) closed = true;
  }
  void AskApplyAgain() override { Call("ask"); }
  bool Closed() override { return closed; }
  void ShowRunning() override { Call("show running"); }
  std::vector<Text> KeepList() override {
    Call("keep-list");
    return {u"kept.exe*"};
  }
  bool Terminate() override { return true; }
  void WaitOneSecond() override { Call("wait"); }
  void ApplyAgain() override { Call("apply again"); }
  void PutInfo() override { Call("report"); }
  void CloseMain() override { Call("close"); }
};

// Any process may close the main window with WM_USER, also while the question
// before the run shows: the run then takes no snapshot and ends nothing. Closed
// while it waits, it neither applies the pages again nor reports.
TEST_F(ResetRun, AClosedMainWindowEndsTheRunWhereItIs) {
  const std::vector<std::string> waits(5, "wait");
  auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    std::string closedBy;
    std::vector<std::string> calls;
    bool snapshot;
  } cases[] = {
      {"", join(join({"ask", "show running", "keep-list"}, waits), {"apply again", "report", "close"}), true},
      {"ask", {"ask"}, false},
      {"wait", join({"ask", "show running", "keep-list"}, waits), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.closedBy);
    system_.Terminated.clear();
    system_.Snapshots = 0;
    system_.Entries = {{10, u"a.exe"}, {30, u"kept.exe"}};
    RecordingHost host;
    host.closedBy = c.closedBy;
    vek::TProcessList list;
    int64_t oldAvail = -1;
    pages::clean::ResetOutcomes outcomes;
    pages::clean::RunReset(host, list, oldAvail, outcomes, 99);
    EXPECT_EQ(host.calls, c.calls);
    EXPECT_EQ(system_.Snapshots > 0, c.snapshot);
    EXPECT_EQ(list.size(), c.snapshot ? 2u : 0u);
    EXPECT_EQ(system_.Terminated, c.snapshot ? std::vector<uint32_t>{10} : std::vector<uint32_t>{});
  }
}

TEST_F(ResetRun, RecordsFoldEscapeAndEndWithMemory) {
  auto list = List({{100, u"C:\\Windows\\System32\\svchost.exe"}, {300, u"D:\\게임.exe"}});
  list[1]->State = -1;
  std::vector<Text> records;
  pages::clean::AppendResetRecords(list, {}, {}, 1000, 2000, 8000, records);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], u"{\"cate\":\"clean\",\"file\":\"%SystemRoot%\\\\System32\\\\svchost.exe\",\"state\":\"1\"}");
  EXPECT_EQ(records[1], u"{\"cate\":\"clean\",\"file\":\"D:\\\\\\uAC8C\\uC784.exe\",\"state\":\"-1\"}");
  EXPECT_EQ(records[2], u"{\"cate\":\"memory\",\"old\":\"1000\",\"new\":\"2000\",\"tot\":\"8000\"}");
}

}  // namespace

#include "pages/clean/reset.h"

#include <gtest/gtest.h>

#include "app/lib.h"
#include "tests/support/recorded_processes.h"

namespace {

using vek::Text;

class ResetRun : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = lib::FolderVars;
    lib::FolderVars = {{u"%SystemRoot%", u"C:\\Windows"}, {u"%ProgramFiles%", u"C:\\Program Files"}};
  }
  void TearDown() override { lib::FolderVars = saved_; }

  vek::TProcessList List(std::initializer_list<std::pair<uint32_t, const char16_t*>> processes) {
    vek::TProcessList list;
    for (auto [pid, file] : processes) {
      auto p = std::make_unique<vek::TProcessInfo>();
      p->ProcessID = pid;
      p->FileName = file;
      list.push_back(std::move(p));
      system_.Entries.push_back({pid, Text(file)});
    }
    return list;
  }
  std::vector<int32_t> States(const vek::TProcessList& list) {
    std::vector<int32_t> s;
    for (const auto& p : list) s.push_back(p->State);
    return s;
  }

  qvtest::RecordedProcesses system_;
  qvtest::ScopedProcesses scope_{system_};
  lib::FolderVarList saved_;
};

TEST_F(ResetRun, MarksAllButThisProgramAndKeptProcesses) {
  auto list = List({{4, u"System"}, {100, u"C:\\Windows\\System32\\svchost.exe"}, {200, u"C:\\Tools\\me.exe"},
                    {300, u"C:\\Tools\\other.exe"}, {400, u"svchost.exe"}});
  clean::MarkProcesses(list, {u"System*", u"%SystemRoot%\\System32\\svchost.exe"}, 200);
  EXPECT_EQ(States(list), (std::vector<int32_t>{1, 1, 1, -2, -2}));
}

TEST_F(ResetRun, EmptyKeepListMarksEverythingButThisProgram) {
  auto list = List({{4, u"System"}, {200, u"me.exe"}, {300, u"x.exe"}});
  clean::MarkProcesses(list, {}, 200);
  EXPECT_EQ(States(list), (std::vector<int32_t>{-2, 1, -2}));
}

TEST_F(ResetRun, EndsMarkedOnceAndWatchesFivePasses) {
  auto list = List({{10, u"a.exe"}, {20, u"b.exe"}, {30, u"kept.exe"}, {40, u"stubborn.exe"}});
  clean::MarkProcesses(list, {u"kept.exe*"}, 0);
  int waits = 0;
  clean::EndMarkedProcesses(list, true, [&] {
    ++waits;
    // a.exe is gone by the first check, b.exe by the third; stubborn.exe never ends.
    if (waits == 1) system_.Entries.erase(system_.Entries.begin());
    if (waits == 3) system_.Entries.erase(system_.Entries.begin());
  });
  EXPECT_EQ(waits, 5);
  EXPECT_EQ(system_.Terminated, (std::vector<uint32_t>{10, 20, 40}));
  EXPECT_EQ(States(list), (std::vector<int32_t>{-1, -1, 1, -2}));
  EXPECT_LE(system_.Snapshots, 5) << "one snapshot per pass at most";
}

TEST_F(ResetRun, AllFivePassesRunEvenWithNothingMarked) {
  auto list = List({{30, u"kept.exe"}});
  int waits = 0;
  clean::EndMarkedProcesses(list, true, [&] { ++waits; });
  EXPECT_EQ(waits, 5);
  EXPECT_TRUE(system_.Terminated.empty());
}

TEST_F(ResetRun, WithoutTerminationMarkedBecomeGoneAtOnce) {
  auto list = List({{10, u"a.exe"}, {30, u"kept.exe"}});
  clean::MarkProcesses(list, {u"kept.exe*"}, 0);
  int waits = 0;
  clean::EndMarkedProcesses(list, false, [&] { ++waits; });
  EXPECT_EQ(waits, 0);
  EXPECT_TRUE(system_.Terminated.empty());
  EXPECT_EQ(States(list), (std::vector<int32_t>{-1, 1}));
}

TEST_F(ResetRun, RecordsFoldEscapeAndEndWithMemory) {
  auto list = List({{100, u"C:\\Windows\\System32\\svchost.exe"}, {300, u"D:\\게임.exe"}});
  list[1]->State = -1;
  std::vector<Text> records;
  clean::AppendResetRecords(list, 1000, 2000, 8000, records);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], u"{\"cate\":\"clean\",\"file\":\"%SystemRoot%\\\\System32\\\\svchost.exe\",\"state\":\"1\"}");
  EXPECT_EQ(records[1], u"{\"cate\":\"clean\",\"file\":\"D:\\\\\\uAC8C\\uC784.exe\",\"state\":\"-1\"}");
  EXPECT_EQ(records[2], u"{\"cate\":\"memory\",\"old\":\"1000\",\"new\":\"2000\",\"tot\":\"8000\"}");
}

}  // namespace

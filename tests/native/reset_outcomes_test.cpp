// What a reset run learns beyond each process's State: the answer to every
// termination, and the processes that came back under a new identifier.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "core/folders.h"
#include "pages/clean/reset.h"
#include "tests/support/fake_shell.h"
#include "tests/support/recorded_processes.h"
#include "tests/support/property_seeds.h"

namespace {

using pages::clean::ResetOutcomes;
using vek::TerminateOutcome;
using vek::Text;

std::string Narrow(const Text& t) { return vek::ToUtf8(t); }

class ResetOutcomesTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = core::FolderVars;
    core::FolderVars = {{u"%ProgramFiles(x86)%", u"C:\\Program Files (x86)"},
                        {u"%ProgramFiles%", u"C:\\Program Files"},
                        {u"%SystemRoot%", u"C:\\Windows"}};
  }
  void TearDown() override { core::FolderVars = saved_; }

  qvtest::RecordedProcesses system_;
  qvtest::ScopedProcesses scope_{system_};
  core::FolderVarList saved_;
};

// One random run: processes with files from a small pool (spelled in varying
// case), some kept, some that cannot be opened, each termination answered at
// random, processes that end at a random pass, never, or already between the
// snapshot and their hold, and processes that start during the waits, some
// under a file that was ended. A process that ends may hand its identifier at
// once to a new process (the system reuses identifiers quickly). A model
// computed beside the run says what the outcomes must be.
struct RandomRun {
  static constexpr int kBeforeHold = -1, kNever = 5;
  struct Newcomer {
    uint32_t pid;
    uint64_t created;
    Text file;
    bool readable;
    int startsAtPass;  // kBeforeHold: between the listing's snapshot and its holds
    int endsAtPass;    // after it started, or kNever
  };
  struct Process {
    uint32_t pid;
    uint64_t created;
    Text file;
    bool kept;
    bool readable;  // whether its image path can be read
    bool unopenable;  // opening it fails: the answer is that failure
    vek::TerminateResult answer;
    int endsAtPass;  // kBeforeHold, 0..4, or kNever
    bool recycled;   // a newcomer takes its identifier as it ends
  };
  std::vector<Process> processes;
  std::vector<Newcomer> newcomers;  // the recycling ones first, in process order
};

const Text kPool[] = {u"C:\\Program Files\\Wiz\\veraport.exe", u"C:\\Program Files (x86)\\IPinside\\I3GProc.exe",
                      u"C:\\Tools\\agent.exe", u"D:\\게임\\launcher.exe", u"svc.exe"};

Text RandomCase(const Text& t, std::mt19937_64& rng) {
  Text out = t;
  for (auto& c : out)
    if (rng() % 3 == 0) c = (c >= u'a' && c <= u'z') ? vek::UpperAscii(c) : vek::LowerAscii(c);
  return out;
}

Text BaseName(const Text& path) { return path.substr(path.rfind(u'\\') + 1); }

vek::TerminateResult RandomAnswer(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0: return {TerminateOutcome::Refused, 5};
    case 1: return {TerminateOutcome::Failed, uint32_t(1 + rng() % 2000)};
    case 2: return {TerminateOutcome::NotFound, 87};
    default: return {TerminateOutcome::Ended, 0};
  }
}

RandomRun MakeRun(std::mt19937_64& rng) {
  RandomRun run;
  std::set<uint32_t> used;
  auto freshPid = [&] {
    uint32_t pid;
    do pid = 4 * (1 + rng() % 400);
    while (!used.insert(pid).second);
    return pid;
  };
  uint64_t clock = 1000;  // creation times: every process later than those before it
  auto file = [&] { return RandomCase(kPool[rng() % std::size(kPool)], rng); };
  const int n = 1 + rng() % 8;
  for (int i = 0; i < n; ++i) {
    RandomRun::Process p{freshPid(), ++clock, file(), rng() % 4 == 0, rng() % 5 != 0, rng() % 8 == 0,
                         RandomAnswer(rng), int(rng() % 7) - 1, false};
    if (p.unopenable) p.answer = rng() % 2 ? vek::TerminateResult{TerminateOutcome::Refused, 5}
                                           : vek::TerminateResult{TerminateOutcome::Failed, 31};
    p.recycled = p.endsAtPass != RandomRun::kNever && rng() % 2 == 0;
    run.processes.push_back(p);
  }
  for (const auto& p : run.processes)
    if (p.recycled) {
      const int ends = rng() % 3 ? RandomRun::kNever : p.endsAtPass + 1 + int(rng() % (5 - p.endsAtPass));
      run.newcomers.push_back({p.pid, ++clock, file(), rng() % 5 != 0, p.endsAtPass, ends});
    }
  const int m = rng() % 4;
  for (int i = 0; i < m; ++i) {
    const int starts = int(rng() % 5);
    run.newcomers.push_back({freshPid(), ++clock, file(), rng() % 5 != 0, starts, starts + 1 + int(rng() % 5)});
  }
  return run;
}

std::string Describe(const RandomRun& run) {
  std::ostringstream out;
  for (const auto& p : run.processes)
    out << "  process " << p.pid << "@" << p.created << " " << Narrow(p.file) << (p.kept ? " kept" : "")
        << (p.readable ? "" : " unreadable") << (p.unopenable ? " unopenable" : "") << " answer " << int(p.answer.Outcome)
        << "/" << p.answer.Code << " ends at pass " << p.endsAtPass << (p.recycled ? " recycled" : "") << "\n";
  for (const auto& c : run.newcomers)
    out << "  newcomer " << c.pid << "@" << c.created << " " << Narrow(c.file) << (c.readable ? "" : " unreadable")
        << " from pass " << c.startsAtPass << " to " << c.endsAtPass << "\n";
  return out.str();
}

TEST_F(ResetOutcomesTest, RandomRunsEndOnlyTheListedProcessesKeepEveryAnswerAndFindExactlyWhatCameBack) {
  const qvtest::SeedRange seeds = qvtest::PropertySeeds(0x0c0e0000, 3000);
  for (uint64_t seed = seeds.First; seed < seeds.End(); ++seed) {
    std::mt19937_64 rng(seed);
    const RandomRun run = MakeRun(rng);
    SCOPED_TRACE(qvtest::ReplayNote(seed) + "\n" + Describe(run));

    system_ = {};
    std::vector<Text> keep;
    vek::TProcessList list;
    // A process is named by the path read through its hold, else by its
    // snapshot name; one gone before its hold was never read.
    auto heldName = [](const RandomRun::Process& p) {
      return p.readable && !p.unopenable && p.endsAtPass != RandomRun::kBeforeHold ? p.file : BaseName(p.file);
    };
    auto newcomerName = [](const RandomRun::Newcomer& c) { return c.readable ? c.file : BaseName(c.file); };
    std::set<Text> keptNames;  // upper-cased, as the keep-list compares
    for (const auto& p : run.processes) {
      system_.Entries.push_back({p.pid, BaseName(p.file), p.created});
      if (p.readable) system_.Paths[p.pid] = p.file;
      if (p.kept) keep.push_back(heldName(p) + u"*"), keptNames.insert(vek::UpperCase(heldName(p)));
      if (p.unopenable) system_.OpenFailures[p.pid] = p.answer;
      else if (p.answer.Outcome != TerminateOutcome::Ended) system_.Refusals[p.pid] = p.answer;
    }
    // Ends the processes and starts the newcomers of one moment of the run.
    auto happen = [&](int moment) {
      auto& e = system_.Entries;
      for (const auto& p : run.processes)
        if (p.endsAtPass == moment) std::erase_if(e, [&](const auto& x) { return vek::SameProcess(x, {p.pid, {}, p.created}); });
      for (const auto& c : run.newcomers) {
        if (c.startsAtPass == moment) {
          e.push_back({c.pid, BaseName(c.file), c.created});
          if (c.readable) system_.Paths[c.pid] = c.file;
          else system_.Paths.erase(c.pid);
          system_.OpenFailures.erase(c.pid);
          system_.Refusals.erase(c.pid);
        }
        if (c.endsAtPass == moment) std::erase_if(e, [&](const auto& x) { return vek::SameProcess(x, {c.pid, {}, c.created}); });
      }
    };
    system_.AfterNextSnapshot = [&] { happen(RandomRun::kBeforeHold); };
    vek::GetProcessList(list);
    pages::clean::MarkProcesses(list, keep, 0);

    ResetOutcomes outcomes;
    int pass = 0;
    std::vector<vek::ProcessEntry> lastSnapshot;
    pages::clean::EndMarkedProcesses(list, true, [&] {
      happen(pass++);
      lastSnapshot = system_.Entries;
    }, outcomes);
    ASSERT_EQ(pass, 5);
    EXPECT_LE(system_.Snapshots, 1 + 5) << "the listing and at most one snapshot per pass";

    // Every marked process got exactly one attempt, in list order, and the
    // answer of the process the listing saw: a process gone before its hold
    // is never attempted, whoever holds its identifier since.
    ASSERT_EQ(list.size(), run.processes.size());
    std::vector<uint32_t> markedPids, reached;
    std::set<Text> endedFiles;  // as the model names them, upper-cased
    for (size_t i = 0; i < run.processes.size(); ++i) {
      const auto& p = run.processes[i];
      EXPECT_EQ(list[i]->FileName, heldName(p)) << "process " << p.pid;
      // The keep-list judged the listed process, never a newcomer's file.
      const bool marked = list[i]->State != 1;
      EXPECT_EQ(marked, !keptNames.count(vek::UpperCase(heldName(p)))) << "process " << p.pid;
      if (!marked) continue;
      markedPids.push_back(p.pid);
      // Opening an identifier that nothing holds fails (87); one that a
      // newcomer holds opens the newcomer, which its creation time gives away.
      const bool gone = p.endsAtPass == RandomRun::kBeforeHold;
      const vek::TerminateResult answer =
          gone ? vek::TerminateResult{TerminateOutcome::NotFound, p.recycled ? 0u : 87u} : p.answer;
      if (!gone && !p.unopenable) reached.push_back(p.pid);
      ASSERT_GE(outcomes.Terminations.size(), markedPids.size());
      const auto& t = outcomes.Terminations[markedPids.size() - 1];
      EXPECT_EQ(t.ProcessID, p.pid);
      EXPECT_EQ(t.FileName, heldName(p));
      EXPECT_EQ(t.Result.Outcome, answer.Outcome) << "process " << p.pid;
      EXPECT_EQ(t.Result.Code, answer.Code) << "process " << p.pid;
      if (answer.Outcome == TerminateOutcome::Ended) endedFiles.insert(vek::UpperCase(heldName(p)));
      // The State says only whether the listed process was gone at a check; a
      // newcomer under its identifier never keeps it running.
      EXPECT_EQ(list[i]->State, p.endsAtPass < RandomRun::kNever ? -1 : -2) << "process " << p.pid;
    }
    EXPECT_EQ(system_.Terminated, reached);
    for (const auto& ended : system_.TerminatedProcesses)
      EXPECT_TRUE(std::any_of(run.processes.begin(), run.processes.end(),
                              [&](const auto& p) { return vek::SameProcess(ended, {p.pid, {}, p.created}); }))
          << "a newcomer under identifier " << ended.ProcessID << " was ended";
    EXPECT_EQ(outcomes.Terminations.size(), markedPids.size());

    // Came back: exactly the newcomers in the last snapshot whose file was
    // ended, also those that took a listed process's identifier.
    std::vector<std::pair<uint32_t, Text>> expected, got;
    for (const auto& entry : lastSnapshot)
      for (const auto& c : run.newcomers)
        if (vek::SameProcess(entry, {c.pid, {}, c.created}) && endedFiles.count(vek::UpperCase(newcomerName(c))))
          expected.push_back({c.pid, newcomerName(c)});
    for (const auto& r : outcomes.Back) got.push_back({r.ProcessID, r.FileName});
    EXPECT_EQ(got, expected);

    // The records: the old ones as before, then one refused record per refused
    // or failed answer, then one back record per returned process.
    std::vector<Text> records;
    pages::clean::AppendResetRecords(list, outcomes, {}, 1, 2, 3, records);
    size_t refusals = 0;
    for (const auto& t : outcomes.Terminations)
      refusals += t.Result.Outcome == TerminateOutcome::Refused || t.Result.Outcome == TerminateOutcome::Failed;
    ASSERT_EQ(records.size(), list.size() + 1 + refusals + got.size());
    EXPECT_EQ(records[list.size()].rfind(u"{\"cate\":\"memory\"", 0), 0u);
    for (size_t i = 0; i < records.size(); ++i) {
      const char16_t* cate = i < list.size()                    ? u"{\"cate\":\"clean\""
                             : i == list.size()                 ? u"{\"cate\":\"memory\""
                             : i <= list.size() + refusals      ? u"{\"cate\":\"refused\""
                                                                : u"{\"cate\":\"back\"";
      EXPECT_EQ(records[i].rfind(cate, 0), 0u) << Narrow(records[i]);
    }
    if (HasFailure()) return;
  }
}

TEST_F(ResetOutcomesTest, NewRecordsFoldEscapeAndNameTheProgramAndPublisher) {
  ResetOutcomes outcomes;
  outcomes.Terminations = {
      {10, u"C:\\Program Files\\AhnLab\\Safe Transaction\\ASDSvc.exe", {TerminateOutcome::Refused, 5}},
      {11, u"D:\\보안\\\"q\".exe", {TerminateOutcome::Failed, 1450}},
      {12, u"C:\\Tools\\gone.exe", {TerminateOutcome::NotFound, 87}},
      {13, u"C:\\Program Files (x86)\\IPinside\\I3GProc.exe", {TerminateOutcome::Ended, 0}},
  };
  outcomes.Back = {{5120, u"C:\\Program Files (x86)\\IPinside\\I3GProc.exe"}, {7, u"E:\\x.exe"}};
  vek::TInstallList installed;
  auto add = [&](const char16_t* name, const char16_t* location, const char16_t* icon) {
    auto p = std::make_unique<vek::TInstallInfo>();
    p->DisplayName = name;
    p->InstallLocation = location;
    p->DisplayIcon = icon;
    installed.push_back(std::move(p));
  };
  add(u"Everything under Program Files", u"C:\\Program Files (x86)\\", u"");
  add(u"IPinside LWS Agent", u"\"c:\\program files (x86)\\ipinside\\\"", u"");
  qvtest::FakeShell shell;
  shell.Files.insert(u"C:\\Program Files (x86)\\IPinside\\I3GProc.exe");
  shell.Versions[{u"C:\\Program Files (x86)\\IPinside\\I3GProc.exe", u"CompanyName"}] = u"인터리젠";
  qvtest::ScopedShell shellScope(shell);

  std::vector<Text> records;
  pages::clean::AppendResetRecords({}, outcomes, installed, 1, 2, 3, records);
  const std::vector<Text> expected = {
      u"{\"cate\":\"memory\",\"old\":\"1\",\"new\":\"2\",\"tot\":\"3\"}",
      u"{\"cate\":\"refused\",\"file\":\"%ProgramFiles%\\\\AhnLab\\\\Safe Transaction\\\\ASDSvc.exe\",\"why\":\"denied\"}",
      u"{\"cate\":\"refused\",\"file\":\"D:\\\\\\uBCF4\\uC548\\\\\\\"q\\\".exe\",\"why\":\"error 1450\"}",
      u"{\"cate\":\"back\",\"file\":\"%ProgramFiles(x86)%\\\\IPinside\\\\I3GProc.exe\",\"pid\":\"5120\","
      u"\"program\":\"IPinside LWS Agent\",\"publisher\":\"\\uC778\\uD130\\uB9AC\\uC820\"}",
      u"{\"cate\":\"back\",\"file\":\"E:\\\\x.exe\",\"pid\":\"7\",\"program\":\"\",\"publisher\":\"\"}",
  };
  EXPECT_EQ(records, expected);
}

// The records the program adds name no user; the "clean" records keep the
// keep-list's folding, user folders and all.
TEST_F(ResetOutcomesTest, AddedRecordsFoldUserProfilesAndCleanRecordsDoNot) {
  core::SetUserFoldersSource([] {
    core::UserFolders users;
    users.LocalAppData = u"C:\\Users\\kim\\AppData\\Local";
    users.Profile = u"C:\\Users\\kim";
    users.ProfilesFolder = u"C:\\Users";
    return users;
  });
  vek::TProcessList list;
  list.push_back(std::make_unique<vek::TProcessInfo>());
  list[0]->ProcessID = 30;
  list[0]->FileName = u"C:\\Users\\kim\\Downloads\\setup.exe";
  ResetOutcomes outcomes;
  outcomes.Terminations = {{30, u"C:\\Users\\kim\\AppData\\Local\\Temp\\x.exe", {TerminateOutcome::Refused, 5}},
                           {31, u"C:\\Users\\kim\\y.exe", {TerminateOutcome::Ended, 0}}};
  outcomes.Back = {{40, u"C:\\Users\\lee\\y.exe"}};
  std::vector<Text> records;
  pages::clean::AppendResetRecords(list, outcomes, {}, 1, 2, 3, records);
  core::SetUserFoldersSource(nullptr);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0], u"{\"cate\":\"clean\",\"file\":\"C:\\\\Users\\\\kim\\\\Downloads\\\\setup.exe\",\"state\":\"1\"}");
  EXPECT_EQ(records[2], u"{\"cate\":\"refused\",\"file\":\"%LOCALAPPDATA%\\\\Temp\\\\x.exe\",\"why\":\"denied\"}");
  EXPECT_EQ(records[3], u"{\"cate\":\"back\",\"file\":\"\\\\Users\\\\*\\\\y.exe\",\"pid\":\"40\",\"program\":\"\","
                        u"\"publisher\":\"\"}");
}

// Which installed program holds a file: the deepest folder that holds it, never
// a folder that holds everything (a drive, Program Files itself, Windows).
TEST_F(ResetOutcomesTest, InstalledProgramIsTheDeepestOwnFolderThatHoldsTheFile) {
  struct Program {
    const char16_t *name, *location, *icon;
  } programs[] = {
      {u"Drive", u"C:\\", u""},
      {u"Program Files", u"C:\\Program Files", u""},
      {u"MSI entry", u"", u"C:\\Windows\\System32\\msiexec.exe"},
      {u"Wiz", u"C:\\Program Files\\Wiz", u""},
      {u"Veraport", u"C:\\Program Files\\Wiz\\Veraport20\\", u""},
      {u"By icon", u"  ", u"D:\\Apps\\Icon Only\\app.exe"},
  };
  vek::TInstallList installed;
  for (const auto& p : programs) {
    auto info = std::make_unique<vek::TInstallInfo>();
    info->DisplayName = p.name;
    info->InstallLocation = p.location;
    info->DisplayIcon = p.icon;
    installed.push_back(std::move(info));
  }
  const struct {
    const char16_t* path;
    const char16_t* program;  // null for none
  } cases[] = {
      {u"C:\\Program Files\\Wiz\\Veraport20\\veraport.exe", u"Veraport"},
      {u"c:\\PROGRAM FILES\\wiz\\veraport20\\sub\\x.exe", u"Veraport"},
      {u"C:\\Program Files\\Wiz\\delfino.exe", u"Wiz"},
      {u"C:\\Program Files\\Wizard\\w.exe", nullptr},
      {u"C:\\Program Files\\other.exe", nullptr},
      {u"C:\\Windows\\System32\\svchost.exe", nullptr},
      {u"D:\\Apps\\Icon Only\\helper.exe", u"By icon"},
      {u"C:\\Program Files\\Wiz", nullptr},
      {u"agent.exe", nullptr},
  };
  for (const auto& c : cases) {
    const vek::TInstallInfo* found = pages::clean::InstalledProgramOf(installed, c.path);
    EXPECT_EQ(found ? Narrow(found->DisplayName) : "(none)", c.program ? Narrow(c.program) : "(none)")
        << Narrow(c.path);
  }
}

TEST(TerminateResult, ErrorCodesReadAsTheirOutcome) {
  const struct {
    uint32_t error;
    TerminateOutcome outcome;
    const char16_t* reason;
  } cases[] = {
      {0, TerminateOutcome::Ended, nullptr},
      {5, TerminateOutcome::Refused, u"denied"},
      {87, TerminateOutcome::NotFound, nullptr},
      {31, TerminateOutcome::Failed, u"error 31"},
      {0xC0000022u, TerminateOutcome::Failed, u"error 3221225506"},
  };
  for (const auto& c : cases) {
    const auto r = vek::TerminateResultFromError(c.error);
    EXPECT_EQ(r.Outcome, c.outcome) << c.error;
    if (c.reason) {
      EXPECT_EQ(pages::clean::RefusalReason(r), c.reason) << c.error;
    }
  }
  EXPECT_EQ(vek::TerminateResultFromError(5, true).Outcome, TerminateOutcome::NotFound)
      << "a held process that has ended answers access denied";
  EXPECT_EQ(vek::KillProcess(vek::TProcessInfo{}).Outcome, TerminateOutcome::NotFound) << "nothing held";
}

}  // namespace

// The configuration reply, read back the way the program reads it.
#include <algorithm>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "service/check_in_recorder.h"
#include "service/config.h"
#include "service/sqlite_store.h"
#include "tests/service/service_fixture.h"
#include "vek/strings.h"

namespace quorvane::service::testing {
namespace {

using namespace std::chrono_literals;

using vek::ExtractBetween;
using vek::FromUtf8;
using vek::JsonUnescape;
using vek::NextBetween;
using vek::Text;

// The program's Init: the status, the update, and every item of both arrays.
struct ProgramView {
  Text status, update;
  std::vector<Text> noclean, bankclean;
};

std::vector<Text> Items(const Text& reply, const Text& start) {
  std::vector<Text> items;
  const Text array = ExtractBetween(reply, start, u"]", false);
  if (array.empty()) return items;
  int32_t cursor = 1;
  for (;;) {
    Text v = NextBetween(array, u"\"", u"\"", cursor);
    if (cursor == 0) break;
    items.push_back(JsonUnescape(v));
  }
  return items;
}

ProgramView ReadAsProgram(const std::string& body) {
  const Text reply = FromUtf8(body);
  return {JsonUnescape(ExtractBetween(reply, u"\"status\":\"", u"\"", false)),
          JsonUnescape(ExtractBetween(reply, u"\"update\":\"", u"\"", false)), Items(reply, u"\"noclean\":["),
          Items(reply, u"\"bankclean\":[")};
}

std::vector<Text> Utf16(const std::vector<std::string>& items) {
  std::vector<Text> out;
  for (const auto& s : items) out.push_back(FromUtf8(s));
  return out;
}

TEST(ConfigReply, ProgramScanningReadsBackEveryValueExactly) {
  // Values that trip a marker scanner: a trailing backslash before the closing
  // quote, quotes, a bracket inside an array item, marker text inside a value,
  // Hangul, a character beyond the BMP, control characters, an empty item.
  const ServiceConfig config{
      "https://quorvane.example/download/Quorvane.exe?v=3.7",
      {"%ProgramFiles%\\AhnLab\\", "C:\\Tools\\\"quoted\".exe", "[x]", "", "\"status\":\"bad", "%AppData%\\은행\\*.exe"},
      {"키보드 보안 🔒", "tab\there", "line\r\nbreak", "]", "\\"}};
  TestService service(ConfigJson(config));
  const auto res = Get(service.Http(), "/api.init.php");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (const unsigned char c : res->body) EXPECT_LT(c, 0x80) << "the reply must be ASCII";
  EXPECT_EQ(res->body.find(": "), std::string::npos);

  const ProgramView seen = ReadAsProgram(res->body);
  EXPECT_EQ(seen.status, u"ok");
  EXPECT_EQ(seen.update, FromUtf8(config.update));
  EXPECT_EQ(seen.noclean, Utf16(config.noclean));
  EXPECT_EQ(seen.bankclean, Utf16(config.bankclean));
}

// The program asks with "Accept-Encoding: gzip, deflate" and inflates a body
// only when Content-Encoding is exactly "gzip"; an identity reply is read as is.
TEST(ConfigReply, ProgramsRequestHeadersGetAReplyItReadsAsIs) {
  TestService service(R"({"noclean": ["%ProgramFiles%\\Bank\\agent.exe"]})");
  const auto res = Get(service.Http(), "/api.init.php",
                       {{"Accept", "text/html,application/xhtml+xml, */*"},
                        {"Accept-Encoding", "gzip, deflate"},
                        {"Accept-Language", "ko-KR"},
                        {"User-Version", "3.6.0.0"},
                        {"User-UnionKey", "0A1B2C3D"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->Header("Content-Encoding"), "");
  EXPECT_EQ(res->Header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(ReadAsProgram(res->body).noclean, std::vector<Text>{u"%ProgramFiles%\\Bank\\agent.exe"});
}

TEST(ConfigReply, EmptyConfigurationOffersNothing) {
  TestService service;
  const auto res = Get(service.Https(), "/api.init.php");
  ASSERT_TRUE(res);
  const ProgramView seen = ReadAsProgram(res->body);
  EXPECT_EQ(seen.status, u"ok");
  EXPECT_EQ(seen.update, u"");
  EXPECT_TRUE(seen.noclean.empty());
  EXPECT_TRUE(seen.bankclean.empty());
}

TEST(ConfigReply, EditedFileIsServedWithoutRestartAndABrokenEditIsIgnored) {
  TestService service(R"({"bankclean": ["First"]})");
  const auto client = service.Http();
  EXPECT_EQ(ReadAsProgram(Get(client, "/api.init.php")->body).bankclean, std::vector<Text>{u"First"});

  // Same length as before, written at once: only the content tells them apart.
  WriteFile(service.config_file(), R"({"bankclean": ["Other"]})");
  EXPECT_EQ(ReadAsProgram(Get(client, "/api.init.php")->body).bankclean, std::vector<Text>{u"Other"});

  WriteFile(service.config_file(), R"({"bankclean": ["Half)");
  const auto res = Get(client, "/api.init.php");
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(ReadAsProgram(res->body).bankclean, std::vector<Text>{u"Other"});
  const auto log = service.log();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
    return l.find("configuration refused") != std::string::npos;
  }));

  std::filesystem::remove(service.config_file());
  EXPECT_EQ(ReadAsProgram(Get(client, "/api.init.php")->body).bankclean, std::vector<Text>{u"Other"});
}

TEST(ConfigReply, CountsCheckInsByDayAndVersionWithoutKeepingMachineKeys) {
  TestService service;
  const std::string today = UtcDay(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
  const std::pair<Headers, std::string> requests[] = {
      {{}, ""},
      {{{"User-Version", "3.6.0.0"}, {"User-UnionKey", "AB12CD34"}}, "3.6.0.0"},
      {{{"User-Version", "3.6.0.0"}, {"User-UnionKey", "EF56"}}, "3.6.0.0"},
      {{{"User-Version", "3.7"}}, "3.7"},
      // Not a version number: counted, under one label for all of them.
      {{{"User-Version", "3.6\xff"}}, "other"},
      {{{"User-Version", "<script>"}}, "other"},
      {{{"User-Version", "1.2.3.4.5"}}, "other"},
      {{{"User-Version", "123456.0"}}, "other"},
      {{{"User-Version", "3..6"}}, "other"},
      {{{"User-Version", ""}}, "other"},
  };
  std::map<std::string, std::int64_t> expected;
  for (const auto& [headers, label] : requests) {
    const auto res = Get(service.Http(), "/api.init.php", headers);
    ASSERT_TRUE(res && res->status == 200);
    ++expected[label];
  }
  service.service().check_ins().Flush();
  std::map<std::string, std::int64_t> counted;
  for (const auto& c : service.store().CheckInCounts(today)) {
    EXPECT_EQ(c.day, today);
    counted[c.version] += c.count;
  }
  EXPECT_EQ(counted, expected);
}

TEST(ConfigReply, IsAnsweredWhileTheStoreIsStuckOrFailing) {
  TestService service;
  service.store().Hold();  // a checkpoint or a lock that takes its time
  for (int i = 0; i < 3; ++i) {
    const auto res = Fetch(service.Http(), "GET", "/api.init.php", {}, {}, 5s);
    ASSERT_TRUE(res) << "the reply waited for the store";
    EXPECT_EQ(ReadAsProgram(res->body).status, u"ok");
  }
  service.store().failing = true;
  service.store().Release();
  const auto res = Get(service.Http(), "/api.init.php");
  ASSERT_TRUE(res);
  EXPECT_EQ(ReadAsProgram(res->body).status, u"ok");
}

TEST(CheckInRecorder, BatchesCountsKeepsThemThroughAFailureAndDropsBeyondItsRoom) {
  TempDir dir;
  SqliteStore sqlite(dir.path() / "r.sqlite3");
  SpyStore store(sqlite);
  std::vector<std::string> log;
  std::mutex log_mutex;
  CheckInRecorder recorder(
      store,
      [&](std::string_view line) {
        std::lock_guard lock(log_mutex);
        log.emplace_back(line);
      },
      {/*capacity=*/3, /*interval=*/std::chrono::hours(1)});
  constexpr std::int64_t kDay1 = 1'700'000'000'000, kDay2 = kDay1 + 86'400'000;
  store.failing = true;
  for (int i = 0; i < 5; ++i) recorder.Record(kDay1, "3.6.0.0");
  recorder.Record(kDay1, std::nullopt);
  recorder.Flush();  // fails: the counts wait for the next write
  recorder.Record(kDay2, "3.6.0.0");
  recorder.Record(kDay2, "3.7.0.0");  // a fourth key: no room
  recorder.Record(kDay1, "3.6.0.0");  // a known key still counts
  EXPECT_EQ(recorder.dropped(), 1u);
  store.failing = false;
  recorder.Flush();
  const std::vector<CheckInCount> expected{
      {UtcDay(kDay1), "", 1}, {UtcDay(kDay1), "3.6.0.0", 6}, {UtcDay(kDay2), "3.6.0.0", 1}};
  EXPECT_EQ(store.CheckInCounts("2000-01-01"), expected);
  std::lock_guard lock(log_mutex);
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const auto& l) { return l.find("not written") != l.npos; }));
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const auto& l) { return l.find("1 check-ins dropped") != l.npos; }));
}

TEST(ConfigFile, RefusesWhatTheProgramWouldMisread) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([])", "must be a JSON object"},
      {R"({"bankClean": []})", "unknown key \"bankClean\""},
      {R"({"noclean": "one"})", "\"noclean\" must be an array"},
      {R"({"noclean": ["a", 1]})", "every item of \"noclean\""},
      {R"({"update": 3})", "\"update\" must be a string"},
      {R"({"update": "C:\\Windows\\System32\\cmd.exe"})", "http:// or https://"},
      {R"({"update": "file:///C:/x.exe"})", "http:// or https://"},
      {R"({"noclean": [)", "not valid JSON"},
  };
  for (const auto& [text, message] : cases) {
    try {
      ParseConfig(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << text << " gave: " << e.what();
    }
  }
  // Comments are allowed, keys are optional.
  const ServiceConfig config = ParseConfig("// operator notes\n{\"update\": \"http://x/q.exe\" /* soon */}");
  EXPECT_EQ(config.update, "http://x/q.exe");
  EXPECT_TRUE(config.noclean.empty());
}

// Lists the program would cut short are refused, like any other misreadable
// value: 10,000 items that are not blank and 10,000 blank ones, each of at most 1,024 UTF-16 units (a character beyond the BMP is two).
TEST(ConfigFile, ListsBeyondWhatTheProgramKeepsAreRefused) {
  const auto file = [](std::size_t items, const std::string& item, const std::string& extra = "") {
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < items; ++i) list.push_back(item);
    if (!extra.empty()) list.push_back(extra);
    return nlohmann::json{{"noclean", list}, {"bankclean", {"a", " \t", ""}}}.dump();
  };
  std::string lock;
  for (int i = 0; i < 512; ++i) lock += "\xF0\x9F\x94\x92";  // 1,024 units in 512 characters
  std::string hangul;
  for (int i = 0; i < 1024; ++i) hangul += "\xED\x95\x9C";
  const ServiceConfig full = ParseConfig(file(kMaxListItems, "x.exe", " "));
  EXPECT_EQ(full.noclean.size(), kMaxListItems + 1);
  EXPECT_EQ(ParseConfig(file(2, lock)).noclean.size(), 2u);
  EXPECT_EQ(ParseConfig(file(2, hangul)).noclean.size(), 2u);
  const std::pair<std::string, const char*> refused[] = {
      {file(kMaxListItems, "x.exe", "y.exe"), "\"noclean\" has more than 10000 items"},
      {file(kMaxListItems, "", "\t"), "\"noclean\" has more than 10000 blank items"},
      {file(1, "a", lock + "a"), "item 2 of \"noclean\" is longer than 1024"},
      {file(1, hangul + " "), "item 1 of \"noclean\" is longer than 1024"},
  };
  for (const auto& [text, message] : refused) {
    try {
      ParseConfig(text);
      ADD_FAILURE() << "accepted a list of " << text.size() << " bytes, expected: " << message;
    } catch (const ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
  // What it serves of a full list, the program reads back whole.
  const ProgramView seen = ReadAsProgram(BuildInitReply(full));
  EXPECT_EQ(seen.noclean.size(), kMaxListItems + 1);
  EXPECT_EQ(seen.bankclean, (std::vector<Text>{u"a", u" \t", u""}));
}

}  // namespace
}  // namespace quorvane::service::testing

// The configuration reply, read back the way the program reads it.
#include <algorithm>

#include <gtest/gtest.h>

#include "service/config.h"
#include "tests/service/service_fixture.h"
#include "vek/strings.h"

namespace quorvane::service::testing {
namespace {

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

TEST(ConfigReply, RecordsVersionAndMachineKeyAndAnswersWithoutThem) {
  TestService service;
  const auto client = service.Http();
  EXPECT_EQ(Get(client, "/api.init.php")->status, 200);
  EXPECT_EQ(Get(client, "/api.init.php", {{"User-Version", "3.6.0.0"}, {"User-UnionKey", "AB12CD34"}})->status, 200);
  // A header that is not text (Latin-1 from an old build, say) is kept readable.
  EXPECT_EQ(Get(client, "/api.init.php", {{"User-Version", "3.6\xff"}})->status, 200);

  const auto seen = service.store().RecentCheckIns(10);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].version, "3.6\xEF\xBF\xBD");
  EXPECT_EQ(seen[0].union_key, std::nullopt);
  EXPECT_EQ(seen[1].version, "3.6.0.0");
  EXPECT_EQ(seen[1].union_key, "AB12CD34");
  EXPECT_EQ(seen[2].version, std::nullopt);
  EXPECT_EQ(seen[2].union_key, std::nullopt);
  EXPECT_GT(seen[2].received_ms, 1'600'000'000'000);
}

TEST(ConfigReply, StorageFailureStillAnswersTheProgram) {
  TestService service;
  service.store().failing = true;
  const auto res = Get(service.Http(), "/api.init.php");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(ReadAsProgram(res->body).status, u"ok");
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

}  // namespace
}  // namespace quorvane::service::testing

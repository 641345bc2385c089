// Report uploads from the program's side of the wire: what is taken, what is
// refused, and what the key looks like.
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "service/escape.h"
#include "service/report.h"
#include "service/report_key.h"
#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

constexpr const char* kJsonType = "application/json";

std::string MessageOf(const std::string& reply) {
  const auto doc = nlohmann::json::parse(reply, nullptr, false);
  return doc.is_object() && doc.contains("message") ? doc["message"].get<std::string>() : std::string();
}

TEST(ReportUpload, StoresTheProgramsReportWithItsHeadersAndAnswersAKey) {
  TestService service;
  const std::string body = SampleReport().Body();
  const auto res =
      PostJson(service.Https(), "/report.php", body, {{"User-Version", "3.6.0.0"}, {"User-UnionKey", "0A1B2C"}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const std::string key = KeyOf(res->body);
  EXPECT_TRUE(IsWellFormedReportKey(key)) << res->body;
  // The program finds the key by the literal marker "pk":" and the next quote.
  EXPECT_NE(res->body.find("\"pk\":\"" + key + "\""), std::string::npos);

  const auto stored = service.store().GetReport(key);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->body, body);
  EXPECT_EQ(stored->version, "3.6.0.0");
  EXPECT_EQ(stored->union_key, "0A1B2C");
}

TEST(ReportUpload, KeysAreRandomUrlSafeAndAtLeast128Bits) {
  std::set<std::string> keys;
  for (int i = 0; i < 2000; ++i) {
    const std::string key = NewReportKey();
    ASSERT_TRUE(IsWellFormedReportKey(key)) << key;
    EXPECT_GE(key.size() * 6, 128u);
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 2000u);

  TestService service;
  const auto client = service.Https();
  const std::string body = SampleReport().Body();
  const std::string a = KeyOf(PostJson(client, "/report.php", body)->body);
  const std::string b = KeyOf(PostJson(client, "/report.php", body)->body);
  EXPECT_NE(a, b) << "the same report twice is two reports";
}

TEST(ReportUpload, RefusesBodiesThatAreNotReportsAndStoresNothing) {
  TestService service;
  const auto client = service.Https();
  const std::pair<std::string, std::string> cases[] = {
      {"", "not valid JSON"},
      {"{\"cate\":\"clean\"}", "must be a JSON array"},
      {"[1]", "record 1: a record must be an object"},
      {"[[]]", "record 1: a record must be an object"},
      {"[{\"cate\":\"start\",\"item\":\"a\"},{\"cate\":\"start\",\"item\":7}]", "record 2: field \"item\" must be a string"},
      {"[{\"cate\":\"start\",\"item\":{\"x\":\"y\"}}]", "must be a string, not an object"},
      {"[{\"cate\":\"start\",\"item\":\"a\",\"item\":\"b\"}]", "appears twice"},
      {"[{\"item\":\"a\"}]", "no \"cate\""},
      {"[{\"cate\":\"process\",\"file\":\"a\"}]", "unknown category \"process\""},
      {"[{\"cate\":\"clean\",\"file\":\"a\"}]", "needs the field \"state\""},
      {"[{\"cate\":\"clean\",\"file\":\"a\",\"state\":\"0\"}]", "state must be 1, -1 or -2"},
      {"[{\"cate\":\"memory\",\"old\":\"1\",\"new\":\"-5\",\"tot\":\"9\"}]", "decimal byte counts"},
      {"[{\"cate\":\"memory\",\"old\":\"1\",\"new\":\"99999999999999999999999\",\"tot\":\"9\"}]", "decimal byte counts"},
      {"[{\"cate\":\"memory\",\"old\":\"1\",\"new\":\"2\",\"tot\":\"3\"},"
       "{\"cate\":\"memory\",\"old\":\"1\",\"new\":\"2\",\"tot\":\"3\"}]",
       "second"},
      {"[{\"cate\":\"start\",\"item\":\"a\"}] trailing", "not valid JSON"},
      {"[{\"cate\":\"start\",\"item\":\"\xff\"}]", "not valid JSON"},
      {std::string(100000, '[') + std::string(100000, ']'), "record 1: a record must be an object"},
  };
  for (const auto& [body, message] : cases) {
    const auto res = PostJson(client, "/report.php", body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << body.substr(0, 80);
    EXPECT_NE(MessageOf(res->body).find(message), std::string::npos) << body.substr(0, 80) << " gave " << res->body;
    EXPECT_EQ(res->body.find("\"pk\""), std::string::npos);
  }
  EXPECT_EQ(service.store().puts, 0);
}

TEST(ReportUpload, RefusesOversizedAndCompressedBodiesWithAClearMessage) {
  TestService service;
  const auto client = service.Https();
  // A valid report just over the limit: the size alone refuses it.
  std::string big = "[";
  while (big.size() <= 4 * 1024 * 1024) big += "{\"cate\":\"start\",\"item\":\"" + std::string(1000, 'x') + "\"},";
  big.back() = ']';
  auto res = PostJson(client, "/report.php", big);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 413);
  EXPECT_NE(MessageOf(res->body).find("larger than the limit"), std::string::npos) << res->body;

  res = PostJson(client, "/report.php", "[]", {{"Content-Encoding", "gzip"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 415);
  EXPECT_EQ(service.store().puts, 0);
}

TEST(ReportUpload, StorageFailureIsAnErrorNotAKey) {
  TestService service;
  service.store().failing = true;
  const auto res = PostJson(service.Https(), "/report.php", SampleReport().Body());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 503);
  EXPECT_EQ(KeyOf(res->body), "");
}

TEST(ReportUpload, ReportWithEmptyListPagesIsTaken) {
  TestService service;
  ProgramReport report;
  report.processes = {{u"%SystemRoot%\\System32\\csrss.exe", 1}};
  report.memory = std::array<std::uint64_t, 3>{1, 2, 3};
  const auto res = PostJson(service.Https(), "/report.php", report.Body());
  ASSERT_EQ(res->status, 200);
  EXPECT_TRUE(service.store().GetReport(KeyOf(res->body)));
}

TEST(ReportUpload, UnpairedSurrogateInANameKeepsTheReport) {
  // Windows names may hold a lone surrogate; the program escapes each unit.
  TestService service;
  ProgramReport report = SampleReport();
  report.processes.push_back({u"C:\\odd\\a\xD800z.exe", -1});
  report.install.push_back({u"x\xDC01", u""});
  const auto res = PostJson(service.Https(), "/report.php", report.Body());
  ASSERT_EQ(res->status, 200) << res->body;
  const auto stored = service.store().GetReport(KeyOf(res->body));
  ASSERT_TRUE(stored);
  const ReportParse parsed = ParseReport(stored->body);
  ASSERT_TRUE(parsed.report) << parsed.error;
  EXPECT_EQ(parsed.report->clean.back().file, "C:\\odd\\a\xEF\xBF\xBDz.exe");
  EXPECT_EQ(parsed.report->install.back().display_name, "x\xEF\xBF\xBD");
}

TEST(Escapes, LoneSurrogateRepairLeavesPairsAndOtherEscapesAlone) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("\uD83D\uDD12")", R"("\uD83D\uDD12")"},   // a pair
      {R"("\uD800")", R"("\uFFFD")"},               // lone high
      {R"("\udc00x")", R"("\uFFFDx")"},             // lone low, lower-case hex
      {R"("\uD800\u0041")", R"("\uFFFD\u0041")"},   // high followed by no low
      {R"("\\uD800")", R"("\\uD800")"},             // an escaped backslash, then text
      {R"("\uD83D\uDD12\uDD12")", R"("\uD83D\uDD12\uFFFD")"},
      {R"("\uD8")", R"("\uD8")"},                   // malformed: left for the parser to refuse
  };
  for (const auto& [in, out] : cases) {
    std::string text = in;
    RepairLoneSurrogateEscapes(text);
    EXPECT_EQ(text, out) << in;
  }
}

}  // namespace
}  // namespace quorvane::service::testing

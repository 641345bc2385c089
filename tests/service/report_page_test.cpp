// The report page as a browser receives it.
#include <gtest/gtest.h>

#include "service/plugin_list.h"
#include "service/report_page.h"
#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

constexpr const char* kJsonType = "application/json";

bool Has(const std::string& html, const std::string& text) { return html.find(text) != std::string::npos; }

std::string Upload(const TestService& service, const std::string& body) {
  const auto res = PostJson(service.Https(), "/report.php", body);
  return res && res->status == 200 ? KeyOf(res->body) : std::string();
}

TEST(ReportPage, ShowsWhatTheResetDidAndWhatThePcHolds) {
  TestService service(R"({"bankclean": ["Microsoft Edge"]})");
  const std::string key = Upload(service, SampleReport().Body());
  ASSERT_FALSE(key.empty());
  const auto res = Get(service.Https(), "/?report=" + key);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  EXPECT_EQ(res->Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(res->Header("Cache-Control"), "no-store");
  const std::string& html = res->body;

  EXPECT_TRUE(Has(html, "<html lang=\"ko\">"));
  EXPECT_FALSE(Has(html, "<script"));
  EXPECT_TRUE(Has(html, "id=\"ended-count\">2<"));
  EXPECT_TRUE(Has(html, "id=\"running-count\">1<"));
  EXPECT_TRUE(Has(html, "id=\"kept-count\">2<"));
  EXPECT_TRUE(Has(html, "id=\"memory-before\">2.0 GB<"));
  EXPECT_TRUE(Has(html, "id=\"memory-after\">3.5 GB<"));
  EXPECT_TRUE(Has(html, "class=\"up\">+1.5 GB<"));
  EXPECT_TRUE(Has(html, "id=\"memory-total\">8.0 GB<"));
  EXPECT_TRUE(Has(html, "<svg"));
  // Folded paths as sent, with the program's escapes undone.
  EXPECT_TRUE(Has(html, "%ProgramFiles(x86)%\\Wizvera\\Veraport20\\veraport.exe"));
  EXPECT_TRUE(Has(html, "C:\\Users\\홍길동\\AppData\\Local\\은행보안\\agent.exe"));
  EXPECT_TRUE(Has(html, "TouchEn Key BHO"));
  // Each startup entry with what it does at the next logon; records of older
  // programs and states of newer ones are shown, their state as unknown.
  EXPECT_TRUE(Has(html, "<tr><td>IPinside LWS Agent</td><td>Windows 설정에서 사용 안 함</td></tr>"));
  EXPECT_TRUE(Has(html, "<tr><td>V3 Lite</td><td>로그온할 때 실행</td></tr>"));
  EXPECT_TRUE(Has(html, "<tr><td>KeySharp</td><td>쿼베노로 사용 안 함 (백업 보관)</td></tr>"));
  EXPECT_TRUE(Has(html, "<tr><td>Old Agent</td><td>알수없음</td></tr>"));
  EXPECT_TRUE(Has(html, "<tr><td>Newer</td><td>알수없음</td></tr>"));
  EXPECT_TRUE(Has(html, "한글과컴퓨터"));
  // The built-in plug-in name matches by case-sensitive prefix; the operator's
  // addition counts too; the lower-case look-alike does not.
  EXPECT_TRUE(Has(html, "id=\"plugin-count\">2<"));
  EXPECT_TRUE(Has(html, "<tr class=\"plugin\"><td>MagicLine4NP 1.0.0.24<span class=\"badge\">"));
  EXPECT_TRUE(Has(html, "<tr class=\"plugin\"><td>Microsoft Edge<span"));
  EXPECT_TRUE(Has(html, "<tr><td>magicline4np</td><td>알수없음</td></tr>"));
  EXPECT_TRUE(Has(html, "강제설치"));
  EXPECT_FALSE(Has(html, "쿼베노 3.6"));  // uploaded without a version header
  EXPECT_TRUE(Has(html, "버전 알 수 없음"));
}

TEST(ReportPage, EmptyListsAndMissingMemorySayWhatIsMissing) {
  TestService service;
  ProgramReport report;
  report.processes = {{u"%SystemRoot%\\System32\\csrss.exe", 1}};
  const std::string key = Upload(service, report.Body());
  const std::string html = Get(service.Https(), "/?report=" + key)->body;
  EXPECT_TRUE(Has(html, "id=\"ended-count\">0<"));
  EXPECT_TRUE(Has(html, "종료한 프로그램이 없습니다."));
  EXPECT_TRUE(Has(html, "메모리 정보가 없습니다."));
  EXPECT_TRUE(Has(html, "설치된 프로그램 정보가 없습니다."));
  EXPECT_FALSE(Has(html, "plugin-notice"));
}

TEST(ReportPage, NothingFromTheReportCanChangeThePage) {
  TestService service;
  ProgramReport report;
  report.processes = {{u"C:\\<script>alert(1)</script>\\a.exe", -1}};
  report.install = {{u"\"><img src=x onerror=alert(1)>", u"A & B\u0001"}};
  const std::string key = Upload(service, report.Body());
  const std::string html = Get(service.Https(), "/?report=" + key)->body;
  EXPECT_FALSE(Has(html, "<script>"));
  EXPECT_FALSE(Has(html, "<img"));
  EXPECT_TRUE(Has(html, "C:\\&lt;script&gt;alert(1)&lt;/script&gt;\\a.exe"));
  EXPECT_TRUE(Has(html, "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"));
  EXPECT_TRUE(Has(html, "A &amp; B\xEF\xBF\xBD"));
}

TEST(ReportPage, KeysThatNameNoReportGetTheNotFoundPage) {
  TestService service;
  const auto client = service.Https();
  struct Case {
    std::string path;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {"/?report=", 200, "보고서를 올리지 못한 것입니다"},
      {"/", 200, "쿼베노 초기화 보고서"},
      {"/?report=AAAAAAAAAAAAAAAAAAAAAAAA", 404, "보고서를 찾을 수 없습니다"},
      {"/?report=short", 404, "보고서를 찾을 수 없습니다"},
      {"/?report=AAAAAAAAAAAAAAAAAAAAAAA%2F", 404, "보고서를 찾을 수 없습니다"},
      {"/?report=%27%20OR%201%3D1--%20AAAAAAAAAAAA", 404, "보고서를 찾을 수 없습니다"},
      {"/report/elsewhere", 404, "보고서를 찾을 수 없습니다"},
  };
  for (const auto& c : cases) {
    const auto res = Get(client, c.path);
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, c.status) << c.path;
    EXPECT_TRUE(Has(res->body, c.text)) << c.path;
    EXPECT_TRUE(Has(res->body, "<html lang=\"ko\">")) << c.path << ": in the site's own style";
  }
}

TEST(ReportPage, StorageFailureShowsAPageNotACrash) {
  TestService service;
  const std::string key = Upload(service, SampleReport().Body());
  service.store().failing = true;
  const auto res = Get(service.Https(), "/?report=" + key);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 503);
  EXPECT_TRUE(Has(res->body, "잠시 후"));
}

TEST(PluginList, MatchesAsTheProgramDoes) {
  const std::vector<std::string> items{"  MagicLine4NP\t", "", "   ", "//Delfino", "Veraport(보안모듈 관리 프로그램) G3"};
  const std::pair<const char*, bool> cases[] = {
      {"MagicLine4NP", true},
      {"MagicLine4NP 1.0.0.24", true},
      {"magicline4np", false},
      {"MagicLine", false},
      {"Delfino G3", false},
      {"//Delfino", false},
      {"Veraport(보안모듈 관리 프로그램) G3 3.8.6.1", true},
      {"Veraport(보안모듈 관리 프로그램)", false},
      {"", false},
  };
  for (const auto& [name, match] : cases) EXPECT_EQ(MatchesPluginList(items, name), match) << name;

  const auto effective = EffectivePluginList(std::vector<std::string>{"MyBank Guard"});
  EXPECT_EQ(effective.size(), BuiltInPluginNames().size() + 1);
  EXPECT_TRUE(MatchesPluginList(effective, "MyBank Guard 2"));
  EXPECT_TRUE(MatchesPluginList(effective, "AhnLab Safe Transaction"));
}

TEST(ReportPage, ByteFiguresReadAsWindowsShowsThem) {
  EXPECT_EQ(FormatBytes(0), "0 MB");
  EXPECT_EQ(FormatBytes(512ull << 20), "512 MB");
  EXPECT_EQ(FormatBytes(1ull << 30), "1.0 GB");
  EXPECT_EQ(FormatBytes((16ull << 30) - 1), "16.0 GB");
  EXPECT_EQ(FormatByteChange(3ull << 30, 1ull << 30), "-2.0 GB");
  EXPECT_EQ(FormatByteChange(100, 100), "0 MB");
  EXPECT_EQ(FormatByteChange(0, 300ull << 20), "+300 MB");
}

}  // namespace
}  // namespace quorvane::service::testing

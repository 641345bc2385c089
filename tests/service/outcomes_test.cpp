// The reset's outcomes on the report page: refused terminations and processes
// that came back, read from the upload and shown in Korean.
#include <gtest/gtest.h>

#include "service/outcomes.h"
#include "service/plugin_list.h"
#include "service/report.h"

namespace quorvane::service {
namespace {

bool Has(const std::string& html, const std::string& text) { return html.find(text) != std::string::npos; }

constexpr std::string_view kOldRecords =
    R"([{"cate":"clean","file":"a.exe","state":"-1"},{"cate":"clean","file":"b.exe","state":"1"},)"
    R"({"cate":"clean","file":"c.exe","state":"-2"},{"cate":"memory","old":"1","new":"2","tot":"3"})";

TEST(ResetOutcomes, NewRecordsAreTakenAndOldReportsStillRead) {
  const struct {
    std::string tail;  // records after the memory record
    bool accepted;
    std::size_t refused, back;
  } cases[] = {
      {"", true, 0, 0},
      {R"(,{"cate":"refused","file":"c.exe","why":"denied"})", true, 1, 0},
      {R"(,{"cate":"refused","file":"c.exe","why":"error 1450"},{"cate":"back","file":"a.exe","pid":"4120"})", true,
       1, 1},
      {R"(,{"cate":"back","file":"a.exe","pid":"4120","program":"A","publisher":"P","later":"x"})", true, 0, 1},
      {R"(,{"cate":"back","file":"a.exe","pid":"-1"})", false, 0, 0},
      {R"(,{"cate":"back","file":"a.exe","pid":""})", false, 0, 0},
      {R"(,{"cate":"back","file":"a.exe"})", false, 0, 0},
      {R"(,{"cate":"refused","file":"a.exe"})", false, 0, 0},
      {R"(,{"cate":"refused","file":"a.exe","why":5})", false, 0, 0},
  };
  for (const auto& c : cases) {
    const std::string body = std::string(kOldRecords) + c.tail + "]";
    SCOPED_TRACE(body);
    const ReportParse parsed = ParseReport(body);
    EXPECT_EQ(parsed.report.has_value(), c.accepted) << parsed.error;
    EXPECT_EQ(ReportError(body).empty(), c.accepted);
    if (!parsed.report) continue;
    EXPECT_EQ(parsed.report->clean.size(), 3u);
    EXPECT_EQ(parsed.report->refused.size(), c.refused);
    EXPECT_EQ(parsed.report->back.size(), c.back);
  }
  const auto report = ParseReport(std::string(kOldRecords) +
                                  R"(,{"cate":"back","file":"a.exe","pid":"4120","program":"A","publisher":"P"}])");
  ASSERT_TRUE(report.report);
  const BackRecord& b = report.report->back.at(0);
  EXPECT_EQ(b.file + "|" + b.pid + "|" + b.program + "|" + b.publisher, "a.exe|4120|A|P");
}

TEST(ResetOutcomes, ReturnedProcessMatchesTheNamedProgramElseItsPublisher) {
  const std::vector<InstallRecord> installed = {
      {"Hancom Office", "Hancom"},
      {"IPinside LWS Agent", "Interezen"},
      {"Interezen Viewer", " interezen "},
      {"Veraport", "Wizvera"},
  };
  const std::vector<std::string> plugins = {"IPinside"};
  const struct {
    const char *program, *publisher, *expected;  // expected null for none
  } cases[] = {
      {"Veraport", "", "Veraport"},
      {"Veraport", "Hancom", "Veraport"},          // the folder match wins
      {"Not Installed", "Hancom", "Hancom Office"},
      {"", "INTEREZEN", "IPinside LWS Agent"},      // the plug-in among equal publishers
      {"", "  Wizvera ", "Veraport"},
      {"", "Wizvera Inc.", nullptr},
      {"", "", nullptr},
      {"veraport", "", nullptr},                    // names are taken exactly
  };
  for (const auto& c : cases) {
    const BackRecord back{"x.exe", "1", c.program, c.publisher};
    const InstallRecord* got = MatchReturnedProcess(back, installed, plugins);
    EXPECT_EQ(got ? got->display_name : "(none)", c.expected ? c.expected : "(none)")
        << c.program << " / " << c.publisher;
  }
}

TEST(ResetOutcomes, SummaryAndSectionsInKoreanWithEverythingEscaped) {
  Report report;
  report.clean = {{"a.exe", ProcessOutcome::Ended}, {"b.exe", ProcessOutcome::Ended}, {"k.exe", ProcessOutcome::Kept},
                  {"<p.exe", ProcessOutcome::StillRunning}};
  report.refused = {{"<p.exe", "denied"}, {"q&.exe", "error 1450"}, {"r.exe", "<b>odd</b>"}};
  report.back = {{"%ProgramFiles%\\IPinside\\<i>.exe", "4120", "IPinside <LWS>", ""},
                 {"z.exe", "77", "", ""}};
  report.install = {{"IPinside <LWS>", "Interezen"}};
  const std::vector<std::string> plugins = EffectivePluginList(std::vector<std::string>{"IPinside"});

  std::string html;
  AppendResetOutcomes(html, report, plugins);
  EXPECT_TRUE(Has(html, "종료함 <strong id=\"summary-ended\">2</strong>개"));
  EXPECT_TRUE(Has(html, "유지함 <strong id=\"summary-kept\">1</strong>개"));
  EXPECT_TRUE(Has(html, "종료하지 못함 <strong id=\"summary-refused\">3</strong>개"));
  EXPECT_TRUE(Has(html, "다시 실행됨 <strong id=\"summary-back\">2</strong>개"));
  EXPECT_TRUE(Has(html, "<code>&lt;p.exe</code></td><td>Windows가 종료를 거부함"));
  EXPECT_TRUE(Has(html, "<code>q&amp;.exe</code></td><td>종료 중 오류 (코드 1450)"));
  EXPECT_TRUE(Has(html, "기타: &lt;b&gt;odd&lt;/b&gt;"));
  EXPECT_TRUE(Has(html, "%ProgramFiles%\\IPinside\\&lt;i&gt;.exe"));
  EXPECT_TRUE(Has(html, "<strong>IPinside &lt;LWS&gt;</strong>의 프로그램입니다."
                        "<span class=\"badge\">알려진 보안 플러그인</span>"));
  EXPECT_TRUE(Has(html, "<strong>강제설치</strong> 화면에서 삭제하면"));
  EXPECT_FALSE(Has(html, "<i>"));
  EXPECT_FALSE(Has(html, "<b>"));
  // The one without a program gets no hint.
  const std::size_t last = html.find("z.exe");
  ASSERT_NE(last, std::string::npos);
  EXPECT_FALSE(Has(html.substr(last), "강제설치"));

  // An older program's report: the summary alone, nothing refused or back.
  report.refused.clear();
  report.back.clear();
  html.clear();
  AppendResetOutcomes(html, report, plugins);
  EXPECT_TRUE(Has(html, "id=\"summary-back\">0<"));
  EXPECT_FALSE(Has(html, "id=\"back\""));
  EXPECT_FALSE(Has(html, "id=\"refused\""));
}

}  // namespace
}  // namespace quorvane::service

// Crash reports through the service: the upload, the gate in front of the
// crash pages, and what the pages show.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "service/admin_gate.h"
#include "service/crash_pages.h"
#include "service/crash_report.h"
#include "service/escape.h"
#include "service/report_key.h"
#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

constexpr const char* kToken = "Vq3-t0ken_for.tests~0123456789";

bool Has(const std::string& html, std::string_view text) { return html.find(text) != std::string::npos; }

ServiceOptions WithAdmin() {
  ServiceOptions options;
  options.admin = AdminGate(kToken);
  return options;
}

Headers Bearer(std::string_view token = kToken) { return {{"Authorization", "Bearer " + std::string(token)}}; }

std::optional<Reply> UploadCrash(const Endpoint& endpoint, const std::string& body) {
  return PostJson(endpoint, "/crash.php", body, {{"User-Version", "3.6.0.0"}, {"User-UnionKey", ""}});
}

TEST(CrashUpload, StoresTheProgramsReportAndAnswersOk) {
  TestService service;
  const std::string body = SampleCrash().Body();
  const auto res = UploadCrash(service.Https(), body);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(res->body, "{\"status\":\"ok\"}");
  EXPECT_EQ(res->Header("Content-Type"), "application/json; charset=utf-8");
  const auto groups = service.store().CrashGroups(10);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].signature, "0xc0000005 quorvane.exe+0x1a2b0");
  const auto stored = service.store().GetCrash(groups[0].latest_key);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->body, body);
  EXPECT_EQ(stored->version, "3.6.0.0");
  EXPECT_EQ(stored->arch, "x86_64");
  EXPECT_EQ(stored->windows, "10.0.19045");
  EXPECT_EQ(stored->union_key, "0123456789abcdef0123456789abcdef01234567");
}

TEST(CrashUpload, RefusesWhatIsNotACrashReportAndStoresNothing) {
  TestService service;
  const auto client = service.Https();
  std::string big = SampleCrash().Body();
  big.insert(big.size() - 1, ",\"padding\":\"" + std::string(1024 * 1024, 'x') + "\"");
  struct Case {
    std::string body;
    Headers headers;
    int status;
  };
  const Case cases[] = {
      {"[]", {}, 400},
      {SampleCrash().Body().substr(0, 300), {}, 400},
      {SampleReport().Body(), {}, 400},  // a reset report sent to the wrong place
      {big, {}, 413},
      {SampleCrash().Body(), {{"Content-Encoding", "gzip"}}, 415},
  };
  for (const auto& c : cases) {
    auto headers = c.headers;
    const auto res = PostJson(client, "/crash.php", c.body, headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << c.body.substr(0, 60) << ": " << res->body;
    EXPECT_EQ(nlohmann::json::parse(res->body, nullptr, false).value("status", ""), "error") << res->body;
  }
  // Plain http never carries a crash report: its paths and modules are the PC's.
  EXPECT_EQ(PostJson(service.Http(), "/crash.php", SampleCrash().Body())->status, 404);
  EXPECT_EQ(service.store().crash_puts, 0);
  EXPECT_TRUE(service.store().CrashGroups(10).empty());
}

TEST(CrashUpload, StorageFailureIsA503) {
  TestService service;
  service.store().failing = true;
  const auto res = UploadCrash(service.Https(), SampleCrash().Body());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 503);
  EXPECT_NE(res->body.find("could not be stored"), std::string::npos);
}

TEST(AdminGate, TokensAreLongPrintableAndFitForAHeaderAndACookie) {
  const std::pair<std::string, bool> cases[] = {
      {std::string(16, 'a'), true},
      {std::string(512, 'a'), true},
      {"Zm9vYmFyYmF6cXV4+/=", true},  // base64
      {std::string(15, 'a'), false},
      {std::string(513, 'a'), false},
      {"aaaaaaaa aaaaaaaa", false},
      {"aaaaaaaa;aaaaaaaa", false},
      {"aaaaaaaa,aaaaaaaa", false},
      {"aaaaaaaa\"aaaaaaaa", false},
      {"aaaaaaaa\\aaaaaaaa", false},
      {"aaaaaaaa\x7f" "aaaaaaaa", false},
      {"aaaaaaaa\xed\x95\x9c" "aaaaaaaa", false},
  };
  for (const auto& [token, fit] : cases) EXPECT_EQ(AdminGate::TokenProblem(token).empty(), fit) << token;

  TempDir dir;
  const auto file = dir.path() / "token";
  WriteFile(file, std::string(kToken) + "\r\n");
  ::chmod(file.c_str(), 0600);
  EXPECT_TRUE(AdminGate::FromFile(file).Matches(kToken)) << "the line break is not part of the token";
  ::chmod(file.c_str(), 0644);
  EXPECT_THROW(AdminGate::FromFile(file), std::runtime_error) << "others may read it";
  EXPECT_THROW(AdminGate::FromFile(dir.path() / "missing"), std::runtime_error);
}

// Every way of asking without the token must look like asking for a page
// that does not exist; the token itself, and only it, opens the pages.
TEST(AdminGate, WithoutTheTokenTheCrashPagesAreNotThere) {
  TestService service("{}", nullptr, WithAdmin());
  TestService closed;  // no admin token: no crash pages at all
  const auto client = service.Https();
  ASSERT_EQ(UploadCrash(client, SampleCrash().Body())->status, 200);
  const std::string key = service.store().CrashGroups(1).at(0).latest_key;
  const std::string token = kToken;
  const std::string cookie = std::string(AdminGate::kCookie) + "=";

  const auto absent = Get(client, "/no/such/page");
  ASSERT_TRUE(absent);
  ASSERT_EQ(absent->status, 404);
  struct Case {
    std::string target;
    Headers headers;
    int status;
  };
  const Case cases[] = {
      {"/crashes", {}, 404},
      {"/crashes", Bearer("wrong-token-0123456789"), 404},
      {"/crashes", Bearer(token.substr(0, token.size() - 1)), 404},
      {"/crashes", Bearer(token + "x"), 404},
      {"/crashes", Bearer(""), 404},
      {"/crashes", {{"Authorization", "Basic " + token}}, 404},
      {"/crashes", {{"Authorization", token}}, 404},
      {"/crashes?token=" + token, {}, 404},
      {"/crashes", {{"Cookie", "other=" + token}}, 404},
      {"/crashes", {{"Cookie", cookie + token.substr(1)}}, 404},
      {"/crashes/crash?id=" + key, {}, 404},
      {"/crashes/group?signature=0xc0000005%20quorvane.exe%2B0x1a2b0", {}, 404},
      {"/crashes", Bearer(), 200},
      {"/crashes", {{"Authorization", "bearer   " + token + " "}}, 200},
      {"/crashes", {{"Cookie", "a=b; " + cookie + token + "; c=d"}}, 200},
      {"/crashes/crash?id=" + key, Bearer(), 200},
      {"/crashes/group?signature=0xc0000005%20quorvane.exe%2B0x1a2b0", Bearer(), 200},
      {"/crashes/crash?id=" + NewReportKey(), Bearer(), 404},
      {"/crashes/crash?id=%27--", Bearer(), 404},
      {"/crashes/group?signature=nothing", Bearer(), 404},
  };
  for (const auto& c : cases) {
    const auto res = Get(client, c.target, c.headers);
    ASSERT_TRUE(res) << c.target;
    EXPECT_EQ(res->status, c.status) << c.target << " " << (c.headers.empty() ? "" : c.headers[0].second);
    if (c.status == 404) {
      EXPECT_EQ(res->body, absent->body) << c.target;
      EXPECT_EQ(res->headers, absent->headers) << c.target;
    } else {
      EXPECT_EQ(res->Header("Cache-Control"), "no-store");
      EXPECT_NE(res->Header("Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos);
    }
  }
  // Not over plain http, nor where the service has no token, token or not.
  EXPECT_EQ(Get(service.Http(), "/crashes", Bearer())->status, 404);
  EXPECT_EQ(Get(closed.Https(), "/crashes", Bearer())->status, 404);
  EXPECT_EQ(Get(closed.Https(), "/crashes/login")->status, 404);
  for (const auto& line : service.log()) EXPECT_EQ(line.find(token), std::string::npos) << line;
}

TEST(AdminGate, SignInSetsAnHttpsOnlyCookieThatOpensThePages) {
  TestService service("{}", nullptr, WithAdmin());
  const auto client = service.Https();
  const auto form = Get(client, "/crashes/login?next=/crashes/group?signature=x");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 200);
  EXPECT_TRUE(Has(form->body, "name=\"token\""));
  EXPECT_TRUE(Has(form->body, "value=\"/crashes/group?signature=x\""));

  const Headers urlencoded{{"Content-Type", "application/x-www-form-urlencoded"}};
  const auto unknown = Fetch(client, "POST", "/no/such/form", "token=x", urlencoded);
  const auto wrong = Fetch(client, "POST", "/crashes/login", "token=wrong-token-0123456789", urlencoded);
  ASSERT_TRUE(wrong && unknown);
  EXPECT_EQ(wrong->status, 404);
  EXPECT_EQ(wrong->body, unknown->body);
  EXPECT_EQ(wrong->Header("Set-Cookie"), "");

  const struct {
    std::string next;
    std::string location;
  } targets[] = {
      {"", "/crashes"},
      {"%2Fcrashes%2Fcrash%3Fid%3DAAAA", "/crashes/crash?id=AAAA"},
      {"https%3A%2F%2Fexample.com%2Fcrashes", "/crashes"},
      {"%2F%2Fexample.com%2Fcrashes", "/crashes"},
      {"%2Fcrashes%2F%2Fexample.com", "/crashes"},
      {"%2Fcrashesx", "/crashes"},
      {"%2F%3Freport%3Dx", "/crashes"},
  };
  std::string set_cookie;
  for (const auto& t : targets) {
    const auto res = Fetch(client, "POST", "/crashes/login",
                           "token=" + PercentEncode(kToken) + "&next=" + t.next, urlencoded);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->Header("Location"), t.location) << t.next;
    set_cookie = res->Header("Set-Cookie");
  }
  EXPECT_EQ(set_cookie, std::string(AdminGate::kCookie) + "=" + kToken + "; Path=/; Secure; HttpOnly; SameSite=Lax");
  const std::string cookie = set_cookie.substr(0, set_cookie.find(';'));
  EXPECT_EQ(Get(client, "/crashes", {{"Cookie", cookie}})->status, 200);
  for (const auto& line : service.log()) EXPECT_EQ(line.find(kToken), std::string::npos) << line;
}

// Uploads of the same fault group together however the program wrote the
// digits and its own name; other faults make groups of their own.
TEST(CrashPages, ListGroupsBySignatureWithCountsVersionsAndTimes) {
  TestService service("{}", nullptr, WithAdmin());
  const auto client = service.Https();
  ProgramCrash a = SampleCrash();
  ProgramCrash a_other_version = a;
  a_other_version.version = u"3.10.0.0";
  ProgramCrash a_other_case = a;
  a_other_case.program = u"QUORVANE.EXE";
  ProgramCrash b = a;
  b.code = 0xC0000409;
  b.threads[0].frames.erase(b.threads[0].frames.begin());
  const auto lower = [](std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(v));
    return std::string(text);
  };
  for (const std::string& body :
       {a.Body(), a_other_version.Body(lower), a_other_case.Body(), b.Body(), a.Body(lower)}) {
    ASSERT_EQ(UploadCrash(client, body)->status, 200);
  }
  const auto list = Get(client, "/crashes", Bearer());
  ASSERT_EQ(list->status, 200);
  const std::string& html = list->body;
  EXPECT_TRUE(Has(html, "<html lang=\"ko\">"));
  EXPECT_FALSE(Has(html, "<script"));
  const auto row = [&](std::string_view signature) {
    const auto at = html.find(std::string(signature) + "</a>");
    return at == std::string::npos ? std::string() : html.substr(at, html.find("</tr>", at) - at);
  };
  const std::string group_a = row("0xc0000005 quorvane.exe+0x1a2b0");
  const std::string group_b = row("0xc0000409 quorvane.exe+0x2f00");
  ASSERT_FALSE(group_a.empty()) << html;
  ASSERT_FALSE(group_b.empty()) << html;
  EXPECT_TRUE(Has(group_a, "<td class=\"num\">4</td>")) << group_a;
  EXPECT_TRUE(Has(group_a, "3.6.0.0, 3.10.0.0")) << group_a;
  EXPECT_TRUE(Has(group_b, "<td class=\"num\">1</td>")) << group_b;
  EXPECT_TRUE(Has(group_a, "(한국 시간)"));
  EXPECT_LT(html.find("0xc0000005 quorvane.exe+0x1a2b0</a>"), html.find("0xc0000409 quorvane.exe+0x2f00</a>"))
      << "the group seen last comes first";

  const auto group = Get(client, "/crashes/group?signature=" + PercentEncode("0xc0000005 quorvane.exe+0x1a2b0"),
                         Bearer());
  ASSERT_EQ(group->status, 200);
  std::size_t links = 0;
  for (auto at = group->body.find("/crashes/crash?id="); at != std::string::npos;
       at = group->body.find("/crashes/crash?id=", at + 1)) {
    ++links;
  }
  EXPECT_EQ(links, 4u);
  EXPECT_TRUE(Has(group->body, "3.10.0.0"));
}

TEST(CrashPages, CrashPageShowsEverythingEscaped) {
  TestService service("{}", nullptr, WithAdmin());
  const auto client = service.Https();
  ProgramCrash c = SampleCrash();
  c.info = {0x1, 0x0};
  c.modules.push_back({u"<b>evil.dll", u"C:\\<script>alert(1)</script>\\evil.dll", 0x10000000, 0x1000, u"", 1});
  c.processes.push_back({31337, u"\"><img src=x onerror=alert(1)>", u"C:\\a&b\\x.exe"});
  c.threads[1].frames.push_back({u"<b>evil.dll", 0x10});
  ASSERT_EQ(UploadCrash(client, c.Body())->status, 200);
  const std::string key = service.store().CrashGroups(1).at(0).latest_key;
  const auto res = Get(client, "/crashes/crash?id=" + key, Bearer());
  ASSERT_EQ(res->status, 200);
  const std::string& html = res->body;
  EXPECT_TRUE(Has(html, "0xC0000005</code> 접근 위반"));
  EXPECT_TRUE(Has(html, "주소 0x0을(를) 쓰려다 접근이 거부되었습니다."));
  EXPECT_TRUE(Has(html, "스레드 1234 · 오류가 난 스레드"));
  EXPECT_TRUE(Has(html, "<tr class=\"own\"><td class=\"num\">0</td><td><code>quorvane.exe+0x1a2b0</code>"));
  EXPECT_TRUE(Has(html, "<code>+0x7ff6a0001000</code>")) << "a frame in no module";
  EXPECT_TRUE(Has(html, "%ProgramFiles%\\Quorvane\\quorvane.exe"));
  EXPECT_TRUE(Has(html, "C:\\Users\\홍길동\\AppData\\Local\\은행보안\\은행보안.exe"));
  EXPECT_TRUE(Has(html, "10.0.19041.3636"));
  EXPECT_TRUE(Has(html, "<code>0x675a1b2c</code>"));
  EXPECT_TRUE(Has(html, "PC 키 0123456789abcdef0123456789abcdef01234567"));
  EXPECT_FALSE(Has(html, "<script>"));
  EXPECT_FALSE(Has(html, "<img"));
  EXPECT_FALSE(Has(html, "<b>evil"));
  EXPECT_TRUE(Has(html, "C:\\&lt;script&gt;alert(1)&lt;/script&gt;\\evil.dll"));
  EXPECT_TRUE(Has(html, "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"));
  EXPECT_TRUE(Has(html, "C:\\a&amp;b\\x.exe"));
  EXPECT_TRUE(Has(html, "&lt;b&gt;evil.dll+0x10"));
  EXPECT_FALSE(Has(html, "class=\"badge\"")) << "no symbols folder, nothing named";

  service.store().failing = true;
  EXPECT_EQ(Get(client, "/crashes/crash?id=" + key, Bearer())->status, 503);
  EXPECT_EQ(Get(client, "/crashes", Bearer())->status, 503);
}

}  // namespace
}  // namespace quorvane::service::testing

#include "service/outcomes.h"

#include "service/escape.h"
#include "service/plugin_list.h"

namespace quorvane::service {
namespace {

constexpr std::string_view kErrorPrefix = "error ";

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

void Count(std::string& html, std::string_view label, std::string_view id, std::size_t n) {
  html += "<li>";
  html += label;
  html += " <strong id=\"";
  html += id;
  html += "\">";
  html += std::to_string(n);
  html += "</strong>개</li>";
}

}  // namespace

ResetSummary SummarizeReset(const Report& report) {
  ResetSummary s;
  for (const auto& c : report.clean) {
    switch (c.outcome) {
      case ProcessOutcome::Ended: ++s.ended; break;
      case ProcessOutcome::Kept: ++s.kept; break;
      case ProcessOutcome::StillRunning: ++s.still_running; break;
    }
  }
  s.refused = report.refused.size();
  s.came_back = report.back.size();
  return s;
}

std::string RefusalReasonText(std::string_view why) {
  if (why == "denied") return "Windows가 종료를 거부함 (보호된 프로세스이거나 더 높은 권한으로 실행 중)";
  if (why.substr(0, kErrorPrefix.size()) == kErrorPrefix) {
    const std::string_view code = why.substr(kErrorPrefix.size());
    if (!code.empty() && code.size() <= 10 && code.find_first_not_of("0123456789") == std::string_view::npos)
      return "종료 중 오류 (코드 " + std::string(code) + ")";
  }
  return "기타: " + std::string(why);
}

const InstallRecord* MatchReturnedProcess(const BackRecord& back, std::span<const InstallRecord> installed,
                                          std::span<const std::string> plugin_list) {
  if (!back.program.empty()) {
    for (const auto& p : installed)
      if (p.display_name == back.program) return &p;
  }
  const std::string_view publisher = Trimmed(back.publisher);
  if (publisher.empty()) return nullptr;
  const InstallRecord* first = nullptr;
  for (const auto& p : installed) {
    if (!SameAsciiText(Trimmed(p.publisher), publisher)) continue;
    if (MatchesPluginList(plugin_list, p.display_name)) return &p;
    if (!first) first = &p;
  }
  return first;
}

void AppendResetOutcomes(std::string& html, const Report& report, std::span<const std::string> plugin_list) {
  const ResetSummary s = SummarizeReset(report);
  html += "<section class=\"card summary\" id=\"reset-summary\">\n<h2>초기화 요약</h2>\n<ul class=\"summary\">";
  Count(html, "종료함", "summary-ended", s.ended);
  Count(html, "유지함", "summary-kept", s.kept);
  Count(html, "종료하지 못함", "summary-refused", s.refused);
  Count(html, "다시 실행됨", "summary-back", s.came_back);
  html += "</ul>\n";
  if (s.still_running > s.refused) {
    html += "<p class=\"empty\">종료를 요청했지만 5초 안에 끝나지 않은 프로그램도 있습니다.</p>\n";
  }
  html += "</section>\n";

  if (!report.refused.empty()) {
    html += "<section class=\"card\" id=\"refused\">\n<h2>종료하지 못한 프로그램<span class=\"count\">";
    html += std::to_string(report.refused.size());
    html += "</span></h2>\n<table>\n<tr><th>파일</th><th>이유</th></tr>\n";
    for (const auto& r : report.refused) {
      html += "<tr><td><code>";
      AppendHtmlEscaped(html, r.file);
      html += "</code></td><td>";
      AppendHtmlEscaped(html, RefusalReasonText(r.why));
      html += "</td></tr>\n";
    }
    html += "</table>\n</section>\n";
  }

  if (!report.back.empty()) {
    html += "<section class=\"card\" id=\"back\">\n<h2>다시 실행된 프로그램<span class=\"count\">";
    html += std::to_string(report.back.size());
    html += "</span></h2>\n<p class=\"warn\">초기화로 종료했지만 곧바로 스스로 다시 실행된 프로그램입니다. "
            "감시 프로그램이나 서비스가 되살리는 것이므로, 종료만으로는 없앨 수 없습니다.</p>\n<ul class=\"items\">\n";
    for (const auto& b : report.back) {
      html += "<li><code>";
      AppendHtmlEscaped(html, b.file);
      html += "</code> <span class=\"pid\">(PID ";
      AppendHtmlEscaped(html, b.pid);
      html += ")</span>";
      if (const InstallRecord* program = MatchReturnedProcess(b, report.install, plugin_list)) {
        html += "<br><strong>";
        AppendHtmlEscaped(html, program->display_name);
        html += "</strong>의 프로그램입니다.";
        if (MatchesPluginList(plugin_list, program->display_name)) {
          html += "<span class=\"badge\">알려진 보안 플러그인</span>";
        }
        html += " 쿼베노의 <strong>강제설치</strong> 화면에서 삭제하면 다시 실행되지 않습니다.";
      }
      html += "</li>\n";
    }
    html += "</ul>\n</section>\n";
  }
}

}  // namespace quorvane::service

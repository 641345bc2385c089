#include "service/report_page.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "service/escape.h"
#include "service/outcomes.h"
#include "service/page.h"
#include "service/plugin_list.h"

namespace quorvane::service {
namespace {


constexpr std::string_view kForcedInstallPage = "강제설치";
constexpr std::string_view kReportKind = "PC 초기화 보고서";


std::string SimplePage(std::string_view title, std::string_view headline, std::initializer_list<std::string_view> paragraphs) {
  std::string html = PageHead(title, kReportKind);
  html += "<h1>";
  AppendHtmlEscaped(html, headline);
  html += "</h1>\n<section class=\"card\">\n";
  for (const auto p : paragraphs) {
    html += "<p>";
    AppendHtmlEscaped(html, p);
    html += "</p>\n";
  }
  html += "</section>\n";
  html += PageTail();
  return html;
}

std::string Number(std::size_t n) { return std::to_string(n); }

void Figure(std::string& html, std::string_view css, std::string_view label, std::string_view id, std::size_t n) {
  html += "<div class=\"figure ";
  html += css;
  html += "\"><span class=\"label\">";
  html += label;
  html += "</span><strong id=\"";
  html += id;
  html += "\">";
  html += Number(n);
  html += "</strong> 개</div>\n";
}

void SectionTitle(std::string& html, std::string_view title, std::size_t n) {
  html += "<h2>";
  html += title;
  html += "<span class=\"count\">";
  html += Number(n);
  html += "</span></h2>\n";
}

void PathList(std::string& html, const std::vector<const CleanRecord*>& rows) {
  html += "<ol class=\"paths\">\n";
  for (const auto* row : rows) {
    html += "<li><code>";
    AppendHtmlEscaped(html, row->file);
    html += "</code></li>\n";
  }
  html += "</ol>\n";
}

void Empty(std::string& html, std::string_view text) {
  html += "<p class=\"empty\">";
  html += text;
  html += "</p>\n";
}

// Two bars against the total: available memory before and after the reset.
void MemoryChart(std::string& html, const MemoryRecord& m) {
  const double scale_base =
      static_cast<double>(std::max({m.total, m.available_before, m.available_after, std::uint64_t{1}}));
  constexpr int kLeft = 90, kWidth = 560, kBar = 26;
  const auto bar = [&](int y, std::string_view label, std::uint64_t value, std::string_view colour) {
    const int w = static_cast<int>(kWidth * (static_cast<double>(value) / scale_base) + 0.5);
    char row[512];
    std::snprintf(row, sizeof row,
                  "<text x=\"0\" y=\"%d\">%.*s</text>"
                  "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" rx=\"4\" fill=\"#e3e7ee\"/>"
                  "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" rx=\"4\" fill=\"%.*s\"/>"
                  "<text x=\"%d\" y=\"%d\">%s</text>\n",
                  y + 18, static_cast<int>(label.size()), label.data(), kLeft, y, kWidth, kBar, kLeft, y, w, kBar,
                  static_cast<int>(colour.size()), colour.data(), kLeft + kWidth + 10, y + 18,
                  FormatBytes(value).c_str());
    html += row;
  };
  html += "<svg role=\"img\" aria-label=\"사용 가능한 메모리 그래프\" viewBox=\"0 0 740 92\" width=\"100%\">\n";
  bar(4, "초기화 전", m.available_before, "#9fb4d9");
  bar(48, "초기화 후", m.available_after, "#2b6de8");
  html += "</svg>\n";
}

}  // namespace

std::string FormatBytes(std::uint64_t bytes) {
  constexpr double kMiB = 1024.0 * 1024.0, kGiB = kMiB * 1024.0;
  char text[32];
  if (static_cast<double>(bytes) >= kGiB) {
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / kGiB);
  } else {
    std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(bytes) / kMiB);
  }
  return text;
}

std::string FormatByteChange(std::uint64_t before, std::uint64_t after) {
  if (after == before) return "0 MB";
  return (after > before ? "+" : "-") + FormatBytes(after > before ? after - before : before - after);
}

// What a startup entry's state means for the PC's next logon.
std::string_view StartStateText(StartState state) {
  switch (state) {
    case StartState::On: return "로그온할 때 실행";
    case StartState::Off: return "Windows 설정에서 사용 안 함";
    case StartState::Stored: return "쿼베노로 사용 안 함 (백업 보관)";
    case StartState::Unknown: break;
  }
  return "알수없음";
}

// The page's size, near enough: the texts as escaped and the markup around
// each, so that the page is built in one piece rather than copied as it grows.
std::size_t PageSizeEstimate(const Report& r) {
  std::size_t n = 16 * 1024;  // head, style, figures, chart, empty sections
  for (const auto& c : r.clean) n += HtmlEscapedSize(c.file) + 24;
  for (const auto& b : r.browser) n += HtmlEscapedSize(b.item) + HtmlEscapedSize(b.clsid) + 40;
  for (const auto& s : r.start) n += HtmlEscapedSize(s.item) + 80;
  for (const auto& p : r.install) n += HtmlEscapedSize(p.display_name) + HtmlEscapedSize(p.publisher) + 100;
  for (const auto& f : r.refused) n += HtmlEscapedSize(f.file) + HtmlEscapedSize(f.why) + 160;
  for (const auto& b : r.back) n += HtmlEscapedSize(b.file) + HtmlEscapedSize(b.program) + b.pid.size() + 400;
  return n;
}

template <class T>
void Free(std::vector<T>& v) {
  std::vector<T>().swap(v);
}

std::string RenderReportPage(Report report, const StoredReport& stored, std::span<const std::string> plugin_list) {
  std::vector<const CleanRecord*> ended, running, kept;
  for (const auto& c : report.clean) {
    switch (c.outcome) {
      case ProcessOutcome::Ended: ended.push_back(&c); break;
      case ProcessOutcome::StillRunning: running.push_back(&c); break;
      case ProcessOutcome::Kept: kept.push_back(&c); break;
    }
  }
  std::vector<bool> is_plugin;
  std::size_t plugins = 0;
  for (const auto& p : report.install) {
    is_plugin.push_back(MatchesPluginList(plugin_list, p.display_name));
    plugins += is_plugin.back();
  }

  std::string html;
  html.reserve(PageSizeEstimate(report));
  html += PageHead("쿼베노 초기화 보고서", kReportKind);
  html += "<h1>초기화 결과</h1>\n<p class=\"meta\">";
  html += KoreanTime(stored.received_ms);
  html += " · 쿼베노 ";
  html += stored.version ? HtmlEscape(*stored.version) : std::string("버전 알 수 없음");
  html += "</p>\n";
  AppendResetOutcomes(html, report, plugin_list);
  html += "<section class=\"figures\">\n";
  Figure(html, "ended", "종료한 프로그램", "ended-count", ended.size());
  Figure(html, "running", "종료되지 않은 프로그램", "running-count", running.size());
  Figure(html, "kept", "유지한 프로그램", "kept-count", kept.size());
  html += "</section>\n";

  html += "<section class=\"card\">\n<h2>사용 가능한 메모리</h2>\n";
  if (report.memory) {
    const MemoryRecord& m = *report.memory;
    const char* trend = m.available_after > m.available_before ? "up"
                        : m.available_after < m.available_before ? "down"
                                                                 : "same";
    html += "<div class=\"memory-figures\"><span>초기화 전 <strong id=\"memory-before\">";
    html += FormatBytes(m.available_before);
    html += "</strong></span><span>초기화 후 <strong id=\"memory-after\">";
    html += FormatBytes(m.available_after);
    html += "</strong></span><span>변화 <strong id=\"memory-change\" class=\"";
    html += trend;
    html += "\">";
    html += FormatByteChange(m.available_before, m.available_after);
    html += "</strong></span><span>전체 <strong id=\"memory-total\">";
    html += FormatBytes(m.total);
    html += "</strong></span></div>\n";
    MemoryChart(html, m);
  } else {
    Empty(html, "이 보고서에는 메모리 정보가 없습니다.");
  }
  html += "</section>\n";

  html += "<section class=\"card\">\n";
  SectionTitle(html, "종료한 프로그램", ended.size());
  if (ended.empty()) {
    Empty(html, "종료한 프로그램이 없습니다.");
  } else {
    PathList(html, ended);
  }
  html += "</section>\n";

  if (!running.empty()) {
    html += "<section class=\"card\">\n";
    SectionTitle(html, "종료되지 않은 프로그램", running.size());
    html += "<p class=\"warn\">종료를 시도했지만 5초 안에 끝나지 않은 프로그램입니다. "
            "다시 초기화하거나 PC를 다시 시작해 보세요.</p>\n";
    PathList(html, running);
    html += "</section>\n";
  }

  html += "<section class=\"card\">\n";
  SectionTitle(html, "유지한 프로그램", kept.size());
  if (kept.empty()) {
    Empty(html, "유지한 프로그램이 없습니다.");
  } else {
    html += "<details><summary>Windows와 꼭 필요한 프로그램은 종료하지 않았습니다. 목록 보기</summary>\n";
    PathList(html, kept);
    html += "</details>\n";
  }
  html += "</section>\n";
  Free(ended);
  Free(running);
  Free(kept);
  Free(report.clean);

  html += "<section class=\"card\">\n";
  SectionTitle(html, "설치된 프로그램", report.install.size());
  if (plugins > 0) {
    html += "<p class=\"notice\" id=\"plugin-notice\">은행·공공기관 사이트가 설치한 보안 프로그램 <strong id=\"plugin-count\">";
    html += Number(plugins);
    html += "</strong>개가 있습니다. 쿼베노의 <strong>";
    html += kForcedInstallPage;
    html += "</strong> 화면에서 골라 삭제할 수 있습니다.</p>\n";
  }
  if (report.install.empty()) {
    Empty(html, "설치된 프로그램 정보가 없습니다.");
  } else {
    html += "<table>\n<tr><th>이름</th><th>게시자</th></tr>\n";
    for (std::size_t i = 0; i < report.install.size(); ++i) {
      const auto& p = report.install[i];
      html += is_plugin[i] ? "<tr class=\"plugin\"><td>" : "<tr><td>";
      AppendHtmlEscaped(html, p.display_name);
      if (is_plugin[i]) {
        html += "<span class=\"badge\">보안 프로그램 · ";
        html += kForcedInstallPage;
        html += "에서 삭제</span>";
      }
      html += "</td><td>";
      if (p.publisher.empty()) {
        html += "알수없음";
      } else {
        AppendHtmlEscaped(html, p.publisher);
      }
      html += "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";
  Free(report.install);
  Free(is_plugin);

  html += "<section class=\"card\">\n";
  SectionTitle(html, "자동 실행 항목", report.start.size());
  if (report.start.empty()) {
    Empty(html, "자동 실행 항목이 없습니다.");
  } else {
    html += "<table>\n<tr><th>이름</th><th>상태</th></tr>\n";
    for (const auto& s : report.start) {
      html += "<tr><td>";
      AppendHtmlEscaped(html, s.item);
      html += "</td><td>";
      html += StartStateText(s.state);
      html += "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";
  Free(report.start);

  html += "<section class=\"card\">\n";
  SectionTitle(html, "브라우저 추가 기능", report.browser.size());
  if (report.browser.empty()) {
    Empty(html, "브라우저 추가 기능이 없습니다.");
  } else {
    html += "<table>\n<tr><th>이름</th><th>CLSID</th></tr>\n";
    for (const auto& b : report.browser) {
      html += "<tr><td>";
      AppendHtmlEscaped(html, b.item);
      html += "</td><td><code>";
      AppendHtmlEscaped(html, b.clsid);
      html += "</code></td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";
  html += "<footer>이 보고서는 주소를 아는 사람만 볼 수 있습니다.</footer>\n";
  html += PageTail();
  return html;
}

std::string RenderAboutPage() {
  return SimplePage("쿼베노 초기화 보고서", "쿼베노 초기화 보고서",
                    {"쿼베노는 은행·공공기관 사이트가 설치한 보안 프로그램으로 무거워진 PC를 깨끗한 상태로 되돌립니다. "
                     "초기화를 마치면 종료한 프로그램, 늘어난 메모리, 설치된 보안 프로그램을 정리한 보고서를 만들어 "
                     "이 사이트에 올리고, 그 주소를 브라우저로 엽니다.",
                     "보고서마다 추측할 수 없는 고유한 주소가 붙으며, 그 주소를 아는 사람만 볼 수 있습니다.",
                     "초기화 뒤에 보고서 대신 이 페이지가 열렸다면 보고서를 올리지 못한 것입니다. "
                     "인터넷 연결을 확인한 뒤 다시 초기화해 보세요."});
}

std::string RenderNotFoundPage() {
  return SimplePage("보고서를 찾을 수 없습니다", "보고서를 찾을 수 없습니다",
                    {"이 주소의 보고서가 없습니다. 주소가 잘리거나 바뀌지 않았는지 확인해 주세요.",
                     "보고서 주소는 초기화가 끝나면 쿼베노가 브라우저로 열어 주는 주소 그대로여야 합니다."});
}

std::string RenderUnavailablePage() {
  return SimplePage("잠시 후 다시 시도해 주세요", "보고서를 지금 보여 드릴 수 없습니다",
                    {"서버에 일시적인 문제가 있습니다. 잠시 후 이 페이지를 새로 고쳐 주세요."});
}

}  // namespace quorvane::service

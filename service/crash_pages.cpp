#include "service/crash_pages.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "service/escape.h"
#include "service/page.h"

namespace quorvane::service {
namespace {

constexpr std::string_view kKind = "오류 보고";

void Text(std::string& html, std::string_view text) { AppendHtmlEscaped(html, text); }

void Code(std::string& html, std::string_view text) {
  html += "<code>";
  Text(html, text);
  html += "</code>";
}

std::string Place(const CodePlace& place) { return place.module + "+" + Hex(place.offset); }

std::string GroupLink(std::string_view signature) {
  return std::string(kCrashGroupPath) + "?signature=" + PercentEncode(signature);
}

std::string CrashLink(std::string_view key) { return std::string(kCrashPagePath) + "?id=" + PercentEncode(key); }

void Link(std::string& html, std::string_view href, std::string_view text, std::string_view css = {}) {
  html += "<a href=\"";
  Text(html, href);
  html += '"';
  if (!css.empty()) {
    html += " class=\"";
    html += css;
    html += '"';
  }
  html += '>';
  Text(html, text);
  html += "</a>";
}

// Version numbers in numeric order: 3.10 after 3.9.
std::vector<std::string> SortedVersions(std::vector<std::string> versions) {
  const auto parts = [](const std::string& v) {
    std::vector<unsigned long> n;
    std::size_t start = 0;
    while (start <= v.size()) {
      const std::size_t dot = std::min(v.find('.', start), v.size());
      n.push_back(std::strtoul(v.substr(start, dot - start).c_str(), nullptr, 10));
      start = dot + 1;
    }
    return n;
  };
  std::sort(versions.begin(), versions.end(), [&](const auto& a, const auto& b) { return parts(a) < parts(b); });
  return versions;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

void LimitNotice(std::string& html, bool limit_reached, std::string_view what) {
  if (!limit_reached) return;
  html += "<p class=\"notice\">";
  Text(html, what);
  html += "</p>\n";
}

// The short form of a place for a table cell: module+offset, then the
// function and source line where they are known.
void NamedPlace(std::string& html, const CodePlace& place, const FrameNames& names) {
  html += "<td>";
  Code(html, Place(place));
  html += "</td><td>";
  const Location* location = names.Find(place.module, place.offset);
  if (!location || location->empty()) {
    html += "</td><td></td>";
    return;
  }
  const SourceLine& inner = location->front();
  html += "<span class=\"fn\">";
  Text(html, inner.function.empty() ? "??" : inner.function);
  html += "</span>";
  for (std::size_t i = 1; i < location->size(); ++i) {
    html += "<div class=\"inlined\">← ";
    Text(html, (*location)[i].function);
    if (!(*location)[i].file.empty()) {
      Text(html, " (" + (*location)[i].file + ":" + std::to_string((*location)[i].line) + ")");
    }
    html += "</div>";
  }
  html += "</td><td>";
  if (!inner.file.empty()) {
    Code(html, inner.line > 0 ? inner.file + ":" + std::to_string(inner.line) : inner.file);
  }
  html += "</td>";
}

// What the information words of an access violation say.
std::string AccessViolation(const std::vector<std::uint64_t>& info) {
  if (info.size() < 2) return {};
  const char* what = info[0] == 0 ? "읽으려다" : info[0] == 1 ? "쓰려다" : info[0] == 8 ? "실행하려다" : nullptr;
  if (!what) return {};
  return "주소 " + Hex(info[1]) + "을(를) " + what + " 접근이 거부되었습니다.";
}

}  // namespace

std::string_view ExceptionName(std::uint64_t code) {
  static constexpr std::array<std::pair<std::uint64_t, std::string_view>, 16> kNames{{
      {0xC0000005, "접근 위반 (EXCEPTION_ACCESS_VIOLATION)"},
      {0xC00000FD, "스택 넘침 (EXCEPTION_STACK_OVERFLOW)"},
      {0xC0000094, "정수를 0으로 나눔 (EXCEPTION_INT_DIVIDE_BY_ZERO)"},
      {0xC0000095, "정수 넘침 (EXCEPTION_INT_OVERFLOW)"},
      {0xC000001D, "잘못된 명령 (EXCEPTION_ILLEGAL_INSTRUCTION)"},
      {0xC0000096, "특권 명령 (EXCEPTION_PRIV_INSTRUCTION)"},
      {0xC0000006, "페이지를 읽지 못함 (EXCEPTION_IN_PAGE_ERROR)"},
      {0xC000008C, "배열 범위 초과 (EXCEPTION_ARRAY_BOUNDS_EXCEEDED)"},
      {0xC000008E, "실수를 0으로 나눔 (EXCEPTION_FLT_DIVIDE_BY_ZERO)"},
      {0x80000002, "정렬되지 않은 데이터 (EXCEPTION_DATATYPE_MISALIGNMENT)"},
      {0x80000003, "중단점 (EXCEPTION_BREAKPOINT)"},
      {0xC0000025, "계속할 수 없는 예외 (EXCEPTION_NONCONTINUABLE_EXCEPTION)"},
      {0xC0000409, "빠른 실패 또는 스택 버퍼 넘침 (STATUS_STACK_BUFFER_OVERRUN)"},
      {0xC0000374, "힙 손상 (STATUS_HEAP_CORRUPTION)"},
      {0x20474343, "처리되지 않은 C++ 예외 (GCC)"},
      {0xE06D7363, "처리되지 않은 C++ 예외 (MSVC)"},
  }};
  for (const auto& [value, name] : kNames) {
    if (value == code) return name;
  }
  return {};
}

std::string SafeCrashPageTarget(std::string_view next) {
  // Only a path of these pages: no scheme, host or "//" that would send the
  // browser elsewhere, nothing that needs escaping in a header.
  const bool ours = next.starts_with(kCrashListPath) && (next.size() == kCrashListPath.size() ||
                                                         next[kCrashListPath.size()] == '/' ||
                                                         next[kCrashListPath.size()] == '?');
  const bool plain = std::all_of(next.begin(), next.end(), [](char c) {
    return c > 0x20 && c < 0x7F && c != '\\' && c != '"' && c != '<' && c != '>';
  });
  if (ours && plain && next.find("//") == std::string_view::npos) return std::string(next);
  return std::string(kCrashListPath);
}

std::string RenderCrashList(std::span<const CrashGroup> groups, bool limit_reached) {
  std::string html = PageHead("오류 보고 목록", kKind);
  html += "<h1>오류 보고 목록</h1>\n<p class=\"meta\">같은 서명(예외 코드와 프로그램 안에서 오류가 난 곳)끼리 묶었습니다. "
          "가장 최근에 받은 것이 위에 있습니다.</p>\n<section class=\"card\">\n";
  LimitNotice(html, limit_reached, "서명이 많아 가장 최근의 것만 보여 줍니다.");
  if (groups.empty()) {
    html += "<p class=\"empty\">받은 오류 보고가 없습니다.</p>\n";
  } else {
    html += "<table id=\"groups\">\n<tr><th>서명</th><th class=\"num\">횟수</th><th>버전</th><th>처음</th><th>마지막</th>"
            "<th></th></tr>\n";
    for (const CrashGroup& g : groups) {
      html += "<tr><td>";
      Link(html, GroupLink(g.signature), g.signature, "sig");
      html += "</td><td class=\"num\">";
      html += std::to_string(g.count);
      html += "</td><td>";
      Text(html, Joined(SortedVersions(g.versions)));
      if (!g.arches.empty()) {
        auto arches = g.arches;
        std::sort(arches.begin(), arches.end());
        html += "<div class=\"inlined\">";
        Text(html, Joined(arches));
        html += "</div>";
      }
      html += "</td><td class=\"nowrap\">";
      Text(html, KoreanTime(g.first_ms));
      html += "</td><td class=\"nowrap\">";
      Text(html, KoreanTime(g.last_ms));
      html += "</td><td class=\"nowrap\">";
      Link(html, CrashLink(g.latest_key), "최근 보고");
      html += "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";
  html += PageTail();
  return html;
}

std::string RenderCrashGroup(std::string_view signature, std::span<const CrashSummary> crashes, bool limit_reached) {
  std::string html = PageHead("오류 보고 · " + std::string(signature), kKind);
  html += "<p class=\"crumbs\">";
  Link(html, kCrashListPath, "오류 보고 목록");
  html += "</p>\n<h1>같은 서명의 오류</h1>\n<p class=\"meta\"><span class=\"sig\">";
  Text(html, signature);
  html += "</span> · ";
  html += std::to_string(crashes.size());
  html += limit_reached ? "건 (최근 것만)" : "건";
  html += "</p>\n<section class=\"card\">\n";
  if (crashes.empty()) {
    html += "<p class=\"empty\">이 서명의 오류 보고가 없습니다.</p>\n";
  } else {
    html += "<table id=\"crashes\">\n<tr><th>받은 시각</th><th>버전</th><th>아키텍처</th><th>Windows</th><th></th></tr>\n";
    for (const CrashSummary& c : crashes) {
      html += "<tr><td class=\"nowrap\">";
      Text(html, KoreanTime(c.received_ms));
      html += "</td><td>";
      Text(html, c.version);
      html += "</td><td>";
      Text(html, c.arch);
      html += "</td><td>";
      Text(html, c.windows);
      html += "</td><td>";
      Link(html, CrashLink(c.key), "보기");
      html += "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";
  html += PageTail();
  return html;
}

std::string RenderCrashPage(const CrashReport& r, const StoredCrash& stored, const FrameNames& names) {
  std::string html = PageHead("오류 보고 · " + stored.signature, kKind);
  html += "<p class=\"crumbs\">";
  Link(html, kCrashListPath, "오류 보고 목록");
  html += " › ";
  Link(html, GroupLink(stored.signature), stored.signature);
  html += "</p>\n<h1>오류 보고</h1>\n<p class=\"meta\">";
  Text(html, KoreanTime(stored.received_ms) + " · " + r.program + " " + r.version + " · " + r.arch + " · Windows " +
                 r.windows + " · PC 키 " + (r.union_key.empty() ? std::string("없음") : r.union_key));
  html += "</p>\n";

  html += "<section class=\"card\" id=\"exception\">\n<h2>예외</h2>\n<table>\n<tr><th>코드</th><td>";
  char code[24];
  std::snprintf(code, sizeof code, "0x%08llX", static_cast<unsigned long long>(r.exception.code));
  Code(html, code);
  if (const auto name = ExceptionName(r.exception.code); !name.empty()) {
    html += " ";
    Text(html, name);
  }
  html += "</td></tr>\n<tr><th>서명</th><td><span class=\"sig\">";
  Text(html, stored.signature);
  html += "</span></td></tr>\n<tr><th>스레드</th><td>";
  html += std::to_string(r.exception.thread);
  html += "</td></tr>\n";
  if (r.exception.code == 0xC0000005) {
    if (const std::string av = AccessViolation(r.exception.info); !av.empty()) {
      html += "<tr><th>설명</th><td>";
      Text(html, av);
      html += "</td></tr>\n";
    }
  }
  if (!r.exception.info.empty()) {
    std::string words;
    for (const auto w : r.exception.info) words += (words.empty() ? "" : " ") + Hex(w);
    html += "<tr><th>정보</th><td>";
    Code(html, words);
    html += "</td></tr>\n";
  }
  html += "</table>\n<table id=\"exception-place\">\n<tr><th>위치</th><th>함수</th><th>소스</th></tr>\n<tr>";
  NamedPlace(html, r.exception.place, names);
  html += "</tr>\n</table>\n</section>\n";

  for (const CrashThread& t : r.threads) {
    html += "<section class=\"card thread\">\n<h2>스레드 ";
    html += std::to_string(t.id);
    if (t.crashed) html += " · 오류가 난 스레드";
    html += "<span class=\"count\">";
    html += std::to_string(t.frames.size());
    html += "</span></h2>\n";
    if (t.frames.empty()) {
      html += "<p class=\"empty\">호출 스택을 읽지 못했습니다.</p>\n";
    } else {
      html += "<table class=\"frames\">\n<tr><th class=\"num\">#</th><th>위치</th><th>함수</th><th>소스</th></tr>\n";
      for (std::size_t i = 0; i < t.frames.size(); ++i) {
        const CodePlace& f = t.frames[i];
        html += EqualsIgnoringAsciiCase(f.module, r.program) ? "<tr class=\"own\">" : "<tr>";
        html += "<td class=\"num\">";
        html += std::to_string(i);
        html += "</td>";
        NamedPlace(html, f, names);
        html += "</tr>\n";
      }
      html += "</table>\n";
    }
    html += "</section>\n";
  }

  html += "<section class=\"card\">\n<h2>모듈<span class=\"count\">";
  html += std::to_string(r.modules.size());
  html += "</span></h2>\n";
  if (r.modules.empty()) {
    html += "<p class=\"empty\">모듈 목록이 없습니다.</p>\n";
  } else {
    html += "<table id=\"modules\">\n<tr><th>이름</th><th>경로</th><th>기준 주소</th><th>크기</th><th>버전</th>"
            "<th>타임스탬프</th></tr>\n";
    for (const CrashModule& m : r.modules) {
      html += "<tr><td>";
      Text(html, m.name);
      if (names.HasSymbols(m.name)) html += "<span class=\"badge\">기호</span>";
      html += "</td><td>";
      Text(html, m.path);
      html += "</td><td>";
      Code(html, Hex(m.base));
      html += "</td><td>";
      Code(html, Hex(m.size));
      html += "</td><td>";
      Text(html, m.version);
      html += "</td><td>";
      Code(html, Hex(m.timestamp));
      html += "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";

  html += "<section class=\"card\">\n<h2>프로세스<span class=\"count\">";
  html += std::to_string(r.processes.size());
  html += "</span></h2>\n";
  if (r.processes.empty()) {
    html += "<p class=\"empty\">프로세스 목록이 없습니다.</p>\n";
  } else {
    html += "<table id=\"processes\">\n<tr><th class=\"num\">PID</th><th>이름</th><th>경로</th></tr>\n";
    for (const CrashProcess& p : r.processes) {
      html += "<tr><td class=\"num\">";
      html += std::to_string(p.pid);
      html += "</td><td>";
      Text(html, p.name);
      html += "</td><td>";
      Text(html, p.path);
      html += "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";
  html += PageTail();
  return html;
}

std::string RenderSignInPage(std::string_view next) {
  std::string html = PageHead("오류 보고 로그인", kKind);
  html += "<h1>오류 보고 로그인</h1>\n<section class=\"card login\">\n<form method=\"post\" action=\"";
  Text(html, kCrashSignInPath);
  html += "\">\n<p><label for=\"token\">관리자 토큰</label></p>\n"
          "<input type=\"password\" id=\"token\" name=\"token\" autocomplete=\"current-password\" required>\n"
          "<input type=\"hidden\" name=\"next\" value=\"";
  Text(html, SafeCrashPageTarget(next));
  html += "\">\n<button type=\"submit\">로그인</button>\n</form>\n</section>\n";
  html += PageTail();
  return html;
}

}  // namespace quorvane::service

#include "service/page.h"

#include <cstdio>
#include <ctime>

#include "service/escape.h"

namespace quorvane::service {
namespace {

constexpr std::string_view kStyle = R"css(
:root{--ink:#1d2433;--muted:#5f6b7d;--line:#e3e7ee;--bg:#f4f6fa;--card:#fff;--blue:#2b6de8;--green:#1f9d63;--red:#d8453b;--amber:#c98a06}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--ink);font:15px/1.6 "Malgun Gothic","맑은 고딕","NanumGothic","Apple SD Gothic Neo",sans-serif}
.top{background:#16213a;color:#fff;padding:14px 0}
.top .brand{font-weight:700;font-size:18px;margin-right:10px}
.top .sub{color:#b9c3d6}
.wrap{max-width:960px;margin:0 auto;padding:0 20px}
h1{font-size:26px;margin:28px 0 4px}
h2{font-size:18px;margin:0 0 12px}
.meta{color:var(--muted);margin:0 0 20px}
.figures{display:grid;grid-template-columns:repeat(3,1fr);gap:14px;margin-bottom:18px}
.figure{background:var(--card);border:1px solid var(--line);border-radius:12px;padding:16px 18px}
.figure .label{display:block;color:var(--muted);font-size:14px}
.figure strong{font-size:34px;line-height:1.2}
.figure.ended strong{color:var(--green)}
.figure.running strong{color:var(--red)}
.figure.kept strong{color:var(--blue)}
.card{background:var(--card);border:1px solid var(--line);border-radius:12px;padding:18px 20px;margin-bottom:18px}
.count{display:inline-block;min-width:26px;padding:0 8px;border-radius:13px;background:var(--bg);color:var(--muted);font-size:14px;text-align:center;margin-left:6px}
.memory-figures{display:flex;flex-wrap:wrap;gap:8px 28px;margin-bottom:12px}
.memory-figures strong{font-size:20px}
.up{color:var(--green);font-weight:700}
.down{color:var(--red);font-weight:700}
.same{color:var(--muted);font-weight:700}
svg text{font:13px "Malgun Gothic","NanumGothic",sans-serif;fill:var(--ink)}
ol.paths,ul.items{margin:0;padding-left:22px}
ol.paths li,ul.items li{padding:2px 0;word-break:break-all}
code{font:13px/1.5 Consolas,"D2Coding","DejaVu Sans Mono",monospace}
details summary{cursor:pointer;color:var(--blue)}
table{width:100%;border-collapse:collapse}
th,td{text-align:left;padding:6px 8px;border-bottom:1px solid var(--line);vertical-align:top;word-break:break-all}
th{color:var(--muted);font-weight:400;font-size:14px}
tr.plugin td{background:#fff7e6}
.badge{display:inline-block;margin-left:8px;padding:0 8px;border-radius:10px;background:var(--amber);color:#fff;font-size:12px;white-space:nowrap}
.notice{border-left:4px solid var(--amber);background:#fff7e6;padding:10px 14px;border-radius:6px;margin:0 0 14px}
.warn{border-left:4px solid var(--red);background:#fdeeee;padding:10px 14px;border-radius:6px;margin:0 0 14px}
.empty{color:var(--muted);margin:0}
footer{color:var(--muted);font-size:13px;padding:10px 0 40px}
a{color:var(--blue);text-decoration:none}
a:hover{text-decoration:underline}
.crumbs{margin:18px 0 0;color:var(--muted);font-size:14px}
.sig{font:15px/1.5 Consolas,"D2Coding","DejaVu Sans Mono",monospace;word-break:break-all}
td.num,th.num{text-align:right;white-space:nowrap}
td.nowrap{white-space:nowrap;word-break:normal}
tr.own td{background:#eef4ff}
tr.crashed-thread td{background:#fdeeee}
.fn{font-weight:700}
.inlined{color:var(--muted);font-size:13px}
.login{max-width:420px}
.login input[type=password]{width:100%;padding:8px 10px;border:1px solid var(--line);border-radius:6px;font:inherit}
.login button{margin-top:12px;padding:8px 18px;border:0;border-radius:6px;background:var(--blue);color:#fff;font:inherit;cursor:pointer}
@media (max-width:640px){.figures{grid-template-columns:1fr}}
)css";

}  // namespace

std::string PageHead(std::string_view title, std::string_view kind) {
  std::string html = "<!doctype html>\n<html lang=\"ko\">\n<head>\n<meta charset=\"utf-8\">\n"
                     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                     "<meta name=\"robots\" content=\"noindex\">\n<title>";
  AppendHtmlEscaped(html, title);
  html += "</title>\n<style>";
  html += kStyle;
  html += "</style>\n</head>\n<body>\n<header class=\"top\"><div class=\"wrap\"><span class=\"brand\">쿼베노</span>"
          "<span class=\"sub\">";
  AppendHtmlEscaped(html, kind);
  html += "</span></div></header>\n<main class=\"wrap\">\n";
  return html;
}

std::string_view PageTail() { return "</main>\n</body>\n</html>\n"; }

// Korea keeps UTC+9 all year.
std::string KoreanTime(std::int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000) + 9 * 60 * 60;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d년 %d월 %d일 %02d:%02d (한국 시간)", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min);
  return text;
}

}  // namespace quorvane::service

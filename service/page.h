#pragma once
// The frame every page of the site shares: the document head with one
// stylesheet, the top bar naming what kind of page it is, and the end.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane::service {

// Everything up to the page's own content; title is escaped here, kind is
// the top bar's caption ("PC 초기화 보고서").
std::string PageHead(std::string_view title, std::string_view kind);

// What closes a page begun with PageHead.
std::string_view PageTail();

// A Unix time in milliseconds as people in Korea read it:
// "2024년 5월 1일 21:00 (한국 시간)".
std::string KoreanTime(std::int64_t unix_ms);

}  // namespace quorvane::service

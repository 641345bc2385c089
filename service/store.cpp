#include "service/store.h"

#include <cstdio>
#include <ctime>

namespace quorvane::service {

std::string CheckInVersion(const std::optional<std::string>& header) {
  if (!header) return {};
  int parts = 1, digits = 0;
  for (const char c : *header) {
    if (c >= '0' && c <= '9' && digits < 5) {
      ++digits;
    } else if (c == '.' && digits > 0 && parts < 4) {
      ++parts;
      digits = 0;
    } else {
      return "other";
    }
  }
  return digits > 0 ? *header : "other";
}

std::vector<std::string> SplitCommaList(std::string_view text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  for (;;) {
    const std::size_t comma = text.find(',');
    items.emplace_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    text.remove_prefix(comma + 1);
  }
}

std::string UtcDay(std::int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char day[32];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return day;
}

}  // namespace quorvane::service

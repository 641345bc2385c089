#include "service/http.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "service/escape.h"

namespace quorvane::service {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Form decoding: "+" is a blank, "%HH" a byte; a "%" without two hex digits stays.
std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Field(std::string_view raw) { return raw.empty() ? std::string("-") : LogEscape(raw); }

}  // namespace

std::string_view Request::Path() const {
  const std::string_view t = target;
  return t.substr(0, t.find('?'));
}

std::optional<std::string> Request::QueryParam(std::string_view name) const {
  const std::size_t q = target.find('?');
  if (q == std::string::npos) return std::nullopt;
  return FormField(std::string_view(target).substr(q + 1), name);
}

std::optional<std::string> FormField(std::string_view rest, std::string_view name) {
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (PercentDecode(pair.substr(0, eq)) != name) continue;
    return eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1));
  }
  return std::nullopt;
}

std::optional<std::string_view> Request::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoringAsciiCase(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

Router::Router(Refusal refusal) : refusal_(std::move(refusal)) {}

void Router::Add(Route route) { routes_.push_back(std::move(route)); }

Router::Match Router::Find(std::string_view method, std::string_view path, Exposure exposure) const {
  bool other_method = false;
  for (const Route& r : routes_) {
    if (r.path != path || (exposure == Exposure::ConfigurationOnly && !r.plain_http)) continue;
    if (r.method == method) return {&r, 0};
    other_method = true;
  }
  return {nullptr, other_method ? 405 : 404};
}

std::size_t Router::LargestBody() const {
  std::size_t largest = 0;
  for (const Route& r : routes_) largest = std::max(largest, r.max_body);
  return largest;
}

Response Router::Refuse(int status, const Request* request, std::string_view reason) const {
  return refusal_(status, request, reason);
}

std::string AccessLine(const AccessRecord& r, std::chrono::system_clock::time_point now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  const std::string_view target = r.target;
  char tail[64];
  std::snprintf(tail, sizeof tail, " %d %zu %.2fms", r.status, r.bytes, static_cast<double>(r.duration.count()) / 1000);
  return std::string(stamp) + ' ' + Field(r.client) + ' ' + Field(r.scheme) + ' ' + Field(r.method) + ' ' +
         Field(target.substr(0, target.find('?'))) + tail;
}

}  // namespace quorvane::service

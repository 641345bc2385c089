#pragma once
// Report keys: the only thing that stands between a report and anyone who asks
// for it, so they are long, random and carry nothing about the PC.
#include <string>
#include <string_view>

namespace quorvane::service {

// 144 random bits from the system's cryptographic generator, as 24 characters
// of the URL-safe base64 alphabet (A-Z a-z 0-9 - _), so the program can append
// the key to the page address unencoded. Throws std::runtime_error when the
// generator fails.
std::string NewReportKey();

// True when text has the form NewReportKey gives; anything else cannot name a
// stored report and is refused before storage is asked.
bool IsWellFormedReportKey(std::string_view text);

}  // namespace quorvane::service

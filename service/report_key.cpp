#include "service/report_key.h"

#include <array>
#include <stdexcept>

#include <openssl/rand.h>

namespace quorvane::service {
namespace {

constexpr std::size_t kKeyBytes = 18;
constexpr std::size_t kKeyChars = kKeyBytes / 3 * 4;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

std::string NewReportKey() {
  std::array<unsigned char, kKeyBytes> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("the random generator failed");
  }
  std::string key;
  key.reserve(kKeyChars);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) key += kAlphabet[(v >> shift) & 63];
  }
  return key;
}

bool IsWellFormedReportKey(std::string_view text) {
  if (text.size() != kKeyChars) return false;
  for (const char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace quorvane::service

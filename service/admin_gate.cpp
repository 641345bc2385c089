#include "service/admin_gate.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "service/escape.h"

namespace quorvane::service {
namespace {

constexpr std::size_t kMinToken = 16, kMaxToken = 512;
constexpr std::size_t kMaxFile = 4096;

std::array<unsigned char, 32> Digest(std::string_view text) {
  std::array<unsigned char, 32> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
  return digest;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The value of the named cookie in a Cookie header; empty when absent.
std::string_view CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const std::size_t semicolon = header.find(';');
    const std::string_view pair = Trimmed(header.substr(0, semicolon));
    header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
  }
  return {};
}

}  // namespace

std::string AdminGate::TokenProblem(std::string_view text) {
  if (text.size() < kMinToken || text.size() > kMaxToken) {
    return "the token must be " + std::to_string(kMinToken) + " to " + std::to_string(kMaxToken) + " characters";
  }
  for (const char c : text) {
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') {
      return "the token may hold printable ASCII other than blanks, quotes, commas, semicolons and backslashes";
    }
  }
  return {};
}

AdminGate AdminGate::FromFile(const std::filesystem::path& file) {
  const std::string name = "--admin-token-file " + file.string();
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error(name + ": no such file");
  // A token others can read opens every crash report to them.
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    throw std::runtime_error(name + ": others may read or change it; make it owner-only (chmod 600)");
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(file.c_str(), "rb"), &std::fclose);
  if (!in) throw std::runtime_error(name + ": cannot be read");
  std::string text(kMaxFile + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), in.get()));
  if (std::ferror(in.get())) throw std::runtime_error(name + ": cannot be read");
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  if (const std::string problem = TokenProblem(text); !problem.empty()) throw std::runtime_error(name + ": " + problem);
  return AdminGate(std::move(text));
}

AdminGate::AdminGate(std::string token) : token_(std::move(token)), digest_(Digest(token_)) {}

bool AdminGate::Matches(std::string_view presented) const {
  const auto digest = Digest(presented);
  return CRYPTO_memcmp(digest.data(), digest_.data(), digest.size()) == 0;
}

bool AdminGate::Admits(const Request& request) const {
  if (const auto authorization = request.Header("Authorization")) {
    const std::string_view value = Trimmed(*authorization);
    constexpr std::string_view kScheme = "bearer ";
    if (value.size() > kScheme.size() && EqualsIgnoringAsciiCase(value.substr(0, kScheme.size()), kScheme) &&
        Matches(Trimmed(value.substr(kScheme.size())))) {
      return true;
    }
  }
  if (const auto cookie = request.Header("Cookie")) {
    const std::string_view value = CookieValue(*cookie, kCookie);
    if (!value.empty() && Matches(value)) return true;
  }
  return false;
}

std::string AdminGate::SignInCookie() const {
  return std::string(kCookie) + "=" + token_ + "; Path=/; Secure; HttpOnly; SameSite=Lax";
}

}  // namespace quorvane::service

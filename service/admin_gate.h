#pragma once
// The makers' key to the crash pages: one token, read from a file at start,
// presented by a request in its Authorization header or in the cookie the
// sign-in page sets. Requests without it are answered as if the pages did not
// exist.
#include <array>
#include <filesystem>
#include <string>
#include <string_view>

#include "service/http.h"

namespace quorvane::service {

class AdminGate {
 public:
  // The cookie the sign-in page sets. "__Host-" makes browsers take it only
  // over https, for this host alone and the whole site.
  static constexpr std::string_view kCookie = "__Host-quorvane_admin";

  // Reads the token from the file: its whole text, line breaks and blanks at
  // its end dropped. Throws std::runtime_error naming the file and the fault
  // when it cannot be read, others may read it, or the token is unfit
  // (TokenProblem).
  static AdminGate FromFile(const std::filesystem::path& file);

  // Why text cannot be the token, or empty when it can: 16 to 512 characters
  // of printable ASCII that may stand in a header and a cookie (no blank,
  // quote, comma, semicolon or backslash).
  static std::string TokenProblem(std::string_view text);

  // token must pass TokenProblem.
  explicit AdminGate(std::string token);

  // Whether presented is the token. Takes the same time whatever presented
  // holds and however much of it matches: both sides are hashed and the
  // digests compared in constant time.
  bool Matches(std::string_view presented) const;

  // Whether the request presents the token as "Authorization: Bearer TOKEN"
  // or in the cookie.
  bool Admits(const Request& request) const;

  // The Set-Cookie value that signs a browser in until it closes.
  std::string SignInCookie() const;

 private:
  std::string token_;
  std::array<unsigned char, 32> digest_{};
};

}  // namespace quorvane::service

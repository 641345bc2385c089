#pragma once
// Text primitives shared by every unit: texts are UTF-16 code units on every
// platform; case-insensitive comparisons of the program's own logic fold the ASCII
// letters a-z only; trimming removes U+0000..U+0020 at both ends.
#include <string>
#include <string_view>

namespace vek {

using Text = std::u16string;
using TextView = std::u16string_view;

constexpr char16_t UpperAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }
constexpr char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

Text UpperCase(TextView s);
Text LowerCase(TextView s);
Text Trim(TextView s);
bool SameText(TextView a, TextView b);         // equal, ASCII case ignored
bool StartsText(TextView prefix, TextView s);  // s begins with prefix, ASCII case ignored
// Position of needle in hay, ASCII case ignored, 0-based; npos when absent.
size_t FindText(TextView hay, TextView needle, size_t from = 0);

// UTF-8 <-> UTF-16 for the portable edges (files, sockets, tests). Invalid input
// becomes U+FFFD; never throws.
Text FromUtf8(std::string_view s);
std::string ToUtf8(TextView s);

}  // namespace vek

#include "service/escape.h"

#include <algorithm>
#include <cstdint>

namespace quorvane::service {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at pos and advances pos; an invalid or truncated
// sequence yields U+FFFD and advances by one byte.
char32_t NextCodePoint(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t need = 0;
  char32_t cp = 0, min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + need >= s.size()) {
    ++pos;
    return kReplacement;
  }
  for (std::size_t i = 1; i <= need; ++i) {
    const unsigned char c = byte(pos + i);
    if ((c & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += need + 1;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUnitEscape(std::string& out, std::uint32_t unit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

bool IsControl(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The UTF-16 unit of a \uXXXX escape starting at pos (the backslash), or -1.
long EscapedUnitAt(std::string_view s, std::size_t pos) {
  if (pos + 6 > s.size() || s[pos] != '\\' || s[pos + 1] != 'u') return -1;
  long v = 0;
  for (std::size_t i = pos + 2; i < pos + 6; ++i) {
    const int h = HexValue(s[i]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

}  // namespace

std::string MarkerSafeJsonString(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 8);
  for (std::size_t pos = 0; pos < utf8.size();) {
    const char32_t cp = NextCodePoint(utf8, pos);
    if (cp >= 0x20 && cp <= 0x7E && cp != '"' && cp != '\\' && cp != ']') {
      out += static_cast<char>(cp);
    } else if (cp < 0x10000) {
      AppendUnitEscape(out, cp);
    } else {
      const char32_t v = cp - 0x10000;
      AppendUnitEscape(out, 0xD800 + (v >> 10));
      AppendUnitEscape(out, 0xDC00 + (v & 0x3FF));
    }
  }
  return out;
}

namespace {

// Hands the escaped form of utf8 to put, piece by piece.
template <class Put>
void EscapeHtml(std::string_view utf8, Put put) {
  for (std::size_t pos = 0; pos < utf8.size();) {
    const std::size_t start = pos;
    const char32_t cp = NextCodePoint(utf8, pos);
    switch (cp) {
      case '&': put("&amp;"); break;
      case '<': put("&lt;"); break;
      case '>': put("&gt;"); break;
      case '"': put("&quot;"); break;
      case '\'': put("&#39;"); break;
      case '\t':
      case '\n':
      case '\r': put(utf8.substr(start, 1)); break;
      default:
        if (cp != kReplacement && !IsControl(cp)) {
          put(utf8.substr(start, pos - start));
        } else {
          put("\xEF\xBF\xBD");  // U+FFFD
        }
    }
  }
}

}  // namespace

void AppendHtmlEscaped(std::string& out, std::string_view utf8) {
  EscapeHtml(utf8, [&](std::string_view piece) { out += piece; });
}

std::size_t HtmlEscapedSize(std::string_view utf8) {
  std::size_t n = 0;
  EscapeHtml(utf8, [&](std::string_view piece) { n += piece.size(); });
  return n;
}

std::string HtmlEscape(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 16);
  AppendHtmlEscaped(out, utf8);
  return out;
}

std::string CleanHeaderValue(std::string_view raw, std::size_t max_bytes) {
  std::string out;
  for (std::size_t pos = 0; pos < raw.size();) {
    char32_t cp = NextCodePoint(raw, pos);
    if (IsControl(cp)) cp = kReplacement;
    std::string piece;
    AppendUtf8(piece, cp);
    if (out.size() + piece.size() > max_bytes) break;
    out += piece;
  }
  return out;
}

void RepairLoneSurrogateEscapes(std::string& json) {
  static constexpr std::string_view kReplacementEscape = "FFFD";
  for (std::size_t pos = 0; pos < json.size(); ++pos) {
    if (json[pos] != '\\') continue;
    const long unit = EscapedUnitAt(json, pos);
    if (unit < 0) {
      ++pos;  // a two-character escape such as \\ or \" (or a malformed one)
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const long next = EscapedUnitAt(json, pos + 6);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        pos += 11;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) json.replace(pos + 2, 4, kReplacementEscape);
    pos += 5;
  }
}

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

std::string PercentEncode(std::string_view raw) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size());
  for (const char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string LogEscape(std::string_view raw) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(raw.size());
  for (const char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '\\') {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace quorvane::service

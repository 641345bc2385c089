#include "vek/strings.h"

#include <algorithm>
#include <limits>

namespace vek {
namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr size_t kUtf8SniffLimit = 16384;

// The text as the marker search sees it, computed unit by unit instead of copied,
// so that iterating over a long reply stays linear: ASCII letters upper-cased,
// and, when the end marker is a quote, a quote escaped by a backslash seen as a
// backslash (it can then match neither marker).
class SearchView {
 public:
  SearchView(TextView text, char16_t quote) : FText(text), FQuote(quote) {}

  // 0-based index of needle (already upper-cased) at or after from; npos if absent.
  size_t Find(TextView needle, size_t from) const {
    if (needle.empty() || from >= FText.size() || needle.size() > FText.size() - from) return TextView::npos;
    const size_t last = FText.size() - needle.size();
    for (size_t i = from; i <= last; ++i) {
      size_t k = 0;
      while (k < needle.size() && At(i + k) == needle[k]) ++k;
      if (k == needle.size()) return i;
    }
    return TextView::npos;
  }

 private:
  char16_t At(size_t i) const {
    const char16_t c = FText[i];
    if (FQuote != 0 && c == FQuote && IsEscaped(i)) return u'\\';
    return UpperAscii(c);
  }

  // A backslash escapes the unit after it, so a quote is escaped exactly when an
  // odd number of backslashes stands right before it ("\\" before a quote is an
  // escaped backslash and the quote still closes the value).
  bool IsEscaped(size_t i) const {
    size_t run = 0;
    while (run < i && FText[i - 1 - run] == u'\\') ++run;
    return (run & 1) != 0;
  }

  TextView FText;
  char16_t FQuote;
};

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

void AppendUnicodeEscape(Text& out, char16_t c) {
  out += u"\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(char16_t(kHexUpper[(c >> shift) & 0xF]));
}

bool InRange(uint8_t b, uint8_t lo, uint8_t hi) { return b >= lo && b <= hi; }

// Whether the multi-byte sequence whose lead is at bytes[i] is well formed.
bool SequenceIsWellFormed(std::string_view bytes, size_t i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
  const uint8_t lead = b(i);
  size_t next = i + 1;
  int required;
  // Leads whose second byte is narrowed keep out overlong forms (E0, F0),
  // surrogates (ED) and code points beyond U+10FFFF (F4).
  uint8_t narrowLo = 0, narrowHi = 0;
  if (InRange(lead, 0xC2, 0xDF)) required = 1;
  else if (lead == 0xE0) { narrowLo = 0xA0; narrowHi = 0xBF; required = 1; }
  else if (InRange(lead, 0xE1, 0xEC) || lead == 0xEE || lead == 0xEF) required = 2;
  else if (lead == 0xED) { narrowLo = 0x80; narrowHi = 0x9F; required = 1; }
  else if (lead == 0xF0) { narrowLo = 0x90; narrowHi = 0xBF; required = 2; }
  else if (InRange(lead, 0xF1, 0xF3)) required = 3;
  else if (lead == 0xF4) { narrowLo = 0x80; narrowHi = 0x8F; required = 2; }
  else return false;  // 80-C1, F5-FF
  if (narrowHi != 0) {
    if (next >= bytes.size() || !InRange(b(next), narrowLo, narrowHi)) return false;
    ++next;
  }
  // A sequence followed by a stray continuation byte is as wrong as a short one.
  int count = 0;
  while (count < 4 && next < bytes.size() && InRange(b(next), 0x80, 0xBF)) {
    ++count;
    ++next;
  }
  return count == required;
}

}  // namespace

Text IfEmpty(TextView value, TextView fallback) { return Text(value.empty() ? fallback : value); }

Text NextBetween(TextView text, TextView startMarker, TextView endMarker, int32_t& cursor) {
  const Text start = UpperCase(startMarker);
  const Text end = UpperCase(endMarker);
  const char16_t quote = (end == u"\"" || end == u"'") ? end[0] : char16_t(0);
  const SearchView view(text, quote);

  size_t from = 0;  // 0-based index of the value's first unit
  if (!start.empty()) {
    const size_t p = (cursor >= 1) ? view.Find(start, size_t(cursor) - 1) : TextView::npos;
    if (p == TextView::npos) {
      cursor = 0;
      return Text();
    }
    from = p + start.size();
  }
  size_t q = text.size();  // 0-based index of the end marker
  if (!end.empty()) {
    q = view.Find(end, from);
    if (q == TextView::npos) {
      cursor = 0;
      return Text();
    }
  }
  // The 1-based position one past the end marker's first unit is q + 2; a text too
  // long for a 32-bit cursor ends the iteration rather than wrapping it.
  const uint64_t next = uint64_t(q) + 2;
  cursor = next <= uint64_t(std::numeric_limits<int32_t>::max()) ? int32_t(next) : 0;
  return Text(text.substr(from, q - from));
}

Text ExtractBetween(TextView text, TextView startMarker, TextView endMarker, bool keepMarkers) {
  int32_t cursor = 1;
  Text value = NextBetween(text, startMarker, endMarker, cursor);
  if (keepMarkers && !Trim(value).empty()) {
    Text wrapped(startMarker);
    wrapped += value;
    wrapped += endMarker;
    return wrapped;
  }
  return value;
}

Text JsonEscape(TextView text) {
  Text out;
  out.reserve(text.size() + text.size() / 4);
  for (const char16_t c : text) {
    switch (c) {
      case u'"': out += u"\\\""; break;
      case u'\\': out += u"\\\\"; break;
      case u'/': out += u"\\/"; break;
      case 0x08: out += u"\\b"; break;
      case 0x09: out += u"\\t"; break;
      case 0x0A: out += u"\\n"; break;
      case 0x0C: out += u"\\f"; break;
      case 0x0D: out += u"\\r"; break;
      default:
        if (c < 0x20 || c >= 0x80) AppendUnicodeEscape(out, c);
        else out.push_back(c);
    }
  }
  return out;
}

Text JsonUnescape(TextView text) {
  Text out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char16_t c = text[i++];
    if (c != u'\\') {
      out.push_back(c);
      continue;
    }
    if (i >= text.size()) break;  // a final lone backslash is dropped
    const char16_t e = text[i++];
    switch (e) {
      case u'"': case u'\'': case u'/': case u'\\': out.push_back(e); break;
      case u'b': out.push_back(0x08); break;
      case u'f': out.push_back(0x0C); break;
      case u'n': out.push_back(0x0A); break;
      case u'r': out.push_back(0x0D); break;
      case u't': out.push_back(0x09); break;
      case u'u': {
        const size_t digits = std::min<size_t>(4, text.size() - i);
        if (digits == 0) throw ConvertError("JSON text ends inside a \\u escape");
        unsigned value = 0;
        for (size_t k = 0; k < digits; ++k) {
          const int d = HexDigit(text[i + k]);
          if (d < 0) throw ConvertError("JSON \\u escape is not followed by hexadecimal digits");
          value = value * 16 + unsigned(d);
        }
        out.push_back(char16_t(value));
        i += digits;
        break;
      }
      default: break;  // unknown escape: both units dropped
    }
  }
  return out;
}

bool LooksLikeUTF8(ByteStream& stream, int32_t maxBytes) {
  const size_t available = stream.Position < stream.Bytes.size() ? stream.Bytes.size() - stream.Position : 0;
  size_t n = std::min(available, kUtf8SniffLimit);
  if (maxBytes >= 0 && size_t(maxBytes) < n) n = size_t(maxBytes);
  if (n == 0) return false;
  const std::string_view bytes(stream.Bytes.data() + stream.Position, n);
  stream.Position = 0;

  if (n >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") return true;
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<uint8_t>(bytes[i]) < 0x80) continue;
    return SequenceIsWellFormed(bytes, i);
  }
  return false;
}

}  // namespace vek

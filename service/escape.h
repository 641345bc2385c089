#pragma once
// Text conversions at the service's edges: the marker-safe JSON strings of the
// configuration reply, HTML text, header values that end up in storage, and
// log fields.
#include <cstddef>
#include <string>
#include <string_view>

namespace quorvane::service {

// Escapes UTF-8 text for use between the double quotes of a reply that the
// program reads by scanning for literal markers. The output is ASCII only: every
// code unit outside U+0020..U+007E, and the double quote, the backslash and the
// closing bracket, become \uXXXX escapes (characters beyond the BMP as a
// surrogate pair). Writing the quote and backslash as \u escapes rather than \"
// and \\ matters: the program masks a backslash followed by a quote when it
// looks for a value's end, so a value ending in a backslash, written \\", would
// swallow its closing quote. A bracket inside an array item would end the array.
// Invalid UTF-8 becomes U+FFFD.
std::string MarkerSafeJsonString(std::string_view utf8);

// Escapes UTF-8 text for HTML element content and quoted attribute values.
// Control characters other than tab and line breaks, and invalid UTF-8, become
// U+FFFD, so nothing a report carries can change the page's structure.
std::string HtmlEscape(std::string_view utf8);
// The same, appended to out; and the size it comes to.
void AppendHtmlEscaped(std::string& out, std::string_view utf8);
std::size_t HtmlEscapedSize(std::string_view utf8);

// Makes a request header value fit for storage: valid UTF-8 without control
// characters (each replaced by U+FFFD), cut to at most max_bytes at a character
// boundary.
std::string CleanHeaderValue(std::string_view raw, std::size_t max_bytes);

// Replaces every \uXXXX escape of an unpaired UTF-16 surrogate in JSON text by
// \uFFFD, in place (the length stays the same). Windows file and program names
// may hold unpaired surrogates, and the program escapes each code unit on its
// own; a strict JSON reader would otherwise refuse the whole report.
void RepairLoneSurrogateEscapes(std::string& json);

// ASCII letters folded to lower case, every other byte as it is.
std::string AsciiLower(std::string_view text);
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Percent-encodes text for a URL's query value: every byte but the unreserved
// A-Z a-z 0-9 - . _ ~ becomes %HH.
std::string PercentEncode(std::string_view raw);

// Makes text a client chose fit for one field of a log line: every byte outside
// printable ASCII, the blank and the backslash become \xHH, so that no line
// break, field separator or terminal control can come through.
std::string LogEscape(std::string_view raw);

}  // namespace quorvane::service

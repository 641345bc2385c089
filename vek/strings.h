#pragma once
// Vek.Strings: the small text routines the program shares. Service replies are
// read by scanning for literal markers (ExtractBetween, NextBetween) and their
// values decoded with JsonUnescape; reports are concatenated text whose string
// values pass through JsonEscape. Positions are 1-based UTF-16 code unit
// positions; 0 means "not found". Every routine here is reentrant.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vek/text.h"

namespace vek {

// Raised by JsonUnescape, and only by it, when a \u escape is malformed.
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A seekable run of bytes, the portable stand-in for a response body stream.
// Position may lie beyond the end (as a file position may); nothing remains there.
struct ByteStream {
  std::string Bytes;
  size_t Position = 0;
};

// value when it is not empty, else fallback. Blanks count as not empty.
Text IfEmpty(TextView value, TextView fallback);

// The next value between startMarker and endMarker, searching from position
// cursor. Markers match ignoring ASCII case; the value keeps its own case.
// On success cursor moves one past the first unit of the end marker, so the next
// call continues there; when either marker is missing (or cursor is not a
// position in text) the result is empty and cursor becomes 0. An empty end marker
// takes the value to the end of the text. An empty start marker ignores cursor and
// starts at position 1 every time, so never iterate with one.
// When endMarker is a single '"' or '\'', a backslash escapes the unit after it:
// an escaped quote neither ends nor starts a marker match, an escaped backslash
// leaves the quote after it a real one. The value is returned still escaped.
Text NextBetween(TextView text, TextView startMarker, TextView endMarker, int32_t& cursor);

// NextBetween once from position 1. With keepMarkers, a value that is not blank
// comes back wrapped in the markers as passed.
Text ExtractBetween(TextView text, TextView startMarker, TextView endMarker, bool keepMarkers);

// text escaped for the inside of a JSON string; the output is ASCII only. Each
// UTF-16 unit is escaped on its own, so a surrogate pair becomes two \u escapes.
Text JsonEscape(TextView text);

// text with JSON escapes undone. \u reads up to four hexadecimal digits (fewer
// only where the text ends); an unknown escape or a final lone backslash is
// dropped together with the unit after it. Throws ConvertError when the units
// after \u are not hexadecimal, including a \u at the very end.
Text JsonUnescape(TextView text);

// Whether the bytes from the stream's position look like UTF-8: a byte-order mark,
// or a first multi-byte sequence that is well formed. Pure ASCII gives false.
// Reads at most 16384 bytes, fewer when maxBytes is 0 or more and smaller.
// Afterwards the position is 0 (the start, not where it was) unless nothing
// remained to read, in which case the stream is untouched and the result false.
bool LooksLikeUTF8(ByteStream& stream, int32_t maxBytes);

}  // namespace vek

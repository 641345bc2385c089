// Scanning and escaping of service replies: never crash, never loop, and keep
// the invariants the report and the reply reader rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vek/strings.h"

namespace {

// Each byte becomes one code unit (dense, so markers actually match); 0xFE takes
// the next two bytes as any unit, surrogates included.
vek::Text Units(const uint8_t*& p, const uint8_t* end, size_t count) {
  vek::Text t;
  while (p < end && t.size() < count) {
    if (*p == 0xFE && end - p >= 3) {
      t.push_back(char16_t(p[1] << 8 | p[2]));
      p += 3;
    } else {
      t.push_back(char16_t(*p++));
    }
  }
  return t;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t* p = data + 2;
  const uint8_t* end = data + size;
  const vek::Text start = Units(p, end, 1 + data[0] % 4);
  const vek::Text stop = Units(p, end, data[1] % 4);
  const vek::Text text = Units(p, end, size);

  int32_t cursor = 1;
  int32_t previous = 0;
  bool first = true;
  while (true) {
    const vek::Text value = vek::NextBetween(text, start, stop, cursor);
    if (first) Check(value == vek::ExtractBetween(text, start, stop, false));
    first = false;
    if (cursor == 0) {
      Check(value.empty());
      break;
    }
    Check(cursor > previous && value.size() <= text.size());
    previous = cursor;
    if (start.empty()) break;  // an empty start marker restarts at 1 every call
  }

  const vek::Text escaped = vek::JsonEscape(text);
  for (char16_t c : escaped) Check(c < 0x80);
  Check(vek::JsonUnescape(escaped) == text);
  try {
    const vek::Text plain = vek::JsonUnescape(text);
    Check(plain.size() <= text.size());
  } catch (const vek::ConvertError&) {
  }

  vek::ByteStream stream{std::string(reinterpret_cast<const char*>(data), size), size_t(data[0])};
  const bool hadBytes = stream.Position < stream.Bytes.size();
  vek::LooksLikeUTF8(stream, int32_t(data[1]) - 8);
  Check(!hadBytes || data[1] == 8 || stream.Position == 0);
  return 0;
}

// A NoClean.txt of any bytes, read in chunks under small caps: never crash or
// loop, and keep exactly the kept lines the plain reader finds in what was read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/outside_lists.h"
#include "tests/support/text_file_lines.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

// The first three bytes choose the caps and the chunk size; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const app::ListCaps caps{size_t(data[0] % 8), size_t(1 + data[1] % 16), size_t(data[2]) * 8, size_t(data[0] / 8 % 4)};
  const size_t chunk = 1 + data[2] % 7;
  const std::string bytes(reinterpret_cast<const char*>(data + 3), size - 3);
  size_t position = 0;
  const auto read = [&](char* buffer, size_t want, size_t& got) {
    got = std::min({want, chunk, bytes.size() - position});
    bytes.copy(buffer, got, position);
    position += got;
    return true;
  };
  const std::vector<vek::Text> kept = app::ReadNoCleanFile(read, qvtest::Latin1, caps);
  Check(kept.size() <= caps.Entries + caps.Blanks && position <= caps.FileBytes + 1);
  for (const vek::Text& e : kept) Check(e.size() <= caps.Length);
  const bool cut = bytes.size() > caps.FileBytes;
  Check(kept == qvtest::KeptLines(std::string_view(bytes).substr(0, caps.FileBytes), cut, caps));
  return 0;
}

// Status-text markup: any text parses, without crash or runaway time, into lines
// whose runs are never empty and never split without a change of colour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ui/markup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Bytes as units keep "<", ">", ":" and "/" frequent; UTF-8 reading would hide them.
  vek::Text text;
  for (size_t i = 0; i < size; ++i) text.push_back(char16_t(data[i]));
  const auto lines = ui::ParseMarkup(text);
  if (lines.empty()) std::abort();
  size_t shown = 0;
  for (const auto& line : lines) {
    for (size_t r = 0; r < line.Runs.size(); ++r) {
      if (line.Runs[r].Text.empty()) std::abort();
      if (r > 0 && line.Runs[r].Colour == line.Runs[r - 1].Colour) std::abort();
      shown += line.Runs[r].Text.size();
    }
  }
  // Every unit either shows as itself or, at worst, as part of a three-unit "<?>".
  if (shown > 3 * text.size()) std::abort();
  return 0;
}

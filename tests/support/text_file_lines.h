#pragma once
// What a NoClean.txt reads as without any cap, done the plain way: the whole file
// decoded at once, then split into lines. The capped reader of
// app/outside_lists.h must keep exactly the kept lines of this, in order, for the
// bytes it read.
#include <string_view>
#include <vector>

#include "app/outside_lists.h"
#include "vek/text.h"

namespace qvtest {

// Latin-1 stands in for the ANSI code page: every byte one unit, as the
// single-byte code pages do, with the ASCII bytes as themselves.
inline vek::Text Latin1(std::string_view bytes) {
  vek::Text t;
  for (unsigned char b : bytes) t.push_back(b);
  return t;
}

inline vek::Text DecodeTextFile(std::string_view bytes, app::AnsiDecoder ansiToText) {
  const auto has = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  if (has("\xEF\xBB\xBF")) return vek::FromUtf8(bytes.substr(3));
  if (has("\xFF\xFE") || has("\xFE\xFF")) {
    const bool little = bytes[0] == '\xFF';
    vek::Text text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const auto lo = static_cast<unsigned char>(bytes[little ? i : i + 1]);
      const auto hi = static_cast<unsigned char>(bytes[little ? i + 1 : i]);
      text.push_back(char16_t(lo | hi << 8));
    }
    return text;
  }
  return ansiToText(bytes);
}

// Lines end at CR LF, LF or CR; a break at the very end adds no empty line.
inline std::vector<vek::Text> SplitLines(const vek::Text& text) {
  std::vector<vek::Text> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\r' && text[i] != u'\n') continue;
    lines.emplace_back(text, start, i - start);
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text, start, text.size() - start);
  return lines;
}

// The kept lines of bytes, the first of a file that was read this far: the
// first caps.Entries lines that are not blank and, before the last of them, the
// first caps.Blanks blank ones, none longer than caps.Length. With cut
// (the file went on, or reading failed), a last line without its line break is
// not one.
inline std::vector<vek::Text> KeptLines(std::string_view bytes, bool cut, const app::ListCaps& caps) {
  const vek::Text text = DecodeTextFile(bytes, Latin1);
  std::vector<vek::Text> lines = SplitLines(text);
  if (cut && !lines.empty() && text.back() != u'\r' && text.back() != u'\n') lines.pop_back();
  std::vector<vek::Text> kept;
  size_t counted = 0, blanks = 0;
  for (auto& line : lines) {
    if (counted == caps.Entries) break;
    if (line.size() > caps.Length) continue;
    const bool blank = vek::Trim(line).empty();
    if (blank && blanks == caps.Blanks) continue;
    ++(blank ? blanks : counted);
    kept.push_back(std::move(line));
  }
  return kept;
}

}  // namespace qvtest

#include "app/outside_lists.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

namespace app {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// No decoder makes fewer UTF-16 units than one per four bytes (UTF-8 takes at
// most three per unit, GB18030 four), so a line of more bytes than this times
// the length cap is too long whatever it decodes to.
constexpr size_t kMaxBytesPerUnit = 4;

enum class Encoding { Ansi, Utf8, Utf16LE, Utf16BE };

// Splits the bytes after the byte-order mark into lines and hands each to the
// list, holding one line only as far as it could still become a kept entry.
// Line breaks are found before decoding: neither UTF-8 nor the multi-byte ANSI
// code pages use the bytes 0A and 0D inside a character, and UTF-16 lines are
// split on whole units.
class LineSplitter {
 public:
  LineSplitter(Encoding encoding, AnsiDecoder ansiToText, const ListCaps& caps, OutsideList& list)
      : FEncoding(encoding), FAnsi(ansiToText), FList(list),
        FLimit(encoding == Encoding::Utf16LE || encoding == Encoding::Utf16BE ? caps.Length
                                                                             : caps.Length * kMaxBytesPerUnit) {}

  // False once the list is full: nothing more is wanted.
  bool Feed(const char* p, size_t n) {
    if (FEncoding == Encoding::Utf16LE || FEncoding == Encoding::Utf16BE) return FeedUtf16(p, n);
    for (size_t i = 0; i < n; ++i)
      if (!Unit(static_cast<uint8_t>(p[i]))) return false;
    return true;
  }

  // The end of the input; a line that it cuts off (cut) is not an entry, and a
  // line break at the very end adds no empty line.
  void Finish(bool cut) {
    if (!cut && FInLine) EndLine();
  }

 private:
  bool FeedUtf16(const char* p, size_t n) {
    size_t i = 0;
    if (FHasOdd && n > 0) {
      FHasOdd = false;
      if (!Unit(Pair(FOdd, static_cast<uint8_t>(p[0])))) return false;
      i = 1;
    }
    for (; i + 1 < n; i += 2)
      if (!Unit(Pair(static_cast<uint8_t>(p[i]), static_cast<uint8_t>(p[i + 1])))) return false;
    if (i < n) {
      FHasOdd = true;
      FOdd = static_cast<uint8_t>(p[i]);
    }
    return true;
  }

  char16_t Pair(uint8_t first, uint8_t second) const {
    return FEncoding == Encoding::Utf16LE ? char16_t(first | second << 8) : char16_t(first << 8 | second);
  }

  bool Unit(char16_t c) {
    if (c == u'\n' || c == u'\r') {
      const bool secondHalf = c == u'\n' && FAfterCr;
      FAfterCr = c == u'\r';
      return secondHalf || EndLine();
    }
    FAfterCr = false;
    FInLine = true;
    if (c > 0x20) FBlank = false;  // as IsBlankEntry judges the decoded line
    if (FLine.size() < FLimit) FLine.push_back(c);
    else FTooLong = true;
    return true;
  }

  bool EndLine() {
    bool room = true;
    // Blank lines beyond their cap (the most of a flood of empty lines) are never
    // decoded.
    if (!FTooLong && (!FBlank || FList.TakesBlanks())) room = FList.Add(Decode());
    FLine.clear();
    FInLine = false;
    FBlank = true;
    FTooLong = false;
    return room;
  }

  vek::Text Decode() const {
    if (FEncoding == Encoding::Utf16LE || FEncoding == Encoding::Utf16BE) return FLine;
    std::string bytes(FLine.size(), '\0');
    std::transform(FLine.begin(), FLine.end(), bytes.begin(), [](char16_t c) { return char(c); });
    return FEncoding == Encoding::Utf8 ? vek::FromUtf8(bytes) : FAnsi(bytes);
  }

  const Encoding FEncoding;
  const AnsiDecoder FAnsi;
  OutsideList& FList;
  const size_t FLimit;  // units (bytes, for the 8-bit encodings) held of one line
  vek::Text FLine;      // the line so far: UTF-16 units, or one byte per unit
  bool FInLine = false;  // a unit since the last line break
  bool FBlank = true, FTooLong = false, FAfterCr = false;
  bool FHasOdd = false;  // UTF-16: the first byte of a unit split between chunks
  uint8_t FOdd = 0;
};

// The encoding that the first bytes select, and how many of them are its mark.
Encoding Detect(std::string_view head, size_t& markSize) {
  const auto has = [&](std::string_view mark) { return head.substr(0, mark.size()) == mark; };
  if (has("\xEF\xBB\xBF")) return markSize = 3, Encoding::Utf8;
  if (has("\xFF\xFE")) return markSize = 2, Encoding::Utf16LE;
  if (has("\xFE\xFF")) return markSize = 2, Encoding::Utf16BE;
  return markSize = 0, Encoding::Ansi;
}

}  // namespace

bool IsBlankEntry(vek::TextView entry) {
  return std::all_of(entry.begin(), entry.end(), [](char16_t c) { return c <= 0x20; });
}

bool OutsideList::Add(vek::Text entry) {
  if (Full() || entry.size() > FCaps.Length) return !Full();
  if (IsBlankEntry(entry)) {
    if (!TakesBlanks()) return true;
    ++FBlanks;
  } else {
    ++FCounted;
  }
  FEntries.push_back(std::move(entry));
  return !Full();
}

std::vector<vek::Text> ReadNoCleanFile(const ByteReader& read, AnsiDecoder ansiToText, const ListCaps& caps) {
  OutsideList list(caps);
  if (list.Full()) return list.Take();
  std::string buffer(kReadChunk, '\0');
  std::string head;  // the first bytes, until they tell the encoding
  std::unique_ptr<LineSplitter> lines;
  const auto start = [&] {
    size_t markSize = 0;
    const Encoding encoding = Detect(head, markSize);
    lines = std::make_unique<LineSplitter>(encoding, ansiToText, caps, list);
    return lines->Feed(head.data() + markSize, head.size() - markSize);
  };
  size_t total = 0;
  bool cut = false, more = true;
  while (more) {
    // One byte beyond the limit tells a file that goes on from one that ends there.
    const size_t want = std::min(buffer.size(), caps.FileBytes + 1 - total);
    size_t got = 0;
    if (!read(buffer.data(), want, got)) {
      cut = true;
      break;
    }
    if (got == 0) break;
    got = std::min(got, want);
    total += got;
    if (total > caps.FileBytes) {
      cut = true;
      more = false;
      --got;
    }
    if (!lines) {
      head.append(buffer.data(), got);
      if (head.size() >= 3) more = start() && more;
    } else {
      more = lines->Feed(buffer.data(), got) && more;
    }
  }
  if (!lines && !start()) return list.Take();
  if (!list.Full()) lines->Finish(cut);
  return list.Take();
}

}  // namespace app

// The lists from outside the program: a NoClean.txt of any bytes, read in
// chunks under the caps, keeps exactly the kept lines of what it read.
#include "app/outside_lists.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "tests/support/text_file_lines.h"
#include "tests/support/property_seeds.h"

namespace {

using app::ListCaps;
using vek::Text;
using L = std::vector<Text>;
using namespace std::string_literals;

// A file in memory, handed out in chunks of the sizes given in turn (the last
// size repeats), with a read failure at byte failAt if it is reached.
struct MemoryFile {
  std::string bytes;
  std::vector<size_t> chunks{1 << 20};
  size_t failAt = std::string::npos;
  size_t position = 0, reads = 0;

  app::ByteReader Reader() {
    return [this](char* buffer, size_t size, size_t& got) {
      if (position >= failAt) return false;
      const size_t chunk = chunks[std::min(reads++, chunks.size() - 1)];
      got = std::min({size, chunk, bytes.size() - position, failAt - position});
      bytes.copy(buffer, got, position);
      position += got;
      return true;
    };
  }
};

L Read(std::string bytes, const ListCaps& caps = app::kListCaps) {
  MemoryFile file{std::move(bytes)};
  return app::ReadNoCleanFile(file.Reader(), qvtest::Latin1, caps);
}

TEST(NoCleanFile, LinesAreKeptAsWrittenBlankOnesIncluded) {
  EXPECT_EQ(Read("a\r\n\r\n  b.exe*  \nc\rd\r\n"), (L{u"a", u"", u"  b.exe*  ", u"c", u"d"}));
  EXPECT_EQ(Read("// note\n \t\n\0\nx"s), (L{u"// note", u" \t", u"\0"s, u"x"}));
  EXPECT_EQ(Read(""), L{});
  EXPECT_EQ(Read("\r\n\n\r"), (L{u"", u"", u""}));  // the break at the very end adds no line
}

TEST(NoCleanFile, ByteOrderMarksSelectTheEncoding) {
  EXPECT_EQ(Read("\xEF\xBB\xBF\xED\x95\x9C.exe*\r\n"), (L{u"한.exe*"}));
  EXPECT_EQ(Read("\xFF\xFE\x5C\xD5\n\0"s), (L{u"한"}));
  EXPECT_EQ(Read("\xFE\xFF\xD5\x5C\0\n"s), (L{u"한"}));
  EXPECT_EQ(Read("\xC7\xD1"), (L{u"\u00C7\u00D1"}));          // no mark: the ANSI decoder's
  EXPECT_EQ(Read("\xFF\xFE\x41"), L{});                       // odd trailing byte dropped
  EXPECT_EQ(Read("\xFF\xFE\x00\xD8\r\0"s), (L{u"\xD800"}));   // a lone surrogate stays
  EXPECT_EQ(Read("\xEF\xBB\xBFok\xC3\n"), (L{u"ok\uFFFD"}));  // invalid UTF-8 too, as U+FFFD
}

TEST(NoCleanFile, CapsLeaveOutLongLinesAndStopAtTheCount) {
  const ListCaps caps{3, 5, 1000, 2};
  EXPECT_EQ(Read("12345\n123456\n   1234567   \nb\nc\nd\n", caps), (L{u"12345", u"b", u"c"}));
  // Blank lines do not count toward the cap; they have one of their own.
  EXPECT_EQ(Read("\n\na\n \n\nb\n\nc\nd\n", caps), (L{u"", u"", u"a", u"b", u"c"}));
  // UTF-16 units, not bytes or characters, measure a line: 한 is three bytes of
  // UTF-8 but one unit, a character beyond the BMP two.
  EXPECT_EQ(Read("\xEF\xBB\xBF한한한한한\n\xF0\x9F\x94\x92\xF0\x9F\x94\x92\xF0\x9F\x94\x92\n", caps), (L{u"한한한한한"}));
  // A line the byte limit cuts off is not an entry, one it ends right after is.
  EXPECT_EQ(Read("ab\ncd\nef", {10, 10, 7}), (L{u"ab", u"cd"}));
  EXPECT_EQ(Read("ab\ncd\nef", {10, 10, 6}), (L{u"ab", u"cd"}));
}

TEST(NoCleanFile, AFloodIsReadOnlyAsFarAsTheCaps) {
  // Sixteen million empty lines and an entry: 10,000 empty entries, none of the
  // entry beyond the byte limit, and no more than the byte limit read.
  MemoryFile empty{std::string(app::kListCaps.FileBytes + 4096, '\n') + "late.exe\n", {65536}};
  EXPECT_EQ(app::ReadNoCleanFile(empty.Reader(), qvtest::Latin1), L(10000, Text()));
  EXPECT_LE(empty.position, app::kListCaps.FileBytes + 1);

  // A million distinct lines: the first 10,000, and reading stops there.
  std::string many;
  for (int i = 0; i < 1000000; ++i) many += "entry" + std::to_string(1000000 + i) + ".exe\r\n";
  MemoryFile distinct{std::move(many), {65536}};
  const L kept = app::ReadNoCleanFile(distinct.Reader(), qvtest::Latin1);
  ASSERT_EQ(kept.size(), 10000u);
  EXPECT_EQ(kept.front(), u"entry1000000.exe");
  EXPECT_EQ(kept.back(), u"entry1009999.exe");
  EXPECT_LE(distinct.position, 10000u * 18 + 65536);

  // One line of 16 MiB is left out whole.
  EXPECT_EQ(Read(std::string(app::kListCaps.FileBytes - 1, 'a') + "\nlast"), L{});
}

// Random files of any bytes, read in random chunks under random small caps:
// never more entries than the caps, none too long, and exactly the kept
// lines of the bytes read (the plain reader's, tests/support/text_file_lines.h).
struct Soup {
  std::string bytes;
  ListCaps caps;
  std::vector<size_t> chunks;
  size_t failAt = std::string::npos;
};

Soup MakeSoup(std::mt19937_64& rng) {
  const auto pick = [&](size_t n) { return size_t(rng() % n); };
  Soup s;
  s.caps = {pick(6), 1 + pick(12), pick(8) == 0 ? pick(8) : 16 + pick(400), pick(5)};
  static const char* const marks[] = {"", "", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
  const std::string mark = marks[pick(5)];
  const bool utf16 = mark.size() == 2;
  s.bytes = mark;
  static const char16_t alphabet[] = {u'\r', u'\n', u' ', u'\t', 0, u'a', u'/', u'*', u'%', 0xD55C, 0xD800, 0xDC00, 0xFF, 0x80};
  const size_t units = pick(300);
  for (size_t i = 0; i < units; ++i) {
    char16_t c = alphabet[pick(std::size(alphabet))];
    const size_t run = c == u'a' ? 1 + pick(5 * s.caps.Length + 2) : 1;
    for (size_t k = 0; k < run; ++k) {
      if (utf16) {
        const char lo = char(c & 0xFF), hi = char(c >> 8);
        s.bytes += mark[0] == '\xFF' ? std::string{lo, hi} : std::string{hi, lo};
      } else if (mark.empty() || c < 0x80) {
        s.bytes += char(c & 0xFF);
      } else if (c == 0xD800 || c == 0xDC00) {
        s.bytes += char(0xED), s.bytes += char(c == 0xD800 ? 0xA0 : 0xB0), s.bytes += char(0x80);  // invalid
      } else {
        s.bytes += vek::ToUtf8(Text(1, c));
      }
    }
  }
  // Stray bytes anywhere: cut sequences, odd UTF-16 lengths.
  for (size_t n = pick(4); n > 0 && !s.bytes.empty(); --n) s.bytes[pick(s.bytes.size())] = char(rng());
  if (pick(4) == 0) s.bytes += char(rng());
  for (size_t n = 1 + pick(4); n > 0; --n) s.chunks.push_back(1 + pick(pick(2) ? 3 : 64));
  if (pick(6) == 0) s.failAt = pick(s.bytes.size() + 1);
  return s;
}

std::string Describe(const Soup& s) {
  std::ostringstream out;
  out << "caps " << s.caps.Entries << " entries, " << s.caps.Blanks << " blanks, " << s.caps.Length << " units, " << s.caps.FileBytes
      << " bytes; chunks";
  for (size_t c : s.chunks) out << ' ' << c;
  if (s.failAt != std::string::npos) out << "; read fails at byte " << s.failAt;
  out << "\nbytes:";
  for (unsigned char b : s.bytes) out << ' ' << "0123456789abcdef"[b >> 4] << "0123456789abcdef"[b & 15];
  return out.str();
}

TEST(NoCleanFile, AnyBytesInAnyChunksKeepExactlyTheKeptLinesOfWhatWasRead) {
  const qvtest::SeedRange seeds = qvtest::PropertySeeds(0x4e6f436c, 20000);
  for (uint64_t seed = seeds.First; seed < seeds.End(); ++seed) {
    std::mt19937_64 rng(seed);
    const Soup soup = MakeSoup(rng);
    MemoryFile file{soup.bytes, soup.chunks, soup.failAt};
    const L kept = app::ReadNoCleanFile(file.Reader(), qvtest::Latin1, soup.caps);

    std::string problem;
    if (kept.size() > soup.caps.Entries + soup.caps.Blanks) problem = "more entries than the caps";
    for (const Text& e : kept)
      if (e.size() > soup.caps.Length) problem = "an entry too long";
    if (file.position > soup.caps.FileBytes + 1) problem = "read beyond the byte limit";
    // The bytes read: up to the limit or the failure; the file went on beyond them
    // when more was there, or reading failed. Once the cap of entries is reached
    // the reader may stop early, so the plain reader gets all the bytes it could
    // have read and gives as many entries.
    const size_t limit = std::min({soup.bytes.size(), soup.caps.FileBytes, soup.failAt});
    const bool cut = soup.bytes.size() > soup.caps.FileBytes || soup.failAt <= soup.bytes.size();
    const L expected = qvtest::KeptLines(std::string_view(soup.bytes).substr(0, limit), cut, soup.caps);
    if (problem.empty() && kept != expected) {
      problem = "kept lines differ from the plain reader's:";
      for (const L* list : {&kept, &expected}) {
        problem += "\n ";
        for (const Text& e : *list) problem += " [" + vek::ToUtf8(e) + "]";
      }
    }
    if (!problem.empty()) {
      ADD_FAILURE() << qvtest::ReplayNote(seed) << ": " << problem << "\n"
                    << Describe(soup);
      return;
    }
  }
}

}  // namespace

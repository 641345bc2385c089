#include "vek/strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vek {
namespace {

// Every value NextBetween yields while iterating from cursor 1, as the service
// exchange reads the items of an array.
std::vector<Text> Collect(TextView text, TextView start, TextView end) {
  std::vector<Text> values;
  int32_t cursor = 1;
  for (int guard = 0; guard < 1000000; ++guard) {
    Text value = NextBetween(text, start, end, cursor);
    if (cursor == 0) return values;
    values.push_back(value);
  }
  ADD_FAILURE() << "iteration did not end";
  return values;
}

TEST(IfEmpty, PicksFallbackOnlyForTheEmptyText) {
  EXPECT_EQ(IfEmpty(u"a", u"b"), u"a");
  EXPECT_EQ(IfEmpty(u"", u"b"), u"b");
  EXPECT_EQ(IfEmpty(u" ", u"b"), u" ");
  EXPECT_EQ(IfEmpty(u"", u""), u"");
}

TEST(NextBetween, IteratesValuesOfAReply) {
  struct Case {
    const char16_t* text;
    const char16_t* start;
    const char16_t* end;
    std::vector<Text> values;
  };
  const Case cases[] = {
      {u"\"a\",\"b\"", u"\"", u"\"", {u"a", u"b"}},
      {u"{\"x\":\"1\"},{\"X\":\"2\"}", u"\"x\":\"", u"\"", {u"1", u"2"}},
      {u"\"\",\"\"", u"\"", u"\"", {u"", u""}},
      // An escaped quote stays inside the value, still escaped.
      {u"\"x\\\"y\"", u"\"", u"\"", {u"x\\\"y"}},
      // An escaped backslash leaves the following quote a real one.
      {u"[\"a\\\\\",\"b\"]", u"\"", u"\"", {u"a\\\\", u"b"}},
      {u"[\"a\\\\\\\"b\"]", u"\"", u"\"", {u"a\\\\\\\"b"}},
      {u"'it\\'s','x'", u"'", u"'", {u"it\\'s", u"x"}},
      // Only a quote end marker makes the backslash an escape.
      {u"[a\\]b]", u"[", u"]", {u"a\\"}},
      // An escaped quote cannot begin a start marker either.
      {u"\\\"k\":\"1\",\"k\":\"2\"", u"\"k\":\"", u"\"", {u"2"}},
      {u"<a><Bc><>", u"<", u">", {u"a", u"Bc", u""}},
      {u"no markers here", u"\"", u"\"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Collect(c.text, c.start, c.end), c.values) << vek::ToUtf8(c.text);
}

TEST(NextBetween, MatchesMarkersIgnoringAsciiCaseButKeepsTheValueCase) {
  int32_t cursor = 1;
  EXPECT_EQ(NextBetween(u"{\"status\":\"OkAy\"}", u"\"STATUS\":\"", u"\"", cursor), u"OkAy");
  cursor = 1;
  // Only a-z fold: a Latin-1 letter is not the same in another case.
  EXPECT_EQ(NextBetween(u"\u00C4=1;", u"\u00E4=", u";", cursor), u"");
  EXPECT_EQ(cursor, 0);
}

TEST(NextBetween, MovesTheCursorOnePastTheEndMarkersFirstUnit) {
  int32_t cursor = 1;
  EXPECT_EQ(NextBetween(u"<a>>b", u"<", u">>", cursor), u"a");
  EXPECT_EQ(cursor, 4);
  EXPECT_EQ(NextBetween(u"x=1;y=22;", u"=", u";", cursor = 1), u"1");
  EXPECT_EQ(cursor, 5);
  EXPECT_EQ(NextBetween(u"x=1;y=22;", u"=", u";", cursor), u"22");
  EXPECT_EQ(cursor, 10);
  EXPECT_EQ(NextBetween(u"x=1;y=22;", u"=", u";", cursor), u"");
  EXPECT_EQ(cursor, 0);
}

TEST(NextBetween, MissingEndMarkerGivesEmptyEvenWhenStartWasFound) {
  int32_t cursor = 1;
  EXPECT_EQ(NextBetween(u"\"status\":\"ok", u"\"status\":\"", u"\"", cursor), u"");
  EXPECT_EQ(cursor, 0);
}

TEST(NextBetween, EmptyEndMarkerTakesTheRestOfTheText) {
  int32_t cursor = 1;
  EXPECT_EQ(NextBetween(u"key=some value", u"=", u"", cursor), u"some value");
  EXPECT_EQ(cursor, 16);
  EXPECT_EQ(NextBetween(u"key=some value", u"=", u"", cursor), u"");
  EXPECT_EQ(cursor, 0);
}

TEST(NextBetween, EmptyStartMarkerAlwaysStartsAtTheBeginning) {
  int32_t cursor = 5;
  EXPECT_EQ(NextBetween(u"ab;cd;", u"", u";", cursor), u"ab");
  EXPECT_EQ(cursor, 4);
  EXPECT_EQ(NextBetween(u"ab;cd;", u"", u";", cursor), u"ab");
}

TEST(NextBetween, CursorOutsideTheTextFindsNothing) {
  for (int32_t start : {0, -1, -2147483647 - 1, 7, 2147483647}) {
    int32_t cursor = start;
    EXPECT_EQ(NextBetween(u"\"a\",\"b\"", u"\"", u"\"", cursor), u"") << start;
    EXPECT_EQ(cursor, 0) << start;
  }
  int32_t cursor = 1;
  EXPECT_EQ(NextBetween(u"", u"\"", u"\"", cursor), u"");
  EXPECT_EQ(cursor, 0);
}

TEST(NextBetween, IteratesALargeReplyWithoutRescanningIt) {
  // A quadratic scan (a fresh upper-cased copy of the whole reply per item) makes
  // this run for minutes; the scan must stay proportional to the reply.
  Text reply = u"{\"noclean\":[";
  const int items = 20000;
  for (int i = 0; i < items; ++i) reply += u"\"%SystemRoot%\\\\App" + Text(1, char16_t(u'a' + i % 26)) + u".exe\",";
  reply += u"\"last\"]}";
  const auto values = Collect(reply.substr(reply.find(u'[')), u"\"", u"\"");
  ASSERT_EQ(values.size(), size_t(items) + 1);
  EXPECT_EQ(values.front(), u"%SystemRoot%\\\\Appa.exe");
  EXPECT_EQ(values.back(), u"last");
}

TEST(ExtractBetween, TakesTheFirstValue) {
  EXPECT_EQ(ExtractBetween(u"{\"status\":\"ok\",\"status\":\"no\"}", u"\"status\":\"", u"\"", false), u"ok");
  EXPECT_EQ(ExtractBetween(u"{\"other\":1}", u"\"status\":\"", u"\"", false), u"");
}

TEST(ExtractBetween, KeepsTheMarkersAsPassedAroundANonBlankValue) {
  EXPECT_EQ(ExtractBetween(u"{\"status\":\"ok\"}", u"\"STATUS\":\"", u"\"", true), u"\"STATUS\":\"ok\"");
  EXPECT_EQ(ExtractBetween(u"{\"status\":\" \"}", u"\"status\":\"", u"\"", true), u" ");
  EXPECT_EQ(ExtractBetween(u"{}", u"\"status\":\"", u"\"", true), u"");
}

TEST(JsonEscape, EscapesEachUnitByTheTable) {
  struct Case {
    Text in;
    Text out;
  };
  const Case cases[] = {
      {u"C:\\a/b", u"C:\\\\a\\/b"},
      {u"\"q\"", u"\\\"q\\\""},
      {u"\uD55C", u"\\uD55C"},
      {u"\u00ab", u"\\u00AB"},
      {u"\u0080", u"\\u0080"},
      {u"\uFFFF", u"\\uFFFF"},
      {u"\U0001F600", u"\\uD83D\\uDE00"},
      {u"\b\t\n\f\r", u"\\b\\t\\n\\f\\r"},
      {Text(1, u'\0'), u"\\u0000"},
      {u"\u0007\u000B\u000E\u001F", u"\\u0007\\u000B\\u000E\\u001F"},
      {u"\u007F ~'", u"\u007F ~'"},
      {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonEscape(c.in), c.out) << ToUtf8(c.in);
}

TEST(JsonEscape, EveryUnitComesBackAsAsciiAndUnescapesToItself) {
  Text all;
  for (uint32_t c = 0; c <= 0xFFFF; ++c) all.push_back(char16_t(c));
  const Text escaped = JsonEscape(all);
  for (char16_t c : escaped) ASSERT_LT(c, 0x80);
  EXPECT_EQ(JsonUnescape(escaped), all);
}

TEST(JsonUnescape, UndoesEscapes) {
  struct Case {
    Text in;
    Text out;
  };
  const Case cases[] = {
      {u"\\u0041", u"A"},
      {u"\\u00e9\\u00E9", u"\u00e9\u00e9"},
      {u"\\uD55C\\uAE00", u"\uD55C\uAE00"},
      {u"\\uD83D\\uDE00", u"\U0001F600"},
      {u"\\u12345", u"\u12345"},
      {u"x\\u41", u"xA"},
      {u"\\\"\\'\\/\\\\", u"\"'/\\"},
      {u"\\b\\f\\n\\r\\t", u"\b\f\n\r\t"},
      {u"a\\qb", u"ab"},
      {u"a\\", u"a"},
      {u"\\N\\U0041", u"0041"},
      {u"\\\\u0041", u"\\u0041"},
      {u"plain", u"plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonUnescape(c.in), c.out) << ToUtf8(c.in);
}

TEST(JsonUnescape, RaisesOnMalformedUnicodeEscape) {
  for (const char16_t* in : {u"\\u", u"abc\\u", u"\\u00G1", u"\\uZZ", u"\\u-123", u"\\u 123", u"\\u+123", u"\\u12\"}"})
    EXPECT_THROW(JsonUnescape(in), ConvertError) << ToUtf8(in);
}

TEST(LooksLikeUTF8, DecidesByTheFirstMultiByteSequence) {
  struct Case {
    std::string bytes;
    bool utf8;
  };
  const Case cases[] = {
      {"abc", false},
      {"\xEF\xBB\xBF", true},
      {"\xEF\xBB\xBF\xFF\xFF", true},
      {"\xC3\xA9", true},
      {"\xC3", false},
      {"\xC3\xA9\xA9", false},
      {"\xC3\x41", false},
      {"A\xC3\xA9", true},
      {"\xC3\xA9\xFF", true},
      {"\xED\x95\x9C", true},
      {"\xED\xA0\x80", false},
      {"\xED\x9F\xBF", true},
      {"\xE0\xA0\x80", true},
      {"\xE0\x9F\xBF", false},
      {"\xE1\x80", false},
      {"\xE1\x80\x80\x80", false},
      {"\xEF\xBF\xBF", true},
      {"\xF0\x90\x80\x80", true},
      {"\xF0\x8F\xBF\xBF", false},
      {"\xF1\x80\x80\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\xF4\x90\x80\x80", false},
      {"\xF5\x80\x80\x80", false},
      {"\xC0\x80", false},
      {"\xC1\xBF", false},
      {"\x80", false},
      {"\xFF", false},
      {"ascii then \xE0", false},
      {std::string("\0\xC3\xA9", 3), true},
  };
  for (const auto& c : cases) {
    ByteStream s{c.bytes, 0};
    EXPECT_EQ(LooksLikeUTF8(s, -1), c.utf8) << testing::PrintToString(c.bytes);
  }
}

TEST(LooksLikeUTF8, ReadsFromThePositionAndRewindsToTheStart) {
  ByteStream s{"\xFF\xFF" "a\xC3\xA9", 2};
  EXPECT_TRUE(LooksLikeUTF8(s, -1));
  EXPECT_EQ(s.Position, 0u);
}

TEST(LooksLikeUTF8, LeavesAnExhaustedStreamAlone) {
  ByteStream atEnd{"a\xC3\xA9", 3};
  EXPECT_FALSE(LooksLikeUTF8(atEnd, -1));
  EXPECT_EQ(atEnd.Position, 3u);
  ByteStream beyond{"a\xC3\xA9", 99};
  EXPECT_FALSE(LooksLikeUTF8(beyond, -1));
  EXPECT_EQ(beyond.Position, 99u);
  ByteStream noBudget{"\xC3\xA9", 0};
  EXPECT_FALSE(LooksLikeUTF8(noBudget, 0));
  ByteStream empty;
  EXPECT_FALSE(LooksLikeUTF8(empty, 100));
}

TEST(LooksLikeUTF8, LooksNoFurtherThanMaxBytes) {
  for (auto [max, utf8] : {std::pair{3, false}, {4, false}, {5, true}, {6, true}, {-1, true}, {-100, true}}) {
    ByteStream s{"abc\xC3\xA9", 0};
    EXPECT_EQ(LooksLikeUTF8(s, max), utf8) << max;
    EXPECT_EQ(s.Position, 0u) << max;
  }
}

TEST(LooksLikeUTF8, LooksAtNoMoreThan16KiB) {
  for (auto [ascii, utf8] : {std::pair{16382u, true}, {16383u, false}, {16384u, false}}) {
    ByteStream s{std::string(ascii, 'a') + "\xC3\xA9", 0};
    EXPECT_EQ(LooksLikeUTF8(s, -1), utf8) << ascii;
    ByteStream capped{std::string(ascii, 'a') + "\xC3\xA9", 0};
    EXPECT_FALSE(LooksLikeUTF8(capped, 100)) << ascii;
  }
}

}  // namespace
}  // namespace vek

#include "ui/markup.h"

#include <gtest/gtest.h>

#include <string>

namespace ui {
namespace {

constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGray{128, 128, 128};
constexpr auto L = Alignment::Left;
constexpr auto C = Alignment::Centre;

MarkupLine Line(Alignment align, std::vector<MarkupRun> runs) { return {align, std::move(runs)}; }

// The lines as text only, each prefixed by its alignment, for the cases that are
// about what is shown rather than in which colour.
std::string Shown(vek::TextView markup) {
  std::string out;
  for (const auto& line : ParseMarkup(markup)) {
    out += line.Align == C ? "|C|" : "|L|";
    for (const auto& run : line.Runs) out += vek::ToUtf8(run.Text);
  }
  return out;
}

TEST(ParseMarkup, ReadsTheProgramsOwnStatusTexts) {
  EXPECT_EQ(ParseMarkup(u"<C><FC:clBLUE>준비중...</FC></C>"),
            (std::vector{Line(C, {{u"준비중...", kBlue}})}));
  EXPECT_EQ(ParseMarkup(u"<C><FC:clRED>서버에서 정보를 받지 못했습니다.</FC></C>"),
            (std::vector{Line(C, {{u"서버에서 정보를 받지 못했습니다.", kRed}})}));
  EXPECT_EQ(ParseMarkup(u"<C><FC:clGray>특정 서비스를 사용하기 위해 설치되는 프로그램은<BR><BR>"
                        u"<FC:clRED>강제설치</FC>에서 편하게 삭제하세요.</FC></C>"),
            (std::vector{Line(C, {{u"특정 서비스를 사용하기 위해 설치되는 프로그램은", kGray}}),
                         Line(C, {}),
                         Line(C, {{u"강제설치", kRed}, {u"에서 편하게 삭제하세요.", kGray}})}));
}

TEST(ParseMarkup, TagAndColourNamesIgnoreAsciiCase) {
  const auto expected = std::vector{Line(C, {{u"x", kBlue}})};
  EXPECT_EQ(ParseMarkup(u"<c><fc:clblue>x</fc></c>"), expected);
  EXPECT_EQ(ParseMarkup(u"<C><FC:CLBLUE>x</FC></C>"), expected);
  EXPECT_EQ(ParseMarkup(u"<C><Fc:ClBlUe>x</fC></C>"), expected);
}

TEST(ParseMarkup, TextOutsideEveryTagIsLeftAlignedInTheLabelsColour) {
  EXPECT_EQ(ParseMarkup(u"plain"), (std::vector{Line(L, {{u"plain", std::nullopt}})}));
  EXPECT_EQ(ParseMarkup(u"a<FC:clRed>b</FC>c"),
            (std::vector{Line(L, {{u"a", std::nullopt}, {u"b", kRed}, {u"c", std::nullopt}})}));
}

TEST(ParseMarkup, ColoursNestAndRestoreTheOuterColour) {
  EXPECT_EQ(ParseMarkup(u"<FC:clGray>a<FC:clRed>b<FC:clBlue>c</FC>d</FC>e</FC>f"),
            (std::vector{Line(L, {{u"a", kGray}, {u"b", kRed}, {u"c", kBlue}, {u"d", kRed}, {u"e", kGray},
                                  {u"f", std::nullopt}})}));
}

TEST(ParseMarkup, ShowsInvalidTokensInTheCurrentColour) {
  struct Case {
    const char16_t* markup;
    const char* shown;
  };
  const Case cases[] = {
      {u"a<Q>b", "|L|a<?>b"},
      {u"<FC>x", "|L|<?>x"},
      {u"<FC:>x", "|L|<?>x"},
      {u"<FC:nosuchcolour>x", "|L|<?>x"},
      {u"<FC:clRed>x</FC:clRED>", "|L|x<?>"},
      {u"a</BR>b", "|L|a<?>b"},
      {u"<BR:1>", "|L|<?>"},
      {u"<C:1>x", "|L|<?>x"},
      {u"<C:>x", "|L|<?>x"},
      {u"<>", "|L|<?>"},
      {u"</>", "|L|<?>"},
      {u"< C>", "|L|<?>"},
      {u"<FC: clRed>", "|L|<?>"},
      {u"x<", "|L|x<?>"},
      {u"<", "|L|<?>"},
      {u"a>b", "|L|a<?>b"},
      {u">>", "|L|<?><?>"},
      {u"a<b<c", "|L|a<?>b<?>c"},
      // A tag runs to the next ">", whatever it holds.
      {u"<a<b>c", "|L|<?>c"},
      {u"<FC:clRed<BR>x", "|L|<?>x"},
      // Closing what was never opened.
      {u"</FC>x", "|L|<?>x"},
      {u"x</C>", "|L|x<?>"},
      {u"<C>x</C></C>", "|C|x<?>"},
  };
  for (const auto& c : cases) EXPECT_EQ(Shown(c.markup), c.shown) << vek::ToUtf8(c.markup);

  EXPECT_EQ(ParseMarkup(u"<FC:clRed>a<Q></FC>"), (std::vector{Line(L, {{u"a<?>", kRed}})}));
}

TEST(ParseMarkup, BreaksLines) {
  struct Case {
    const char16_t* markup;
    const char* shown;
  };
  const Case cases[] = {
      {u"", "|L|"},
      {u"a<BR>b", "|L|a|L|b"},
      {u"a<br><BR>b", "|L|a|L||L|b"},
      {u"<BR>", "|L||L|"},
      {u"a<BR>", "|L|a|L|"},
  };
  for (const auto& c : cases) EXPECT_EQ(Shown(c.markup), c.shown) << vek::ToUtf8(c.markup);
}

TEST(ParseMarkup, ColourAndCentringCarryAcrossLineBreaks) {
  EXPECT_EQ(ParseMarkup(u"<C><FC:clRed>a<BR>b</FC></C><BR>c"),
            (std::vector{Line(C, {{u"a", kRed}}), Line(C, {{u"b", kRed}}), Line(L, {{u"c", std::nullopt}})}));
}

TEST(ParseMarkup, CentresALineWhenAnyOfItsTextIsInsideCentring) {
  struct Case {
    const char16_t* markup;
    const char* shown;
  };
  const Case cases[] = {
      {u"left <C>centred</C>", "|C|left centred"},
      {u"<C>centred</C> left", "|C|centred left"},
      {u"a<C></C>b", "|L|ab"},
      {u"a<C><BR>b</C><BR>c", "|L|a|C|b|L|c"},
      {u"<C><C>a</C>b</C>c", "|C|abc"},
      // A line without text takes the alignment in effect where it ends.
      {u"<C>a<BR></C><BR>b", "|C|a|L||L|b"},
      {u"a<BR><C><BR>b", "|L|a|C||C|b"},
  };
  for (const auto& c : cases) EXPECT_EQ(Shown(c.markup), c.shown) << vek::ToUtf8(c.markup);
}

TEST(ParseMarkup, NeverDropsOrLosesTextInPathologicalInput) {
  // Long runs that a naive parser rescans for every "<" or stacks without bound.
  const size_t n = 200000;
  const auto opens = ParseMarkup(vek::Text(n, u'<'));
  ASSERT_EQ(opens.size(), 1u);
  ASSERT_EQ(opens[0].Runs.size(), 1u);
  EXPECT_EQ(opens[0].Runs[0].Text.size(), 3 * n);

  vek::Text nested;
  for (size_t i = 0; i < n / 10; ++i) nested += u"<FC:clRed><C>";
  nested += u"x";
  EXPECT_EQ(ParseMarkup(nested), (std::vector{Line(C, {{u"x", kRed}})}));

  const auto tail = ParseMarkup(vek::Text(n, u'<') + u">");
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0].Runs[0].Text, u"<?>");
}

TEST(ColourByName, KnowsTheFrameworkColours) {
  struct Case {
    const char16_t* name;
    Rgb rgb;
  };
  const Case cases[] = {
      {u"clBlack", {0, 0, 0}},       {u"clMaroon", {128, 0, 0}},  {u"clGreen", {0, 128, 0}},
      {u"clOlive", {128, 128, 0}},   {u"clNavy", {0, 0, 128}},    {u"clPurple", {128, 0, 128}},
      {u"clTeal", {0, 128, 128}},    {u"clGray", {128, 128, 128}}, {u"clSilver", {192, 192, 192}},
      {u"clRed", {255, 0, 0}},       {u"clLime", {0, 255, 0}},    {u"clYellow", {255, 255, 0}},
      {u"clBlue", {0, 0, 255}},      {u"clFuchsia", {255, 0, 255}}, {u"clAqua", {0, 255, 255}},
      {u"clWhite", {255, 255, 255}}, {u"CLGRAY", {128, 128, 128}},
  };
  for (const auto& c : cases) EXPECT_EQ(ColourByName(c.name), std::optional<Rgb>(c.rgb)) << vek::ToUtf8(c.name);
  for (const char16_t* unknown : {u"", u"Red", u"clRed ", u"clGrey", u"cl", u"clＲed"})
    EXPECT_EQ(ColourByName(unknown), std::nullopt) << vek::ToUtf8(unknown);
}

}  // namespace
}  // namespace ui

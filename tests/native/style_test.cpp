#include "ui/style.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ShippedStyle() {
  std::ifstream in(std::string(QUORVANE_SOURCE_DIR) + "/ui/ostivnet.style", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Style, ShippedResourceParsesWithEveryColour) {
  auto style = ui::ParseStyle(ShippedStyle());
  ASSERT_TRUE(style.has_value());
  EXPECT_EQ(style->Name, "Ostivnet");
  EXPECT_EQ(style->Font, u"Tahoma");
  EXPECT_EQ(style->Window, ui::MakeColorRef(0xFF, 0xFF, 0xFF));
  EXPECT_EQ(style->Button, ui::MakeColorRef(0x1F, 0x6F, 0xD1));  // COLORREF order: 0x00D16F1F
  EXPECT_EQ(style->Button, 0x00D16F1Fu);
}

TEST(Style, CrLfLinesCommentsAndBlanksAreAccepted) {
  std::string text = ShippedStyle();
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  EXPECT_TRUE(ui::ParseStyle(crlf).has_value());
  EXPECT_TRUE(ui::ParseStyle("\n# comment\n\n" + text).has_value());
}

// A style that cannot be read whole must not half-apply: every fault rejects it.
TEST(Style, AnyFaultRejectsTheWholeStyle) {
  const std::string good = ShippedStyle();
  auto without = [&](const std::string& key) {
    std::string s = good;
    size_t at = s.find("\n" + key + " =");
    size_t end = s.find('\n', at + 1);
    return s.erase(at, end - at);
  };
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    return s.replace(s.find(from), from.size(), to);
  };
  const std::string cases[] = {
      "",
      without("button.hot"),
      without("font"),
      good + "button = #000000\n",            // repeated
      good + "sparkle = #000000\n",           // unknown
      replace("page = #FFFFFF", "page = #FFFFF"),
      replace("page = #FFFFFF", "page = #GGFFFF"),
      replace("page = #FFFFFF", "page = FFFFFF"),
      replace("page = #FFFFFF", "page #FFFFFF"),
      replace("font = Tahoma", "font = "),
      replace("font = Tahoma", "font = " + std::string(40, 'x')),
      std::string("\0\xff\xfe", 3),
  };
  for (const auto& text : cases) EXPECT_FALSE(ui::ParseStyle(text).has_value()) << text;
}

}  // namespace

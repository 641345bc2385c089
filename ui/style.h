#pragma once
// The visual style: colours and font of the page bar, the toggle buttons, the push
// buttons and the pages, kept as text data in the program's resources.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ui {

// 0x00BBGGRR, the byte order of a Windows COLORREF.
using ColorRef = uint32_t;
constexpr ColorRef MakeColorRef(uint8_t r, uint8_t g, uint8_t b) { return ColorRef(r) | (ColorRef(g) << 8) | (ColorRef(b) << 16); }

struct Style {
  std::string Name;
  std::u16string Font;
  ColorRef Window, Menu, MenuLine;
  ColorRef ToggleText, ToggleHot, ToggleDown, ToggleDownText, ToggleAccent, ToggleDisabledText;
  ColorRef Button, ButtonHot, ButtonPressed, ButtonText, ButtonDisabled, ButtonDisabledText;
  ColorRef Page, Title, Text, Indicator;
};

// Reads a style from its resource text. Empty when any setting is missing,
// repeated, unknown or malformed: a half-applied look is worse than the default.
std::optional<Style> ParseStyle(std::string_view data);

}  // namespace ui

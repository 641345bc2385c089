#include "ui/style.h"

#include <array>
#include <cstddef>

#include "vek/text.h"

namespace ui {
namespace {

struct Field {
  std::string_view key;
  ColorRef Style::*colour;
};

constexpr std::array<Field, 20> kColours{{
    {"window", &Style::Window},
    {"menu", &Style::Menu},
    {"menu.line", &Style::MenuLine},
    {"toggle.text", &Style::ToggleText},
    {"toggle.hot", &Style::ToggleHot},
    {"toggle.down", &Style::ToggleDown},
    {"toggle.down.text", &Style::ToggleDownText},
    {"toggle.accent", &Style::ToggleAccent},
    {"toggle.disabled.text", &Style::ToggleDisabledText},
    {"button", &Style::Button},
    {"button.hot", &Style::ButtonHot},
    {"button.pressed", &Style::ButtonPressed},
    {"button.text", &Style::ButtonText},
    {"button.disabled", &Style::ButtonDisabled},
    {"button.disabled.text", &Style::ButtonDisabledText},
    {"page", &Style::Page},
    {"title", &Style::Title},
    {"text", &Style::Text},
    {"indicator", &Style::Indicator},
    {"", nullptr},
}};

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<ColorRef> ParseColour(std::string_view v) {
  if (v.size() != 7 || v[0] != '#') return std::nullopt;
  uint8_t parts[3];
  for (int i = 0; i < 3; ++i) {
    int hi = HexDigit(v[1 + 2 * i]), lo = HexDigit(v[2 + 2 * i]);
    if (hi < 0 || lo < 0) return std::nullopt;
    parts[i] = uint8_t(hi * 16 + lo);
  }
  return MakeColorRef(parts[0], parts[1], parts[2]);
}

}  // namespace

std::optional<Style> ParseStyle(std::string_view data) {
  Style style{};
  constexpr size_t kFields = kColours.size() - 1 + 2;  // colours, name, font
  std::array<bool, kFields> seen{};
  while (!data.empty()) {
    size_t eol = data.find('\n');
    std::string_view line = TrimBlanks(data.substr(0, eol));
    data.remove_prefix(eol == std::string_view::npos ? data.size() : eol + 1);
    if (line.empty() || line.front() == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view key = TrimBlanks(line.substr(0, eq)), value = TrimBlanks(line.substr(eq + 1));
    size_t index;
    if (key == "name") {
      index = kFields - 2;
      if (value.empty()) return std::nullopt;
      style.Name = std::string(value);
    } else if (key == "font") {
      index = kFields - 1;
      if (value.empty() || value.size() >= 32) return std::nullopt;  // LOGFONT face names hold 31
      style.Font = vek::FromUtf8(value);
    } else {
      index = 0;
      while (index < kColours.size() - 1 && kColours[index].key != key) ++index;
      if (index == kColours.size() - 1) return std::nullopt;
      auto colour = ParseColour(value);
      if (!colour) return std::nullopt;
      style.*kColours[index].colour = *colour;
    }
    if (seen[index]) return std::nullopt;
    seen[index] = true;
  }
  for (bool s : seen)
    if (!s) return std::nullopt;
  return style;
}

}  // namespace ui

#include "ui/markup.h"

#include <iterator>

namespace ui {
namespace {

struct NamedColour {
  const char16_t* Name;
  Rgb Value;
};

// The framework's standard colour constants, as red, green, blue.
constexpr NamedColour kColours[] = {
    {u"clBlack", {0, 0, 0}},          {u"clMaroon", {128, 0, 0}},       {u"clGreen", {0, 128, 0}},
    {u"clOlive", {128, 128, 0}},      {u"clNavy", {0, 0, 128}},         {u"clPurple", {128, 0, 128}},
    {u"clTeal", {0, 128, 128}},       {u"clGray", {128, 128, 128}},     {u"clSilver", {192, 192, 192}},
    {u"clRed", {255, 0, 0}},          {u"clLime", {0, 255, 0}},         {u"clYellow", {255, 255, 0}},
    {u"clBlue", {0, 0, 255}},         {u"clFuchsia", {255, 0, 255}},    {u"clAqua", {0, 255, 255}},
    {u"clWhite", {255, 255, 255}},    {u"clLtGray", {192, 192, 192}},   {u"clDkGray", {128, 128, 128}},
    {u"clMoneyGreen", {192, 220, 192}}, {u"clSkyBlue", {166, 202, 240}}, {u"clCream", {255, 251, 240}},
    {u"clMedGray", {160, 160, 164}},
};

enum class TagKind { Invalid, CentreOpen, CentreClose, ColourOpen, ColourClose, Break };

struct Tag {
  TagKind Kind = TagKind::Invalid;
  Rgb Colour;
};

// The meaning of the text between "<" and ">".
Tag ReadTag(vek::TextView body) {
  const bool closing = !body.empty() && body.front() == u'/';
  if (closing) body.remove_prefix(1);
  const size_t colon = body.find(u':');
  const bool hasParameter = colon != vek::TextView::npos;
  const vek::TextView name = body.substr(0, colon);
  const vek::TextView parameter = hasParameter ? body.substr(colon + 1) : vek::TextView();

  if (vek::SameText(name, u"C") && !hasParameter) return {closing ? TagKind::CentreClose : TagKind::CentreOpen, {}};
  if (vek::SameText(name, u"BR") && !hasParameter && !closing) return {TagKind::Break, {}};
  if (vek::SameText(name, u"FC")) {
    if (closing) return {hasParameter ? TagKind::Invalid : TagKind::ColourClose, {}};
    if (auto colour = ColourByName(parameter)) return {TagKind::ColourOpen, *colour};
  }
  return {};
}

class Builder {
 public:
  Builder() { FLines.emplace_back(); }

  void AddText(vek::TextView text) {
    if (text.empty()) return;
    MarkupLine& line = FLines.back();
    if (FCentreDepth > 0) line.Align = Alignment::Centre;
    FLineHasText = true;
    const std::optional<Rgb> colour = FColours.empty() ? std::nullopt : std::optional<Rgb>(FColours.back());
    if (line.Runs.empty() || line.Runs.back().Colour != colour) line.Runs.push_back({vek::Text(), colour});
    line.Runs.back().Text.append(text);
  }

  void Apply(const Tag& tag) {
    switch (tag.Kind) {
      case TagKind::CentreOpen: ++FCentreDepth; break;
      case TagKind::CentreClose:
        // Closing what was never opened changes nothing, so it is shown, not hidden.
        if (FCentreDepth == 0) return AddText(kInvalidToken);
        --FCentreDepth;
        break;
      case TagKind::ColourOpen: FColours.push_back(tag.Colour); break;
      case TagKind::ColourClose:
        if (FColours.empty()) return AddText(kInvalidToken);
        FColours.pop_back();
        break;
      case TagKind::Break:
        EndLine();
        FLines.emplace_back();
        break;
      case TagKind::Invalid: AddText(kInvalidToken); break;
    }
  }

  std::vector<MarkupLine> Finish() {
    EndLine();
    return std::move(FLines);
  }

 private:
  void EndLine() {
    if (!FLineHasText) FLines.back().Align = FCentreDepth > 0 ? Alignment::Centre : Alignment::Left;
    FLineHasText = false;
  }

  std::vector<MarkupLine> FLines;
  std::vector<Rgb> FColours;
  size_t FCentreDepth = 0;
  bool FLineHasText = false;
};

}  // namespace

std::optional<Rgb> ColourByName(vek::TextView name) {
  for (const auto& c : kColours)
    if (vek::SameText(name, c.Name)) return c.Value;
  return std::nullopt;
}

std::vector<MarkupLine> ParseMarkup(vek::TextView text) {
  Builder out;
  // Where the next ">" at or after the read position is; npos once none is left,
  // so a text full of "<" without ">" is not searched again for every one of them.
  size_t close = text.find(u'>');
  size_t i = 0;
  while (i < text.size()) {
    const char16_t c = text[i];
    if (c == u'<') {
      if (close == vek::TextView::npos) {
        out.Apply(Tag{});
        ++i;
        continue;
      }
      out.Apply(ReadTag(text.substr(i + 1, close - i - 1)));
      i = close + 1;
      close = text.find(u'>', i);
    } else if (c == u'>') {
      out.Apply(Tag{});
      ++i;
      close = text.find(u'>', i);
    } else {
      size_t j = i;
      while (j < text.size() && text[j] != u'<' && text[j] != u'>') ++j;
      out.AddText(text.substr(i, j - i));
      i = j;
    }
  }
  return out.Finish();
}

}  // namespace ui

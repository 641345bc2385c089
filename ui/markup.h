#pragma once
// The status-text markup of the Reset page's label: "<C>"..."</C>" centres,
// "<FC:colour>"..."</FC>" colours, "<BR>" breaks the line. Tag names and colour
// names match ignoring ASCII case. Parsing is portable; the Win32 label only draws
// the lines it is given.
#include <cstdint>
#include <optional>
#include <vector>

#include "vek/text.h"

namespace ui {

struct Rgb {
  uint8_t R = 0, G = 0, B = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

enum class Alignment { Left, Centre };

// A stretch of one line drawn in one colour; no colour means the label's own font
// colour. Neighbouring runs of a line always differ in colour, and no run is empty.
struct MarkupRun {
  vek::Text Text;
  std::optional<Rgb> Colour;
  friend bool operator==(const MarkupRun&, const MarkupRun&) = default;
};

struct MarkupLine {
  Alignment Align = Alignment::Left;
  std::vector<MarkupRun> Runs;  // empty for an empty line
  friend bool operator==(const MarkupLine&, const MarkupLine&) = default;
};

// Shown in place of every tag or angle bracket that is not valid markup.
inline constexpr char16_t kInvalidToken[] = u"<?>";

// The colour of a framework colour name ("clRed", "CLBLUE", ...), ASCII case
// ignored; nullopt for a name the table does not hold.
std::optional<Rgb> ColourByName(vek::TextView name);

// The lines of a status text: one more than the number of "<BR>" tags, so the
// empty text is one empty line. Never fails; time is linear in the text.
// Invalid tokens (unknown tags, tags of the wrong form, unknown colours, closing
// tags with nothing open, a "<" without a later ">", a ">" outside a tag) are shown
// as "<?>" in the colour in effect there.
// A line holds one alignment: it is centred when centring is in effect wherever
// any of its text is read, so "<C>" or "</C>" in the middle of a line centres the
// whole line. A line without text takes the alignment in effect at its end.
std::vector<MarkupLine> ParseMarkup(vek::TextView text);

}  // namespace ui

#pragma once
// Win32 controls of our own and the pieces every form shares: the active visual
// style, control names for outside tools, DPI scaling, the markup label, the
// activity indicator, flat toggle and push buttons, panels and the logo picture.
#include <vector>

#include "ui/style.h"
#include "vek/handles_win.h"
#include "vek/win32.h"

namespace ui {

// Loads and applies the style kept in the resource OSTIVNET. On failure shows an
// error dialog and leaves the default (system) look; returns whether it applied.
bool ApplyStyle(HINSTANCE instance);
const Style* ActiveStyle();  // null while the default look is in force

// A style colour, or the system colour when the default look is in force.
COLORREF StyleColour(ColorRef Style::*colour, int systemColour);
HBRUSH StyleBrush(ColorRef Style::*colour, int systemColour);  // cached; owned here

// Tags a control with its design name (window property "QvName", a global atom)
// so that the UI driver and other outside tools can find it.
void SetControlName(HWND control, const wchar_t* name);

// Registers the window classes below once per process.
void RegisterControls(HINSTANCE instance);

extern const wchar_t kPanelClass[];        // flat panel filled with its background colour
extern const wchar_t kMarkupLabelClass[];  // status text in the markup of the Reset page
extern const wchar_t kIndicatorClass[];    // animated activity indicator
extern const wchar_t kImageClass[];        // PNG picture with transparency

// Panels: the background colour is the style colour at window creation, passed
// through the creation parameter as a pointer-to-member (nullptr: page colour).
struct PanelParams {
  ColorRef Style::*Colour;
  bool BottomLine;
};

// Indicator animation.
void IndicatorStart(HWND indicator);
void IndicatorStop(HWND indicator);

// Picture: loads PNG data from the RCDATA resource of that name.
void ImageLoadResource(HWND image, const wchar_t* resourceName);

// Flat toggle buttons are owner-drawn push buttons; these let a toggle answer
// BM_GETCHECK with its down state, as a checked push-like button would.
void MakeToggle(HWND button);
void SetToggleDown(HWND button, bool down);

// Owner-drawn buttons of the style.
void DrawToggleButton(const DRAWITEMSTRUCT& item, bool down);
void DrawPushButton(const DRAWITEMSTRUCT& item);

// DPI of a window (per-monitor where the system supports it) and scaling of
// design pixels at 96 DPI.
UINT WindowDpi(HWND hwnd);
inline int Scale(int designPixels, UINT dpi) { return MulDiv(designPixels, int(dpi), 96); }

// The desktop (icon-title) font at a DPI, and a named font of a design height.
HFONT CreateDesktopFont(UINT dpi);
HFONT CreateDesignFont(const wchar_t* face, int designHeight, UINT dpi, bool antialiased);

// A rectangle in design pixels at 96 DPI.
struct DesignRect {
  int Left, Top, Width, Height;
};

// A font some controls of a window take, made again for every DPI.
struct FontSpec {
  const wchar_t* Face;  // null: the desktop (icon-title) font
  int DesignHeight;     // at 96 DPI, as LOGFONT's lfHeight
  bool Antialiased;
  bool StyleFace;  // the active style's face instead of Face, where a style is in force
};
inline constexpr FontSpec kDesktopFont{nullptr, 0, false, false};

// A child control (WS_CHILD added) of the given id at (0, 0, 0, 0), tagged with
// its design name; a DpiLayout places it.
HWND CreateControl(HWND parent, const wchar_t* controlClass, const wchar_t* text, DWORD style, int id,
                   const wchar_t* designName, void* createParam = nullptr);

// The controls of a window as designed: each with its design rectangle and the
// font it takes, placed and given that font at the layout's DPI as it is added,
// and all again when the window moves to a monitor of another DPI. Owns the
// fonts, which stay until the next Apply.
class DpiLayout {
 public:
  // The font may be null: the control keeps the one it has.
  void Add(HWND control, const DesignRect& rect, const FontSpec* font);
  // Sets the DPI (96 until the first call) and places every control again with
  // new fonts.
  void Apply(UINT dpi);
  // The font made for wanted at the last DPI (made now if no control took it).
  HFONT Font(const FontSpec& wanted);

 private:
  struct Item {
    HWND Control;
    DesignRect Rect;
    const FontSpec* Font;
  };
  struct MadeFont {
    const FontSpec* Wanted;
    vek::unique_hfont Font;
  };
  void Place(const Item& item, bool redraw);

  UINT FDpi = 96;
  std::vector<Item> FItems;
  std::vector<MadeFont> FFonts;
};

}  // namespace ui

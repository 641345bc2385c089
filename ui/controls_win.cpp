#include "ui/controls_win.h"

#include <commctrl.h>
#include <objidl.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>

#include "ui/markup.h"
#include "vek/gdiplus_win.h"
#include "vek/handles_win.h"
#include "vek/text.h"

namespace ui {

const wchar_t kPanelClass[] = L"TPanel";
const wchar_t kMarkupLabelClass[] = L"TMarkupLabel";
const wchar_t kIndicatorClass[] = L"TActivityIndicator";
const wchar_t kImageClass[] = L"TImage";

namespace {

constexpr wchar_t kNameProperty[] = L"QvName";
constexpr wchar_t kStyleResource[] = L"OSTIVNET";
constexpr wchar_t kStyleErrorTitle[] = L"스타일 오류";
constexpr wchar_t kStyleErrorText[] = L"비주얼 스타일 Ostivnet을 적용할 수 없습니다.\r\n기본 모양으로 계속합니다.";

std::optional<Style> g_style;

struct BrushCache {
  std::array<std::pair<COLORREF, HBRUSH>, 16> entries{};
  size_t used = 0;
  HBRUSH Get(COLORREF c) {
    for (size_t i = 0; i < used; ++i)
      if (entries[i].first == c) return entries[i].second;
    HBRUSH b = CreateSolidBrush(c);
    if (used < entries.size()) entries[used++] = {c, b};
    return b;  // beyond 16 colours the brush lives as long as the process
  }
};
BrushCache g_brushes;

std::string_view ResourceBytes(const wchar_t* name) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC res = FindResourceW(module, name, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!res) return {};
  HGLOBAL data = LoadResource(module, res);  // resource memory needs no freeing
  DWORD size = SizeofResource(module, res);
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes || size == 0) return {};
  return std::string_view(static_cast<const char*>(bytes), size);
}

// ---- panel ---------------------------------------------------------------

struct PanelState {
  PanelParams params;
};

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* state = reinterpret_cast<PanelState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      auto* s = new PanelState{cs->lpCreateParams ? *static_cast<PanelParams*>(cs->lpCreateParams)
                                                  : PanelParams{&Style::Page, false}};
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
      break;
    }
    case WM_NCDESTROY:
      delete state;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd, &rc);
      HDC dc = reinterpret_cast<HDC>(wp);
      FillRect(dc, &rc, StyleBrush(state ? state->params.Colour : &Style::Page, COLOR_BTNFACE));
      if (state && state->params.BottomLine) {
        RECT line = rc;
        line.top = line.bottom - 1;
        FillRect(dc, &line, StyleBrush(&Style::MenuLine, COLOR_3DSHADOW));
      }
      return 1;
    }
    // Notifications and colour requests of child controls go to the form that
    // owns the panel.
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return SendMessageW(GetParent(hwnd), msg, wp, lp);
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// ---- markup label ---------------------------------------------------------

void PaintMarkup(HWND hwnd, HDC dc) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  HWND parent = GetParent(hwnd);
  HBRUSH bg = reinterpret_cast<HBRUSH>(SendMessageW(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                                    reinterpret_cast<LPARAM>(hwnd)));
  FillRect(dc, &rc, bg ? bg : StyleBrush(&Style::Page, COLOR_BTNFACE));
  COLORREF defaultColour = StyleColour(&Style::Text, COLOR_WINDOWTEXT);

  int len = GetWindowTextLengthW(hwnd);
  std::wstring raw(size_t(len) + 1, L'\0');
  raw.resize(size_t(GetWindowTextW(hwnd, raw.data(), len + 1)));
  auto lines = ParseMarkup(vek::U(raw.c_str(), raw.size()));

  vek::select_scope font(dc, reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  int lineHeight = tm.tmHeight + tm.tmExternalLeading;
  int blockHeight = lineHeight * int(lines.size());
  int y = rc.top + (rc.bottom - rc.top - blockHeight) / 2;
  for (const auto& line : lines) {
    int width = 0;
    for (const auto& run : line.Runs) {
      SIZE sz{};
      GetTextExtentPoint32W(dc, vek::W(run.Text), int(run.Text.size()), &sz);
      width += sz.cx;
    }
    int x = line.Align == Alignment::Centre ? rc.left + (rc.right - rc.left - width) / 2 : rc.left;
    for (const auto& run : line.Runs) {
      SetTextColor(dc, run.Colour ? RGB(run.Colour->R, run.Colour->G, run.Colour->B) : defaultColour);
      SIZE sz{};
      GetTextExtentPoint32W(dc, vek::W(run.Text), int(run.Text.size()), &sz);
      TextOutW(dc, x, y, vek::W(run.Text), int(run.Text.size()));
      x += sz.cx;
    }
    y += lineHeight;
  }
}

LRESULT CALLBACK MarkupLabelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SETFONT:
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(wp));
      if (LOWORD(lp)) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    case WM_SETTEXT: {
      LRESULT r = DefWindowProcW(hwnd, msg, wp, lp);
      InvalidateRect(hwnd, nullptr, TRUE);
      return r;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_PRINTCLIENT:
      PaintMarkup(hwnd, reinterpret_cast<HDC>(wp));
      return 0;
    case WM_PAINT: {
      vek::paint_scope paint(hwnd);
      // Drawn off-screen first so that a new status text never flickers.
      RECT rc;
      GetClientRect(hwnd, &rc);
      vek::unique_hdc mem(CreateCompatibleDC(paint.dc()));
      vek::unique_hbitmap bitmap(CreateCompatibleBitmap(paint.dc(), rc.right, rc.bottom));
      {
        vek::select_scope selected(mem.get(), bitmap.get());
        PaintMarkup(hwnd, mem.get());
        BitBlt(paint.dc(), 0, 0, rc.right, rc.bottom, mem.get(), 0, 0, SRCCOPY);
      }
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// ---- activity indicator ----------------------------------------------------

constexpr UINT_PTR kIndicatorTimer = 1;
constexpr int kIndicatorDots = 8;

LRESULT CALLBACK IndicatorProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TIMER:
      if (wp == kIndicatorTimer) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, (GetWindowLongPtrW(hwnd, GWLP_USERDATA) + 1) % kIndicatorDots);
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
      }
      break;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      vek::paint_scope paint(hwnd);
      const HDC dc = paint.dc();
      RECT rc;
      GetClientRect(hwnd, &rc);
      HBRUSH bg = reinterpret_cast<HBRUSH>(SendMessageW(GetParent(hwnd), WM_CTLCOLORSTATIC,
                                                        reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(hwnd)));
      FillRect(dc, &rc, bg ? bg : StyleBrush(&Style::Page, COLOR_BTNFACE));
      int phase = int(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      COLORREF base = StyleColour(&Style::Indicator, COLOR_HIGHLIGHT);
      double cx = rc.right / 2.0, cy = rc.bottom / 2.0, radius = rc.right * 0.36, dot = rc.right * 0.09 + 1;
      vek::select_scope pen(dc, GetStockObject(NULL_PEN));
      for (int i = 0; i < kIndicatorDots; ++i) {
        // The dot at the current phase is solid; the ones behind it fade out.
        int age = (phase - i + kIndicatorDots) % kIndicatorDots;
        double fade = age / double(kIndicatorDots);
        COLORREF c = RGB(GetRValue(base) + int((255 - GetRValue(base)) * fade),
                         GetGValue(base) + int((255 - GetGValue(base)) * fade),
                         GetBValue(base) + int((255 - GetBValue(base)) * fade));
        vek::unique_hbrush brush(CreateSolidBrush(c));
        vek::select_scope selected(dc, brush.get());
        double a = 2 * 3.14159265358979 * i / kIndicatorDots;
        int x = int(cx + radius * std::sin(a)), y = int(cy - radius * std::cos(a));
        Ellipse(dc, x - int(dot), y - int(dot), x + int(dot), y + int(dot));
      }
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// ---- image ------------------------------------------------------------------

ULONG_PTR GdiplusToken() {
  static ULONG_PTR token = [] {
    ULONG_PTR t = 0;
    GdiplusStartupInputFlat input{1, nullptr, FALSE, FALSE};
    if (GdiplusStartup(&t, &input, nullptr) != 0) t = 0;
    return t;
  }();
  return token;
}

struct ImageState {
  vek::unique_gp_image bitmap;
};

LRESULT CALLBACK ImageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* state = reinterpret_cast<ImageState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE:
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new ImageState));
      break;
    case WM_NCDESTROY:
      delete state;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      vek::paint_scope paint(hwnd);
      const HDC dc = paint.dc();
      RECT rc;
      GetClientRect(hwnd, &rc);
      // Transparent: the parent's background shows through the picture's alpha.
      HWND parent = GetParent(hwnd);
      POINT origin{0, 0};
      MapWindowPoints(hwnd, parent, &origin, 1);
      SetViewportOrgEx(dc, -origin.x, -origin.y, nullptr);
      SendMessageW(parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
      SetViewportOrgEx(dc, 0, 0, nullptr);
      vek::unique_gp_graphics graphics;
      if (state && state->bitmap && GdipCreateFromHDC(dc, graphics.put()) == 0) {
        GdipSetInterpolationMode(graphics.get(), 7 /* high-quality bicubic */);
        GdipDrawImageRectI(graphics.get(), state->bitmap.get(), 0, 0, rc.right, rc.bottom);
      }
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void DrawCentredText(HDC dc, const RECT& rc, HWND button, COLORREF colour) {
  wchar_t text[128];
  int n = GetWindowTextW(button, text, 128);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colour);
  RECT r = rc;
  DrawTextW(dc, text, n, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

}  // namespace

bool ApplyStyle(HINSTANCE) {
  auto parsed = ParseStyle(ResourceBytes(kStyleResource));
  if (!parsed) {
    MessageBoxW(nullptr, kStyleErrorText, kStyleErrorTitle, MB_OK | MB_ICONERROR);
    return false;
  }
  g_style = std::move(parsed);
  return true;
}

const Style* ActiveStyle() { return g_style ? &*g_style : nullptr; }

COLORREF StyleColour(ColorRef Style::*colour, int systemColour) {
  return g_style ? COLORREF((*g_style).*colour) : GetSysColor(systemColour);
}

HBRUSH StyleBrush(ColorRef Style::*colour, int systemColour) {
  return g_style ? g_brushes.Get(COLORREF((*g_style).*colour)) : GetSysColorBrush(systemColour);
}

void SetControlName(HWND control, const wchar_t* name) {
  // The atom stays for the process's lifetime, like the control it names.
  ATOM atom = GlobalAddAtomW(name);
  if (atom) SetPropW(control, kNameProperty, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(atom)));
}

void RegisterControls(HINSTANCE instance) {
  static bool done = false;
  if (done) return;
  done = true;
  WNDCLASSEXW wc{sizeof(wc)};
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpfnWndProc = PanelProc;
  wc.lpszClassName = kPanelClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = MarkupLabelProc;
  wc.lpszClassName = kMarkupLabelClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = IndicatorProc;
  wc.lpszClassName = kIndicatorClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = ImageProc;
  wc.lpszClassName = kImageClass;
  RegisterClassExW(&wc);
}

void IndicatorStart(HWND indicator) { SetTimer(indicator, kIndicatorTimer, 80, nullptr); }
void IndicatorStop(HWND indicator) { KillTimer(indicator, kIndicatorTimer); }

void ImageLoadResource(HWND image, const wchar_t* resourceName) {
  auto* state = reinterpret_cast<ImageState*>(GetWindowLongPtrW(image, GWLP_USERDATA));
  std::string_view bytes = ResourceBytes(resourceName);
  if (!state || bytes.empty() || !GdiplusToken()) return;
  vek::com_ptr<IStream> stream(SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), UINT(bytes.size())));
  if (!stream) return;
  vek::unique_gp_image bitmap;
  if (GdipCreateBitmapFromStream(stream.get(), bitmap.put()) == 0) state->bitmap = std::move(bitmap);
  InvalidateRect(image, nullptr, TRUE);
}

constexpr wchar_t kDownProperty[] = L"QvDown";

LRESULT CALLBACK ToggleProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == BM_GETCHECK) return GetPropW(hwnd, kDownProperty) ? BST_CHECKED : BST_UNCHECKED;
  if (msg == WM_NCDESTROY) {
    RemovePropW(hwnd, kDownProperty);
    RemoveWindowSubclass(hwnd, ToggleProc, 1);
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

void MakeToggle(HWND button) { SetWindowSubclass(button, ToggleProc, 1, 0); }

void SetToggleDown(HWND button, bool down) {
  if (down)
    SetPropW(button, kDownProperty, reinterpret_cast<HANDLE>(1));
  else
    RemovePropW(button, kDownProperty);
}

void DrawToggleButton(const DRAWITEMSTRUCT& item, bool down) {
  HDC dc = item.hDC;
  RECT rc = item.rcItem;
  bool disabled = item.itemState & ODS_DISABLED;
  bool pressed = item.itemState & ODS_SELECTED;
  FillRect(dc, &rc, down ? StyleBrush(&Style::ToggleDown, COLOR_WINDOW)
                         : pressed ? StyleBrush(&Style::ToggleHot, COLOR_BTNHIGHLIGHT)
                                   : StyleBrush(&Style::Menu, COLOR_BTNFACE));
  if (down) {
    RECT accent = rc;
    accent.top = accent.bottom - std::max<LONG>(2, (rc.bottom - rc.top) / 12);
    FillRect(dc, &accent, StyleBrush(&Style::ToggleAccent, COLOR_HIGHLIGHT));
  }
  COLORREF text = disabled ? StyleColour(&Style::ToggleDisabledText, COLOR_GRAYTEXT)
                  : down   ? StyleColour(&Style::ToggleDownText, COLOR_HIGHLIGHT)
                           : StyleColour(&Style::ToggleText, COLOR_BTNTEXT);
  DrawCentredText(dc, rc, item.hwndItem, text);
  if (item.itemState & ODS_FOCUS) {
    RECT f = rc;
    InflateRect(&f, -3, -3);
    DrawFocusRect(dc, &f);
  }
}

void DrawPushButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT rc = item.rcItem;
  bool disabled = item.itemState & ODS_DISABLED;
  bool pressed = item.itemState & ODS_SELECTED;
  HBRUSH face = disabled ? StyleBrush(&Style::ButtonDisabled, COLOR_BTNFACE)
                : pressed ? StyleBrush(&Style::ButtonPressed, COLOR_BTNSHADOW)
                          : StyleBrush(&Style::Button, COLOR_BTNFACE);
  HWND parent = GetParent(item.hwndItem);
  FillRect(dc, &rc, reinterpret_cast<HBRUSH>(SendMessageW(parent, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc),
                                                          reinterpret_cast<LPARAM>(item.hwndItem))));
  {
    vek::select_scope brush(dc, face);
    vek::select_scope pen(dc, GetStockObject(NULL_PEN));
    int radius = (rc.bottom - rc.top) / 6;
    RoundRect(dc, rc.left, rc.top, rc.right + 1, rc.bottom + 1, radius, radius);
  }
  DrawCentredText(dc, rc, item.hwndItem,
                  disabled ? StyleColour(&Style::ButtonDisabledText, COLOR_GRAYTEXT)
                           : StyleColour(&Style::ButtonText, COLOR_BTNTEXT));
}

UINT WindowDpi(HWND hwnd) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto fn = vek::GetProc<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
  if (fn && hwnd) {
    UINT dpi = fn(hwnd);
    if (dpi) return dpi;
  }
  vek::window_dc screen(nullptr);
  UINT dpi = screen.get() ? UINT(GetDeviceCaps(screen.get(), LOGPIXELSY)) : 0;
  return dpi ? dpi : 96;
}

HFONT CreateDesktopFont(UINT dpi) {
  LOGFONTW lf{};
  using ForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  static const auto forDpi = vek::GetProc<ForDpiFn>(L"user32.dll", "SystemParametersInfoForDpi");
  if (!(forDpi && forDpi(SPI_GETICONTITLELOGFONT, sizeof(lf), &lf, 0, dpi))) {
    if (!SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof(lf), &lf, 0)) return nullptr;
    lf.lfHeight = MulDiv(lf.lfHeight, int(dpi), int(WindowDpi(nullptr)));
  }
  return CreateFontIndirectW(&lf);
}

HFONT CreateDesignFont(const wchar_t* face, int designHeight, UINT dpi, bool antialiased) {
  LOGFONTW lf{};
  lf.lfHeight = MulDiv(designHeight, int(dpi), 96);
  lf.lfWeight = FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfQuality = antialiased ? ANTIALIASED_QUALITY : DEFAULT_QUALITY;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  return CreateFontIndirectW(&lf);
}

HWND CreateControl(HWND parent, const wchar_t* controlClass, const wchar_t* text, DWORD style, int id,
                   const wchar_t* designName, void* createParam) {
  HWND control = CreateWindowExW(0, controlClass, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                                 createParam);
  SetControlName(control, designName);
  return control;
}

static HFONT MakeFont(const FontSpec& wanted, UINT dpi) {
  if (!wanted.Face) return CreateDesktopFont(dpi);
  const Style* style = ActiveStyle();
  return CreateDesignFont(wanted.StyleFace && style ? vek::W(style->Font) : wanted.Face, wanted.DesignHeight, dpi,
                          wanted.Antialiased);
}

HFONT DpiLayout::Font(const FontSpec& wanted) {
  for (const MadeFont& made : FFonts)
    if (made.Wanted == &wanted) return made.Font.get();
  FFonts.push_back({&wanted, vek::unique_hfont(MakeFont(wanted, FDpi))});
  return FFonts.back().Font.get();
}

void DpiLayout::Place(const Item& item, bool redraw) {
  const DesignRect& r = item.Rect;
  SetWindowPos(item.Control, nullptr, Scale(r.Left, FDpi), Scale(r.Top, FDpi), Scale(r.Width, FDpi),
               Scale(r.Height, FDpi), SWP_NOZORDER | SWP_NOACTIVATE);
  if (item.Font)
    SendMessageW(item.Control, WM_SETFONT, reinterpret_cast<WPARAM>(Font(*item.Font)), redraw ? TRUE : FALSE);
}

void DpiLayout::Add(HWND control, const DesignRect& rect, const FontSpec* font) {
  FItems.push_back({control, rect, font});
  Place(FItems.back(), true);
}

void DpiLayout::Apply(UINT dpi) {
  // The controls move to the new fonts before the old ones are deleted.
  std::vector<MadeFont> old;
  old.swap(FFonts);
  FDpi = dpi;
  for (const Item& item : FItems) Place(item, true);
}

}  // namespace ui

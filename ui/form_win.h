#pragma once
// The one skeleton under the program's own windows: an object bound to its
// window (the thunk), and the child form every page is, which owns its class
// registration, background, owner-drawn push buttons, control colours and DPI
// changes. A page states only its controls and its events.
#include <functional>
#include <vector>

#include "ui/controls_win.h"
#include "vek/win32.h"

namespace ui {

// A window bound to an object of a derived class. Every message of the window,
// from WM_NCCREATE on, reaches OnMessage; none does once the object is being
// destroyed or the window has gone (after WM_NCDESTROY, Handle() is null).
class TWindow {
 public:
  TWindow(const TWindow&) = delete;
  TWindow& operator=(const TWindow&) = delete;

  HWND Handle() const { return FHandle; }

 protected:
  TWindow() = default;
  // Destroys the window if it is still there; its last messages get the
  // default handling.
  virtual ~TWindow();

  // Registers a class whose window procedure is the thunk, once per process.
  static void RegisterWindowClass(HINSTANCE instance, const wchar_t* className, HICON icon);
  // CreateWindowExW for this object; false when the window could not be made.
  bool CreateBound(DWORD exStyle, const wchar_t* className, const wchar_t* caption, DWORD style, int x, int y,
                   int width, int height, HWND parent, HINSTANCE instance);
  // Lets the window go on without this object: what it still receives gets the
  // default handling.
  HWND Detach();

  // The window's messages; DefWindowProcW unless a derived class handles them.
  virtual LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  HWND FHandle = nullptr;
};

// A borderless child form of a panel, created hidden at (0, 0) with the size of
// the pages (500 x 400 design pixels) and the page colour as its background.
// Its controls are placed from design rectangles and take their fonts at the
// form's DPI, and again whenever the DPI changes; static controls and check
// boxes are drawn transparent in the style's text colour; push buttons added as
// such are owner-drawn in the style's look where a style is in force.
class TChildForm : public TWindow {
 public:
  void Show(bool visible);
  bool Visible() const;

 protected:
  // className is registered on first use; designName tags the form for outside
  // tools as SetControlName does.
  TChildForm(HWND parent, const wchar_t* className, const wchar_t* designName);

  // A child control of the next control id (100 upward in creation order),
  // tagged with its design name, placed at its design rectangle and given font
  // (none when null).
  HWND AddControl(const wchar_t* controlClass, const wchar_t* text, DWORD style, const wchar_t* designName,
                  const DesignRect& rect, const FontSpec* font);
  // A push button with the action caption; WS_CHILD and the style's drawing are
  // added here.
  HWND AddPushButton(const wchar_t* caption, DWORD style, const wchar_t* designName, const DesignRect& rect,
                     const FontSpec* font);
  // A control made by its own wrapper (made with NextControlId()), placed,
  // named and given its font like the others.
  HWND AddControl(HWND control, const wchar_t* designName, const DesignRect& rect, const FontSpec* font);
  int NextControlId() { return FNextId++; }

  // The events of a page: a button's click (BN_CLICKED) and a list view's
  // double-click (NM_DBLCLK).
  void OnClick(HWND control, std::function<void()> handler);
  void OnDblClick(HWND control, std::function<void()> handler);

  UINT Dpi() const { return FDpi; }
  // Places the controls and gives them new fonts for dpi; a form extends it
  // with what its layout does not cover (column widths).
  virtual void ApplyDpi(UINT dpi);
  // The text colour of a static control or check box: the style's text colour
  // unless the form says otherwise.
  virtual COLORREF TextColour(HWND control) const;

  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  struct Event {
    HWND Control;
    UINT Code;  // BN_CLICKED or NM_DBLCLK
    std::function<void()> Handler;
  };
  bool Fire(HWND control, UINT code);

  UINT FDpi = 96;
  int FNextId = 100;
  DpiLayout FLayout;
  std::vector<HWND> FPushButtons;
  std::vector<Event> FEvents;
};

}  // namespace ui

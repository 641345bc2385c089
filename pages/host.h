#pragma once
// All a page may ask of the window that holds it: the pages' one way up. The
// main window implements it and is known to the pages as FrmQuorvane; no page
// includes app/. Portable, so page logic and its tests can name it without
// <windows.h>.
#include <vector>

#include "vek/text.h"

// <windows.h>'s HWND, declared the way it declares it, so that this header needs
// none of it.
struct HWND__;

namespace pages {

class TPageHost {
 public:
  // The window that owns the page's message boxes; null once it is closed.
  virtual HWND__* OwnerWindow() const = 0;
  // The window's caption, which titles every message box.
  virtual vek::Text Caption() const = 0;

  // The keep-list and the plug-in list, with what the service and NoClean.txt
  // added.
  virtual const std::vector<vek::Text>& ListWhite() const = 0;
  virtual const std::vector<vek::Text>& ListBlack() const = 0;

  // A system-modal Yes/No question owned by the window and titled with its
  // caption; true for Yes.
  virtual bool Ask(const vek::Text& question) = 0;
  // A plain OK message owned by the window and titled with its caption.
  virtual void Inform(const vek::Text& message) = 0;

  // Re-reads the list page that is showing.
  virtual void GetInfo() = 0;
  // Around a reset: before it (confirm), asks whether applied pages are to be
  // applied again; after it, applies them again, browser before startup.
  virtual void SetInfo(bool confirm) = 0;
  // Builds the report of every page, uploads it and opens the report page.
  virtual void PutInfo() = 0;
  // Closes the window exactly as the user's close button does.
  virtual void Close() = 0;

 protected:
  ~TPageHost() = default;
};

// The main window as its pages see it: set by the program's entry for the life
// of the window, null before and after (and in tests that make pages alone).
extern TPageHost* FrmQuorvane;

}  // namespace pages

#pragma once
// Browser: the browser add-on page's records and decisions. Add-ons are Internet
// Explorer's toolbars, explorer bars, browser helper objects, extensions and
// download handlers; a ticked row is an enabled add-on. Disabling writes the
// add-on's per-user settings key ("Flags" = 1, "Version" = "*"), enabling deletes
// that key; an add-on's registration is never touched. Everything here works on
// the registry through the Lib helpers and on the rows through ui::ListView, and
// never throws.
#include <cstdint>
#include <vector>

#include "ui/lists.h"
#include "vek/text.h"

namespace pages {

using vek::Text;
using vek::TextView;

// One add-on.
struct TCLSIDInfo {
  Text CLSID;     // the identifier the registry names it by
  Text FileName;  // its class's InprocServer32 default value; empty for extensions
  Text Item;      // display name: the class's default value, or "ButtonText"
  int32_t Flags = -1;  // "Flags" of its settings key; -1 when unreadable (enabled)
};

// Owns the add-ons of one rebuild, in reading order.
using TCLSIDList = std::vector<TCLSIDInfo>;

namespace browser {

// Per-user settings of the add-on N: kSettingsKey + "\" + N under HKEY_CURRENT_USER.
inline constexpr TextView kSettingsKey = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings";
inline constexpr TextView kUnknownPublisher = u"알수없음";

// Empties list, then appends the add-ons of the twelve locations in order:
// toolbars (HKLM), explorer bars (HKCU), helper objects (HKLM), extensions (HKCU,
// then HKLM) and the download handler (HKLM), each native and then under
// Wow6432Node. Every add-on's flags come from its settings key as applying
// writes it, the Wow6432Node download handler's included.
void GetCLSID(TCLSIDList& list);

// Rebuilds list and rows: one row per named add-on, the first add-on of a name
// winning. Rows: caption (the name), image 0, sub-items publisher and identifier;
// ticked when the add-on's flags are -1.
void GetInfo(TCLSIDList& list, ui::ListView& rows);

// Brings every row's add-on to its tick: ticked, enabled (its settings key,
// and with it any "Flags", deleted); unticked, disabled ("Flags" = 1 and
// "Version" = "*" written). An add-on that already reads as its row shows (no
// readable "Flags" for a ticked row, any for an unticked one) is left as it is,
// so applying with nothing changed writes nothing. An identifier that cannot be
// one key name (empty, or holding a backslash or a NUL) names no key: it is
// never read as a class or a settings key, and its row cannot be changed.
// Returns the names of the rows whose add-on could not be brought to its tick,
// in row order; each of them is as it was.
std::vector<Text> SetInfo(const ui::ListView& rows);

// Appends one "browser" report record per add-on of list, in list order.
void LogInfo(const TCLSIDList& list, std::vector<Text>& records);

}  // namespace browser
}  // namespace pages

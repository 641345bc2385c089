#include "pages/browser/browser.h"

#include "core/lib.h"
#include "core/report.h"
#include "vek/registry.h"
#include "vek/strings.h"

namespace pages::browser {
namespace {

constexpr uint32_t kHklm = vek::kHkeyLocalMachine;
constexpr uint32_t kHkcu = vek::kHkeyCurrentUser;
constexpr uint32_t kHkcr = vek::kHkeyClassesRoot;

constexpr TextView kToolbar = u"\\Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr TextView kToolbar32 = u"\\Software\\Wow6432Node\\Microsoft\\Internet Explorer\\Toolbar";
constexpr TextView kExplorerBars = u"\\Software\\Microsoft\\Internet Explorer\\Explorer Bars";
constexpr TextView kExplorerBars32 = u"\\Software\\Wow6432Node\\Microsoft\\Internet Explorer\\Explorer Bars";
constexpr TextView kHelpers = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr TextView kHelpers32 =
    u"\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr TextView kExtensions = u"\\Software\\Microsoft\\Internet Explorer\\Extensions";
constexpr TextView kExtensions32 = u"\\Software\\Wow6432Node\\Microsoft\\Internet Explorer\\Extensions";
constexpr TextView kExplorer = u"\\Software\\Microsoft\\Internet Explorer";
constexpr TextView kExplorer32 = u"\\Software\\Wow6432Node\\Microsoft\\Internet Explorer";

// Row layout.
constexpr int kClsidSubItem = 1;

// The add-on's flags from its per-user settings key; -1 when unreadable.
int32_t FlagsOf(TextView clsid) {
  const std::optional<Text> settings = core::SubKeyPath(kSettingsKey, clsid);
  return settings ? core::ReadRegInteger(kHkcu, *settings, u"Flags") : -1;
}

// A default value below the identifier's class key; empty when the identifier
// cannot be one key name.
Text ClassValue(TextView clsid, TextView below) {
  const std::optional<Text> key = core::SubKeyPath(u"CLSID", clsid);
  return key ? core::ReadRegString(kHkcr, *key + Text(below), u"") : Text();
}

Text ClassName(TextView clsid) { return ClassValue(clsid, u""); }
Text ClassFile(TextView clsid) { return ClassValue(clsid, u"\\InprocServer32"); }

void AddClass(TCLSIDList& list, const Text& clsid) {
  TCLSIDInfo& e = list.emplace_back();
  e.CLSID = clsid;
  e.FileName = ClassFile(clsid);
  e.Item = ClassName(clsid);
  e.Flags = FlagsOf(clsid);
}

void AddClassValues(TCLSIDList& list, uint32_t root, TextView key) {
  std::vector<Text> names;
  core::ListRegValues(root, key, names);
  for (const Text& name : names) AddClass(list, name);
}

void AddClassKeys(TCLSIDList& list, uint32_t root, TextView key) {
  std::vector<Text> names;
  core::ListRegKeys(root, key, names);
  for (const Text& name : names) AddClass(list, name);
}

void AddExtensions(TCLSIDList& list, uint32_t root, TextView key) {
  std::vector<Text> names;
  core::ListRegKeys(root, key, names);
  for (const Text& name : names) {
    TCLSIDInfo& e = list.emplace_back();
    e.CLSID = name;
    const std::optional<Text> path = core::SubKeyPath(key, name);
    if (path) e.Item = core::ReadRegString(root, *path, u"ButtonText");
    e.Flags = FlagsOf(name);
  }
}

// The download handler's file is that of the native key's handler for both keys.
// Its flags come from the settings path that applying writes and Internet
// Explorer reads; a per-user "Wow6432Node" settings path is never written by
// anyone, so reading the 32-bit handler's flags there would show it enabled for
// ever, however often it was disabled.
void AddDownloadUI(TCLSIDList& list, uint32_t root, TextView key) {
  const Text handler = core::ReadRegString(root, key, u"DownloadUI");
  if (handler.empty()) return;
  TCLSIDInfo& e = list.emplace_back();
  e.CLSID = handler;
  e.FileName = ClassFile(core::ReadRegString(kHklm, kExplorer, u"DownloadUI"));
  e.Item = ClassName(handler);
  e.Flags = FlagsOf(handler);
}

}  // namespace

void GetCLSID(TCLSIDList& list) {
  list.clear();
  AddClassValues(list, kHklm, kToolbar);
  AddClassValues(list, kHklm, kToolbar32);
  AddClassKeys(list, kHkcu, kExplorerBars);
  AddClassKeys(list, kHkcu, kExplorerBars32);
  AddClassKeys(list, kHklm, kHelpers);
  AddClassKeys(list, kHklm, kHelpers32);
  AddExtensions(list, kHkcu, kExtensions);
  AddExtensions(list, kHkcu, kExtensions32);
  AddExtensions(list, kHklm, kExtensions);
  AddExtensions(list, kHklm, kExtensions32);
  AddDownloadUI(list, kHklm, kExplorer);
  AddDownloadUI(list, kHklm, kExplorer32);
}

void GetInfo(TCLSIDList& list, ui::ListView& rows) {
  rows.Clear();
  GetCLSID(list);
  for (const TCLSIDInfo& e : list) {
    if (e.Item.empty() || core::FindCaptionIndex(rows, e.Item) >= 0) continue;
    const Text publisher = vek::IfEmpty(core::GetFileVersionValue(e.FileName, u"CompanyName"), kUnknownPublisher);
    rows.AddRow(e.Item, {publisher, e.CLSID}, 0, e.Flags == -1);
  }
}

std::vector<Text> SetInfo(const ui::ListView& rows) {
  std::vector<Text> notChanged;
  const int count = rows.RowCount();
  for (int r = 0; r < count; ++r) {
    const Text clsid = rows.SubItem(r, kClsidSubItem);
    const bool wanted = rows.Checked(r);
    if ((FlagsOf(clsid) == -1) == wanted) continue;
    if (wanted) {
      core::DeleteRegKey(kHkcu, kSettingsKey, clsid);
    } else if (core::WriteRegSubKeyInteger(kHkcu, kSettingsKey, clsid, u"Flags", 1)) {
      core::WriteRegSubKeyString(kHkcu, kSettingsKey, clsid, u"Version", u"*");
    }
    if ((FlagsOf(clsid) == -1) != wanted) notChanged.push_back(rows.Caption(r));
  }
  return notChanged;
}

void LogInfo(const TCLSIDList& list, std::vector<Text>& records) {
  for (const TCLSIDInfo& e : list) records.push_back(core::BrowserRecord(e.CLSID, e.Item));
}

}  // namespace pages::browser

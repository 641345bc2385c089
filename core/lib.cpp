#include "core/lib.h"

#include <cstdio>

#include "vek/registry.h"

#include <atomic>

namespace core {
namespace {

class NoShell final : public ShellFiles {
 public:
  Text SpecialFolderPath(int) override { return {}; }
  bool FileExists(const Text&) override { return false; }
  int AddAssociatedIcon(ui::ImageList&, const Text&) override { return -1; }
  Text VersionString(const Text&, const Text&) override { return {}; }
};

NoShell g_no_shell;
ShellFiles* g_shell = &g_no_shell;

struct RootKeyRow {
  const char16_t* Long;
  const char16_t* Short;
};

// Indexed by the predefined key's value minus 0x80000000.
constexpr RootKeyRow kRootKeys[] = {
    {u"HKEY_CLASSES_ROOT", u"HKCR"},
    {u"HKEY_CURRENT_USER", u"HKCU"},
    {u"HKEY_LOCAL_MACHINE", u"HKLM"},
    {u"HKEY_USERS", u"HKU"},
    {u"HKEY_PERFORMANCE_DATA", u"HKEY_PERFORMANCE_DATA"},
    {u"HKEY_CURRENT_CONFIG", u"HKEY_CURRENT_CONFIG"},
    {u"HKEY_DYN_DATA", u"HKEY_DYN_DATA"},
};
constexpr uint32_t kFirstRootKey = 0x80000000u;
constexpr uint32_t kRootKeyCount = sizeof(kRootKeys) / sizeof(kRootKeys[0]);

// Opens keyPath for one helper; false when it cannot.
bool OpenForRead(vek::TRegistry& reg, uint32_t rootKey, TextView keyPath) {
  reg.SetRootKey(rootKey);
  return reg.OpenKeyReadOnly(keyPath);
}

bool OpenForWrite(vek::TRegistry& reg, uint32_t rootKey, TextView keyPath) {
  reg.SetRootKey(rootKey);
  return reg.OpenKey(keyPath, true);
}

bool IsValueName(TextView name) { return name.find(u'\0') == TextView::npos; }

}  // namespace

ShellFiles& CurrentShell() { return *g_shell; }

ShellFiles* SetShell(ShellFiles* shell) {
  ShellFiles* previous = g_shell == &g_no_shell ? nullptr : g_shell;
  g_shell = shell ? shell : &g_no_shell;
  return previous;
}

namespace {
std::atomic<uint32_t (*)()> g_crashReporterSource{nullptr};
}  // namespace

uint32_t CrashReporterProcessId() {
  auto source = g_crashReporterSource.load();
  return source ? source() : 0;
}

void SetCrashReporterSource(uint32_t (*source)()) { g_crashReporterSource.store(source); }

Text GetSpecialFolder(int csidl) {
  try {
    Text path = CurrentShell().SpecialFolderPath(csidl);
    if (!path.empty() && path.back() == u'\\') path.pop_back();
    return path;
  } catch (...) {
    return {};
  }
}

Text RootKeyName(uint32_t rootKey, bool shortForm) {
  if (rootKey < kFirstRootKey || rootKey - kFirstRootKey >= kRootKeyCount) return {};
  const RootKeyRow& row = kRootKeys[rootKey - kFirstRootKey];
  return shortForm ? row.Short : row.Long;
}

uint32_t RootKeyFromName(TextView name) {
  for (uint32_t i = 0; i < kRootKeyCount; ++i)
    if (vek::SameText(name, kRootKeys[i].Long) || vek::SameText(name, kRootKeys[i].Short)) return kFirstRootKey + i;
  return 0;
}

int AddFileIcon(ui::ImageList& list, TextView text, int defaultIndex) {
  try {
    Text path = vek::Trim(text);
    if (!path.empty() && path[0] == u'"') {
      const size_t close = path.find(u'"', 1);
      path = close == Text::npos ? Text() : path.substr(1, close - 1);
    }
    const size_t comma = path.find(u',');
    if (comma != Text::npos) path.resize(comma);
    if (path.empty() || !CurrentShell().FileExists(path)) return defaultIndex;
    const int index = CurrentShell().AddAssociatedIcon(list, path);
    return index < 0 ? defaultIndex : index;
  } catch (...) {
    return defaultIndex;
  }
}

Text VersionQueryPath(uint16_t language, uint16_t codePage, TextView name) {
  char hex[9];
  std::snprintf(hex, sizeof(hex), "%.4x%.4x", unsigned(language), unsigned(codePage));
  Text path = u"\\StringFileInfo\\";
  for (const char* p = hex; *p; ++p) path.push_back(char16_t(*p));
  path += u'\\';
  path += name;
  return path;
}

Text GetFileVersionValue(const Text& path, const Text& name) {
  try {
    if (path.empty() || !CurrentShell().FileExists(path)) return {};
    return CurrentShell().VersionString(path, name);
  } catch (...) {
    return {};
  }
}

int32_t ReadRegInteger(uint32_t rootKey, TextView keyPath, const Text& name) {
  vek::TRegistry reg(vek::kRegReadAccess);
  if (!IsValueName(name) || !OpenForRead(reg, rootKey, keyPath)) return -1;
  return reg.ReadInteger(name).value_or(-1);
}

Text ReadRegString(uint32_t rootKey, TextView keyPath, const Text& name) {
  vek::TRegistry reg(vek::kRegReadAccess);
  if (!IsValueName(name) || !OpenForRead(reg, rootKey, keyPath)) return {};
  return reg.ReadString(name).value_or(Text());
}

std::optional<vek::RegValue> ReadRegValue(uint32_t rootKey, TextView keyPath, const Text& name) {
  vek::TRegistry reg(vek::kRegReadAccess);
  if (!IsValueName(name) || !OpenForRead(reg, rootKey, keyPath)) return std::nullopt;
  return reg.ReadValue(name);
}

bool RegKeyExists(uint32_t rootKey, TextView keyPath) {
  vek::TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(rootKey);
  return reg.KeyExists(keyPath);
}

int ListRegKeys(uint32_t rootKey, TextView keyPath, std::vector<Text>& list) {
  list.clear();
  vek::TRegistry reg(vek::kRegReadAccess);
  if (!OpenForRead(reg, rootKey, keyPath)) return 0;
  reg.GetKeyNames(list);
  return int(list.size());
}

int ListRegValues(uint32_t rootKey, TextView keyPath, std::vector<Text>& list) {
  list.clear();
  vek::TRegistry reg(vek::kRegReadAccess);
  if (!OpenForRead(reg, rootKey, keyPath)) return 0;
  reg.GetValueNames(list);
  return int(list.size());
}

bool DeleteRegValue(uint32_t rootKey, TextView keyPath, const Text& name) {
  vek::TRegistry reg(vek::kRegWriteAccess);
  return IsValueName(name) && OpenForWrite(reg, rootKey, keyPath) && reg.DeleteValue(name);
}

bool WriteRegInteger(uint32_t rootKey, TextView keyPath, const Text& name, int32_t value) {
  vek::TRegistry reg(vek::kRegWriteAccess);
  return IsValueName(name) && OpenForWrite(reg, rootKey, keyPath) && reg.WriteInteger(name, value);
}

bool WriteRegString(uint32_t rootKey, TextView keyPath, const Text& name, TextView value) {
  vek::TRegistry reg(vek::kRegWriteAccess);
  return IsValueName(name) && OpenForWrite(reg, rootKey, keyPath) && reg.WriteString(name, value);
}

bool WriteRegExpandString(uint32_t rootKey, TextView keyPath, const Text& name, TextView value) {
  vek::TRegistry reg(vek::kRegWriteAccess);
  return IsValueName(name) && OpenForWrite(reg, rootKey, keyPath) && reg.WriteExpandString(name, value);
}

bool WriteRegValue(uint32_t rootKey, TextView keyPath, const Text& name, const vek::RegValue& value) {
  vek::TRegistry reg(vek::kRegWriteAccess);
  return IsValueName(name) && OpenForWrite(reg, rootKey, keyPath) && reg.WriteValue(name, value);
}

bool IsKeyName(TextView name) { return !name.empty() && name.find_first_of(TextView(u"\\\0", 2)) == TextView::npos; }

std::optional<Text> SubKeyPath(TextView keyPath, TextView name) {
  if (!IsKeyName(name)) return std::nullopt;
  Text path(keyPath);
  if (path.empty() || path.back() != u'\\') path += u'\\';
  return path + Text(name);
}

bool WriteRegSubKeyString(uint32_t rootKey, TextView keyPath, TextView subKey, const Text& name, TextView value) {
  const std::optional<Text> path = SubKeyPath(keyPath, subKey);
  return path && WriteRegString(rootKey, *path, name, value);
}

bool WriteRegSubKeyInteger(uint32_t rootKey, TextView keyPath, TextView subKey, const Text& name, int32_t value) {
  const std::optional<Text> path = SubKeyPath(keyPath, subKey);
  return path && WriteRegInteger(rootKey, *path, name, value);
}

bool DeleteRegKey(uint32_t rootKey, TextView keyPath, TextView subKey) {
  if (!IsKeyName(subKey)) return false;
  vek::TRegistry reg(vek::kRegWriteAccess);
  return OpenForWrite(reg, rootKey, keyPath) && reg.DeleteKey(subKey);
}

int FindCaptionIndex(const ui::ListView& view, TextView text) {
  const int rows = view.RowCount();
  for (int i = 0; i < rows; ++i)
    if (view.Caption(i) == text) return i;
  return -1;
}

int FindSubItemIndex(const ui::ListView& view, TextView text, int n) {
  if (n < 0) return -1;
  const int rows = view.RowCount();
  for (int i = 0; i < rows; ++i)
    if (n < view.SubItemCount(i) && view.SubItem(i, n) == text) return i;
  return -1;
}

}  // namespace core

#include "vek/install.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "vek/registry.h"
#include "vek/registry_read.h"
#include "vek/sysinfo.h"

namespace vek {
namespace {

constexpr TextView kUninstallPath = u"\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr TextView kUninstallPath32 = u"\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr TextView kProgramFilesVariable = u"%ProgramFiles%";
constexpr TextView kMsiExec = u"MSIEXEC";
constexpr TextView kMsiExecFile = u"\\System32\\msiexec.exe";
constexpr TextView kInstallerFolder = u"\\Installer\\";
constexpr int kMaxIconIndex = 100;

class NoFiles final : public InstallFiles {
 public:
  Text Environment(const Text&) override { return Text(); }
  bool FileExists(const Text&) override { return false; }
  std::vector<FileEntry> ListFolder(const Text&) override { return {}; }
  std::optional<FileEntry> FindEntry(const Text&) override { return std::nullopt; }
};

NoFiles g_no_files;
InstallFiles* g_files = nullptr;

// Name and publisher joined by a NUL, which registry texts read here never hold.
Text PairKey(TextView name, TextView publisher) {
  Text key(name);
  key += u'\0';
  key += publisher;
  return key;
}

// The list being filled with the name-and-publisher pairs it already holds; the
// first record of a pair is the one kept, so a set answers what a walk from the
// front would.
struct Collector {
  TInstallList& List;
  std::unordered_set<Text> Pairs;

  explicit Collector(TInstallList& list) : List(list) {
    for (const auto& r : list)
      if (r) Pairs.insert(PairKey(r->DisplayName, r->Publisher));
  }
  bool Has(TextView name, TextView publisher) const { return Pairs.count(PairKey(Trim(name), Trim(publisher))) != 0; }
  void Add(std::unique_ptr<TInstallInfo> record) {
    Pairs.insert(PairKey(record->DisplayName, record->Publisher));
    List.push_back(std::move(record));
  }
};

// Decimal signed 32-bit with blanks around it; nullopt for anything else,
// overflow included.
std::optional<int64_t> ParseIndex(TextView text) {
  Text t = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) negative = t[i++] == u'-';
  if (i == t.size()) return std::nullopt;
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < u'0' || t[i] > u'9') return std::nullopt;
    v = v * 10 + (t[i] - u'0');
    if (v > int64_t(INT32_MAX) + 1) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > INT32_MAX) return std::nullopt;
  return v;
}

// The text after the first comma as an icon number, the text cut before it.
uint16_t CutIconIndex(Text& text) {
  const size_t comma = text.find(u',');
  if (comma == Text::npos) return 0;
  std::optional<int64_t> n = ParseIndex(TextView(text).substr(comma + 1));
  text.resize(comma);
  return n && *n >= 0 && *n <= kMaxIconIndex ? uint16_t(*n) : 0;
}

void ReadEntries(Collector& out, uint32_t root, TextView path) {
  std::vector<Text> names;
  {
    TRegistry registry(kRegReadAccess);
    registry.SetRootKey(root);
    if (!registry.OpenKeyReadOnly(path)) return;
    registry.GetKeyNames(names);
  }
  Text base(path);
  if (base.empty() || base.front() != u'\\') base.insert(base.begin(), u'\\');
  base += u'\\';
  for (const Text& name : names) {
    TRegistry entry(kRegReadAccess);
    entry.SetRootKey(root);
    if (!entry.OpenKeyReadOnly(base + name)) continue;

    Text displayName = ReadStringDef(entry, u"DisplayName", Text());
    if (displayName.empty()) continue;
    Text uninstall = ReadStringDef(entry, u"UninstallString", Text());
    if (uninstall.empty()) continue;
    if (entry.ValueExists(u"ParentKeyName")) continue;
    if (ReadBoolDef(entry, u"NoRemove", false)) continue;
    if (ReadBoolDef(entry, u"SystemComponent", false)) continue;
    Text publisher = ReadStringDef(entry, u"Publisher", Text());
    if (out.Has(displayName, publisher)) continue;

    auto r = std::make_unique<TInstallInfo>();
    r->DisplayName = Trim(displayName);
    r->Publisher = std::move(publisher);
    r->DisplayVersion = ReadStringDef(entry, u"DisplayVersion", Text());
    r->HelpLink = ReadStringDef(entry, u"HelpLink", Text());
    r->InstallLocation = ReadStringDef(entry, u"InstallLocation", Text());
    r->URLInfoAbout = ReadStringDef(entry, u"URLInfoAbout", Text());
    r->InstallDate = ReadStringDef(entry, u"InstallDate", Text());
    r->EstimatedSize = ReadIntegerDef(entry, u"EstimatedSize", 0);
    r->RootKey = root;
    Text icon = ReadStringDef(entry, u"DisplayIcon", Text());
    entry.CloseKey();

    IconRef ref = IconOf(icon.empty() ? uninstall : icon);
    r->DisplayIcon = std::move(ref.Path);
    r->DisplayIconIndex = ref.Index;
    r->UninstallString = ExpandProgramFiles(uninstall);
    r->InstallDate = DigitsOnly(r->InstallDate);
    if (r->InstallDate.size() != 8 && !r->DisplayIcon.empty() && CurrentInstallFiles().FileExists(r->DisplayIcon))
      r->InstallDate = GetFolderDate(r->DisplayIcon);
    out.Add(std::move(r));
  }
}

Text TwoDigits(int n) { return Text{char16_t(u'0' + n / 10 % 10), char16_t(u'0' + n % 10)}; }

}  // namespace

const UninstallKey kUninstallKeys[4] = {
    {kHkeyLocalMachine, kUninstallPath},
    {kHkeyLocalMachine, kUninstallPath32},
    {kHkeyCurrentUser, kUninstallPath},
    {kHkeyCurrentUser, kUninstallPath32},
};

InstallFiles& CurrentInstallFiles() { return g_files ? *g_files : g_no_files; }

InstallFiles* SetInstallFiles(InstallFiles* files) { return std::exchange(g_files, files); }

void GetInstall(TInstallList& list) {
  try {
    list.clear();
    Collector out(list);
    for (const UninstallKey& key : kUninstallKeys) ReadEntries(out, key.Root, key.Path);
    SortInstallList(list);
  } catch (...) {
    // Out of memory part-way: keep what was read.
  }
}

void ReadUninstallKey(TInstallList& list, uint32_t root, TextView path) {
  try {
    Collector out(list);
    ReadEntries(out, root, path);
  } catch (...) {
  }
}

void SortInstallList(TInstallList& list) {
  std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a->InstallDate > b->InstallDate; });
}

IconRef IconOf(TextView iconText) {
  IconRef ref;
  Text icon(iconText);
  if (FindText(UpperCase(icon), kMsiExec) != Text::npos) {
    icon = GetMsiCachedIcon(icon);
    if (icon.empty()) icon = CurrentInstallFiles().Environment(u"WinDir") + Text(kMsiExecFile);
  }
  if (!icon.empty() && icon.front() == u'"') {
    const size_t close = icon.find(u'"', 1);
    if (close == Text::npos) return ref;
    // "path",n: the number follows the closing quote; a comma inside the quotes
    // is met first.
    Text after = icon.substr(close + 1);
    icon = icon.substr(1, close - 1);
    if (icon.find(u',') == Text::npos) ref.Index = CutIconIndex(after);
  }
  if (icon.find(u',') != Text::npos) ref.Index = CutIconIndex(icon);
  ref.Path = ExpandProgramFiles(icon);
  return ref;
}

Text ExpandProgramFiles(TextView text) {
  Text result(text);
  const size_t at = FindText(text, kProgramFilesVariable);
  if (at == Text::npos) return result;
  Text folder = CurrentInstallFiles().Environment(IsNativeX64() ? u"ProgramW6432" : u"ProgramFiles");
  result.replace(at, kProgramFilesVariable.size(), folder);
  return result;
}

Text GetMsiCachedIcon(TextView text) {
  const size_t open = text.find(u'{');
  const size_t close = text.find(u'}');
  if (open == TextView::npos || close == TextView::npos || close < open) return Text();
  Text folder = CurrentInstallFiles().Environment(u"WinDir") + Text(kInstallerFolder) +
                Text(text.substr(open, close - open + 1));
  for (const FileEntry& e : CurrentInstallFiles().ListFolder(folder))
    if (!e.Directory) return folder + u'\\' + e.Name;
  return Text();
}

Text GetFolderDate(TextView path) {
  const size_t last = path.find_last_of(u"\\:");
  if (last == TextView::npos) return Text();
  Text dir(path.substr(0, last + 1));
  if (dir.back() == u'\\') dir.pop_back();
  if (dir.empty()) return Text();
  std::optional<FileEntry> e = CurrentInstallFiles().FindEntry(dir);
  if (!e || e->Hidden || e->System) return Text();
  if (e->Year < 0 || e->Year > 9999) return Text();
  Text date;
  date += TwoDigits(e->Year / 100);
  date += TwoDigits(e->Year % 100);
  date += TwoDigits(e->Month);
  date += TwoDigits(e->Day);
  return date;
}

Text DigitsOnly(TextView text) {
  Text digits;
  for (char16_t c : text)
    if (c >= u'0' && c <= u'9') digits.push_back(c);
  return digits;
}

}  // namespace vek

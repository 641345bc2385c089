#include "pages/install/install.h"

#include "core/lib.h"
#include "core/report.h"
#include "vek/process.h"
#include "vek/registry.h"
#include "vek/strings.h"

namespace pages::install {
namespace {

constexpr vek::TextView kUnknownPublisher = u"알수없음";
constexpr vek::TextView kComment = u"//";
constexpr int32_t kSwShow = 5;
constexpr int kCommandItem = 2;
constexpr int kRootItem = 3;

// The first occurrence of from (ASCII case ignored) replaced by to, when the new
// name exists as a file and the old one does not.
void PreferExisting(vek::Text& path, vek::TextView from, vek::TextView to) {
  const size_t at = vek::FindText(path, from);
  if (at == vek::Text::npos) return;
  vek::Text other = path;
  other.replace(at, from.size(), to);
  core::ShellFiles& shell = core::CurrentShell();
  if (shell.FileExists(other) && !shell.FileExists(path)) path = std::move(other);
}

}  // namespace

bool MatchesPluginList(const std::vector<vek::Text>& items, vek::TextView name) {
  for (const vek::Text& raw : items) {
    const vek::Text item = vek::Trim(raw);
    if (item.empty() || item.starts_with(kComment)) continue;
    if (name.starts_with(item)) return true;
  }
  return false;
}

void FillRows(const vek::TInstallList& list, const std::vector<vek::Text>& plugins, ui::ListView& rows,
              ui::ImageList& images) {
  rows.Clear();
  images.RemoveAdded();
  for (const auto& r : list) {
    if (!MatchesPluginList(plugins, r->DisplayName)) continue;
    if (core::FindCaptionIndex(rows, r->DisplayName) >= 0) continue;
    const int image = core::AddFileIcon(images, r->DisplayIcon, 0);
    rows.AddRow(r->DisplayName,
                {vek::IfEmpty(r->Publisher, kUnknownPublisher), r->InstallDate, r->UninstallString,
                 core::RootKeyName(r->RootKey, true)},
                image, false);
  }
}

void AppendInstallRecords(const vek::TInstallList& list, std::vector<vek::Text>& records) {
  for (const auto& r : list) records.push_back(core::InstallRecord(r->DisplayName, r->Publisher));
}

Uninstaller ResolveUninstaller(vek::TextView command) {
  Uninstaller u;
  vek::SplitCommandLine(command, u.FileName, u.Params);
  PreferExisting(u.FileName, u":\\Windows\\System32\\", u":\\Windows\\SysWOW64\\");
  PreferExisting(u.FileName, u":\\Program Files\\", u":\\Program Files (x86)\\");
  return u;
}

vek::ShellRights UninstallerRights(uint32_t rootKey) {
  return rootKey == vek::kHkeyLocalMachine ? vek::ShellRights::Program : vek::ShellRights::User;
}

void StartUninstaller(const ui::ListView& rows, int row) {
  if (row < 0 || row >= rows.RowCount()) return;
  Uninstaller u = ResolveUninstaller(rows.SubItem(row, kCommandItem));
  vek::ShellOpen(u.FileName, u.Params, kSwShow, UninstallerRights(core::RootKeyFromName(rows.SubItem(row, kRootItem))));
}

}  // namespace pages::install

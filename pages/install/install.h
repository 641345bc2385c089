#pragma once
// The forced-install page's decisions over its list view and image list: which
// installed programs get a row, the report records, and which program an
// uninstall command starts.
#include <vector>

#include "ui/lists.h"
#include "vek/install.h"
#include "vek/process.h"
#include "vek/text.h"

namespace pages::install {

// Whether the name begins with an item of the plug-in list. Items are trimmed;
// empty items and "//" comments take no part; the test is case-sensitive.
bool MatchesPluginList(const std::vector<vek::Text>& items, vek::TextView name);

// Empties the rows and the images added for them (the built-in image 0 stays),
// then adds one row per record that matches the plug-in list, in list order,
// skipping a record whose name already has a row. A row carries the publisher
// (or "알수없음"), the install date and the uninstall command, and the icon of
// DisplayIcon added to the image list (0 when there is none), and last the
// short name of the root key the entry was read from ("HKLM", "HKCU").
void FillRows(const vek::TInstallList& list, const std::vector<vek::Text>& plugins, ui::ListView& rows,
              ui::ImageList& images);

// One "install" record per record of the list, the publisher as stored.
void AppendInstallRecords(const vek::TInstallList& list, std::vector<vek::Text>& records);

// The program an uninstall command names and its parameters. A program named in
// the native System32 or Program Files folder is taken from SysWOW64 or Program
// Files (x86) when only there does the file exist.
struct Uninstaller {
  vek::Text FileName, Params;
};
Uninstaller ResolveUninstaller(vek::TextView command);

// The rights an uninstaller starts with: a machine-wide entry's (HKLM) needs
// administrator rights and keeps the program's; every other one, a per-user
// entry that any program of the user could have written among them, gets the
// desktop user's own.
vek::ShellRights UninstallerRights(uint32_t rootKey);

// Starts the uninstaller of the row through the shell without waiting, with
// the rights of the root key the row names; nothing for a row out of range.
void StartUninstaller(const ui::ListView& rows, int row);

}  // namespace pages::install

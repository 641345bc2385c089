#pragma once
// The registry places the check-box pages read and write, spelt as the tests
// arrange them.
#include "vek/registry.h"

namespace qvtest {

constexpr uint32_t HKCR = vek::kHkeyClassesRoot;
constexpr uint32_t HKCU = vek::kHkeyCurrentUser;
constexpr uint32_t HKLM = vek::kHkeyLocalMachine;

// Startup entries: the Run keys (under both roots) and the backup store (HKLM).
inline const vek::Text kRun = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const vek::Text kRun32 = u"\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const vek::Text kStore = u"\\SOFTWARE\\Microsoft\\Shared Tools\\MSConfig\\startupreg";

// Browser add-ons: the per-user settings and the places that register add-ons.
inline const vek::Text kSettings = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings";
inline const vek::Text kExplorer = u"\\Software\\Microsoft\\Internet Explorer";
inline const vek::Text kExplorer32 = u"\\Software\\Wow6432Node\\Microsoft\\Internet Explorer";
inline const vek::Text kToolbar = kExplorer + u"\\Toolbar";
inline const vek::Text kToolbar32 = kExplorer32 + u"\\Toolbar";
inline const vek::Text kBars = kExplorer + u"\\Explorer Bars";
inline const vek::Text kBars32 = kExplorer32 + u"\\Explorer Bars";
inline const vek::Text kHelpers = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
inline const vek::Text kHelpers32 =
    u"\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
inline const vek::Text kExtensions = kExplorer + u"\\Extensions";
inline const vek::Text kExtensions32 = kExplorer32 + u"\\Extensions";

}  // namespace qvtest

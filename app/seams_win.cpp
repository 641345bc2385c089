#include "app/seams_win.h"

#include "core/folders.h"
#include "core/handover_win.h"
#include "core/lib.h"
#include "vek/install.h"
#include "vek/process.h"
#include "vek/registry.h"
#include "vek/registry_watch_win.h"
#include "vek/sysinfo.h"

namespace app {

void WireSeams() {
  vek::SetRegistryBackend(&vek::WindowsRegistry());
  vek::SetProcessSystem(&vek::WindowsProcesses());
  vek::SetInstallFiles(&vek::WindowsInstallFiles());
  // The Uninstall-key watchers hand their changes to the main window's thread.
  vek::SetMainThreadRunner(core::RunOnMainThread);
  core::SetShell(&core::WindowsShell());
  vek::SetNativeX64(vek::DetectNativeX64());
  vek::SetRunningWindows(vek::DetectWindowsVersion());
  core::FolderVars = core::BuildFolderVars(core::GetSpecialFolder, vek::IsNativeX64());
  // Read when a report first needs them, not at start-up.
  core::SetUserFoldersSource(core::ReadUserFolders);
}

}  // namespace app

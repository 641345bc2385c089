#include "vek/sysinfo.h"

namespace vek {
namespace {
bool g_native_x64 = false;
WindowsVersion g_windows;
}  // namespace

bool IsNativeX64() { return g_native_x64; }
void SetNativeX64(bool nativeX64) { g_native_x64 = nativeX64; }

WindowsVersion RunningWindows() { return g_windows; }
void SetRunningWindows(WindowsVersion version) { g_windows = version; }

bool WindowsAtLeast(uint32_t major, uint32_t minor) {
  return g_windows.Major > major || (g_windows.Major == major && g_windows.Minor >= minor);
}

}  // namespace vek

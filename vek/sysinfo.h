#pragma once
// Facts about the machine that are computed once at start and read everywhere.
#include <cstdint>

namespace vek {

// Whether the machine's native processor architecture is x64 (AMD64), whatever
// the bitness of this process. False until set at start; tests set either value.
bool IsNativeX64();
void SetNativeX64(bool nativeX64);

// The version of Windows the program runs on, as the kernel reports it (not the
// compatibility answer that GetVersionEx gives a program without a manifest
// entry for that version). 0.0 until set at start; tests set any value.
struct WindowsVersion {
  uint32_t Major = 0;
  uint32_t Minor = 0;
};
WindowsVersion RunningWindows();
void SetRunningWindows(WindowsVersion version);
// Whether the running Windows is at least major.minor.
bool WindowsAtLeast(uint32_t major, uint32_t minor);

#ifdef _WIN32
// Asks GetNativeSystemInfo (sysinfo_win.cpp); false where it is missing (before
// Windows XP).
bool DetectNativeX64();
// Asks ntdll's RtlGetVersion; 0.0 where it is missing.
WindowsVersion DetectWindowsVersion();
#endif

}  // namespace vek

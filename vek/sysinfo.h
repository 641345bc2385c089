#pragma once
// Facts about the machine that are computed once at start and read everywhere.
namespace vek {

// Whether the machine's native processor architecture is x64 (AMD64), whatever
// the bitness of this process. False until set at start; tests set either value.
bool IsNativeX64();
void SetNativeX64(bool nativeX64);

#ifdef _WIN32
// Asks GetNativeSystemInfo (sysinfo_win.cpp); false where it is missing (before
// Windows XP).
bool DetectNativeX64();
#endif

}  // namespace vek

// Entry of the Windows test program (linked with -municode). COM is initialised
// on the main thread as the program itself does at start.
#include "vek/win32.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include "vek/sysinfo.h"

int wmain(int argc, wchar_t** argv) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // Page logic decides by the Windows version, as the program sets it at start.
  vek::SetRunningWindows(vek::DetectWindowsVersion());
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  CoUninitialize();
  return rc;
}

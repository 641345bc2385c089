// A plug-in DLL that faults while it is being loaded: an access violation in
// DllMain, which runs under the loader's lock. Loaded by qv_crasher loader-lock.
#include "vek/win32.h"

namespace {
volatile uintptr_t g_unmapped = 0x10;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) *reinterpret_cast<volatile int*>(g_unmapped) = 1;
  return TRUE;
}

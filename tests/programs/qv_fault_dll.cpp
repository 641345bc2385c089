// A plug-in DLL that fails while it is being loaded, in DllMain, which runs
// under the loader's lock: it aborts, as a plug-in's failed check or an
// exception out of its static constructors does. (An access violation there
// never reaches the filter under Wine, whose loader catches it and fails the
// load.) Loaded by qv_crasher loader-lock.
#include "vek/win32.h"

#include <cstdlib>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) abort();
  return TRUE;
}

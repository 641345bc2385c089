// A stand-in process for the reset tests, copied under many names and folders.
//   qv_dummy [--ready FILE] [--seconds N] [--deny-terminate]
// --ready creates FILE once the process is set up, so a test knows it is in the
// process list; --deny-terminate replaces the process's DACL with an empty one,
// so that opening it for termination is refused where the system checks that
// (Windows does, for callers without the debug privilege); the program ends by
// itself after N seconds (600 by default) so that no run leaves it behind.
#include "vek/win32.h"

#include <aclapi.h>

#include <cwchar>

namespace {

using SetSecurityInfoFn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL);

// Looked up at run time: the test programs link only user32 and gdi32 by name.
bool DenyEveryone() {
  HMODULE advapi = LoadLibraryW(L"advapi32.dll");
  if (!advapi) return false;
  const auto set = vek::GetProc<SetSecurityInfoFn>(advapi, "SetSecurityInfo");
  if (!set) return false;
  // An ACL with no entries grants nothing; a null DACL would grant everything.
  ACL acl{};
  acl.AclRevision = ACL_REVISION;
  acl.AclSize = sizeof acl;
  return set(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
             nullptr, nullptr, &acl, nullptr) == ERROR_SUCCESS;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* ready = nullptr;
  DWORD seconds = 600;
  bool deny = false;
  for (int i = 1; i < argc; ++i) {
    if (!wcscmp(argv[i], L"--ready") && i + 1 < argc) ready = argv[++i];
    else if (!wcscmp(argv[i], L"--seconds") && i + 1 < argc) seconds = DWORD(wcstoul(argv[++i], nullptr, 10));
    else if (!wcscmp(argv[i], L"--deny-terminate")) deny = true;
  }
  if (deny && !DenyEveryone()) return 3;
  if (ready) {
    HANDLE f = CreateFileW(ready, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 4;
    CloseHandle(f);
  }
  Sleep(seconds * 1000);
  return 0;
}

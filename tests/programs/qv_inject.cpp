// Crashes another process from outside: starts a thread in it at an address
// where nothing is mapped.
//   qv_inject PID
// Exits 0 once the thread is started, 1 when the process cannot be opened or
// the thread cannot be made.
#include "vek/win32.h"

#include <cwchar>

#include "vek/handles_win.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"usage: qv_inject PID\n");
    return 2;
  }
  const DWORD pid = DWORD(wcstoul(argv[1], nullptr, 10));
  vek::unique_handle process(OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                   PROCESS_VM_WRITE | PROCESS_VM_READ,
                               FALSE, pid));
  if (!process) {
    fwprintf(stderr, L"qv_inject: cannot open process %lu (error %lu)\n", pid, GetLastError());
    return 1;
  }
  // The lowest 64 KiB of an address space are never mapped.
  auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(uintptr_t(0x1230));
  vek::unique_handle thread(CreateRemoteThread(process.get(), nullptr, 0, start, nullptr, 0, nullptr));
  if (!thread) {
    fwprintf(stderr, L"qv_inject: cannot start a thread in %lu (error %lu)\n", pid, GetLastError());
    return 1;
  }
  return 0;
}

// Links the program's crash handler and faults on purpose, one way per run:
//   qv_crasher MODE REPORT-FILE
// MODE: main (access violation on the main thread), worker (in a second
// thread), wndproc (in a window procedure serving a posted message),
// wndproc-create (in WM_CREATE, which Windows delivers through a kernel
// callback), throw (a C++ exception nobody catches), terminate (std::terminate),
// abort (abort()), reporter (a fault on the main thread, then another inside
// the reporting), heap-lock (a fault while holding the process heap's lock),
// crt-lock (while holding the C runtime's heap and its heap lock), loader-lock
// (abort() in the DllMain of qv_fault_dll.dll, under the loader's lock), stack-overflow
// (endless recursion), smashed-frame (a frame pointer pointing into a
// no-access page, see QvSmashedFrame). A mode ending in "-inprocess" runs without
// the reporter process, as when it cannot be started.
// The handler writes the report's text to REPORT-FILE before it sends it.
#include "vek/win32.h"

#include <malloc.h>

#include <cstdlib>
#include <cwchar>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/crash_win.h"

// A frame pointer smashed into a no-access page, as a buffer overrun over a
// saved frame pointer leaves it. On i686 the faulting function itself has it:
// Windows finds the handlers along fs:[0], the walk follows ebp. On x86_64
// Windows unwinds the faulting thread with the same codes as the walk, so a
// thread that cannot be unwound is never given to the filter; there another
// thread has it, spinning (*ready set) in a function whose unwind codes base
// its frame on rbp, while the main thread faults.
extern "C" void QvSmashedFrame(void* noAccess, volatile long* ready);
#ifdef _WIN64
asm(R"(
  .text
  .globl QvSmashedFrame
  .def QvSmashedFrame; .scl 2; .type 32; .endef
  .seh_proc QvSmashedFrame
QvSmashedFrame:
  push %rbp
  .seh_pushreg %rbp
  sub $32, %rsp
  .seh_stackalloc 32
  lea 16(%rsp), %rbp
  .seh_setframe %rbp, 16
  .seh_endprologue
  mov %rcx, %rbp
  movl $1, (%rdx)
1:
  pause
  jmp 1b
  .seh_endproc
)");
#else
asm(R"(
  .text
  .globl _QvSmashedFrame
_QvSmashedFrame:
  push %ebp
  mov %esp, %ebp
  mov 8(%esp), %ebp
  movl $1, 0x10
  pop %ebp
  ret
)");
#endif

namespace {

// Through a volatile pointer, so that the compiler keeps the store as it is.
volatile uintptr_t g_unmapped = 0x10;

[[gnu::noinline]] void FaultHere() { *reinterpret_cast<volatile int*>(g_unmapped) = 1; }

[[gnu::noinline]] void ThrowUncaught() { throw std::runtime_error("nobody catches this"); }

// Each call keeps a page of its stack in use, so that the recursion reaches
// the guard page soon; the flag only hides from the compiler that it never ends.
volatile bool g_deeper = true;
[[gnu::noinline]] int Recurse(int depth) {
  volatile char page[4096];
  page[0] = char(depth);
  return g_deeper ? Recurse(depth + 1) + page[0] : page[0];
}

LRESULT CALLBACK FaultingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP || (message == WM_CREATE && static_cast<bool>(
                                reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams)))
    FaultHere();
  return DefWindowProcW(window, message, wParam, lParam);
}

void FaultInWindow(bool inCreate) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = FaultingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QvCrasherWindow";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"qv_crasher", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, wc.hInstance, reinterpret_cast<void*>(inCreate ? 1 : 0));
  if (window) PostMessageW(window, WM_APP, 0, 0);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
}

// The C runtime's heap held: its heap lock (msvcrt's _lock(_HEAP_LOCK)) and
// the heap it allocates from.
void FaultHoldingCrtHeap() {
  constexpr int kHeapLock = 4;
  using LockFn = void(__cdecl*)(int);
  using HeapHandleFn = intptr_t(__cdecl*)();
  if (auto lock = vek::GetProc<LockFn>(L"msvcrt.dll", "_lock")) lock(kHeapLock);
  if (auto heap = vek::GetProc<HeapHandleFn>(L"msvcrt.dll", "_get_heap_handle"))
    HeapLock(reinterpret_cast<HANDLE>(heap()));
  FaultHere();
}

void FaultInDllMain() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path, n);
  dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"qv_fault_dll.dll";
  LoadLibraryW(dll.c_str());
  fwprintf(stderr, L"qv_crasher: loading %ls came back\n", dll.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    // The reporter's copy runs without arguments; there this does not return.
    app::InstallCrashHandler();
    fwprintf(stderr, L"usage: qv_crasher MODE REPORT-FILE\n");
    return 2;
  }
  std::wstring mode = argv[1];
  const std::wstring inProcess = L"-inprocess";
  const bool reporter = !(mode.size() > inProcess.size() && mode.ends_with(inProcess));
  if (!reporter) mode.resize(mode.size() - inProcess.size());
  app::CrashHandlerOptions options;
  options.ReportFile = vek::U(argv[2]);
  options.FaultWhileReporting = mode == L"reporter";
  if (!app::InstallCrashHandler(options)) return 3;
  if (reporter && !app::StartCrashReporter()) return 3;

  if (mode == L"main" || mode == L"reporter") FaultHere();
  else if (mode == L"worker") std::thread(FaultHere).join();
  else if (mode == L"wndproc") FaultInWindow(false);
  else if (mode == L"wndproc-create") FaultInWindow(true);
  else if (mode == L"throw") ThrowUncaught();
  else if (mode == L"terminate") std::terminate();
  else if (mode == L"abort") abort();
  else if (mode == L"heap-lock") {
    HeapLock(GetProcessHeap());
    FaultHere();
  } else if (mode == L"crt-lock") FaultHoldingCrtHeap();
  else if (mode == L"loader-lock") FaultInDllMain();
  else if (mode == L"stack-overflow") return Recurse(0);
  else if (mode == L"smashed-frame") {
    void* noAccess = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS)) + 2048;
    static volatile long ready = 0;
#ifdef _WIN64
    std::thread(QvSmashedFrame, noAccess, &ready).detach();
    while (!ready) Sleep(1);
    FaultHere();
#else
    QvSmashedFrame(noAccess, &ready);
#endif
  } else return 2;
  // Reached only when a fault was swallowed on the way.
  fwprintf(stderr, L"qv_crasher: %ls did not end the process\n", mode.c_str());
  return 4;
}

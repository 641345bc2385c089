#include "app/crash_win.h"

#include "vek/win32.h"

#include <tlhelp32.h>

#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "app/crash_report.h"
#include "app/exchange.h"
#include "app/exchange_win.h"
#include "core/folders.h"
#include "core/lib.h"
#include "vek/handles_win.h"
#include "vek/http.h"
#include "vek/process.h"
#include "vek/sysinfo.h"
#include "vek/system_win.h"
#include "vek/windows_win.h"

namespace app {
namespace {

using vek::Text;

// What MSVC's abort and __fastfail raise, with FAST_FAIL_FATAL_APP_EXIT as the
// information word: std::terminate and pure calls end the process this way.
constexpr DWORD kTerminateCode = 0xC0000409;
constexpr ULONG_PTR kFatalAppExit = 7;
constexpr DWORD kInvalidParameterCode = 0xC0000417;  // STATUS_INVALID_CRUNTIME_PARAMETER
// kernel32's PROCESS_CALLBACK_FILTER_ENABLED: while set, 64-bit Windows swallows
// an exception that leaves a window procedure called back from the kernel.
constexpr DWORD kCallbackFilterEnabled = 0x1;

constexpr char16_t kCrashPath[] = u"/crash.php";
constexpr int32_t kSendTimeout = 5000;      // connect, then answer: 10 s at most
constexpr UINT kSendLimitMs = 10000;        // the window says "not sent" after this
constexpr UINT kSentMessage = WM_APP + 1;   // wParam: whether the service took it
constexpr UINT_PTR kSendLimitTimer = 1;
constexpr int kTextId = 0xFFFF;             // where message boxes keep their text
constexpr int kIconId = 100;

constexpr wchar_t kTitle[] = L"쿼베노";
constexpr wchar_t kSendingText[] =
    L"프로그램에 오류가 발생하여 종료해야 합니다.\r\n"
    L"문제를 해결하는 데 도움이 되도록 오류 보고서를 보내고 있습니다...";
constexpr wchar_t kSentText[] =
    L"프로그램에 오류가 발생하여 종료해야 합니다.\r\n"
    L"오류 보고서를 보냈습니다. 불편을 드려 죄송합니다.";
constexpr wchar_t kNotSentText[] =
    L"프로그램에 오류가 발생하여 종료해야 합니다.\r\n"
    L"오류 보고서를 보내지 못했습니다.";
constexpr wchar_t kCloseCaption[] = L"닫기";

// Reserved at start-up; the faulting thread writes Record and Context once,
// after winning Claimed, and the reporter reads them only after Wake.
struct alignas(16) FaultSlot {
  CONTEXT Context;
  EXCEPTION_RECORD Record;
  DWORD ThreadId;
};

// Lives until the process ends: the reporter thread waits on Wake for the whole
// run, so the state is never destroyed (static destructors would close the
// handles under it when the program returns from its entry).
struct CrashState {
  FaultSlot Fault{};
  volatile LONG Claimed = 0;
  vek::unique_handle Wake;
  vek::unique_handle Reporter;
  DWORD ReporterId = 0;
  volatile DWORD SenderId = 0;
  CrashHandlerOptions Options;
};
CrashState* g_state = nullptr;

[[noreturn]] void EndProcess(DWORD code) {
  TerminateProcess(GetCurrentProcess(), code);
  for (;;) Sleep(INFINITE);  // TerminateProcess of the own process does not return
}

// Runs on the faulting thread, which may have a broken heap or hold any lock:
// no allocation, no lock, no window call here.
[[noreturn]] void HandleFault(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  CrashState* s = g_state;
  const DWORD self = GetCurrentThreadId();
  if (!s || !s->Reporter) EndProcess(record.ExceptionCode);
  if (self == s->ReporterId || self == s->SenderId) {
    // A fault while reporting: the first fault's code, and no second report.
    EndProcess(s->Claimed ? s->Fault.Record.ExceptionCode : record.ExceptionCode);
  }
  if (InterlockedCompareExchange(&s->Claimed, 1, 0) != 0) {
    // Another thread faulted first; its report covers this thread's stack too.
    for (;;) Sleep(INFINITE);
  }
  std::memcpy(&s->Fault.Record, &record, sizeof record);
  std::memcpy(&s->Fault.Context, &context, sizeof context);
  s->Fault.Record.ExceptionRecord = nullptr;  // a chained record may live on a stack that moves on
  s->Fault.ThreadId = self;
  SetEvent(s->Wake.get());
  WaitForSingleObject(s->Reporter.get(), INFINITE);
  EndProcess(record.ExceptionCode);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  HandleFault(*pointers->ExceptionRecord, *pointers->ContextRecord);
}

// A fault with no exception behind it (terminate, CRT checks): the caller's
// context as the place.
[[noreturn]] void RaiseFault(DWORD code, ULONG_PTR info) {
  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
#ifdef _WIN64
  record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
#else
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
#endif
  record.NumberParameters = info ? 1 : 0;
  record.ExceptionInformation[0] = info;
  HandleFault(record, context);
}

[[noreturn]] void OnTerminate() { RaiseFault(kTerminateCode, kFatalAppExit); }
void __cdecl OnPureCall() { RaiseFault(kTerminateCode, kFatalAppExit); }
// abort() raises SIGABRT, whose default action ends the process quietly with 3.
void __cdecl OnAbortSignal(int) { RaiseFault(kTerminateCode, kFatalAppExit); }
void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {
  RaiseFault(kInvalidParameterCode, 0);
}

// ---- Gathering, on the sender thread.

// The module's mapped PE headers, or null when they do not look like ours.
const IMAGE_NT_HEADERS* NtHeaders(uint64_t base) {
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(static_cast<uintptr_t>(base));
  if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) return nullptr;
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(static_cast<uintptr_t>(base) + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) return nullptr;
  return nt;
}

// The fixed file version of the module's own version resource, from memory.
Text ModuleVersion(HMODULE module) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16) /* RT_VERSION */);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = found ? SizeofResource(module, found) : 0;
  if (!data || !size) return {};
  // VerQueryValueW may write into its block, so it gets a copy.
  std::vector<BYTE> copy(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
      length < sizeof *info || info->dwSignature != 0xFEEF04BD)
    return {};
  wchar_t text[48];
  swprintf(text, 48, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
           HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
  return vek::U(text);
}

core::FolderVarList FolderTable() {
  if (!core::FolderVars.empty()) return core::FolderVars;
  // A fault before the entry wired the shell: ask it directly.
  return core::BuildFolderVars(
      [](int csidl) {
        Text path = core::WindowsShell().SpecialFolderPath(csidl);
        if (!path.empty() && path.back() == u'\\') path.pop_back();
        return path;
      },
      vek::DetectNativeX64());
}

std::vector<CrashModule> GatherModules(const core::FolderVarList& folders) {
  std::vector<CrashModule> modules;
  vek::unique_snapshot snapshot;
  // ToolHelp asks to be tried again while a module is being loaded.
  for (int attempt = 0; attempt < 5; ++attempt) {
    snapshot.reset(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0));
    if (snapshot || GetLastError() != ERROR_BAD_LENGTH) break;
  }
  if (!snapshot) return modules;
  MODULEENTRY32W entry{sizeof entry};
  for (BOOL more = Module32FirstW(snapshot.get(), &entry); more; more = Module32NextW(snapshot.get(), &entry)) {
    // Pinned while its headers and resources are read: another thread may be
    // unloading it.
    HMODULE pinned = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(entry.modBaseAddr),
                            &pinned))
      continue;
    vek::unique_hmodule hold(pinned);
    CrashModule m;
    m.Name = vek::U(entry.szModule);
    m.Path = core::FoldPath(folders, vek::U(entry.szExePath));
    m.Base = reinterpret_cast<uintptr_t>(entry.modBaseAddr);
    m.Size = entry.modBaseSize;
    if (const IMAGE_NT_HEADERS* nt = NtHeaders(m.Base)) m.Timestamp = nt->FileHeader.TimeDateStamp;
    m.Version = ModuleVersion(pinned);
    modules.push_back(std::move(m));
  }
  return modules;
}

std::vector<CrashProcess> GatherProcesses(const core::FolderVarList& folders) {
  std::vector<CrashProcess> processes;
  vek::ProcessSystem& system = vek::WindowsProcesses();
  for (const vek::ProcessEntry& e : system.Snapshot())
    processes.push_back({e.ProcessID, e.ExeFile, core::FoldPath(folders, system.ImagePath(e.ProcessID))});
  return processes;
}

// Code ranges of the modules as the walk needs them, prepared before any
// thread is suspended so that the walk itself allocates nothing.
struct CodeRange {
  uint64_t Base, End;
};

// Walks a stack from a context into frames[], innermost first; returns the
// count. Reads only memory of the stack's own committed region and of loaded
// modules, and takes no lock, so that it is safe while the walked thread is
// suspended wherever it was (in the heap, in the loader).
size_t WalkStack(CONTEXT context, const std::vector<CodeRange>& code, uint64_t* frames, size_t max) {
#ifdef _WIN64
  uint64_t sp = context.Rsp, pc = context.Rip;
#else
  uint64_t sp = context.Ebp, pc = context.Eip;
#endif
  MEMORY_BASIC_INFORMATION region{};
  if (!VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(sp)), &region, sizeof region) ||
      region.State != MEM_COMMIT)
    return 0;
  const uint64_t low = reinterpret_cast<uintptr_t>(region.BaseAddress);
  const uint64_t high = low + region.RegionSize;
  auto onStack = [&](uint64_t at, uint64_t bytes) { return at >= low && at % sizeof(void*) == 0 && at + bytes <= high; };
  auto moduleOf = [&](uint64_t at) -> const CodeRange* {
    for (const CodeRange& r : code)
      if (at >= r.Base && at < r.End) return &r;
    return nullptr;
  };

  size_t n = 0;
  while (n < max && pc) {
    frames[n++] = pc;
#ifdef _WIN64
    // Past the first frame pc is a return address, which for a call that never
    // returns is already the next function's first byte: the call itself is
    // what tells the function and how far its prologue went.
    const uint64_t at = n == 1 ? pc : pc - 1;
    // The module's own table of function entries, searched here rather than
    // through RtlLookupFunctionEntry, which takes the loader's lock (Wine) or
    // its table's lock (Windows) that a suspended thread may hold.
    const PRUNTIME_FUNCTION function = [&]() -> PRUNTIME_FUNCTION {
      const CodeRange* r = moduleOf(at);
      const IMAGE_NT_HEADERS* nt = r ? NtHeaders(r->Base) : nullptr;
      if (!nt || nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXCEPTION) return nullptr;
      const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
      auto* table = reinterpret_cast<PRUNTIME_FUNCTION>(static_cast<uintptr_t>(r->Base + dir.VirtualAddress));
      size_t lo = 0, hi = dir.VirtualAddress ? dir.Size / sizeof(RUNTIME_FUNCTION) : 0;
      const uint64_t rva = at - r->Base;
      while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (rva < table[mid].BeginAddress) hi = mid;
        else if (rva >= table[mid].EndAddress) lo = mid + 1;
        else return &table[mid];
      }
      return nullptr;
    }();
    const uint64_t oldSp = sp;
    if (function) {
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, moduleOf(at)->Base, at, function, &context, &handlerData, &establisher,
                       nullptr);
    } else {
      // A leaf function: the return address is on top of the stack.
      if (!onStack(sp, 8)) break;
      context.Rip = *reinterpret_cast<const DWORD64*>(static_cast<uintptr_t>(sp));
      context.Rsp += 8;
    }
    sp = context.Rsp;
    pc = context.Rip;
    if (sp <= oldSp || !onStack(sp, 0)) break;
#else
    // The frame-pointer chain: [ebp] is the caller's ebp, [ebp + 4] the return address.
    if (!onStack(sp, 8)) break;
    const uint32_t* frame = reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(sp));
    const uint64_t next = frame[0];
    pc = frame[1];
    if (next <= sp) {
      if (n < max && pc && moduleOf(pc)) frames[n++] = pc;
      break;
    }
    sp = next;
#endif
  }
  return n;
}

std::vector<CrashThread> GatherThreads(const std::vector<CrashModule>& modules, const FaultSlot& fault,
                                       DWORD reporterId, DWORD senderId) {
  std::vector<CrashThread> threads;
  std::vector<CodeRange> code;
  for (const CrashModule& m : modules) code.push_back({m.Base, m.Base + m.Size});
  std::vector<uint64_t> buffer(kCrashMaxFrames);

  CrashThread crashed{fault.ThreadId, true, {}};
  crashed.Frames.assign(buffer.begin(), buffer.begin() + WalkStack(fault.Context, code, buffer.data(), buffer.size()));
  threads.push_back(std::move(crashed));

  std::vector<DWORD> ids;
  vek::unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return threads;
  const DWORD pid = GetCurrentProcessId();
  THREADENTRY32 entry{sizeof entry};
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == pid && entry.th32ThreadID != fault.ThreadId && entry.th32ThreadID != reporterId &&
        entry.th32ThreadID != senderId)
      ids.push_back(entry.th32ThreadID);

  for (DWORD id : ids) {
    if (threads.size() >= kCrashMaxThreads) break;
    vek::unique_handle thread(OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id));
    if (!thread) continue;
    CrashThread t{id, false, {}};
    // Nothing is allocated between suspending and resuming: the thread may hold
    // the heap's lock.
    if (SuspendThread(thread.get()) != DWORD(-1)) {
      alignas(16) CONTEXT context{};
      context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
      const size_t count =
          GetThreadContext(thread.get(), &context) ? WalkStack(context, code, buffer.data(), buffer.size()) : 0;
      ResumeThread(thread.get());
      t.Frames.assign(buffer.begin(), buffer.begin() + count);
    }
    threads.push_back(std::move(t));
  }
  return threads;
}

Text WindowsVersion() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW info{sizeof info};
  auto get = vek::GetProc<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
  if (!get || get(&info) != 0) return {};
  wchar_t text[40];
  swprintf(text, 40, L"%lu.%lu.%lu", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
  return vek::U(text);
}

CrashReport GatherReport(const CrashState& s) {
  CrashReport report;
  const core::FolderVarList folders = FolderTable();
  report.Modules = GatherModules(folders);
  const uint64_t self = reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
  for (const CrashModule& m : report.Modules)
    if (m.Base == self) report.Program = m.Name;
  report.Version = vek::GetAppVersion(u"%d.%d.%d.%d");
  report.UnionKey = vek::GetUnionKey();
  report.Windows = WindowsVersion();
#ifdef _WIN64
  report.Arch = u"x86_64";
#else
  report.Arch = u"i686";
#endif
  const EXCEPTION_RECORD& record = s.Fault.Record;
  report.Code = record.ExceptionCode;
  report.Address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
  report.ThreadId = s.Fault.ThreadId;
  for (DWORD i = 0; i < record.NumberParameters && i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
    report.Info.push_back(record.ExceptionInformation[i]);
  report.Processes = GatherProcesses(folders);
  report.Threads = GatherThreads(report.Modules, s.Fault, s.ReporterId, s.SenderId);
  return report;
}

void WriteReportFile(const Text& path, const Text& json) {
  vek::unique_hfile file(
      CreateFileW(vek::W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const std::string bytes = vek::ToUtf8(json);
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

bool SendReport(const Text& json, const Text& unionKey) {
  vek::THTTP http;
  http.SetConnectionTimeOut(kSendTimeout);
  http.SetResponseTimeout(kSendTimeout);
  http.SetCustomHeaders(u"User-Version", vek::GetAppVersion(u"%d.%d.%d.%d"));
  http.SetCustomHeaders(u"User-UnionKey", unionKey);
  http.SetContentType(u"application/json");
  const Text reply = http.Post(ServiceUrl(true, kCrashPath), json);
  return http.StatusCode() == 200 && StatusIsOk(reply);
}

struct SenderArgs {
  CrashState* State;
  HWND Window;
};

DWORD WINAPI SenderMain(void* param) {
  const SenderArgs args = *static_cast<SenderArgs*>(param);
  bool sent = false;
  try {
    // The machine key's WMI query needs COM on this thread.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const CrashReport report = GatherReport(*args.State);
    if (args.State->Options.WhileReporting) args.State->Options.WhileReporting();
    const Text json = CrashReportJson(report);
    if (!args.State->Options.ReportFile.empty()) WriteReportFile(args.State->Options.ReportFile, json);
    sent = SendReport(json, report.UnionKey);
  } catch (...) {
    // Out of memory in a dying process: the window says the report did not go.
  }
  PostMessageW(args.Window, kSentMessage, sent ? 1 : 0, 0);
  return 0;
}

// ---- The window, on the reporter thread.

// A dialog template in memory: the system's own dialog look (not the
// program's embedded style, which may be what failed), the text where message
// boxes keep theirs, and one button.
class DialogTemplate {
 public:
  void Header(DWORD style, DWORD exStyle, WORD items, short cx, short cy, const wchar_t* title) {
    Dword(style);
    Dword(exStyle);
    words_.push_back(items);
    Rect(0, 0, cx, cy);
    words_.push_back(0);  // no menu
    words_.push_back(0);  // the dialog class
    String(title);
    words_.push_back(9);  // DS_SETFONT: point size and face
    String(L"MS Shell Dlg");
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom, const wchar_t* text) {
    if (words_.size() % 2) words_.push_back(0);  // items start on a DWORD boundary
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);
    Rect(x, y, cx, cy);
    words_.push_back(id);
    words_.push_back(0xFFFF);
    words_.push_back(classAtom);
    String(text);
    words_.push_back(0);  // no creation data
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Dword(DWORD v) {
    words_.push_back(LOWORD(v));
    words_.push_back(HIWORD(v));
  }
  void Rect(short x, short y, short cx, short cy) { words_.insert(words_.end(), {WORD(x), WORD(y), WORD(cx), WORD(cy)}); }
  void String(const wchar_t* s) {
    while (*s) words_.push_back(WORD(*s++));
    words_.push_back(0);
  }
  std::vector<WORD> words_;
};

constexpr WORD kButtonAtom = 0x0080, kStaticAtom = 0x0082;

[[noreturn]] void CloseNow() { EndProcess(g_state->Fault.Record.ExceptionCode); }

INT_PTR CALLBACK CrashDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      SendDlgItemMessageW(dialog, kIconId, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_ERROR)), 0);
      SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      SetForegroundWindow(dialog);
      SetTimer(dialog, kSendLimitTimer, kSendLimitMs, nullptr);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDCANCEL) CloseNow();
      return FALSE;
    case WM_CLOSE:
      CloseNow();
    case WM_TIMER:
      if (wParam != kSendLimitTimer) return FALSE;
      KillTimer(dialog, kSendLimitTimer);
      SetDlgItemTextW(dialog, kTextId, kNotSentText);
      return TRUE;
    case kSentMessage:
      KillTimer(dialog, kSendLimitTimer);
      SetDlgItemTextW(dialog, kTextId, wParam ? kSentText : kNotSentText);
      return TRUE;
  }
  return FALSE;
}

Text WindowTitle() { return vek::U(kTitle) + u" v " + vek::GetAppVersion(u"%d.%d"); }

[[noreturn]] void Report(CrashState& s) {
  DialogTemplate dialog;
  const Text title = WindowTitle();
  dialog.Header(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, WS_EX_TOPMOST,
                3, 250, 74, vek::W(title));
  dialog.Item(SS_ICON, 10, 10, 20, 20, kIconId, kStaticAtom, L"");
  dialog.Item(SS_LEFT, 40, 10, 200, 34, kTextId, kStaticAtom, kSendingText);
  dialog.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 190, 52, 50, 14, IDCANCEL, kButtonAtom, kCloseCaption);
  HWND window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialog.Get(), nullptr, CrashDialogProc, 0);

  SenderArgs args{&s, window};
  DWORD senderId = 0;
  vek::unique_handle sender(CreateThread(nullptr, 0, SenderMain, &args, CREATE_SUSPENDED, &senderId));
  if (sender) {
    s.SenderId = senderId;  // known before it runs, so that its faults count as the reporter's
    ResumeThread(sender.get());
  }
  if (!window) {
    // No window to close: the report still goes, then the process ends.
    if (sender) WaitForSingleObject(sender.get(), 2 * kSendLimitMs);
    CloseNow();
  }
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  CloseNow();
}

DWORD WINAPI ReporterMain(void* param) {
  auto& s = *static_cast<CrashState*>(param);
  WaitForSingleObject(s.Wake.get(), INFINITE);
  Report(s);
}

}  // namespace

bool InstallCrashHandler(const CrashHandlerOptions& options) {
  if (g_state) return static_cast<bool>(g_state->Reporter);
  auto state = std::make_unique<CrashState>();
  state->Options = options;
  state->Wake.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (state->Wake) {
    DWORD id = 0;
    state->Reporter.reset(CreateThread(nullptr, 0, ReporterMain, state.get(), 0, &id));
    state->ReporterId = id;
  }
  g_state = state.release();  // see CrashState

  SetUnhandledExceptionFilter(OnUnhandledException);
  std::set_terminate(OnTerminate);
  signal(SIGABRT, OnAbortSignal);
  using PureCallHandler = void(__cdecl*)();
  using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t);
  if (auto set = vek::GetProc<PureCallHandler (*)(PureCallHandler)>(L"msvcrt.dll", "_set_purecall_handler"))
    set(OnPureCall);
  if (auto set = vek::GetProc<InvalidParameterHandler (*)(InvalidParameterHandler)>(L"msvcrt.dll",
                                                                                  "_set_invalid_parameter_handler"))
    set(OnInvalidParameter);
  using GetPolicy = BOOL(WINAPI*)(LPDWORD);
  using SetPolicy = BOOL(WINAPI*)(DWORD);
  auto getPolicy = vek::GetProc<GetPolicy>(L"kernel32.dll", "GetProcessUserModeExceptionPolicy");
  auto setPolicy = vek::GetProc<SetPolicy>(L"kernel32.dll", "SetProcessUserModeExceptionPolicy");
  DWORD flags = 0;
  if (getPolicy && setPolicy && getPolicy(&flags)) setPolicy(flags & ~kCallbackFilterEnabled);
  return static_cast<bool>(g_state->Reporter);
}

}  // namespace app

#include "app/crash_win.h"

#include "vek/win32.h"

#include <tlhelp32.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <memory>
#include <vector>

#include "app/crash_report.h"
#include "app/crash_walk.h"
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
constexpr DWORD kShowLimitMs = 30000;       // no window by then: the process ends
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

// The shared block's name: the reporter's own process identifier, so that a
// process finds only a block made for it.
constexpr wchar_t kBlockNameFormat[] = L"Local\\QuorvaneCrashReporter.%lu";
constexpr DWORD kBlockMagic = 0x51564352;  // "QVCR"

// What the faulting thread hands to whoever reports: written once, after
// winning the claim, and read only after the wake. In the program's own memory
// for the in-process reporting, else in a mapping shared with the reporter,
// where the program also leaves what the reporter needs: the handles it
// duplicated into the reporter (values valid there) and the test options.
struct alignas(16) CrashBlock {
  CONTEXT Context;
  EXCEPTION_RECORD Record;
  DWORD ThreadId;
  DWORD Magic;
  DWORD ProgramId;
  uint64_t Program, Wake, Shown, Close;  // the reporter's handles of the program and the three events
  DWORD FaultWhileReporting;
  wchar_t ReportFile[MAX_PATH];
};

[[noreturn]] void EndProcess(DWORD code) {
  TerminateProcess(GetCurrentProcess(), code);
  for (;;) Sleep(INFINITE);  // TerminateProcess of the own process does not return
}

// A fault on purpose, through a volatile pointer so that the store stays.
volatile uintptr_t g_unmapped = 0x10;
void FaultNow() { *reinterpret_cast<volatile int*>(g_unmapped) = 1; }

// ---- Gathering, by whoever reports, from the crashed process's outside.

// The crashed process's memory through ReadProcessMemory, which answers a
// no-access or guard page, an unmapped address or a module just unloaded with
// a failure instead of a fault, also when the crashed process is this one.
class ProcessMemory final : public MemoryReader {
 public:
  explicit ProcessMemory(HANDLE process) : process_(process) {}
  bool Read(uint64_t address, void* out, size_t size) override {
    SIZE_T got = 0;
    return address <= UINTPTR_MAX - size &&
           ReadProcessMemory(process_, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), out, size,
                             &got) &&
           got == size;
  }

 private:
  HANDLE process_;
};

// The crashed process as the gathering sees it.
struct Target {
  HANDLE Process = nullptr;
  DWORD Pid = 0;
  // Threads of the reporting itself, left out of the report (in-process only).
  DWORD Skip[2] = {};
};

// The fixed file version of a module's file.
Text FileVersion(const Text& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(vek::W(path), &ignored);
  if (!size) return {};
  std::vector<BYTE> data(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(vek::W(path), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
      length < sizeof *info || info->dwSignature != 0xFEEF04BD)
    return {};
  wchar_t text[48];
  swprintf(text, 48, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
           HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
  return vek::U(text);
}

core::FolderVarList FolderTable() {
  if (!core::FolderVars.empty()) return core::FolderVars;
  // The reporter, or a fault before the entry wired the shell: ask it directly.
  return core::BuildFolderVars(
      [](int csidl) {
        Text path = core::WindowsShell().SpecialFolderPath(csidl);
        if (!path.empty() && path.back() == u'\\') path.pop_back();
        return path;
      },
      vek::DetectNativeX64());
}

struct Folding {
  core::FolderVarList Vars = FolderTable();
  core::UserFolders Users = core::ReadUserFolders();
  Text Fold(const Text& path) const { return core::FoldPrivatePath(Users, Vars, path); }
};

std::vector<CrashModule> GatherModules(const Target& target, const Folding& folding, MemoryReader& memory,
                                       std::vector<CodeModule>& code) {
  std::vector<CrashModule> modules;
  vek::unique_snapshot snapshot;
  // ToolHelp asks to be tried again while a module is being loaded.
  for (int attempt = 0; attempt < 5; ++attempt) {
    snapshot.reset(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, target.Pid));
    if (snapshot || GetLastError() != ERROR_BAD_LENGTH) break;
  }
  if (!snapshot) return modules;
  MODULEENTRY32W entry{sizeof entry};
  for (BOOL more = Module32FirstW(snapshot.get(), &entry); more; more = Module32NextW(snapshot.get(), &entry)) {
    CrashModule m;
    const Text path = vek::U(entry.szExePath);
    m.Name = vek::U(entry.szModule);
    m.Path = folding.Fold(path);
    m.Base = reinterpret_cast<uintptr_t>(entry.modBaseAddr);
    m.Size = entry.modBaseSize;
    const ImageFacts facts = ReadImageFacts(memory, m.Base);
    m.Timestamp = facts.Timestamp;
    m.Version = FileVersion(path);
    code.push_back({m.Base, m.Base + m.Size, facts.FunctionsRva, facts.FunctionsSize});
    modules.push_back(std::move(m));
  }
  return modules;
}

std::vector<CrashProcess> GatherProcesses(const Folding& folding) {
  std::vector<CrashProcess> processes;
  vek::ProcessSystem& system = vek::WindowsProcesses();
  for (const vek::ProcessEntry& e : system.Snapshot())
    processes.push_back({e.ProcessID, e.ExeFile, folding.Fold(system.ImagePath(e.ProcessID))});
  return processes;
}

size_t WalkContext(const CONTEXT& c, const std::vector<CodeModule>& code, MemoryReader& memory, uint64_t* frames,
                   size_t max) {
#ifdef _WIN64
  X64Registers r;
  const DWORD64 registers[16] = {c.Rax, c.Rcx, c.Rdx, c.Rbx, c.Rsp, c.Rbp, c.Rsi, c.Rdi,
                                 c.R8,  c.R9,  c.R10, c.R11, c.R12, c.R13, c.R14, c.R15};
  std::memcpy(r.Gpr, registers, sizeof registers);
  r.Rip = c.Rip;
  return WalkX64(r, code.data(), code.size(), memory, frames, max);
#else
  return WalkFramePointers(c.Eip, c.Ebp, code.data(), code.size(), memory, frames, max);
#endif
}

std::vector<CrashThread> GatherThreads(const Target& target, const CrashBlock& fault, const std::vector<CodeModule>& code,
                                       MemoryReader& memory) {
  std::vector<CrashThread> threads;
  std::vector<uint64_t> buffer(kCrashMaxFrames);
  CrashThread crashed{fault.ThreadId, true, {}};
  crashed.Frames.assign(buffer.begin(), buffer.begin() + WalkContext(fault.Context, code, memory, buffer.data(), buffer.size()));
  threads.push_back(std::move(crashed));

  std::vector<DWORD> ids;
  vek::unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return threads;
  THREADENTRY32 entry{sizeof entry};
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == target.Pid && entry.th32ThreadID != fault.ThreadId &&
        entry.th32ThreadID != target.Skip[0] && entry.th32ThreadID != target.Skip[1])
      ids.push_back(entry.th32ThreadID);

  for (DWORD id : ids) {
    if (threads.size() >= kCrashMaxThreads) break;
    vek::unique_handle thread(OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id));
    if (!thread) continue;
    CrashThread t{id, false, {}};
    // Nothing is allocated between suspending and resuming: in-process the
    // thread may hold the heap's lock.
    if (SuspendThread(thread.get()) != DWORD(-1)) {
      alignas(16) CONTEXT context{};
      context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
      const size_t count =
          GetThreadContext(thread.get(), &context) ? WalkContext(context, code, memory, buffer.data(), buffer.size()) : 0;
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

Text FileNameOf(const Text& path) {
  const size_t slash = path.find_last_of(u"\\/");
  return slash == Text::npos ? path : path.substr(slash + 1);
}

CrashReport GatherReport(const Target& target, const CrashBlock& fault) {
  CrashReport report;
  const Folding folding;
  ProcessMemory memory(target.Process);
  std::vector<CodeModule> code;
  report.Modules = GatherModules(target, folding, memory, code);
  const Text image = FileNameOf(vek::WindowsProcesses().ImagePath(target.Pid));
  for (const CrashModule& m : report.Modules)
    if (report.Program.empty() && vek::SameText(m.Name, image)) report.Program = m.Name;
  if (report.Program.empty() && !report.Modules.empty()) report.Program = report.Modules.front().Name;
  // The reporter is the program's own executable: the same version.
  report.Version = vek::GetAppVersion(u"%d.%d.%d.%d");
  report.UnionKey = vek::GetUnionKey();
  report.Windows = WindowsVersion();
#ifdef _WIN64
  report.Arch = u"x86_64";
#else
  report.Arch = u"i686";
#endif
  const EXCEPTION_RECORD& record = fault.Record;
  report.Code = record.ExceptionCode;
  report.Address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
  report.ThreadId = fault.ThreadId;
  for (DWORD i = 0; i < record.NumberParameters && i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
    report.Info.push_back(record.ExceptionInformation[i]);
  report.Processes = GatherProcesses(folding);
  report.Threads = GatherThreads(target, fault, code, memory);
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

// ---- The window.

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

// One reporting of one fault: the window on the thread that runs it and a
// sender thread, both prepared before the fault, so that the fault itself
// needs no new thread (which would wait for the loader's lock) and no template
// built on a broken heap. Lives until the process ends.
struct Session {
  const CrashBlock* Fault = nullptr;
  Target Crashed;
  HANDLE Shown = nullptr;  // set once the window shows
  // Set when the window closes, for a crashed process that ends itself;
  // null when it is this process.
  HANDLE Close = nullptr;
  Text ReportFile;
  bool FaultWhileReporting = false;
  DialogTemplate Dialog;
  vek::unique_handle SenderGo, Sender;
  DWORD SenderId = 0;
  HWND Window = nullptr;
};
Session* g_session = nullptr;  // the one that runs, for the window's procedure

[[noreturn]] void CloseNow() {
  const Session& s = *g_session;
  const DWORD code = s.Fault->Record.ExceptionCode;
  // The crashed process ends itself with the code (under Wine a process ended
  // from outside leaves its Unix process's status at 0); one that does not
  // within a few seconds is ended from here.
  if (s.Close && SetEvent(s.Close) && WaitForSingleObject(s.Crashed.Process, 5000) == WAIT_OBJECT_0) EndProcess(code);
  TerminateProcess(s.Crashed.Process, code);
  EndProcess(code);
}

DWORD WINAPI SenderMain(void* param) {
  vek::GuaranteeFaultStack();
  Session& s = *static_cast<Session*>(param);
  WaitForSingleObject(s.SenderGo.get(), INFINITE);
  bool sent = false;
  try {
    // The machine key's WMI query needs COM on this thread.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const CrashReport report = GatherReport(s.Crashed, *s.Fault);
    if (s.FaultWhileReporting) FaultNow();
    const Text json = CrashReportJson(report);
    if (!s.ReportFile.empty()) WriteReportFile(s.ReportFile, json);
    sent = SendReport(json, report.UnionKey);
  } catch (...) {
    // Out of memory: the window says the report did not go.
  }
  PostMessageW(s.Window, kSentMessage, sent ? 1 : 0, 0);
  return 0;
}

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

// The template and the sender thread; false when the thread could not be made.
bool Prepare(Session& s) {
  const Text title = vek::U(kTitle) + u" v " + vek::GetAppVersion(u"%d.%d");
  s.Dialog.Header(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                  WS_EX_TOPMOST, 3, 250, 74, vek::W(title));
  s.Dialog.Item(SS_ICON, 10, 10, 20, 20, kIconId, kStaticAtom, L"");
  s.Dialog.Item(SS_LEFT, 40, 10, 200, 34, kTextId, kStaticAtom, kSendingText);
  s.Dialog.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 190, 52, 50, 14, IDCANCEL, kButtonAtom, kCloseCaption);
  s.SenderGo.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (s.SenderGo) s.Sender.reset(CreateThread(nullptr, 0, SenderMain, &s, 0, &s.SenderId));
  return static_cast<bool>(s.Sender);
}

// Shows the window and starts the sender; the button ends the crashed
// process (and this one).
[[noreturn]] void Report(Session& s) {
  g_session = &s;
  s.Window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), s.Dialog.Get(), nullptr, CrashDialogProc, 0);
  if (s.Window) SetEvent(s.Shown);
  SetEvent(s.SenderGo.get());
  if (!s.Window) {
    // No window to close: the report still goes, then the process ends.
    WaitForSingleObject(s.Sender.get(), 2 * kSendLimitMs);
    CloseNow();
  }
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(s.Window, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  CloseNow();
}

// ---- The program's side.

// Lives until the process ends: the prepared threads wait for the whole run,
// so the state is never destroyed (static destructors would close the handles
// under them when the program returns from its entry).
struct CrashState {
  volatile LONG Claimed = 0;
  CrashHandlerOptions Options;
  // The in-process reporting.
  CrashBlock Local{};
  Session Fallback;
  vek::unique_handle LocalWake, LocalShown, FallbackThread;
  DWORD FallbackId = 0;
  // The reporter, once started; Shared is published last.
  vek::unique_handle Reporter, RemoteWake, RemoteShown, RemoteClose, Section, Job;
  vek::unique_mapview View;
  DWORD ReporterId = 0;
  CrashBlock* volatile Shared = nullptr;
};
CrashState* g_state = nullptr;

// Runs on the faulting thread, which may have a broken heap or hold any lock
// (the heap's, the loader's): no allocation, no lock, no window, no new
// thread here; only copies, events and waits.
[[noreturn]] void HandleFault(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  CrashState* s = g_state;
  const DWORD self = GetCurrentThreadId();
  if (!s) EndProcess(record.ExceptionCode);
  if (self == s->FallbackId || self == s->Fallback.SenderId) {
    // A fault while reporting: the first fault's code, and no second report.
    EndProcess(s->Claimed ? s->Local.Record.ExceptionCode : record.ExceptionCode);
  }
  if (InterlockedCompareExchange(&s->Claimed, 1, 0) != 0) {
    // Another thread faulted first; its report covers this thread's stack too.
    for (;;) Sleep(INFINITE);
  }
  CrashBlock* shared = s->Shared;
  const bool remote = shared && WaitForSingleObject(s->Reporter.get(), 0) == WAIT_TIMEOUT;
  // Both blocks get the fault: the local one names the code of a later fault
  // on the reporting threads.
  for (CrashBlock* block : {&s->Local, remote ? shared : &s->Local}) {
    std::memcpy(&block->Record, &record, sizeof record);
    std::memcpy(&block->Context, &context, sizeof context);
    block->Record.ExceptionRecord = nullptr;  // a chained record may live on a stack that moves on
    block->ThreadId = self;
  }
  bool local = !remote;
  if (remote) {
    SetEvent(s->RemoteWake.get());
    // The process ends once the reporter's window is closed, or when the
    // reporter shows no window in time. A reporter that ended before its
    // window showed never took the fault up: the process reports it itself.
    const HANDLE waits[] = {s->RemoteShown.get(), s->Reporter.get()};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kShowLimitMs);
    if (woken == WAIT_OBJECT_0) {
      const HANDLE closing[] = {s->RemoteClose.get(), s->Reporter.get()};
      WaitForMultipleObjects(2, closing, FALSE, INFINITE);
    }
    local = woken == WAIT_OBJECT_0 + 1 && WaitForSingleObject(s->RemoteShown.get(), 0) == WAIT_TIMEOUT;
  }
  if (local && s->FallbackThread) {
    SetEvent(s->LocalWake.get());
    if (WaitForSingleObject(s->LocalShown.get(), kShowLimitMs) == WAIT_OBJECT_0)
      WaitForSingleObject(s->FallbackThread.get(), INFINITE);
  }
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

DWORD WINAPI FallbackMain(void* param) {
  vek::GuaranteeFaultStack();
  auto& s = *static_cast<CrashState*>(param);
  WaitForSingleObject(s.LocalWake.get(), INFINITE);
  Report(s.Fallback);
}

uint32_t RunningReporterId() {
  const CrashState* s = g_state;
  return s && s->Shared && WaitForSingleObject(s->Reporter.get(), 0) == WAIT_TIMEOUT ? s->ReporterId : 0;
}

// ---- The reporter's side.

DWORD ParentProcessId() {
  struct BasicInformation {
    LONG_PTR ExitStatus;
    void* Peb;
    ULONG_PTR AffinityMask;
    LONG_PTR BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
  } info{};
  using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  auto query = vek::GetProc<QueryFn>(L"ntdll.dll", "NtQueryInformationProcess");
  if (!query || query(GetCurrentProcess(), 0 /* ProcessBasicInformation */, &info, sizeof info, nullptr) != 0) return 0;
  return DWORD(info.InheritedFromUniqueProcessId);
}

bool SameImage(HANDLE a, HANDLE b) {
  wchar_t first[MAX_PATH], second[MAX_PATH];
  DWORD n1 = MAX_PATH, n2 = MAX_PATH;
  return QueryFullProcessImageNameW(a, 0, first, &n1) && QueryFullProcessImageNameW(b, 0, second, &n2) &&
         CompareStringOrdinal(first, int(n1), second, int(n2), TRUE) == CSTR_EQUAL;
}

// The reporter's own fault ends the reporter, and with it, its wait over, the
// program it serves, with that program's fault's code: no second report.
LONG WINAPI OnReporterFault(EXCEPTION_POINTERS* pointers) { EndProcess(pointers->ExceptionRecord->ExceptionCode); }

[[noreturn]] void RunReporter(CrashBlock& block) {
  vek::GuaranteeFaultStack();
  SetUnhandledExceptionFilter(OnReporterFault);
  const HANDLE program = reinterpret_cast<HANDLE>(block.Program);
  static Session session;  // never destroyed, like the program's
  session.Fault = &block;
  session.Crashed.Process = program;
  session.Crashed.Pid = block.ProgramId;
  session.Shown = reinterpret_cast<HANDLE>(block.Shown);
  session.Close = reinterpret_cast<HANDLE>(block.Close);
  session.FaultWhileReporting = block.FaultWhileReporting != 0;
  block.ReportFile[MAX_PATH - 1] = 0;
  session.ReportFile = vek::U(block.ReportFile);
  if (!Prepare(session)) EndProcess(0);
  const HANDLE waits[] = {reinterpret_cast<HANDLE>(block.Wake), program};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) EndProcess(0);  // the program ended
  Report(session);
}

// This process's block, when its parent made one for it and it holds what
// only the parent can have put there: a handle, valid in this process, of the
// parent itself, which runs this same executable. Null otherwise.
CrashBlock* ReporterBlock(vek::unique_handle& section, vek::unique_mapview& view) {
  wchar_t name[64];
  swprintf(name, 64, kBlockNameFormat, GetCurrentProcessId());
  section.reset(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name));
  if (!section) return nullptr;
  view.reset(MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(CrashBlock)));
  auto* block = static_cast<CrashBlock*>(view.get());
  if (!block || block->Magic != kBlockMagic) return nullptr;
  const DWORD parent = ParentProcessId();
  const HANDLE program = reinterpret_cast<HANDLE>(block->Program);
  if (!parent || block->ProgramId != parent || GetProcessId(program) != parent ||
      !SameImage(program, GetCurrentProcess()))
    return nullptr;
  return block;
}

HANDLE DuplicateInto(HANDLE process, HANDLE handle) {
  HANDLE copy = nullptr;
  return DuplicateHandle(GetCurrentProcess(), handle, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) ? copy : nullptr;
}

}  // namespace

bool InstallCrashHandler(const CrashHandlerOptions& options) {
  if (g_state) return static_cast<bool>(g_state->FallbackThread);
  {
    vek::unique_handle section;
    vek::unique_mapview view;
    if (CrashBlock* block = ReporterBlock(section, view)) {
      section.release();  // held, like the view, until the process ends
      view.release();
      RunReporter(*block);
    }
  }
  vek::GuaranteeFaultStack();
  auto state = std::make_unique<CrashState>();
  state->Options = options;
  Session& fallback = state->Fallback;
  fallback.Fault = &state->Local;
  fallback.Crashed.Process = GetCurrentProcess();
  fallback.Crashed.Pid = GetCurrentProcessId();
  fallback.ReportFile = options.ReportFile;
  fallback.FaultWhileReporting = options.FaultWhileReporting;
  state->LocalWake.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  state->LocalShown.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  fallback.Shown = state->LocalShown.get();
  if (state->LocalWake && state->LocalShown && Prepare(fallback)) {
    state->FallbackThread.reset(CreateThread(nullptr, 0, FallbackMain, state.get(), 0, &state->FallbackId));
    fallback.Crashed.Skip[0] = state->FallbackId;
    fallback.Crashed.Skip[1] = fallback.SenderId;
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
  return static_cast<bool>(g_state->FallbackThread);
}

bool StartCrashReporter() {
  CrashState* s = g_state;
  if (!s || s->Reporter) return false;
  std::vector<wchar_t> path(32768);
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
  if (!length || length >= path.size()) return false;
  // A command line of the executable alone: the reporter learns its role
  // from its block, never from its arguments.
  std::wstring command = L"\"" + std::wstring(path.data(), length) + L"\"";
  STARTUPINFOW startup{sizeof startup};
  startup.dwFlags = STARTF_FORCEOFFFEEDBACK;  // no busy cursor for a process that shows nothing
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(path.data(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                      &startup, &created))
    return false;
  vek::unique_handle process(created.hProcess), thread(created.hThread);
  auto fail = [&] {
    TerminateProcess(process.get(), 0);
    return false;
  };

  // The reporter ends with the program however the program ends: closing the
  // job's last handle ends what it holds. (Windows 7 refuses a second job for a
  // process that already is in one; the reporter's own wait covers that.)
  vek::unique_handle job(CreateJobObjectW(nullptr, nullptr));
  if (job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job.get(), process.get()))
      job.reset();
  }

  wchar_t name[64];
  swprintf(name, 64, kBlockNameFormat, created.dwProcessId);
  vek::unique_handle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(CrashBlock), name));
  // A block that exists already was made by someone else: nothing of it is used.
  if (!section || GetLastError() == ERROR_ALREADY_EXISTS) return fail();
  vek::unique_mapview view(MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(CrashBlock)));
  vek::unique_handle self(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ |
                                          PROCESS_TERMINATE | SYNCHRONIZE,
                                      FALSE, GetCurrentProcessId()));
  vek::unique_handle wake(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  vek::unique_handle shown(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  vek::unique_handle close(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!view || !self || !wake || !shown || !close) return fail();
  auto* block = static_cast<CrashBlock*>(view.get());  // the mapping starts zeroed
  const HANDLE remoteProgram = DuplicateInto(process.get(), self.get());
  const HANDLE remoteWake = DuplicateInto(process.get(), wake.get());
  const HANDLE remoteShown = DuplicateInto(process.get(), shown.get());
  const HANDLE remoteClose = DuplicateInto(process.get(), close.get());
  if (!remoteProgram || !remoteWake || !remoteShown || !remoteClose) return fail();
  block->ProgramId = GetCurrentProcessId();
  block->Program = reinterpret_cast<uintptr_t>(remoteProgram);
  block->Wake = reinterpret_cast<uintptr_t>(remoteWake);
  block->Shown = reinterpret_cast<uintptr_t>(remoteShown);
  block->Close = reinterpret_cast<uintptr_t>(remoteClose);
  block->FaultWhileReporting = s->Options.FaultWhileReporting ? 1 : 0;
  const size_t fileLength = std::min<size_t>(s->Options.ReportFile.size(), MAX_PATH - 1);
  std::memcpy(block->ReportFile, s->Options.ReportFile.data(), fileLength * sizeof(wchar_t));
  block->Magic = kBlockMagic;
  if (ResumeThread(thread.get()) == DWORD(-1)) return fail();

  s->Reporter = std::move(process);
  s->ReporterId = created.dwProcessId;
  s->RemoteWake = std::move(wake);
  s->RemoteShown = std::move(shown);
  s->RemoteClose = std::move(close);
  s->Section = std::move(section);
  s->Job = std::move(job);
  s->View = std::move(view);
  MemoryBarrier();
  s->Shared = block;  // from here on a fault goes to the reporter
  core::SetCrashReporterSource(RunningReporterId);
  return true;
}

}  // namespace app

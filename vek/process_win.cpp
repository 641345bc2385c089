// The system's process list, OpenProcess, user32 and the shell behind the
// process inventory.
#include <algorithm>

#include "vek/handles_win.h"
#include "vek/process.h"
#include "vek/shell_start_win.h"

#include <winternl.h>

namespace vek {
namespace {

using QueryFullProcessImageNameWFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
using GetModuleFileNameExWFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using GlobalMemoryStatusExFn = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
using CompareStringOrdinalFn = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The executable name as ToolHelp gives it: at most 259 units, up to a NUL.
constexpr size_t kExeNameCapacity = MAX_PATH - 1;

// One snapshot through the call ToolHelp itself is built on, because only it
// also gives each process's creation time, which tells a process apart from a
// later one under the same identifier. Empty when it cannot be taken.
std::vector<ProcessEntry> NtSnapshot() {
  constexpr ULONG kSystemProcessInformation = 5;
  constexpr LONG kInfoLengthMismatch = LONG(0xC0000004);
  static const auto query = GetProc<NtQuerySystemInformationFn>(L"ntdll.dll", "NtQuerySystemInformation");
  std::vector<ProcessEntry> entries;
  if (!query) return entries;
  // Processes and threads may start between the sizing call and the next one.
  std::vector<uint64_t> buffer;
  ULONG size = 512 * 1024, written = 0;
  LONG status = kInfoLengthMismatch;
  for (int attempt = 0; attempt < 8 && status == kInfoLengthMismatch; ++attempt) {
    buffer.assign(size / sizeof(uint64_t) + 1, 0);
    written = 0;
    status = query(kSystemProcessInformation, buffer.data(), ULONG(buffer.size() * sizeof(uint64_t)), &written);
    size = std::max<ULONG>(size * 2, written + 64 * 1024);
  }
  if (status < 0) return entries;
  const auto* base = reinterpret_cast<const BYTE*>(buffer.data());
  const size_t end = std::min<size_t>(written, buffer.size() * sizeof(uint64_t));
  for (size_t at = 0; at + sizeof(SYSTEM_PROCESS_INFORMATION) <= end;) {
    const auto* p = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(base + at);
    ProcessEntry entry;
    entry.ProcessID = DWORD(reinterpret_cast<ULONG_PTR>(p->UniqueProcessId));
    entry.CreationTime = uint64_t(p->CreateTime.QuadPart);
    const auto* name = reinterpret_cast<const char16_t*>(p->ImageName.Buffer);
    const size_t length = name ? p->ImageName.Length / sizeof(wchar_t) : 0;
    entry.ExeFile = Text(name, length).substr(0, kExeNameCapacity);
    entry.ExeFile = entry.ExeFile.substr(0, entry.ExeFile.find(u'\0'));
    if (entry.ProcessID == 0 && entry.ExeFile.empty()) entry.ExeFile = u"[System Process]";
    entries.push_back(std::move(entry));
    if (p->NextEntryOffset == 0) break;
    at += p->NextEntryOffset;
  }
  return entries;
}

bool VistaOrLater() {
  // GetVersion keeps the major version truthful enough for this test even
  // where compatibility shims lower the minor one.
  return LOBYTE(LOWORD(GetVersion())) >= 6;
}

// Windows' own path capacity: a longer image path reads as empty on purpose,
// and the process is then known by its snapshot name.
constexpr DWORD kPathCapacity = 260;

Text ImagePathVista(HANDLE process) {
  static const auto query =
      GetProc<QueryFullProcessImageNameWFn>(L"kernel32.dll", "QueryFullProcessImageNameW");
  if (!query) return {};
  wchar_t path[kPathCapacity];
  DWORD size = kPathCapacity;
  if (!query(process, 0, path, &size) || size >= kPathCapacity) return {};
  return U(path, size);
}

Text ImagePathLegacy(HANDLE process) {
  auto get = GetProc<GetModuleFileNameExWFn>(L"kernel32.dll", "GetModuleFileNameExW");
  unique_hmodule psapi;
  if (!get) {
    psapi.reset(LoadLibraryW(L"psapi.dll"));
    get = GetProc<GetModuleFileNameExWFn>(psapi.get(), "GetModuleFileNameExW");
  }
  if (!get) return {};
  wchar_t path[kPathCapacity];
  DWORD len = get(process, nullptr, path, kPathCapacity);
  if (len == 0 || len >= kPathCapacity) return {};
  return WithoutNtPrefix(TextView(reinterpret_cast<const char16_t*>(path), len));
}

Text ImagePathOf(HANDLE process) { return VistaOrLater() ? ImagePathVista(process) : ImagePathLegacy(process); }

class WinHeldProcess final : public HeldProcess {
 public:
  explicit WinHeldProcess(unique_handle process) : FProcess(std::move(process)) {}

  Text ImagePath() override { return ImagePathOf(FProcess.get()); }

  // Every hold has SYNCHRONIZE: the handle is signalled once the process has
  // ended, which an exit code cannot tell (a process may exit with 259).
  bool Ended() override { return WaitForSingleObject(FProcess.get(), 0) == WAIT_OBJECT_0; }

  TerminateResult Terminate() override {
    if (Ended()) return {TerminateOutcome::NotFound, 0};
    if (TerminateProcess(FProcess.get(), 0)) return {TerminateOutcome::Ended, 0};
    const DWORD error = GetLastError();
    // A process that ends while it is terminated answers access denied.
    return TerminateResultFromError(error ? error : ERROR_GEN_FAILURE, Ended());
  }

 private:
  unique_handle FProcess;
};

ProcessHold HoldProcess(const ProcessEntry& entry) {
  // Protected processes grant no right to end them, yet can be asked whether
  // they run; a process that grants not even that is known only by snapshots.
  // Before Vista the path needs the full query right and memory reading (for
  // the module list), the creation time the query right alone.
  const bool vista = VistaOrLater();
  const DWORD path = vista ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
  const DWORD times = vista ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
  const DWORD rights[] = {PROCESS_TERMINATE | SYNCHRONIZE | path, SYNCHRONIZE | path, SYNCHRONIZE | times};
  unique_handle process;
  DWORD error = ERROR_INVALID_PARAMETER;
  for (size_t i = 0; i < std::size(rights); ++i) {
    if (i > 0 && rights[i] == rights[i - 1]) continue;
    process.reset(OpenProcess(rights[i], FALSE, entry.ProcessID));
    if (process) break;
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) break;  // no such process: fewer rights will not find it
  }
  if (!process) return {nullptr, TerminateResultFromError(error)};
  FILETIME created{}, exited, kernel, user;
  if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
    const DWORD timesError = GetLastError();
    return {nullptr, TerminateResultFromError(timesError ? timesError : ERROR_GEN_FAILURE)};
  }
  // The snapshot's process may have ended since and its identifier passed to a
  // new one, which this handle would hold now.
  if (!IsSnapshotProcess(entry, (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime))
    return {nullptr, {TerminateOutcome::NotFound, 0}};
  return {std::make_unique<WinHeldProcess>(std::move(process)), {}};
}

class WinProcesses final : public ProcessSystem {
 public:
  std::vector<ProcessEntry> Snapshot() override { return NtSnapshot(); }

  ProcessHold Hold(const ProcessEntry& entry) override { return HoldProcess(entry); }

  Text ImagePath(uint32_t processId) override {
    const DWORD rights = VistaOrLater() ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    unique_handle process(OpenProcess(rights, FALSE, processId));
    return process ? ImagePathOf(process.get()) : Text();
  }

  std::vector<TopWindow> TopWindows() override {
    std::vector<TopWindow> windows;
    // Windows may be created and destroyed during the walk; a window that moves
    // behind the cursor could make the walk revisit windows, so it is capped.
    constexpr size_t kMaxWindows = 65536;
    for (HWND w = FindWindowW(nullptr, nullptr); w && windows.size() < kMaxWindows; w = GetWindow(w, GW_HWNDNEXT)) {
      DWORD pid = 0;
      GetWindowThreadProcessId(w, &pid);
      windows.push_back({reinterpret_cast<uintptr_t>(w), reinterpret_cast<uintptr_t>(GetParent(w)), pid});
    }
    return windows;
  }

  bool SamePath(TextView a, TextView b) override {
    // The file system's own rule: ordinal, one unit against one, with Windows'
    // upper-case table. Before Vista only ASCII letters fold.
    static const auto compare = GetProc<CompareStringOrdinalFn>(L"kernel32.dll", "CompareStringOrdinal");
    if (a.size() != b.size()) return false;
    if (a.empty() || !compare) return ProcessSystem::SamePath(a, b);
    return compare(reinterpret_cast<const wchar_t*>(a.data()), int(a.size()), reinterpret_cast<const wchar_t*>(b.data()),
                   int(b.size()), TRUE) == CSTR_EQUAL;
  }

  MemoryFigures Memory() override {
    MemoryFigures figures;
    static const auto statusEx = GetProc<GlobalMemoryStatusExFn>(L"Kernel32.dll", "GlobalMemoryStatusEx");
    if (statusEx) {
      MEMORYSTATUSEX ex{};
      ex.dwLength = sizeof(ex);
      if (statusEx(&ex)) {
        figures.Total = int64_t(ex.ullTotalPhys);
        figures.Avail = int64_t(ex.ullAvailPhys);
      }
    }
    if (figures.Total <= 0 || figures.Avail <= 0) {
      MEMORYSTATUS legacy{};
      legacy.dwLength = sizeof(legacy);
      GlobalMemoryStatus(&legacy);
      if (figures.Total <= 0) figures.Total = int64_t(uint64_t(legacy.dwTotalPhys));
      if (figures.Avail <= 0) figures.Avail = int64_t(uint64_t(legacy.dwAvailPhys));
    }
    return figures;
  }

  void ShellOpen(const Text& fileName, const Text& params, int32_t showCmd, ShellRights rights) override {
    const ShellStartRequest request{.Verb = u"Open", .File = fileName, .Params = params, .ShowCmd = showCmd};
    if (rights == ShellRights::User)
      ShellStartUnelevated(request);
    else
      ShellStartAsProgram(request);
  }
};

}  // namespace

ProcessSystem& WindowsProcesses() {
  static WinProcesses system;
  return system;
}

}  // namespace vek

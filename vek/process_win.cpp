// ToolHelp, OpenProcess, user32 and the shell behind the process inventory.
#include <cwchar>

#include "vek/handles_win.h"
#include "vek/process.h"
#include "vek/shell_start_win.h"

#include <tlhelp32.h>

namespace vek {
namespace {

// The shipping 32-bit build walks the snapshot with the 556-byte entry that the
// ToolHelp API of every Windows version accepts.
#ifndef _WIN64
static_assert(sizeof(PROCESSENTRY32W) == 556);
#endif

using QueryFullProcessImageNameWFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
using GetModuleFileNameExWFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using GlobalMemoryStatusExFn = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
using CompareStringOrdinalFn = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);

// Walks a fresh snapshot, calling visit(entry) until it returns false.
template <typename Visit>
void WalkSnapshot(Visit visit) {
  unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
    if (!visit(entry)) return;
}

Text ExeName(const PROCESSENTRY32W& entry) {
  return U(entry.szExeFile, wcsnlen(entry.szExeFile, sizeof(entry.szExeFile) / sizeof(wchar_t)));
}

// Windows' own path capacity: a longer image path reads as empty on purpose,
// and the process is then known by its snapshot name.
constexpr DWORD kPathCapacity = 260;

Text ImagePathVista(DWORD pid) {
  unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return {};
  static const auto query =
      GetProc<QueryFullProcessImageNameWFn>(L"kernel32.dll", "QueryFullProcessImageNameW");
  if (!query) return {};
  wchar_t path[kPathCapacity];
  DWORD size = kPathCapacity;
  if (!query(process.get(), 0, path, &size) || size >= kPathCapacity) return {};
  return U(path, size);
}

Text ImagePathLegacy(DWORD pid) {
  unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return {};
  auto get = GetProc<GetModuleFileNameExWFn>(L"kernel32.dll", "GetModuleFileNameExW");
  unique_hmodule psapi;
  if (!get) {
    psapi.reset(LoadLibraryW(L"psapi.dll"));
    get = GetProc<GetModuleFileNameExWFn>(psapi.get(), "GetModuleFileNameExW");
  }
  if (!get) return {};
  wchar_t path[kPathCapacity];
  DWORD len = get(process.get(), nullptr, path, kPathCapacity);
  if (len == 0 || len >= kPathCapacity) return {};
  return WithoutNtPrefix(TextView(reinterpret_cast<const char16_t*>(path), len));
}

class WinProcesses final : public ProcessSystem {
 public:
  std::vector<ProcessEntry> Snapshot() override {
    std::vector<ProcessEntry> entries;
    WalkSnapshot([&](const PROCESSENTRY32W& e) {
      entries.push_back({e.th32ProcessID, ExeName(e)});
      return true;
    });
    return entries;
  }

  bool SnapshotHas(uint32_t processId) override {
    bool found = false;
    WalkSnapshot([&](const PROCESSENTRY32W& e) {
      found = e.th32ProcessID == processId;
      return !found;
    });
    return found;
  }

  Text ImagePath(uint32_t processId) override {
    // GetVersion keeps the major version truthful enough for this test even
    // where compatibility shims lower the minor one.
    const DWORD major = LOBYTE(LOWORD(GetVersion()));
    return major >= 6 ? ImagePathVista(processId) : ImagePathLegacy(processId);
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

  TerminateResult Terminate(uint32_t processId) override {
    unique_handle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (!process) return TerminateResultFromError(GetLastError());
    // TerminateProcess also answers access denied for a process that is already
    // ending; the liveness checks tell that one apart by its State.
    if (!TerminateProcess(process.get(), 0)) {
      const DWORD error = GetLastError();
      return TerminateResultFromError(error ? error : ERROR_GEN_FAILURE);
    }
    return {TerminateOutcome::Ended, 0};
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

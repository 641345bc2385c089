// qvdriver: drives and inspects the Quorvane main window from another process,
// by window messages only, for the end-to-end tests and the start-up measurement.
//
//   qvdriver [--class NAME] [--exe FILE] COMMAND [ARGS...]
//
// Results go to stdout as UTF-8, one item per line; diagnostics to stderr.
// Exit codes: 0 success, 1 not found / timed out / refused, 2 usage.
//
// The program names its controls with the window property "QvName", whose value
// is a global atom holding the design name. A control is addressed by that name,
// by a path of names ("FrmClean/BtnClean": each earlier name is some ancestor,
// outermost first), by its caption, or as #<hwnd>.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#undef WINVER
#define WINVER 0x0A00
#define PSAPI_VERSION 2
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Handles

struct HandleCloser {
  void operator()(HANDLE h) const {
    DWORD saved = GetLastError();
    CloseHandle(h);
    SetLastError(saved);
  }
};
using unique_handle = std::unique_ptr<void, HandleCloser>;  // null is invalid

struct SnapshotCloser {
  void operator()(HANDLE h) const {
    DWORD saved = GetLastError();
    CloseHandle(h);
    SetLastError(saved);
  }
};
// INVALID_HANDLE_VALUE is the invalid value of a ToolHelp snapshot.
class unique_snapshot {
 public:
  explicit unique_snapshot(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  bool valid() const { return h_ != nullptr; }
  HANDLE get() const { return h_.get(); }

 private:
  std::unique_ptr<void, SnapshotCloser> h_;
};

// Memory committed in another process, released with it.
class RemoteMemory {
 public:
  RemoteMemory(HANDLE process, size_t size) : process_(process), size_(size) {
    base_ = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  }
  ~RemoteMemory() {
    if (base_) {
      DWORD saved = GetLastError();
      VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
      SetLastError(saved);
    }
  }
  RemoteMemory(const RemoteMemory&) = delete;
  RemoteMemory& operator=(const RemoteMemory&) = delete;

  bool valid() const { return base_ != nullptr; }
  uint64_t address(size_t offset = 0) const {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(base_)) + offset;
  }
  LPARAM lparam(size_t offset = 0) const { return static_cast<LPARAM>(address(offset)); }
  bool write(size_t offset, const void* data, size_t n) {
    SIZE_T done = 0;
    return offset + n <= size_ &&
           WriteProcessMemory(process_, static_cast<char*>(base_) + offset, data, n, &done) &&
           done == n;
  }
  bool read(size_t offset, void* data, size_t n) const {
    SIZE_T done = 0;
    return offset + n <= size_ &&
           ReadProcessMemory(process_, static_cast<char*>(base_) + offset, data, n, &done) &&
           done == n;
  }

 private:
  HANDLE process_;
  size_t size_;
  void* base_ = nullptr;
};

// ---------------------------------------------------------------------------
// Output

std::string Utf8(const std::wstring& s) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void WriteTo(DWORD which, const std::wstring& s) {
  std::string bytes = Utf8(s);
  HANDLE h = GetStdHandle(which);
  DWORD done = 0;
  if (h && h != INVALID_HANDLE_VALUE && !bytes.empty()) WriteFile(h, bytes.data(), DWORD(bytes.size()), &done, nullptr);
}
void Out(const std::wstring& line) { WriteTo(STD_OUTPUT_HANDLE, line + L"\n"); }
void Err(const std::wstring& line) { WriteTo(STD_ERROR_HANDLE, L"qvdriver: " + line + L"\n"); }

// Line breaks of any kind become "\n"; a message box text written with bare CRs
// reads the same as one written with CR LF.
std::wstring NormaliseBreaks(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == L'\r') {
      out += L'\n';
      if (i + 1 < s.size() && s[i + 1] == L'\n') ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

// For one-line, tab-separated records.
std::wstring Field(const std::wstring& s) {
  std::wstring out;
  for (wchar_t c : s) {
    if (c == L'\t') out += L"\\t";
    else if (c == L'\r') out += L"\\r";
    else if (c == L'\n') out += L"\\n";
    else out += c;
  }
  return out;
}

std::wstring Num(long long v) { return std::to_wstring(v); }
std::wstring HwndText(HWND h) {
  wchar_t buf[32];
  swprintf(buf, 32, L"0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
  return buf;
}

// ---------------------------------------------------------------------------
// Messages to windows of another process. A hung target must not hang the driver.

constexpr UINT kSendTimeoutMs = 5000;

std::optional<LRESULT> Send(HWND h, UINT msg, WPARAM w, LPARAM l, UINT timeoutMs = kSendTimeoutMs) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG | SMTO_BLOCK, timeoutMs, &result)) return std::nullopt;
  return static_cast<LRESULT>(result);
}

std::wstring WindowText(HWND h) {
  auto len = Send(h, WM_GETTEXTLENGTH, 0, 0);
  if (!len || *len <= 0) return {};
  std::wstring buf(size_t(*len) + 1, L'\0');
  auto got = Send(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()));
  if (!got) return {};
  buf.resize(size_t(std::min<LRESULT>(*got, LRESULT(buf.size()))));
  return buf;
}

std::wstring ClassOf(HWND h) {
  wchar_t buf[256];
  int n = GetClassNameW(h, buf, 256);
  return std::wstring(buf, size_t(n > 0 ? n : 0));
}

std::wstring DesignName(HWND h) {
  auto atom = static_cast<ATOM>(reinterpret_cast<UINT_PTR>(GetPropW(h, L"QvName")));
  if (!atom) return {};
  wchar_t buf[256];
  UINT n = GlobalGetAtomNameW(atom, buf, 256);
  return std::wstring(buf, n);
}

DWORD ProcessOf(HWND h) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  return pid;
}

unsigned long long EpochMs() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return (t.QuadPart - 116444736000000000ULL) / 10000ULL;
}

// Polls cond every 20 ms until it holds or timeoutMs has passed; checks once more
// at the end so that a zero timeout still looks.
bool WaitFor(DWORD timeoutMs, const std::function<bool()>& cond) {
  ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (cond()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

bool ParseInt(const std::wstring& s, long long* v) {
  if (s.empty()) return false;
  wchar_t* end = nullptr;
  errno = 0;
  long long r = wcstoll(s.c_str(), &end, 0);
  if (errno || !end || *end) return false;
  *v = r;
  return true;
}

// ---------------------------------------------------------------------------
// The program under test

struct Target {
  std::wstring mainClass = L"TFrmQuorvane";
  std::wstring exeName = L"quorvane.exe";
};
Target g_target;

std::vector<DWORD> ProcessesByName(const std::wstring& exe) {
  std::vector<DWORD> pids;
  unique_snapshot snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snap.valid()) return pids;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof(pe);
  for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe)) {
    if (CompareStringOrdinal(pe.szExeFile, -1, exe.c_str(), -1, TRUE) == CSTR_EQUAL) pids.push_back(pe.th32ProcessID);
  }
  return pids;
}

BOOL CALLBACK CollectWindow(HWND h, LPARAM windows) {
  reinterpret_cast<std::vector<HWND>*>(windows)->push_back(h);
  return TRUE;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> all;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::vector<HWND> MainWindows() {
  std::vector<HWND> found;
  for (HWND h : TopLevelWindows())
    if (ClassOf(h) == g_target.mainClass) found.push_back(h);
  return found;
}

// The main window: the first visible one of its class, else the first at all.
HWND MainWindow() {
  auto all = MainWindows();
  for (HWND h : all)
    if (IsWindowVisible(h)) return h;
  return all.empty() ? nullptr : all.front();
}

// The program's processes: those with its executable name, and the main window's.
std::set<DWORD> TargetProcesses() {
  std::set<DWORD> pids;
  for (DWORD pid : ProcessesByName(g_target.exeName)) pids.insert(pid);
  for (HWND h : MainWindows()) pids.insert(ProcessOf(h));
  return pids;
}

std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

// Design names of h and its ancestors below main, outermost first; "-" for a
// window without a name.
std::vector<std::wstring> NamePath(HWND main, HWND h) {
  std::vector<std::wstring> path;
  for (HWND w = h; w && w != main; w = GetAncestor(w, GA_PARENT)) {
    std::wstring n = DesignName(w);
    path.insert(path.begin(), n.empty() ? L"-" : n);
  }
  return path;
}

std::wstring JoinPath(const std::vector<std::wstring>& parts, bool namedOnly) {
  std::wstring out;
  for (size_t i = 0; i < parts.size(); ++i) {
    bool last = i + 1 == parts.size();
    if (namedOnly && !last && parts[i] == L"-") continue;
    if (!out.empty()) out += L'/';
    out += parts[i];
  }
  return out;
}

std::wstring StripAmpersands(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == L'&' && i + 1 < s.size()) ++i;
    out += s[i];
  }
  return out;
}

std::vector<std::wstring> SplitPath(const std::wstring& s) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t slash = s.find(L'/', start);
    parts.push_back(s.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start));
    if (slash == std::wstring::npos) break;
    start = slash + 1;
  }
  return parts;
}

// True if the names `want` occur in `path` in order, the last one at its end.
bool PathMatches(const std::vector<std::wstring>& path, const std::vector<std::wstring>& want) {
  if (path.empty() || want.empty() || path.back() != want.back()) return false;
  size_t w = 0;
  for (size_t i = 0; i + 1 < path.size() && w + 1 < want.size(); ++i)
    if (path[i] == want[w]) ++w;
  return w + 1 == want.size();
}

struct Found {
  HWND hwnd = nullptr;
  std::wstring error;  // set when hwnd is null
};

Found FindControl(const std::wstring& wanted) {
  HWND main = MainWindow();
  if (!main) return {nullptr, L"main window of class " + g_target.mainClass + L" not found"};
  if (wanted.size() > 1 && wanted[0] == L'#') {
    long long v = 0;
    if (!ParseInt(wanted.substr(1), &v) || !IsWindow(reinterpret_cast<HWND>(static_cast<intptr_t>(v))))
      return {nullptr, L"no window " + wanted};
    return {reinterpret_cast<HWND>(static_cast<intptr_t>(v)), {}};
  }
  auto all = Descendants(main);
  std::vector<HWND> hits;
  auto want = SplitPath(wanted);
  for (HWND h : all)
    if (PathMatches(NamePath(main, h), want)) hits.push_back(h);
  if (hits.empty() && want.size() == 1) {
    for (HWND h : all)
      if (WindowText(h) == wanted) hits.push_back(h);
    if (hits.empty())
      for (HWND h : all)
        if (StripAmpersands(WindowText(h)) == wanted) hits.push_back(h);
  }
  if (hits.empty()) return {nullptr, L"no control named or captioned \"" + wanted + L"\""};
  if (hits.size() > 1) {
    std::wstring list;
    for (HWND h : hits) list += L" " + JoinPath(NamePath(main, h), true);
    return {nullptr, L"\"" + wanted + L"\" is ambiguous; use a path:" + list};
  }
  return {hits.front(), {}};
}

RECT RectInClient(HWND main, HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  MapWindowPoints(HWND_DESKTOP, main, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// ---------------------------------------------------------------------------
// List views across processes. LVITEMW holds pointers, so its layout follows the
// bitness of the process that owns the list view, not the driver's.

template <class Ptr>
struct LvItemT {
  UINT mask;
  int iItem;
  int iSubItem;
  UINT state;
  UINT stateMask;
  Ptr pszText;
  int cchTextMax;
  int iImage;
  Ptr lParam;
  int iIndent;
  int iGroupId;
  UINT cColumns;
  Ptr puColumns;
  Ptr piColFmt;
  int iGroup;
};
static_assert(sizeof(LvItemT<uintptr_t>) == sizeof(LVITEMW), "LVITEMW layout");

struct LvItemFields {
  UINT mask = 0;
  int item = 0;
  int subItem = 0;
  UINT state = 0;
  UINT stateMask = 0;
  uint64_t text = 0;
  int textMax = 0;
};

class RemoteListView {
 public:
  static constexpr size_t kTextChars = 4096;
  static constexpr size_t kTextOffset = 256;  // after the item record

  explicit RemoteListView(HWND lv) : lv_(lv) {
    DWORD pid = ProcessOf(lv);
    process_.reset(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_LIMITED_INFORMATION,
                               FALSE, pid));
    if (!process_) {
      error_ = L"cannot open the list view's process (error " + Num(GetLastError()) + L")";
      return;
    }
    target32_ = TargetIs32Bit(process_.get());
    if (sizeof(void*) == 4 && !target32_) {
      error_ = L"a 32-bit driver cannot reach a 64-bit list view; use the 64-bit driver";
      return;
    }
    mem_ = std::make_unique<RemoteMemory>(process_.get(), kTextOffset + kTextChars * sizeof(wchar_t));
    if (!mem_->valid()) error_ = L"cannot allocate memory in the list view's process";
  }

  const std::wstring& error() const { return error_; }
  bool ok() const { return error_.empty(); }

  int Count() const { return int(Send(lv_, LVM_GETITEMCOUNT, 0, 0).value_or(-1)); }

  int Columns() const {
    auto header = Send(lv_, LVM_GETHEADER, 0, 0);
    if (!header || !*header) return 1;
    auto n = Send(reinterpret_cast<HWND>(*header), HDM_GETITEMCOUNT, 0, 0);
    return n && *n > 0 ? int(*n) : 1;
  }

  // -1: no check box image; 0 unticked; 1 ticked.
  int CheckState(int row) const {
    auto s = Send(lv_, LVM_GETITEMSTATE, WPARAM(row), LVIS_STATEIMAGEMASK);
    if (!s) return -1;
    UINT image = (UINT(*s) & LVIS_STATEIMAGEMASK) >> 12;
    return image == 0 ? -1 : int(image) - 1;
  }

  bool Selected(int row) const {
    return (Send(lv_, LVM_GETITEMSTATE, WPARAM(row), LVIS_SELECTED).value_or(0) & LVIS_SELECTED) != 0;
  }

  std::optional<std::wstring> Text(int row, int sub) {
    LvItemFields f;
    f.mask = LVIF_TEXT;
    f.item = row;
    f.subItem = sub;
    f.text = mem_->address(kTextOffset);
    f.textMax = int(kTextChars);
    if (!Put(f)) return std::nullopt;
    auto len = Send(lv_, LVM_GETITEMTEXTW, WPARAM(row), mem_->lparam());
    if (!len) return std::nullopt;
    size_t n = std::min<size_t>(size_t(std::max<LRESULT>(*len, 0)), kTextChars - 1);
    std::wstring s(n, L'\0');
    if (n && !mem_->read(kTextOffset, s.data(), n * sizeof(wchar_t))) return std::nullopt;
    return s;
  }

  std::optional<int> Image(int row) {
    LvItemFields f;
    f.mask = LVIF_IMAGE;
    f.item = row;
    if (!Put(f)) return std::nullopt;
    if (!Send(lv_, LVM_GETITEMW, 0, mem_->lparam()).value_or(0)) return std::nullopt;
    int image = 0;
    size_t off = target32_ ? offsetof(LvItemT<uint32_t>, iImage) : offsetof(LvItemT<uint64_t>, iImage);
    if (!mem_->read(off, &image, sizeof(image))) return std::nullopt;
    return image;
  }

  bool SetState(int row, UINT state, UINT mask) {
    LvItemFields f;
    f.state = state;
    f.stateMask = mask;
    if (!Put(f)) return false;
    return Send(lv_, LVM_SETITEMSTATE, WPARAM(row), mem_->lparam()).value_or(0) != 0;
  }

  std::optional<RECT> ItemRect(int row, int code) {
    RECT r{code, 0, 0, 0};
    if (!mem_->write(0, &r, sizeof(r))) return std::nullopt;
    if (!Send(lv_, LVM_GETITEMRECT, WPARAM(row), mem_->lparam()).value_or(0)) return std::nullopt;
    if (!mem_->read(0, &r, sizeof(r))) return std::nullopt;
    return r;
  }

 private:
  static bool TargetIs32Bit(HANDLE process) {
    BOOL wow = FALSE;
    if (IsWow64Process(process, &wow) && wow) return true;
    if (sizeof(void*) == 8) return false;
    // A 32-bit driver: the target is 32-bit unless the system is 64-bit, which
    // it is exactly when the driver itself runs under WOW64.
    BOOL self = FALSE;
    IsWow64Process(GetCurrentProcess(), &self);
    return !self;
  }

  template <class Ptr>
  bool PutAs(const LvItemFields& f) {
    LvItemT<Ptr> it{};
    it.mask = f.mask;
    it.iItem = f.item;
    it.iSubItem = f.subItem;
    it.state = f.state;
    it.stateMask = f.stateMask;
    it.pszText = static_cast<Ptr>(f.text);
    it.cchTextMax = f.textMax;
    return mem_->write(0, &it, sizeof(it));
  }
  bool Put(const LvItemFields& f) { return target32_ ? PutAs<uint32_t>(f) : PutAs<uint64_t>(f); }

  HWND lv_;
  unique_handle process_;
  bool target32_ = false;
  std::unique_ptr<RemoteMemory> mem_;
  std::wstring error_;
};

// ---------------------------------------------------------------------------
// Message boxes: top-level dialogs of the program's processes.

std::vector<HWND> MessageBoxes() {
  auto pids = TargetProcesses();
  std::vector<HWND> boxes;
  for (HWND h : TopLevelWindows())
    if (IsWindowVisible(h) && ClassOf(h) == L"#32770" && pids.count(ProcessOf(h))) boxes.push_back(h);
  return boxes;
}

// A message box keeps its text in the static control with ID 0xFFFF.
std::wstring MessageBoxText(HWND box) {
  HWND text = GetDlgItem(box, 0xFFFF);
  return text ? WindowText(text) : std::wstring();
}

// ---------------------------------------------------------------------------
// Commands

struct Args {
  std::vector<std::wstring> v;
  size_t size() const { return v.size(); }
  const std::wstring& operator[](size_t i) const { return v[i]; }
};

constexpr int kOk = 0, kFail = 1, kUsage = 2;

int Usage(const std::wstring& why) {
  Err(why);
  Err(L"usage: qvdriver [--class NAME] [--exe FILE] COMMAND [ARGS...]; qvdriver help lists the commands");
  return kUsage;
}

bool TimeoutArg(const Args& a, size_t i, DWORD def, DWORD* out) {
  if (a.size() <= i) {
    *out = def;
    return true;
  }
  long long v = 0;
  if (!ParseInt(a[i], &v) || v < 0) return false;
  *out = DWORD(v);
  return true;
}

int NeedMain(HWND* main) {
  *main = MainWindow();
  if (*main) return kOk;
  Err(L"main window of class " + g_target.mainClass + L" not found");
  return kFail;
}

int NeedControl(const std::wstring& wanted, HWND* h) {
  Found f = FindControl(wanted);
  if (!f.hwnd) {
    Err(f.error);
    return kFail;
  }
  *h = f.hwnd;
  return kOk;
}

int CmdWaitWindow(DWORD timeout, bool printEpoch) {
  HWND main = nullptr;
  if (!WaitFor(timeout, [&] {
        main = MainWindow();
        return main && IsWindowVisible(main);
      })) {
    Err(L"no visible window of class " + g_target.mainClass + L" within " + Num(timeout) + L" ms");
    return kFail;
  }
  if (printEpoch) Out(Num(static_cast<long long>(EpochMs())));
  return kOk;
}

int CmdControls(bool namedOnly) {
  HWND main;
  if (int rc = NeedMain(&main)) return rc;
  for (HWND h : Descendants(main)) {
    auto path = NamePath(main, h);
    if (namedOnly && path.back() == L"-") continue;
    RECT r = RectInClient(main, h);
    Out(JoinPath(path, true) + L"\t" + ClassOf(h) + L"\t" + Field(WindowText(h)) + L"\t" +
        Num(IsWindowVisible(h) ? 1 : 0) + L"\t" + Num(IsWindowEnabled(h) ? 1 : 0) + L"\t" + Num(r.left) + L"\t" +
        Num(r.top) + L"\t" + Num(r.right - r.left) + L"\t" + Num(r.bottom - r.top));
  }
  return kOk;
}

int CmdClick(const std::wstring& wanted, bool wait, DWORD timeout) {
  HWND h;
  if (int rc = NeedControl(wanted, &h)) return rc;
  if (!IsWindowVisible(h)) {
    Err(L"\"" + wanted + L"\" is not visible");
    return kFail;
  }
  if (!IsWindowEnabled(h)) {
    Err(L"\"" + wanted + L"\" is disabled");
    return kFail;
  }
  if (ClassOf(h) == L"Button") {
    if (!wait) return PostMessageW(h, BM_CLICK, 0, 0) ? kOk : kFail;
    if (Send(h, BM_CLICK, 0, 0, timeout)) return kOk;
    Err(L"the click on \"" + wanted + L"\" did not return within " + Num(timeout) + L" ms");
    return kFail;
  }
  // Anything else is clicked with the mouse in the middle of its client area.
  RECT r{};
  GetClientRect(h, &r);
  LPARAM at = MAKELPARAM((r.right - r.left) / 2, (r.bottom - r.top) / 2);
  if (!wait) return PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, at) && PostMessageW(h, WM_LBUTTONUP, 0, at) ? kOk : kFail;
  return Send(h, WM_LBUTTONDOWN, MK_LBUTTON, at, timeout) && Send(h, WM_LBUTTONUP, 0, at, timeout) ? kOk : kFail;
}

int CmdWaitState(const std::wstring& wanted, DWORD timeout, const wchar_t* what, const std::function<bool(HWND)>& test) {
  HWND h = nullptr;
  bool seen = WaitFor(timeout, [&] {
    Found f = FindControl(wanted);
    h = f.hwnd;
    return h && test(h);
  });
  if (seen) return kOk;
  Err(L"\"" + wanted + L"\" " + (h ? L"did not become " : L"was not found, expected ") + what + L" within " +
      Num(timeout) + L" ms");
  return kFail;
}

int CmdWaitText(const std::wstring& wanted, const std::wstring& text, bool equal, DWORD timeout) {
  HWND h = nullptr;
  std::wstring last;
  bool seen = WaitFor(timeout, [&] {
    Found f = FindControl(wanted);
    h = f.hwnd;
    if (!h) return false;
    last = WindowText(h);
    return (last == text) == equal;
  });
  if (seen) {
    Out(last);
    return kOk;
  }
  Err(h ? L"\"" + wanted + L"\" still reads \"" + last + L"\" after " + Num(timeout) + L" ms"
        : L"\"" + wanted + L"\" was not found within " + Num(timeout) + L" ms");
  return kFail;
}

int CmdListItems(const std::wstring& wanted) {
  HWND h;
  if (int rc = NeedControl(wanted, &h)) return rc;
  auto count = Send(h, LB_GETCOUNT, 0, 0);
  if (!count || *count < 0) {
    Err(L"\"" + wanted + L"\" does not answer LB_GETCOUNT");
    return kFail;
  }
  for (LRESULT i = 0; i < *count; ++i) {
    // LB_GETTEXT is marshalled across processes; its buffer size comes from LB_GETTEXTLEN.
    auto len = Send(h, LB_GETTEXTLEN, WPARAM(i), 0);
    if (!len || *len < 0) return kFail;
    std::wstring s(size_t(*len) + 1, L'\0');
    auto got = Send(h, LB_GETTEXT, WPARAM(i), reinterpret_cast<LPARAM>(s.data()));
    if (!got || *got < 0) return kFail;
    s.resize(size_t(*got));
    Out(Field(s));
  }
  return kOk;
}

int NeedListView(const std::wstring& wanted, HWND* h, std::unique_ptr<RemoteListView>* lv) {
  if (int rc = NeedControl(wanted, h)) return rc;
  if (ClassOf(*h) != WC_LISTVIEWW) {
    Err(L"\"" + wanted + L"\" is a " + ClassOf(*h) + L", not a list view");
    return kFail;
  }
  *lv = std::make_unique<RemoteListView>(*h);
  if ((*lv)->ok()) return kOk;
  Err((*lv)->error());
  return kFail;
}

bool RowArg(const std::wstring& s, RemoteListView& lv, int* row) {
  long long v = 0;
  if (!ParseInt(s, &v)) return false;
  int count = lv.Count();
  if (v < 0 || v >= count) {
    Err(L"row " + s + L" is out of range; the list has " + Num(count) + L" rows");
    return false;
  }
  *row = int(v);
  return true;
}

// rows: check, caption, sub-items. rows-full adds image index and selection first.
int CmdRows(const std::wstring& wanted, bool full) {
  HWND h;
  std::unique_ptr<RemoteListView> lv;
  if (int rc = NeedListView(wanted, &h, &lv)) return rc;
  int count = lv->Count(), columns = lv->Columns();
  for (int row = 0; row < count; ++row) {
    int check = lv->CheckState(row);
    std::wstring line = check < 0 ? L"-" : Num(check);
    if (full) line += L"\t" + Num(lv->Image(row).value_or(-1)) + L"\t" + Num(lv->Selected(row) ? 1 : 0);
    for (int col = 0; col < columns; ++col) {
      auto t = lv->Text(row, col);
      if (!t) {
        Err(L"cannot read row " + Num(row) + L" column " + Num(col));
        return kFail;
      }
      line += L"\t" + Field(*t);
    }
    Out(line);
  }
  return kOk;
}

int CmdCheck(const std::wstring& wanted, const std::wstring& rowText, const std::wstring& value) {
  HWND h;
  std::unique_ptr<RemoteListView> lv;
  if (int rc = NeedListView(wanted, &h, &lv)) return rc;
  int row = 0;
  if (!RowArg(rowText, *lv, &row)) return kFail;
  if (value != L"0" && value != L"1") return Usage(L"check takes 0 or 1");
  int want = value == L"1" ? 1 : 0;
  lv->SetState(row, INDEXTOSTATEIMAGEMASK(want + 1), LVIS_STATEIMAGEMASK);
  if (lv->CheckState(row) == want) return kOk;
  Err(L"row " + rowText + L" of \"" + wanted + L"\" did not take check state " + value);
  return kFail;
}

// NM_DBLCLK carries a pointer into the sender's memory, so it cannot be sent from
// here; the list view raises it itself when it sees a double click on the row.
int CmdDblClickRow(const std::wstring& wanted, const std::wstring& rowText) {
  HWND h;
  std::unique_ptr<RemoteListView> lv;
  if (int rc = NeedListView(wanted, &h, &lv)) return rc;
  int row = 0;
  if (!RowArg(rowText, *lv, &row)) return kFail;
  if (!IsWindowVisible(h) || !IsWindowEnabled(h)) {
    Err(L"\"" + wanted + L"\" is hidden or disabled");
    return kFail;
  }
  Send(h, LVM_ENSUREVISIBLE, WPARAM(row), FALSE);
  lv->SetState(row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  // On the label, away from the check box at the row's left.
  auto r = lv->ItemRect(row, LVIR_LABEL);
  if (!r || r->right <= r->left) r = lv->ItemRect(row, LVIR_BOUNDS);
  if (!r) {
    Err(L"cannot get the rectangle of row " + rowText);
    return kFail;
  }
  LPARAM at = MAKELPARAM((r->left + r->right) / 2, (r->top + r->bottom) / 2);
  bool posted = PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, at) && PostMessageW(h, WM_LBUTTONUP, 0, at) &&
                PostMessageW(h, WM_LBUTTONDBLCLK, MK_LBUTTON, at) && PostMessageW(h, WM_LBUTTONUP, 0, at);
  return posted ? kOk : kFail;
}

int CmdWaitMsgBox(DWORD timeout, int part) {
  HWND box = nullptr;
  if (!WaitFor(timeout, [&] {
        auto boxes = MessageBoxes();
        box = boxes.empty() ? nullptr : boxes.front();
        return box != nullptr;
      })) {
    Err(L"no message box of " + g_target.exeName + L" within " + Num(timeout) + L" ms");
    return kFail;
  }
  if (part == 0) {
    Out(NormaliseBreaks(MessageBoxText(box)));
  } else if (part == 1) {
    Out(WindowText(box));
  } else {
    for (HWND c : Descendants(box))
      if (ClassOf(c) == L"Button" && IsWindowVisible(c)) Out(Num(GetDlgCtrlID(c)) + L"\t" + Field(WindowText(c)));
  }
  return kOk;
}

int CmdMsgBoxPress(const std::wstring& idText, DWORD timeout) {
  long long id = 0;
  if (!ParseInt(idText, &id)) return Usage(L"msgbox-press takes a button ID (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7)");
  auto boxes = MessageBoxes();
  if (boxes.empty()) {
    Err(L"no message box of " + g_target.exeName + L" is showing");
    return kFail;
  }
  HWND box = boxes.front();
  HWND button = GetDlgItem(box, int(id));
  if (!button || !IsWindowVisible(button)) {
    Err(L"the message box has no button " + idText);
    return kFail;
  }
  // The dialog's own command path, as a click on the button would take it.
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(WORD(id), BN_CLICKED), reinterpret_cast<LPARAM>(button));
  if (WaitFor(timeout, [&] { return !IsWindow(box) || !IsWindowVisible(box); })) return kOk;
  Err(L"the message box stayed open after button " + idText);
  return kFail;
}

int CmdWindows() {
  auto pids = TargetProcesses();
  for (HWND h : TopLevelWindows()) {
    DWORD pid = ProcessOf(h);
    if (!pids.count(pid)) continue;
    Out(HwndText(h) + L"\t" + Num(pid) + L"\t" + ClassOf(h) + L"\t" + Field(WindowText(h)) + L"\t" +
        Num(IsWindowVisible(h) ? 1 : 0));
  }
  return kOk;
}

int CmdMemory() {
  HWND main;
  if (int rc = NeedMain(&main)) return rc;
  unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, ProcessOf(main)));
  PROCESS_MEMORY_COUNTERS_EX pmc{};
  pmc.cb = sizeof(pmc);
  if (!process || !GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc))) {
    Err(L"cannot read the memory counters of process " + Num(ProcessOf(main)));
    return kFail;
  }
  Out(L"working_set_kib\t" + Num(static_cast<long long>(pmc.WorkingSetSize / 1024)));
  Out(L"peak_working_set_kib\t" + Num(static_cast<long long>(pmc.PeakWorkingSetSize / 1024)));
  // Wine leaves the private-bytes counter at zero; a zero says nothing.
  if (pmc.PrivateUsage) Out(L"private_kib\t" + Num(static_cast<long long>(pmc.PrivateUsage / 1024)));
  return kOk;
}

const wchar_t* const kHelp[] = {
    L"wait-window [ms]              wait until the main window is visible (default 30000 ms)",
    L"time-window [ms]              the same, then print the Unix time in ms at which it was seen",
    L"wait-gone [ms]                wait until no main window is left (default 30000 ms)",
    L"pid                           the Windows process ID of the main window",
    L"processes                     IDs of the running processes of the program's executable",
    L"windows                       top-level windows of those processes: hwnd, pid, class, caption, visible",
    L"caption                       the main window's caption",
    L"client-size                   width and height of the main window's client area",
    L"window-rect | client-rect     x y width height of the main window, or of its client area, on the screen",
    L"topmost | is-iconic           1 or 0",
    L"owner                         the main window's owner window, 0 for none (an unowned window has the taskbar button)",
    L"controls [--named]            path, class, caption, visible, enabled, x, y, width, height (client coordinates)",
    L"rect <ctl>                    x y width height of a control in the main window's client coordinates",
    L"text <ctl>                    the control's text (WM_GETTEXT)",
    L"enabled <ctl> | visible <ctl> 1 or 0",
    L"checked <ctl>                 BM_GETCHECK of a button: 0 unchecked, 1 checked (down), 2 indeterminate",
    L"wait-enabled <ctl> [ms] | wait-disabled | wait-visible | wait-hidden",
    L"time-enabled <ctl> [ms]       wait-enabled, then print the Unix time in ms at which it was seen",
    L"wait-text <ctl> <text> [ms]   wait until the text equals; prints it",
    L"wait-text-not <ctl> <text> [ms]  wait until the text differs; prints the new text",
    L"click <ctl>                   BM_CLICK, posted: returns at once (a modal box may follow)",
    L"click-wait <ctl> [ms]         BM_CLICK, sent: returns when the click's handler has",
    L"list-items <ctl>              the items of a list box",
    L"rows <ctl>                    list view rows: check (1, 0, - for none), caption, sub-items",
    L"rows-full <ctl>               check, image index, selected, caption, sub-items",
    L"check <ctl> <row> <0|1>       tick or untick a list view row",
    L"dblclick-row <ctl> <row>      select a list view row and double-click its label",
    L"wmuser <wParam> [lParam]      post WM_USER to the main window",
    L"post <msg> [wParam] [lParam]  post any message to the main window",
    L"minimize                      minimise the main window as its system menu would",
    L"wait-restored [ms]            wait until the main window is no longer minimised (default 5000 ms)",
    L"wait-msgbox [ms]              wait for a message box of the program and print its text",
    L"msgbox-title | msgbox-buttons its caption; its buttons as ID and caption",
    L"msgbox-press <id> [ms]        press a button of the message box (IDOK 1, IDYES 6, IDNO 7)",
    L"memory                        working set, peak working set (and private bytes where known) of the program, KiB",
    L"desktop                       start the desktop if needed; print the screen size",
    L"<ctl> is a design name, a path of names (FrmClean/BtnClean), a caption, or #hwnd.",
};

int Run(const Args& a) {
  if (a.size() == 0) return Usage(L"no command");
  const std::wstring& cmd = a[0];
  auto need = [&](size_t min, size_t max) { return a.size() >= min + 1 && a.size() <= max + 1; };
  DWORD timeout = 0;

  if (cmd == L"help") {
    for (auto line : kHelp) Out(line);
    return kOk;
  }
  if (cmd == L"wait-window" || cmd == L"time-window") {
    if (!need(0, 1) || !TimeoutArg(a, 1, 30000, &timeout)) return Usage(cmd + L" [ms]");
    return CmdWaitWindow(timeout, cmd == L"time-window");
  }
  if (cmd == L"wait-gone") {
    if (!need(0, 1) || !TimeoutArg(a, 1, 30000, &timeout)) return Usage(L"wait-gone [ms]");
    if (WaitFor(timeout, [] { return MainWindows().empty(); })) return kOk;
    Err(L"the main window is still there after " + Num(timeout) + L" ms");
    return kFail;
  }
  if (cmd == L"processes") {
    for (DWORD pid : ProcessesByName(g_target.exeName)) Out(Num(pid));
    return kOk;
  }
  if (cmd == L"windows") return CmdWindows();
  if (cmd == L"desktop") {
    RECT r{};
    GetWindowRect(GetDesktopWindow(), &r);
    Out(Num(r.right - r.left) + L" " + Num(r.bottom - r.top));
    return kOk;
  }
  if (cmd == L"controls") {
    if (!need(0, 1) || (a.size() == 2 && a[1] != L"--named")) return Usage(L"controls [--named]");
    return CmdControls(a.size() == 2);
  }

  // Commands on the main window itself.
  HWND main = nullptr;
  if (cmd == L"pid" || cmd == L"caption" || cmd == L"client-size" || cmd == L"window-rect" || cmd == L"client-rect" || cmd == L"topmost" || cmd == L"owner" ||
      cmd == L"is-iconic" || cmd == L"minimize") {
    if (!need(0, 0)) return Usage(cmd + L" takes no arguments");
    if (int rc = NeedMain(&main)) return rc;
    if (cmd == L"pid") Out(Num(ProcessOf(main)));
    if (cmd == L"caption") Out(WindowText(main));
    if (cmd == L"client-size") {
      RECT r{};
      GetClientRect(main, &r);
      Out(Num(r.right - r.left) + L" " + Num(r.bottom - r.top));
    }
    if (cmd == L"window-rect") {
      RECT r{};
      GetWindowRect(main, &r);
      Out(Num(r.left) + L" " + Num(r.top) + L" " + Num(r.right - r.left) + L" " + Num(r.bottom - r.top));
    }
    if (cmd == L"client-rect") {
      RECT r{};
      GetClientRect(main, &r);
      MapWindowPoints(main, HWND_DESKTOP, reinterpret_cast<POINT*>(&r), 2);
      Out(Num(r.left) + L" " + Num(r.top) + L" " + Num(r.right - r.left) + L" " + Num(r.bottom - r.top));
    }
    if (cmd == L"owner") Out(GetWindow(main, GW_OWNER) ? HwndText(GetWindow(main, GW_OWNER)) : L"0");
    if (cmd == L"topmost") Out((GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_TOPMOST) ? L"1" : L"0");
    if (cmd == L"is-iconic") Out(IsIconic(main) ? L"1" : L"0");
    if (cmd == L"minimize") {
      PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
      if (!WaitFor(5000, [&] { return IsIconic(main) != FALSE; })) {
        Err(L"the main window did not minimise");
        return kFail;
      }
    }
    return kOk;
  }
  if (cmd == L"wait-restored") {
    if (!need(0, 1) || !TimeoutArg(a, 1, 5000, &timeout)) return Usage(L"wait-restored [ms]");
    if (int rc = NeedMain(&main)) return rc;
    if (WaitFor(timeout, [&] { return !IsIconic(main); })) return kOk;
    Err(L"the main window is still minimised after " + Num(timeout) + L" ms");
    return kFail;
  }
  if (cmd == L"memory") return need(0, 0) ? CmdMemory() : Usage(L"memory takes no arguments");
  if (cmd == L"wmuser" || cmd == L"post") {
    size_t first = cmd == L"post" ? 2 : 1;
    if (a.size() < first || a.size() > first + 2) return Usage(cmd == L"post" ? L"post <msg> [wParam] [lParam]" : L"wmuser <wParam> [lParam]");
    long long msg = WM_USER, w = 0, l = 0;
    if ((cmd == L"post" && !ParseInt(a[1], &msg)) || (a.size() > first && !ParseInt(a[first], &w)) ||
        (a.size() > first + 1 && !ParseInt(a[first + 1], &l)))
      return Usage(L"numbers are decimal or 0x-hex");
    if (cmd == L"wmuser" && a.size() == 1) return Usage(L"wmuser <wParam> [lParam]");
    if (int rc = NeedMain(&main)) return rc;
    return PostMessageW(main, UINT(msg), WPARAM(w), LPARAM(l)) ? kOk : kFail;
  }

  // Commands on one control.
  if (cmd == L"text" || cmd == L"enabled" || cmd == L"visible" || cmd == L"rect" || cmd == L"checked") {
    if (!need(1, 1)) return Usage(cmd + L" <control>");
    HWND h;
    if (int rc = NeedControl(a[1], &h)) return rc;
    if (cmd == L"text") Out(WindowText(h));
    if (cmd == L"enabled") Out(IsWindowEnabled(h) ? L"1" : L"0");
    if (cmd == L"visible") Out(IsWindowVisible(h) ? L"1" : L"0");
    if (cmd == L"checked") {
      auto state = Send(h, BM_GETCHECK, 0, 0);
      if (!state) return kFail;
      Out(Num(*state));
    }
    if (cmd == L"rect") {
      if (int rc = NeedMain(&main)) return rc;
      RECT r = RectInClient(main, h);
      Out(Num(r.left) + L" " + Num(r.top) + L" " + Num(r.right - r.left) + L" " + Num(r.bottom - r.top));
    }
    return kOk;
  }
  if (cmd == L"time-enabled") {
    if (!need(1, 2) || !TimeoutArg(a, 2, 30000, &timeout)) return Usage(cmd + L" <control> [ms]");
    const int rc = CmdWaitState(a[1], timeout, L"enabled", [](HWND h) { return IsWindowEnabled(h) != FALSE; });
    if (rc == kOk) Out(Num(static_cast<long long>(EpochMs())));
    return rc;
  }
  if (cmd == L"wait-enabled" || cmd == L"wait-disabled" || cmd == L"wait-visible" || cmd == L"wait-hidden") {
    if (!need(1, 2) || !TimeoutArg(a, 2, 30000, &timeout)) return Usage(cmd + L" <control> [ms]");
    if (cmd == L"wait-enabled") return CmdWaitState(a[1], timeout, L"enabled", [](HWND h) { return IsWindowEnabled(h) != FALSE; });
    if (cmd == L"wait-disabled") return CmdWaitState(a[1], timeout, L"disabled", [](HWND h) { return !IsWindowEnabled(h); });
    if (cmd == L"wait-visible") return CmdWaitState(a[1], timeout, L"visible", [](HWND h) { return IsWindowVisible(h) != FALSE; });
    return CmdWaitState(a[1], timeout, L"hidden", [](HWND h) { return !IsWindowVisible(h); });
  }
  if (cmd == L"wait-text" || cmd == L"wait-text-not") {
    if (!need(2, 3) || !TimeoutArg(a, 3, 30000, &timeout)) return Usage(cmd + L" <control> <text> [ms]");
    return CmdWaitText(a[1], a[2], cmd == L"wait-text", timeout);
  }
  if (cmd == L"click") return need(1, 1) ? CmdClick(a[1], false, 0) : Usage(L"click <control>");
  if (cmd == L"click-wait") {
    if (!need(1, 2) || !TimeoutArg(a, 2, 30000, &timeout)) return Usage(L"click-wait <control> [ms]");
    return CmdClick(a[1], true, timeout);
  }
  if (cmd == L"list-items") return need(1, 1) ? CmdListItems(a[1]) : Usage(L"list-items <control>");
  if (cmd == L"rows" || cmd == L"rows-full") return need(1, 1) ? CmdRows(a[1], cmd == L"rows-full") : Usage(cmd + L" <control>");
  if (cmd == L"check") return need(3, 3) ? CmdCheck(a[1], a[2], a[3]) : Usage(L"check <control> <row> <0|1>");
  if (cmd == L"dblclick-row") return need(2, 2) ? CmdDblClickRow(a[1], a[2]) : Usage(L"dblclick-row <control> <row>");

  // Message boxes.
  if (cmd == L"wait-msgbox" || cmd == L"msgbox-title" || cmd == L"msgbox-buttons") {
    DWORD def = cmd == L"wait-msgbox" ? 30000 : 0;
    if (!need(0, 1) || !TimeoutArg(a, 1, def, &timeout)) return Usage(cmd + L" [ms]");
    return CmdWaitMsgBox(timeout, cmd == L"wait-msgbox" ? 0 : cmd == L"msgbox-title" ? 1 : 2);
  }
  if (cmd == L"msgbox-press") {
    if (!need(1, 2) || !TimeoutArg(a, 2, 5000, &timeout)) return Usage(L"msgbox-press <id> [ms]");
    return CmdMsgBoxPress(a[1], timeout);
  }
  return Usage(L"unknown command " + cmd);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (const wchar_t* cls = _wgetenv(L"QVDRIVER_CLASS"); cls && *cls) g_target.mainClass = cls;
  if (const wchar_t* exe = _wgetenv(L"QVDRIVER_EXE"); exe && *exe) g_target.exeName = exe;
  Args args;
  for (int i = 1; i < argc; ++i) {
    std::wstring s = argv[i];
    if ((s == L"--class" || s == L"--exe") && args.size() == 0) {
      if (i + 1 >= argc) return Usage(s + L" needs a value");
      (s == L"--class" ? g_target.mainClass : g_target.exeName) = argv[++i];
      continue;
    }
    args.v.push_back(s);
  }
  return Run(args);
}

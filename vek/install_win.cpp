// The environment and file system behind InstallFiles.
#include "vek/handles_win.h"
#include "vek/install.h"

namespace vek {
namespace {

FileEntry EntryOf(const WIN32_FIND_DATAW& data) {
  FileEntry e;
  e.Name = U(data.cFileName);
  e.Directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  e.Hidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
  e.System = (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
  FILETIME local;
  SYSTEMTIME st;
  if (FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) && FileTimeToSystemTime(&local, &st)) {
    e.Year = st.wYear;
    e.Month = st.wMonth;
    e.Day = st.wDay;
  }
  return e;
}

class WinInstallFiles final : public InstallFiles {
 public:
  Text Environment(const Text& name) override {
    wchar_t small[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(W(name), small, MAX_PATH);
    if (n == 0) return Text();
    if (n < MAX_PATH) return U(small, n);
    // Too long for the first buffer: n is the size needed, NUL included. The
    // variable may change between the calls, so take what the second one says.
    std::wstring big(n, L'\0');
    DWORD got = GetEnvironmentVariableW(W(name), big.data(), n);
    return got > 0 && got < n ? U(big.c_str(), got) : Text();
  }

  bool FileExists(const Text& path) override {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(W(path));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  std::vector<FileEntry> ListFolder(const Text& folder) override {
    std::vector<FileEntry> entries;
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW(W(folder + u"\\*.*"), &data));
    if (!find) return entries;
    do entries.push_back(EntryOf(data));
    while (FindNextFileW(find.get(), &data));
    return entries;
  }

  std::optional<FileEntry> FindEntry(const Text& path) override {
    // FindFirstFile would take wildcards as patterns; a single entry has none.
    if (path.empty() || path.find_first_of(u"*?") != Text::npos) return std::nullopt;
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW(W(path), &data));
    if (!find) return std::nullopt;
    return EntryOf(data);
  }
};

}  // namespace

InstallFiles& WindowsInstallFiles() {
  static WinInstallFiles files;
  return files;
}

}  // namespace vek

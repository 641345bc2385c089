// shell32, version.dll and the file system behind Lib's helpers.
#include <cwchar>
#include <vector>

#include "core/lib.h"
#include "vek/handles_win.h"

#include <shellapi.h>
#include <shlobj.h>

namespace core {
namespace {

using vek::U;
using vek::W;

bool FileExistsFollowingLinks(const Text& path) {
  const DWORD attributes = GetFileAttributesW(W(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  // The attributes are the link's own; opening it follows the link to its target.
  vek::unique_hfile target(CreateFileW(W(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
  return bool(target);
}

class WinShell final : public ShellFiles {
 public:
  Text SpecialFolderPath(int csidl) override {
    vek::unique_cotaskmem pidl;
    PIDLIST_ABSOLUTE list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &list)) || !list) return {};
    pidl.reset(list);
    wchar_t path[MAX_PATH] = {};
    if (!SHGetPathFromIDListW(list, path)) return {};
    return U(path, wcsnlen(path, MAX_PATH));
  }

  bool FileExists(const Text& path) override { return FileExistsFollowingLinks(path); }

  int AddAssociatedIcon(ui::ImageList& list, const Text& path) override {
    // ExtractAssociatedIconW may write the associated program's path back into
    // its argument, which must therefore be a writable MAX_PATH buffer.
    if (path.size() >= MAX_PATH) return -1;
    wchar_t buffer[MAX_PATH] = {};
    path.copy(reinterpret_cast<char16_t*>(buffer), path.size());
    WORD index = 0;
    vek::unique_hicon icon(ExtractAssociatedIconW(nullptr, buffer, &index));
    if (!icon) return -1;
    return list.AddIcon(icon.get());
  }

  Text VersionString(const Text& path, const Text& name) override {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(W(path), &handle);
    if (size == 0) return {};
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoW(W(path), 0, size, block.data())) return {};
    void* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation\\", &translation, &length) || !translation ||
        length < 4)
      return {};
    const auto* words = static_cast<const WORD*>(translation);
    const Text query = VersionQueryPath(words[0], words[1], name);
    void* value = nullptr;
    length = 0;
    if (!VerQueryValueW(block.data(), W(query), &value, &length) || !value || length == 0) return {};
    // The length counts characters (with the NUL where there is one); never read
    // beyond it, whatever the resource holds.
    const auto* text = static_cast<const wchar_t*>(value);
    return U(text, wcsnlen(text, length));
  }
};

}  // namespace

ShellFiles& WindowsShell() {
  static WinShell shell;
  return shell;
}

}  // namespace core

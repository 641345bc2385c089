// advapi32 behind the registry seam.
#include <cwchar>

#include "vek/handles_win.h"
#include "vek/registry.h"

namespace vek {
namespace {

// Predefined keys are sign-extended 32-bit numbers: HKEY_LOCAL_MACHINE is
// 0xFFFFFFFF80000002 in a 64-bit process.
HKEY PredefinedKey(uint32_t root) { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root))); }

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// RegDeleteKeyExW (the only delete that takes a view) is missing before Windows
// XP x64; without it RegDeleteKeyW deletes in the process's own view.
LONG DeleteOneKey(HKEY parent, const wchar_t* name, REGSAM view) {
  static const auto ex = GetProc<RegDeleteKeyExWFn>(L"advapi32.dll", "RegDeleteKeyExW");
  if (ex) return ex(parent, name, view, 0);
  return RegDeleteKeyW(parent, name);
}

// RegDeleteTreeW opens the subkeys it visits without view bits, which from the
// 32-bit program would leave the 64-bit view; so the walk is done here.
bool DeleteTreeIn(HKEY parent, const wchar_t* name, REGSAM view) {
  {
    unique_hkey key;
    if (RegOpenKeyExW(parent, name, 0, KEY_READ | DELETE | view, key.put()) != ERROR_SUCCESS) return false;
    wchar_t child[256];
    // Always enumerate index 0: each pass deletes what it found there. A child
    // that cannot be deleted ends the walk rather than looping on it.
    for (;;) {
      DWORD len = 256;
      LONG rc = RegEnumKeyExW(key.get(), 0, child, &len, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS || !DeleteTreeIn(key.get(), child, view)) return false;
    }
  }
  return DeleteOneKey(parent, name, view) == ERROR_SUCCESS;
}

class WinKey final : public RegistryKey {
 public:
  // A predefined root: borrowed, never closed.
  explicit WinKey(HKEY predefined) : FHandle(predefined) {}
  explicit WinKey(unique_hkey owned) : FOwned(std::move(owned)), FHandle(FOwned.get()) {}

  std::unique_ptr<RegistryKey> Open(const Text& path, uint32_t sam, bool create) override {
    unique_hkey key;
    LONG rc;
    if (create) {
      rc = RegCreateKeyExW(FHandle, W(path), 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, key.put(), nullptr);
    } else {
      rc = RegOpenKeyExW(FHandle, W(path), 0, sam, key.put());
    }
    if (rc != ERROR_SUCCESS || !key) return nullptr;
    return std::make_unique<WinKey>(std::move(key));
  }

  std::optional<RegValue> Query(const Text& name) override {
    // One call learns existence, type and data whenever the value fits the first
    // buffer. Another process may grow the value between a call that reports its
    // size and the next, so the size is asked again up to a few times; keys of
    // HKEY_PERFORMANCE_DATA report no size at all and are met by doubling.
    RegValue value;
    DWORD size = 512;
    for (int attempt = 0; attempt < 8; ++attempt) {
      value.Data.resize(size);
      DWORD type = 0, got = size;
      LONG rc = RegQueryValueExW(FHandle, W(name), nullptr, &type, value.Data.data(), &got);
      if (rc == ERROR_SUCCESS) {
        value.Type = type;
        value.Data.resize(got <= size ? got : size);
        return value;
      }
      if (rc != ERROR_MORE_DATA) return std::nullopt;
      size = got > size ? got : size * 2;
    }
    return std::nullopt;
  }

  std::optional<uint32_t> QueryType(const Text& name) override {
    DWORD type = 0;
    if (RegQueryValueExW(FHandle, W(name), nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) return std::nullopt;
    return type;
  }

  bool Set(const Text& name, const RegValue& value) override {
    return RegSetValueExW(FHandle, W(name), 0, value.Type, value.Data.empty() ? nullptr : value.Data.data(),
                          DWORD(value.Data.size())) == ERROR_SUCCESS;
  }

  bool DeleteValue(const Text& name) override { return RegDeleteValueW(FHandle, W(name)) == ERROR_SUCCESS; }

  bool DeleteTree(const Text& path, uint32_t sam) override {
    if (path.empty()) return false;
    return DeleteTreeIn(FHandle, W(path), sam & KEY_WOW64_RES);
  }

  bool SubKeyNames(std::vector<Text>& names) override {
    names.clear();
    // Key names are at most 255 units.
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
      DWORD len = 256;
      LONG rc = RegEnumKeyExW(FHandle, i, name, &len, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) return true;
      if (rc != ERROR_SUCCESS) {
        names.clear();
        return false;
      }
      names.push_back(U(name, len));
    }
  }

  bool ValueNames(std::vector<Text>& names) override {
    names.clear();
    DWORD maxLen = 0;
    if (RegQueryInfoKeyW(FHandle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxLen, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
      return false;
    std::vector<wchar_t> name(size_t(maxLen) + 1 < 256 ? 256 : size_t(maxLen) + 1);
    for (DWORD i = 0;; ++i) {
      DWORD len = DWORD(name.size());
      LONG rc = RegEnumValueW(FHandle, i, name.data(), &len, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) return true;
      if (rc == ERROR_MORE_DATA && name.size() < 32768) {
        // A longer name was added since the count: grow to the registry's limit.
        name.resize(32768);
        --i;
        continue;
      }
      if (rc != ERROR_SUCCESS) {
        names.clear();
        return false;
      }
      names.push_back(U(name.data(), len));
    }
  }

  void* NativeHandle() const override { return FHandle; }

 private:
  unique_hkey FOwned;
  HKEY FHandle;
};

class WinRegistry final : public RegistryBackend {
 public:
  std::unique_ptr<RegistryKey> Root(uint32_t root) override {
    if (root < kHkeyClassesRoot || root > kHkeyDynData) return nullptr;
    return std::make_unique<WinKey>(PredefinedKey(root));
  }
};

}  // namespace

RegistryBackend& WindowsRegistry() {
  static WinRegistry registry;
  return registry;
}

}  // namespace vek

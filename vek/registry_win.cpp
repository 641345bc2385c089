// advapi32 behind the registry seam, and ntdll's key calls for every change,
// which must never follow a registry link.
#include <cwchar>

#include "vek/handles_win.h"
#include "vek/registry.h"

#include <winternl.h>

namespace vek {
namespace {

// Predefined keys are sign-extended 32-bit numbers: HKEY_LOCAL_MACHINE is
// 0xFFFFFFFF80000002 in a 64-bit process.
HKEY PredefinedKey(uint32_t root) { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root))); }

// RegCreateKeyEx takes no REG_OPTION_OPEN_LINK, and even with OBJ_OPENLINK the
// kernel follows a link at every component of a path but the last; so changes
// open one name at a time through ntdll, whose NtOpenKey and NtCreateKey take
// OBJ_OPENLINK on every Windows.
using NtOpenKeyFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
using NtCreateKeyFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, ULONG, UNICODE_STRING*, ULONG, ULONG*);
using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
using NtQueryKeyFn = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

struct NtKeyCalls {
  NtOpenKeyFn Open = GetProc<NtOpenKeyFn>(L"ntdll.dll", "NtOpenKey");
  NtCreateKeyFn Create = GetProc<NtCreateKeyFn>(L"ntdll.dll", "NtCreateKey");
  NtDeleteKeyFn Delete = GetProc<NtDeleteKeyFn>(L"ntdll.dll", "NtDeleteKey");
  NtQueryKeyFn Query = GetProc<NtQueryKeyFn>(L"ntdll.dll", "NtQueryKey");
};

const NtKeyCalls& Nt() {
  static const NtKeyCalls calls;
  return calls;
}

constexpr LONG kStatusAccessDenied = LONG(0xC0000022);
constexpr LONG kStatusBufferOverflow = LONG(0x80000005);
constexpr LONG kStatusBufferTooSmall = LONG(0xC0000023);
constexpr ULONG kKeyNameInformation = 3;

// The key's full name in the registry's own namespace ("\REGISTRY\MACHINE\..."):
// where the key is, whatever path led to it. Empty when it cannot be had, as
// for a key deleted meanwhile.
Text KeyName(HKEY key) {
  if (!Nt().Query) return {};
  std::vector<ULONG> buffer(128);  // KEY_NAME_INFORMATION: the length in bytes, then the name
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG got = 0;
    const LONG status = Nt().Query(key, kKeyNameInformation, buffer.data(), ULONG(buffer.size() * sizeof(ULONG)), &got);
    if (status >= 0) {
      const size_t bytes = buffer[0];
      if (bytes > (buffer.size() - 1) * sizeof(ULONG)) return {};
      return Text(reinterpret_cast<const char16_t*>(buffer.data() + 1), bytes / 2);
    }
    if (status != kStatusBufferOverflow && status != kStatusBufferTooSmall) return {};
    buffer.resize(got / sizeof(ULONG) + 2);
  }
  return {};
}

// A handle opened with OBJ_OPENLINK on a link is the link key itself, which
// holds the REG_LINK value "SymbolicLinkValue" naming the target. Unknown when
// the value cannot be asked for.
enum class LinkState { NotLink, Link, Unknown };
LinkState LinkStateOf(HKEY key) {
  DWORD type = REG_NONE;
  const LONG rc = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
  if (rc == ERROR_FILE_NOT_FOUND) return LinkState::NotLink;
  if (rc != ERROR_SUCCESS) return LinkState::Unknown;
  return type == REG_LINK ? LinkState::Link : LinkState::NotLink;
}

bool DeleteThrough(HKEY key) { return Nt().Delete && Nt().Delete(key) >= 0; }

// A handle of the root's own for changes to start from: the predefined handles
// mean nothing to ntdll. Writes below other roots (the merged classes view, the
// current hardware profile reached through CurrentControlSet, performance data)
// are refused.
unique_hkey OpenRootForChange(uint32_t root, REGSAM access) {
  unique_hkey key;
  if (root == kHkeyCurrentUser) {
    if (RegOpenCurrentUser(access, key.put()) != ERROR_SUCCESS) return {};
    return key;
  }
  const wchar_t* name = root == kHkeyLocalMachine ? L"\\Registry\\Machine" : root == kHkeyUsers ? L"\\Registry\\User" : nullptr;
  if (!name || !Nt().Open) return {};
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name);
  text.Length = text.MaximumLength = USHORT(std::wcslen(name) * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE handle = nullptr;
  if (Nt().Open(&handle, access, &attributes) < 0) return {};
  return unique_hkey(static_cast<HKEY>(handle));
}

// The root's own handle and full name that changes below it start from, opened
// once and kept until the process ends: opening HKEY_CURRENT_USER's takes the
// thread's token and its user's SID each time, and a root is never a link.
struct ChangeRoot {
  unique_hkey Key;
  Text Name;
};
const ChangeRoot& ChangeRootOf(uint32_t root) {
  auto open = [](uint32_t which) {
    ChangeRoot r{OpenRootForChange(which, KEY_QUERY_VALUE), {}};
    if (r.Key) r.Name = KeyName(r.Key.get());
    return r;
  };
  static const ChangeRoot user = open(kHkeyCurrentUser), machine = open(kHkeyLocalMachine), users = open(kHkeyUsers);
  static const ChangeRoot none;
  return root == kHkeyCurrentUser ? user : root == kHkeyLocalMachine ? machine : root == kHkeyUsers ? users : none;
}

struct OpenedInPlace {
  unique_hkey Key;
  Text Name;  // the key's full name
  bool Made = false;
};

// Opens, or with create makes, the key of one name below parent (whose full
// name is parentName) with OBJ_OPENLINK, so that a link of that name is opened
// as itself, and checks that the key reached is that one: its full name is
// parentName and one name more. Windows follows a link that a relative open
// starts from, so a key on the way that became a link after its own check shows
// here under its target's name. A key made here and then refused is deleted
// again. The key is opened with KEY_QUERY_VALUE besides access, for the link
// check; nothing when refused.
OpenedInPlace OpenInPlace(HKEY parent, const Text& parentName, const Text& name, REGSAM access, bool create) {
  OpenedInPlace opened;
  const NtKeyCalls& nt = Nt();
  if (!nt.Open || !nt.Create || name.empty() || name.size() > 255) return {};
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(W(name));
  text.Length = text.MaximumLength = USHORT(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_OPENLINK, parent, nullptr);
  access |= KEY_QUERY_VALUE;
  HANDLE handle = nullptr;
  LONG status;
  if (create) {
    // DELETE as well, to take back a key made here; an existing key that
    // refuses that right is opened without it.
    ULONG disposition = 0;
    status = nt.Create(&handle, access | DELETE, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
    if (status >= 0) {
      opened.Made = disposition == REG_CREATED_NEW_KEY;
    } else if (status == kStatusAccessDenied) {
      status = nt.Open(&handle, access, &attributes);
    }
  } else {
    status = nt.Open(&handle, access, &attributes);
  }
  if (status < 0) return {};
  opened.Key.reset(static_cast<HKEY>(handle));
  opened.Name = KeyName(opened.Key.get());
  const size_t at = parentName.size();
  const bool inPlace = !parentName.empty() && opened.Name.size() > at + 1 &&
                       opened.Name.compare(0, at, parentName) == 0 && opened.Name[at] == u'\\' &&
                       opened.Name.find(u'\\', at + 1) == Text::npos;
  if (!inPlace) {
    if (opened.Made) DeleteThrough(opened.Key.get());
    return {};
  }
  return opened;
}

// Deletes every key below key, each after its own subkeys, through the handles
// this walk opened and checked: a link is deleted as the link key itself, never
// entered. The first refusal ends the walk.
bool DeleteBelow(HKEY key, const Text& keyName, REGSAM view) {
  wchar_t child[256];
  // Always enumerate index 0: each pass deletes what it found there.
  for (;;) {
    DWORD len = 256;
    const LONG rc = RegEnumKeyExW(key, 0, child, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return true;
    if (rc != ERROR_SUCCESS) return false;
    OpenedInPlace sub = OpenInPlace(key, keyName, U(child, len), KEY_READ | DELETE | view, false);
    if (!sub.Key) return false;
    const LinkState state = LinkStateOf(sub.Key.get());
    if (state == LinkState::Unknown) return false;
    if (state == LinkState::NotLink && !DeleteBelow(sub.Key.get(), sub.Name, view)) return false;
    if (!DeleteThrough(sub.Key.get())) return false;
  }
}

class WinKey final : public RegistryKey {
 public:
  // A predefined root: borrowed, never closed; changes below it start from a
  // handle of its own to the same key.
  WinKey(HKEY predefined, uint32_t root) : FHandle(predefined), FRoot(root) {}
  // A key opened for reading, possibly through a link: no change starts here.
  explicit WinKey(unique_hkey owned) : FOwned(std::move(owned)), FHandle(FOwned.get()) {}
  // A key opened for a change, no link on its way, with its full name.
  WinKey(unique_hkey owned, Text name) : FOwned(std::move(owned)), FHandle(FOwned.get()), FName(std::move(name)) {}

  std::unique_ptr<RegistryKey> Open(const Text& path, uint32_t sam) override {
    unique_hkey key;
    if (RegOpenKeyExW(FHandle, W(path), 0, sam, key.put()) != ERROR_SUCCESS || !key) return nullptr;
    return std::make_unique<WinKey>(std::move(key));
  }

  std::unique_ptr<RegistryKey> OpenChild(const Text& name, uint32_t sam, bool create) override {
    if (name.empty()) {
      if (!FRoot) return nullptr;
      unique_hkey self = OpenRootForChange(FRoot, sam);
      Text selfName = self ? KeyName(self.get()) : Text();
      if (selfName.empty()) return nullptr;
      return std::make_unique<WinKey>(std::move(self), std::move(selfName));
    }
    const HKEY parent = ChangeBase();
    if (!parent) return nullptr;
    OpenedInPlace opened = OpenInPlace(parent, FName, name, sam, create);
    if (!opened.Key) return nullptr;
    if (LinkStateOf(opened.Key.get()) != LinkState::NotLink) {
      if (opened.Made) DeleteThrough(opened.Key.get());
      return nullptr;
    }
    return std::make_unique<WinKey>(std::move(opened.Key), std::move(opened.Name));
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

  bool DeleteTree(const Text& name, uint32_t sam) override {
    const HKEY parent = ChangeBase();
    if (!parent) return false;
    const REGSAM view = sam & KEY_WOW64_RES;
    OpenedInPlace top = OpenInPlace(parent, FName, name, KEY_READ | DELETE | view, false);
    if (!top.Key || LinkStateOf(top.Key.get()) != LinkState::NotLink) return false;
    return DeleteBelow(top.Key.get(), top.Name, view) && DeleteThrough(top.Key.get());
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
  // The handle a change below this key starts from, with its full name: none
  // for a key opened for reading.
  HKEY ChangeBase() {
    if (FRoot) {
      const ChangeRoot& root = ChangeRootOf(FRoot);
      FName = root.Name;
      return root.Name.empty() ? nullptr : root.Key.get();
    }
    return FName.empty() ? nullptr : FOwned.get();
  }

  unique_hkey FOwned;
  HKEY FHandle;
  uint32_t FRoot = 0;
  Text FName;  // the full name of a key no link led to; empty for the others
};

class WinRegistry final : public RegistryBackend {
 public:
  std::unique_ptr<RegistryKey> Root(uint32_t root) override {
    if (root < kHkeyClassesRoot || root > kHkeyDynData) return nullptr;
    return std::make_unique<WinKey>(PredefinedKey(root), root);
  }
};

}  // namespace

RegistryBackend& WindowsRegistry() {
  static WinRegistry registry;
  return registry;
}

}  // namespace vek

#include "tests/support/registry_links_win.h"

#include "vek/handles_win.h"

namespace qvtest {
namespace {

constexpr wchar_t kLinkValue[] = L"SymbolicLinkValue";

// advapi32 deletes a key by name, following a link there; ntdll deletes the key
// a handle holds, which opened with REG_OPTION_OPEN_LINK is the link itself.
using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
using NtQueryKeyFn = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
constexpr ULONG kKeyNameInformation = 3;

vek::unique_hkey OpenLink(HKEY root, const std::wstring& key, REGSAM access) {
  vek::unique_hkey h;
  if (RegOpenKeyExW(root, key.c_str(), REG_OPTION_OPEN_LINK, access | KEY_WOW64_64KEY, h.put()) != ERROR_SUCCESS)
    return {};
  return h;
}

std::wstring LinkTargetOf(HKEY key) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, kLinkValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_LINK) return {};
  std::wstring target(size / sizeof(wchar_t), L'\0');
  if (RegQueryValueExW(key, kLinkValue, nullptr, &type, reinterpret_cast<BYTE*>(target.data()), &size) != ERROR_SUCCESS)
    return {};
  target.resize(size / sizeof(wchar_t));
  return target;
}

void DumpInto(HKEY key, const std::wstring& path, bool below, std::vector<DumpedKey>& out) {
  DumpedKey dumped{path, {}};
  DWORD maxName = 0, maxData = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                   nullptr);
  std::vector<wchar_t> name(maxName + 2);
  std::vector<BYTE> data(maxData + 2);
  for (DWORD i = 0;; ++i) {
    DWORD nameLen = DWORD(name.size()), dataLen = DWORD(data.size()), type = 0;
    if (RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type, data.data(), &dataLen) != ERROR_SUCCESS) break;
    dumped.Values.push_back({std::wstring(name.data(), nameLen), type, std::vector<BYTE>(data.begin(), data.begin() + dataLen)});
  }
  out.push_back(std::move(dumped));
  if (!below) return;
  std::vector<std::wstring> subkeys;
  wchar_t sub[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumKeyExW(key, i, sub, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    subkeys.emplace_back(sub, len);
  }
  for (const std::wstring& s : subkeys) {
    vek::unique_hkey child = OpenLink(key, s, KEY_READ);
    if (child) DumpInto(child.get(), path + L"\\" + s, LinkTargetOf(child.get()).empty(), out);
  }
}

}  // namespace

bool MakeLink(HKEY root, const std::wstring& key, const std::wstring& target) {
  vek::unique_hkey h;
  DWORD disposition = 0;
  if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                      h.put(), &disposition) != ERROR_SUCCESS ||
      disposition != REG_CREATED_NEW_KEY)
    return false;
  // The target's name without a terminating NUL, as the registry expects it.
  if (RegSetValueExW(h.get(), kLinkValue, 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                     DWORD(target.size() * sizeof(wchar_t))) != ERROR_SUCCESS) {
    h.reset();
    DeleteLink(root, key);
    return false;
  }
  return true;
}

std::wstring LinkTarget(HKEY root, const std::wstring& key) {
  vek::unique_hkey h = OpenLink(root, key, KEY_QUERY_VALUE);
  return h ? LinkTargetOf(h.get()) : std::wstring();
}

void DeleteLink(HKEY root, const std::wstring& key) {
  static const auto deleteKey = vek::GetProc<NtDeleteKeyFn>(L"ntdll.dll", "NtDeleteKey");
  vek::unique_hkey h = OpenLink(root, key, KEY_QUERY_VALUE | DELETE);
  if (h && deleteKey && !LinkTargetOf(h.get()).empty()) deleteKey(h.get());
}

std::wstring RegistryName(HKEY root, const std::wstring& key) {
  static const auto queryKey = vek::GetProc<NtQueryKeyFn>(L"ntdll.dll", "NtQueryKey");
  vek::unique_hkey h;
  if (!queryKey || RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, h.put()) != ERROR_SUCCESS)
    return {};
  std::vector<ULONG> buffer(4096);  // the name's length in bytes, then the name
  ULONG got = 0;
  if (queryKey(h.get(), kKeyNameInformation, buffer.data(), ULONG(buffer.size() * sizeof(ULONG)), &got) < 0) return {};
  return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + 1), buffer[0] / sizeof(wchar_t));
}

std::vector<DumpedKey> DumpTree(HKEY root, const std::wstring& key, bool below) {
  std::vector<DumpedKey> out;
  vek::unique_hkey h = OpenLink(root, key, KEY_READ);
  if (h) DumpInto(h.get(), key, below && LinkTargetOf(h.get()).empty(), out);
  return out;
}

}  // namespace qvtest

#include "tests/support/registry_sandbox_win.h"

#include "vek/handles_win.h"
#include "vek/strings.h"

namespace qvtest {
namespace {

constexpr wchar_t kParent[] = L"Software\\Quorvane Tests";

// Deletes the parent only when no other test's key is left below it.
void DeleteParentIfEmpty() {
  vek::unique_hkey parent;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kParent, 0, KEY_READ, parent.put()) != ERROR_SUCCESS) return;
  DWORD subkeys = 1;
  RegQueryInfoKeyW(parent.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr);
  parent.reset();
  if (subkeys == 0) RegDeleteKeyW(HKEY_CURRENT_USER, kParent);
}

}  // namespace

vek::Text TestName() { return vek::FromUtf8(::testing::UnitTest::GetInstance()->current_test_info()->name()); }

void WriteValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const std::wstring& text) {
  vek::unique_hkey h;
  ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, h.put(),
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                           DWORD((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

void DeleteValue(HKEY root, const std::wstring& key, const wchar_t* name) {
  vek::unique_hkey h;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, h.put()) == ERROR_SUCCESS)
    RegDeleteValueW(h.get(), name);
}

void DeleteTree(HKEY root, const std::wstring& key) {
  vek::unique_hkey h;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, h.put()) == ERROR_SUCCESS) {
    RegDeleteTreeW(h.get(), nullptr);
    h.reset();
    RegDeleteKeyExW(root, key.c_str(), KEY_WOW64_64KEY, 0);
  }
}

bool KeyExists(HKEY root, const std::wstring& key) {
  vek::unique_hkey h;
  return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, h.put()) == ERROR_SUCCESS;
}

void PrintTo(const DumpedKey& key, std::ostream* out) {
  *out << vek::ToUtf8(vek::U(key.Path.c_str()));
  for (const DumpedValue& v : key.Values) {
    *out << " [" << vek::ToUtf8(vek::U(v.Name.c_str())) << " " << v.Type << " ";
    for (BYTE b : v.Data) *out << "0123456789abcdef"[b >> 4] << "0123456789abcdef"[b & 15];
    *out << "]";
  }
}

void RegistrySandbox::SetUp() {
  sandbox_ = vek::U(kParent) + u"\\" + TestName();
  path_ = sandbox_;
  RegDeleteTreeW(HKEY_CURRENT_USER, vek::W(path_));
  ASSERT_TRUE(CreateKey());
}

void RegistrySandbox::TearDown() {
  RegDeleteTreeW(HKEY_CURRENT_USER, vek::W(path_));
  RegDeleteKeyW(HKEY_CURRENT_USER, vek::W(path_));
  if (path_ != sandbox_) {
    RegDeleteTreeW(HKEY_CURRENT_USER, vek::W(sandbox_));
    RegDeleteKeyW(HKEY_CURRENT_USER, vek::W(sandbox_));
  }
  DeleteParentIfEmpty();
}

vek::Text RegistrySandbox::Key(const vek::Text& below) const { return below.empty() ? path_ : path_ + u"\\" + below; }

vek::Text RegistrySandbox::Path(const vek::Text& below) const { return u"\\" + Key(below); }

bool RegistrySandbox::CreateKey(const vek::Text& below) {
  vek::unique_hkey key;
  return RegCreateKeyExW(HKEY_CURRENT_USER, vek::W(Key(below)), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                         nullptr) == ERROR_SUCCESS;
}

bool RegistrySandbox::KeyExists(const vek::Text& below) const {
  vek::unique_hkey key;
  return RegOpenKeyExW(HKEY_CURRENT_USER, vek::W(Key(below)), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void RegistrySandbox::SetRaw(const vek::Text& name, DWORD type, const void* data, DWORD size, const vek::Text& below) {
  vek::unique_hkey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, vek::W(Key(below)), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key.get(), vek::W(name), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void RegistrySandbox::SetText(const vek::Text& name, const vek::Text& value, DWORD type, const vek::Text& below) {
  SetRaw(name, type, value.c_str(), DWORD((value.size() + 1) * sizeof(char16_t)), below);
}

bool RegistrySandbox::SetDword(const vek::Text& name, DWORD value, const vek::Text& below) {
  vek::unique_hkey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, vek::W(Key(below)), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS)
    return false;
  return RegSetValueExW(key.get(), vek::W(name), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
         ERROR_SUCCESS;
}

DWORD RegistrySandbox::ReadDword(const vek::Text& name, const vek::Text& below) const {
  DWORD value = 0, size = sizeof value;
  RegGetValueW(HKEY_CURRENT_USER, vek::W(Key(below)), vek::W(name), RRF_RT_REG_DWORD, nullptr, &value, &size);
  return value;
}

}  // namespace qvtest

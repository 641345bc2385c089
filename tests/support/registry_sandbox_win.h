#pragma once
// A registry sandbox for tests against the real registry: each test works under
// its own key HKCU\Software\Quorvane Tests\<test>, made empty before the test
// and removed after it, with the shared parent once no other test's key is left.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/registry_links_win.h"
#include "vek/text.h"
#include "vek/win32.h"

namespace qvtest {

class RegistrySandbox : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The key the test works under, below HKEY_CURRENT_USER without a leading
  // backslash; the sandbox unless the test points it elsewhere, and removed
  // after the test wherever it points.
  vek::Text path_;

  // path_ or a key below it, as the Win32 calls take it.
  vek::Text Key(const vek::Text& below = u"") const;
  // The same from the root with a leading backslash, as the program writes key
  // paths.
  vek::Text Path(const vek::Text& below = u"") const;

  // Raw Win32 writes and reads below path_; a write makes the key when missing.
  bool CreateKey(const vek::Text& below = u"");
  bool KeyExists(const vek::Text& below) const;
  void SetRaw(const vek::Text& name, DWORD type, const void* data, DWORD size, const vek::Text& below = u"");
  void SetText(const vek::Text& name, const vek::Text& value, DWORD type = REG_SZ, const vek::Text& below = u"");
  bool SetDword(const vek::Text& name, DWORD value, const vek::Text& below = u"");
  // 0 when the value is missing or not a REG_DWORD.
  DWORD ReadDword(const vek::Text& name, const vek::Text& below = u"") const;

 private:
  vek::Text sandbox_;
};

// The running test's name, for keys and files of its own.
vek::Text TestName();

// Raw Win32 calls on keys outside the sandbox, for tests of what the program
// reads at fixed places (Run keys, add-on registrations), in the 64-bit view.
// WriteValue makes the key when missing and fails the test when it cannot
// write; the deletions do nothing when there is nothing to delete.
void WriteValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const std::wstring& text);
void DeleteValue(HKEY root, const std::wstring& key, const wchar_t* name);
void DeleteTree(HKEY root, const std::wstring& key);
bool KeyExists(HKEY root, const std::wstring& key);

// Dumped keys in failure messages: the path, then each value's name, type and
// data in hexadecimal.
void PrintTo(const DumpedKey& key, std::ostream* out);

}  // namespace qvtest

// The browser add-on page against the real registry: a helper object registered
// under a class identifier of this test's own, and its per-user settings key.
#include <gtest/gtest.h>

#include "core/lib.h"
#include "pages/browser/browser_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/registry_sandbox_win.h"
#include "vek/handles_win.h"

#include <commctrl.h>

namespace {

using qvtest::DeleteTree;
using qvtest::KeyExists;
using qvtest::WriteValue;
using vek::Text;

constexpr wchar_t kHelpers[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr wchar_t kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings";
constexpr wchar_t kClasses[] = L"Software\\Classes\\CLSID";

// Type and raw data of a value; type 0 when it cannot be read.
std::pair<DWORD, std::vector<BYTE>> ReadRaw(HKEY root, const std::wstring& key, const wchar_t* name) {
  vek::unique_hkey h;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, h.put()) != ERROR_SUCCESS) return {};
  std::vector<BYTE> data(256);
  DWORD type = 0, size = DWORD(data.size());
  if (RegQueryValueExW(h.get(), name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return {};
  data.resize(size);
  return {type, data};
}

std::wstring ProgramPath() { return vek::W(qvtest::BesideTestProgram(u"quorvane.exe")); }

class BrowserPageWin : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    host_ = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    wchar_t guid[40];
    swprintf(guid, 40, L"{5157A1E0-0000-4000-8000-%012lX}", GetCurrentProcessId());
    clsid_ = guid;
    name_ = L"Quorvane Test Helper " + std::to_wstring(GetCurrentProcessId());
    WriteValue(HKEY_LOCAL_MACHINE, std::wstring(kClasses) + L"\\" + clsid_, nullptr, REG_SZ, name_);
    WriteValue(HKEY_LOCAL_MACHINE, std::wstring(kClasses) + L"\\" + clsid_ + L"\\InprocServer32", nullptr, REG_SZ,
               ProgramPath());
    vek::unique_hkey h;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kHelpers) + L"\\" + clsid_).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, h.put(), nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    DeleteTree(HKEY_LOCAL_MACHINE, std::wstring(kHelpers) + L"\\" + clsid_);
    DeleteTree(HKEY_LOCAL_MACHINE, std::wstring(kClasses) + L"\\" + clsid_);
    DeleteTree(HKEY_CURRENT_USER, Settings());
    DestroyWindow(host_);
  }
  std::wstring Settings() const { return std::wstring(kSettings) + L"\\" + clsid_; }
  int Row(pages::TFrmBrowser& page) const { return core::FindCaptionIndex(page.ListApp(), vek::U(name_.c_str())); }

  HWND host_ = nullptr;
  std::wstring clsid_, name_;
};

TEST_F(BrowserPageWin, UntickingWritesTheSettingsKeyAndTickingDeletesIt) {
  pages::TFrmBrowser page(host_);
  EXPECT_FALSE(page.Visible());
  int row = Row(page);
  ASSERT_GE(row, 0);
  EXPECT_EQ(page.ListApp().SubItem(row, 0), u"쿼베노") << "the server file's company name";
  EXPECT_EQ(page.ListApp().SubItem(row, 1), vek::U(clsid_.c_str()));
  EXPECT_EQ(page.ListApp().ImageIndex(row), 0);
  EXPECT_TRUE(page.ListApp().Checked(row));

  page.ListApp().SetChecked(row, false);
  page.SetInfo();
  EXPECT_TRUE(page.Apply);
  auto flags = ReadRaw(HKEY_CURRENT_USER, Settings(), L"Flags");
  EXPECT_EQ(flags.first, DWORD(REG_DWORD));
  EXPECT_EQ(flags.second, (std::vector<BYTE>{1, 0, 0, 0}));
  auto version = ReadRaw(HKEY_CURRENT_USER, Settings(), L"Version");
  EXPECT_EQ(version.first, DWORD(REG_SZ));
  EXPECT_EQ(version.second, (std::vector<BYTE>{'*', 0, 0, 0}));

  page.GetInfo();
  EXPECT_FALSE(page.Apply);
  row = Row(page);
  ASSERT_GE(row, 0);
  EXPECT_FALSE(page.ListApp().Checked(row));

  page.ListApp().SetChecked(row, true);
  page.SetInfo();
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Settings()));
  page.GetInfo();
  EXPECT_TRUE(page.ListApp().Checked(Row(page)));

  std::vector<Text> records;
  page.LogInfo(records);
  EXPECT_EQ(records.size(), page.CLSIDList.size());
}

}  // namespace

// The installed-program inventory against the real registry and file system:
// one sandbox key read as an Uninstall key, the Windows Installer cache under a
// WinDir of the test's own, folder dates, and GetInstall over the real keys.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/report.h"
#include "pages/install/install_win.h"
#include "tests/support/registry_sandbox_win.h"
#include "vek/handles_win.h"

#include <commctrl.h>
#include "vek/install.h"
#include "vek/registry.h"

namespace {

using vek::Text;

constexpr char16_t kGuid[] = u"{0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}";

Text TempFolder() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, buf);
  Text t = vek::U(buf, n);
  if (!t.empty() && t.back() == u'\\') t.pop_back();
  return t;
}

class InstallWin : public qvtest::RegistrySandbox {
 protected:
  void SetUp() override {
    RegistrySandbox::SetUp();
    previous_ = vek::SetInstallFiles(&vek::WindowsInstallFiles());
  }
  void TearDown() override {
    vek::SetInstallFiles(previous_);
    RegistrySandbox::TearDown();
  }
  vek::TInstallList ReadSandbox() {
    vek::TInstallList list;
    vek::ReadUninstallKey(list, vek::kHkeyCurrentUser, Path());
    return list;
  }
  vek::InstallFiles* previous_ = nullptr;
};

TEST_F(InstallWin, ReadsRealValuesOfEveryType) {
  SetText(u"DisplayName", u"  Veraport G3  ", REG_SZ, u"a");
  SetText(u"UninstallString", u"%ProgramFiles%\\Wizvera\\unins.exe /S", REG_EXPAND_SZ, u"a");
  ASSERT_TRUE(SetDword(u"DisplayVersion", 0xFFFFFFFF, u"a"));
  ASSERT_TRUE(SetDword(u"EstimatedSize", 512, u"a"));
  ASSERT_TRUE(SetDword(u"InstallDate", 20240131, u"a"));
  ASSERT_TRUE(SetDword(u"NoRemove", 0, u"a"));
  SetText(u"DisplayName", u"Hidden", REG_SZ, u"b");
  SetText(u"UninstallString", u"x.exe", REG_SZ, u"b");
  ASSERT_TRUE(SetDword(u"SystemComponent", 1, u"b"));
  SetText(u"DisplayName", u"Child", REG_SZ, u"c");
  SetText(u"UninstallString", u"x.exe", REG_SZ, u"c");
  SetRaw(u"ParentKeyName", REG_SZ, L"", 2, u"c");
  SetText(u"DisplayName", u"Odd", REG_SZ, u"d");
  SetText(u"UninstallString", u"x.exe", REG_SZ, u"d");
  SetRaw(u"NoRemove", REG_BINARY, "\1\0\0\0", 4, u"d");
  SetRaw(u"Publisher", REG_SZ, L"Pub\0lisher", 22, u"d");  // an inner NUL ends the text

  vek::TInstallList list = ReadSandbox();
  ASSERT_EQ(list.size(), 2u);
  const vek::TInstallInfo& a = *list[0];
  EXPECT_EQ(a.DisplayName, u"Veraport G3");
  EXPECT_EQ(a.DisplayVersion, u"-1");
  EXPECT_EQ(a.EstimatedSize, 512);
  EXPECT_EQ(a.InstallDate, u"20240131");
  wchar_t programFiles[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
  EXPECT_EQ(a.UninstallString, vek::U(programFiles) + u"\\Wizvera\\unins.exe /S");
  EXPECT_EQ(list[1]->DisplayName, u"Odd");
  EXPECT_EQ(list[1]->Publisher, u"Pub");
}

TEST_F(InstallWin, CachedInstallerIconAndFolderDateFromTheFileSystem) {
  // A WinDir of the test's own holds the Installer cache folder of one product.
  const Text root = TempFolder() + u"\\qv-install-" + vek::FromUtf8(std::to_string(GetCurrentProcessId()));
  const Text cache = root + u"\\Installer\\" + kGuid;
  const Text app = root + u"\\App";
  for (const Text& dir : {root, root + u"\\Installer", cache, cache + u"\\sub", app})
    ASSERT_TRUE(CreateDirectoryW(vek::W(dir), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  for (const Text& file : {cache + u"\\product.ico", app + u"\\app.exe"}) {
    vek::unique_hfile f(CreateFileW(vek::W(file), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f);
  }
  {
    // Noon local time on 15 June 2020, so no time zone moves the day.
    SYSTEMTIME local{2020, 6, 1, 15, 12, 0, 0, 0}, utc;
    FILETIME ft;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &ft));
    vek::unique_hfile dir(CreateFileW(vek::W(app), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(dir);
    ASSERT_TRUE(SetFileTime(dir.get(), nullptr, nullptr, &ft));
  }
  wchar_t saved[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"WinDir", saved, MAX_PATH);
  SetEnvironmentVariableW(L"WinDir", vek::W(root));

  SetText(u"DisplayName", u"Msi product", REG_SZ, u"msi");
  SetText(u"UninstallString", Text(u"MsiExec.exe /X") + kGuid, REG_SZ, u"msi");
  SetText(u"DisplayName", u"Dated", REG_SZ, u"dated");
  SetText(u"UninstallString", u"\"" + app + u"\\app.exe\" /uninstall", REG_SZ, u"dated");
  SetText(u"InstallDate", u"", REG_SZ, u"dated");
  vek::TInstallList list = ReadSandbox();
  const Text folderDate = vek::GetFolderDate(app + u"\\app.exe");

  SetEnvironmentVariableW(L"WinDir", saved);
  DeleteFileW(vek::W(cache + u"\\product.ico"));
  DeleteFileW(vek::W(app + u"\\app.exe"));
  for (const Text& dir : {cache + u"\\sub", cache, root + u"\\Installer", app, root}) RemoveDirectoryW(vek::W(dir));

  ASSERT_EQ(list.size(), 2u);
  std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a->DisplayName < b->DisplayName; });
  EXPECT_EQ(list[0]->DisplayIcon, app + u"\\app.exe");
  EXPECT_EQ(list[0]->InstallDate, u"20200615");
  EXPECT_EQ(folderDate, u"20200615");
  EXPECT_EQ(list[1]->DisplayIcon, cache + u"\\product.ico");
}

TEST_F(InstallWin, GetInstallListsAnEntryOfTheUsersUninstallKey) {
  const Text uninstall = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  const Text entry = u"QuorvaneTest-" + vek::FromUtf8(std::to_string(GetCurrentProcessId()));
  path_ = uninstall + u"\\" + entry;  // removed by TearDown
  SetText(u"DisplayName", u"Quorvane test " + entry);
  SetText(u"UninstallString", u"C:\\nowhere\\unins.exe");
  SetText(u"InstallDate", u"99991231");
  vek::TInstallList list;
  vek::GetInstall(list);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list[0]->DisplayName, u"Quorvane test " + entry) << "the latest date comes first";
}

TEST_F(InstallWin, PageFormControlsAndReport) {
  const Text entry = u"QuorvaneTest-" + vek::FromUtf8(std::to_string(GetCurrentProcessId()));
  path_ = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + entry;  // removed by TearDown
  SetText(u"DisplayName", u"Quorvane \"page\" " + entry);
  SetText(u"UninstallString", u"C:\\nowhere\\unins.exe");

  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&icc);
  HWND parent = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 600, 500, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(parent) << GetLastError();
  {
    pages::TFrmInstall page(parent);
    ASSERT_TRUE(page.Handle());
    EXPECT_EQ(GetParent(page.Handle()), parent);
    EXPECT_FALSE(page.Visible());
    RECT rc;
    GetWindowRect(page.Handle(), &rc);
    const UINT dpi = ui::WindowDpi(parent);
    EXPECT_EQ(rc.right - rc.left, ui::Scale(500, dpi));
    EXPECT_EQ(rc.bottom - rc.top, ui::Scale(400, dpi));
    EXPECT_EQ(page.ListApp().ColumnCount(), 2);
    EXPECT_EQ(ListView_GetExtendedListViewStyle(page.ListApp().Handle()) & LVS_EX_CHECKBOXES, 0u);
    wchar_t caption[32] = L"";
    GetWindowTextW(page.BtnSubmit(), caption, 32);
    EXPECT_EQ(vek::U(caption), u"제거하기");
    EXPECT_EQ(GetWindowLongW(page.BtnSubmit(), GWL_STYLE) & WS_TABSTOP, 0);
    // Without a main window there is no plug-in list, so no program gets a row;
    // the report still has every program.
    EXPECT_EQ(page.ListApp().RowCount(), 0);
    page.ListAppDblClick();  // no row: nothing
    std::vector<Text> records;
    page.LogInfo(records);
    EXPECT_NE(std::find(records.begin(), records.end(), core::InstallRecord(u"Quorvane \"page\" " + entry, u"")),
              records.end());
  }
  DestroyWindow(parent);
}

}  // namespace

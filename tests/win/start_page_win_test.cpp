// The list-view and image-list wrappers on real controls, and the startup entries
// page against the real registry: seeded Run values and backups with names of
// their own, removed again by each test.
#include <gtest/gtest.h>

#include "core/lib.h"
#include "pages/start/start_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/registry_sandbox_win.h"
#include "ui/listview_win.h"
#include "vek/handles_win.h"

#include <commctrl.h>

namespace {

using qvtest::DeleteTree;
using qvtest::DeleteValue;
using qvtest::WriteValue;
using vek::Text;

constexpr wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kStore[] = L"SOFTWARE\\Microsoft\\Shared Tools\\MSConfig\\startupreg";

// A hidden top-level window to own the controls under test.
class HostWindow {
 public:
  HostWindow() {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    hwnd_ = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  }
  ~HostWindow() { DestroyWindow(hwnd_); }
  HWND get() const { return hwnd_; }

 private:
  HWND hwnd_;
};

// A value's type and text, or type 0 when it cannot be read.
struct Value {
  DWORD type = 0;
  Text text;
};

Value ReadValue(HKEY root, const std::wstring& key, const wchar_t* name) {
  vek::unique_hkey h;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, h.put()) != ERROR_SUCCESS) return {};
  wchar_t buffer[1024] = {};
  DWORD type = 0, size = sizeof(buffer) - sizeof(wchar_t);
  if (RegQueryValueExW(h.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) return {};
  return {type, vek::U(buffer)};
}

// The program beside the test program: it carries a version resource and an icon.
std::wstring ProgramPath() { return vek::W(qvtest::BesideTestProgram(u"quorvane.exe")); }

TEST(ListViewWin, RowsKeepHiddenSubItemsTicksAndImages) {
  HostWindow host;
  ui::Win32ImageList images;
  EXPECT_EQ(images.Count(), 1) << "the built-in image";
  ui::Win32ListView view(ui::Win32ListView::Create(host.get(), 1));
  ASSERT_NE(view.Handle(), nullptr);
  view.AddColumn(u"이름", 100);
  view.AddColumn(u"게시자", 80);
  view.SetImages(images);

  vek::unique_hicon icon(static_cast<HICON>(LoadImageW(nullptr, MAKEINTRESOURCEW(32512), IMAGE_ICON, 24, 24, LR_SHARED)));
  HICON raw = icon.release();  // shared: never destroyed
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(images.AddIcon(raw), 1);
  EXPECT_EQ(images.AddIcon(raw), 2);
  EXPECT_EQ(images.AddIcon(nullptr), -1);

  const Text longText(700, u'가');
  EXPECT_EQ(view.AddRow(u"첫째", {u"회사", u"hidden one", u"hidden two"}, 2, true), 0);
  EXPECT_EQ(view.AddRow(longText, {u"", u"x"}, 0, false), 1);
  ASSERT_EQ(view.RowCount(), 2);
  EXPECT_EQ(view.Caption(0), u"첫째");
  EXPECT_EQ(view.Caption(1), longText);
  EXPECT_EQ(view.SubItemCount(0), 3);
  EXPECT_EQ(view.SubItem(0, 0), u"회사");
  EXPECT_EQ(view.SubItem(0, 1), u"hidden one");
  EXPECT_EQ(view.SubItem(0, 2), u"hidden two");
  EXPECT_EQ(view.SubItem(0, 3), u"");
  EXPECT_EQ(view.SubItem(1, 1), u"x");
  EXPECT_EQ(view.ImageIndex(0), 2);
  EXPECT_TRUE(view.Checked(0));
  EXPECT_FALSE(view.Checked(1));
  view.SetChecked(0, false);
  view.SetChecked(1, true);
  EXPECT_FALSE(view.Checked(0));
  EXPECT_TRUE(view.Checked(1));
  EXPECT_EQ(core::FindSubItemIndex(view, u"x", 1), 1);

  view.Clear();
  EXPECT_EQ(view.RowCount(), 0);
  EXPECT_EQ(view.SubItemCount(0), 0);
  images.RemoveAdded();
  EXPECT_EQ(images.Count(), 1);
  EXPECT_EQ(view.AddRow(u"again", {u"p", u"k"}, 0, true), 0);
  EXPECT_EQ(view.SubItem(0, 1), u"k");
}

// Seeds HKCU Run and the backup store with entries of this test's own names.
class StartPageWin : public ::testing::Test {
 protected:
  void SetUp() override {
    item_ = L"QuorvaneTest" + std::to_wstring(GetCurrentProcessId());
    backupItem_ = item_ + L"Off";
    command_ = L"\"" + ProgramPath() + L"\" /tray";
    ASSERT_NE(GetFileAttributesW(ProgramPath().c_str()), INVALID_FILE_ATTRIBUTES) << "quorvane.exe is built first";
  }
  void TearDown() override {
    for (const std::wstring& name : {item_, backupItem_}) {
      DeleteValue(HKEY_CURRENT_USER, kRun, name.c_str());
      DeleteValue(HKEY_LOCAL_MACHINE, kRun, name.c_str());
      DeleteTree(HKEY_LOCAL_MACHINE, std::wstring(kStore) + L"\\" + name);
    }
  }
  static int RowOf(pages::TFrmStart& page, const std::wstring& name) {
    return core::FindSubItemIndex(page.ListApp(), vek::U(name.c_str()), 0);
  }

  std::wstring item_, backupItem_, command_;
};

TEST_F(StartPageWin, ListsSeededEntriesAndMovesThemBetweenRunKeyAndStore) {
  HostWindow host;
  WriteValue(HKEY_CURRENT_USER, kRun, item_.c_str(), REG_SZ, command_);
  const std::wstring backup = std::wstring(kStore) + L"\\" + backupItem_;
  // A backup as the System Configuration utility writes it: no leading backslash.
  WriteValue(HKEY_LOCAL_MACHINE, backup, L"command", REG_SZ, L"C:\\Missing\\tool.exe -q");
  WriteValue(HKEY_LOCAL_MACHINE, backup, L"hkey", REG_SZ, L"HKLM");
  WriteValue(HKEY_LOCAL_MACHINE, backup, L"key", REG_SZ, kRun);

  pages::TFrmStart page(host.get());
  EXPECT_FALSE(page.Visible());
  EXPECT_FALSE(page.Apply);
  int row = RowOf(page, item_), off = RowOf(page, backupItem_);
  ASSERT_GE(row, 0);
  ASSERT_GE(off, 0);
  EXPECT_EQ(page.ListApp().Caption(row), u"쿼베노");
  EXPECT_EQ(page.ListApp().SubItem(row, 1), u"쿼베노");
  EXPECT_EQ(page.ListApp().SubItem(row, 2), vek::U(command_.c_str()));
  EXPECT_GE(page.ListApp().ImageIndex(row), 1) << "the program's own icon";
  EXPECT_TRUE(page.ListApp().Checked(row));
  EXPECT_EQ(page.ListApp().Caption(off), vek::U(backupItem_.c_str()));
  EXPECT_EQ(page.ListApp().SubItem(off, 1), u"알수없음");
  EXPECT_EQ(page.ListApp().ImageIndex(off), 0);
  EXPECT_FALSE(page.ListApp().Checked(off));

  page.ListApp().SetChecked(row, false);
  page.ListApp().SetChecked(off, true);
  page.SetInfo();
  EXPECT_TRUE(page.Apply);
  const std::wstring saved = std::wstring(kStore) + L"\\" + item_;
  struct Expected {
    const wchar_t* name;
    std::wstring text;
  } values[] = {{L"command", command_},
                {L"hkey", L"HKCU"},
                {L"key", L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
                {L"item", item_},
                {L"inimapping", L"0"}};
  for (const Expected& v : values) {
    Value got = ReadValue(HKEY_LOCAL_MACHINE, saved, v.name);
    EXPECT_EQ(got.type, DWORD(REG_SZ)) << vek::ToUtf8(vek::U(v.name));
    EXPECT_EQ(got.text, vek::U(v.text.c_str())) << vek::ToUtf8(vek::U(v.name));
  }
  EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, kRun, item_.c_str()).type, 0u);
  Value restored = ReadValue(HKEY_LOCAL_MACHINE, kRun, backupItem_.c_str());
  EXPECT_EQ(restored.type, DWORD(REG_SZ));
  EXPECT_EQ(restored.text, u"C:\\Missing\\tool.exe -q");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, backup, L"command").type, 0u);

  const int imagesBefore = page.ImageList1().Count();
  page.GetInfo();
  EXPECT_FALSE(page.Apply);
  EXPECT_EQ(page.ImageList1().Count(), imagesBefore) << "a rebuild replaces the icons of the last one";
  row = RowOf(page, item_);
  off = RowOf(page, backupItem_);
  ASSERT_GE(row, 0);
  ASSERT_GE(off, 0);
  EXPECT_FALSE(page.ListApp().Checked(row));
  EXPECT_TRUE(page.ListApp().Checked(off));

  page.ListApp().SetChecked(row, true);
  page.SetInfo();
  Value back = ReadValue(HKEY_CURRENT_USER, kRun, item_.c_str());
  EXPECT_EQ(back.type, DWORD(REG_SZ));
  EXPECT_EQ(back.text, vek::U(command_.c_str()));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, saved, L"command").type, 0u);

  std::vector<Text> records;
  page.LogInfo(records);
  EXPECT_EQ(records.size(), page.StartList.size());
}

TEST_F(StartPageWin, ExpandableRunValueIsWrittenBackExpandable) {
  HostWindow host;
  WriteValue(HKEY_CURRENT_USER, kRun, item_.c_str(), REG_EXPAND_SZ, L"%SystemRoot%\\notepad.exe");
  pages::TFrmStart page(host.get());
  ASSERT_GE(RowOf(page, item_), 0);
  page.SetInfo();
  Value v = ReadValue(HKEY_CURRENT_USER, kRun, item_.c_str());
  EXPECT_EQ(v.type, DWORD(REG_EXPAND_SZ));
  EXPECT_EQ(v.text, u"%SystemRoot%\\notepad.exe");
}

}  // namespace

// Lib's shell and file helpers against the real shell, and the folder table the
// start-up builds from it.
#include <gtest/gtest.h>

#include "core/folders.h"
#include "core/lib.h"
#include "tests/support/child_process_win.h"
#include "vek/sysinfo.h"

#include <commctrl.h>

namespace {

using vek::Text;

// A real image list at the pages' 24 x 24 size.
class Win32ImageList final : public ui::ImageList {
 public:
  Win32ImageList() : list_(ImageList_Create(24, 24, ILC_COLOR32 | ILC_MASK, 4, 4)) {}
  ~Win32ImageList() override {
    if (list_) ImageList_Destroy(list_);
  }
  int AddIcon(void* icon) override { return ImageList_AddIcon(list_, static_cast<HICON>(icon)); }
  int Count() const override { return ImageList_GetImageCount(list_); }
  void RemoveAdded() override { ImageList_RemoveAll(list_); }  // this one has no built-in image
  bool Valid() const { return list_ != nullptr; }

 private:
  HIMAGELIST list_;
};

Text WindowsFile(const Text& name) { return core::GetSpecialFolder(core::kCsidlWindows) + u"\\" + name; }

TEST(SpecialFolder, ResolvesWithoutTrailingBackslash) {
  for (int csidl : {core::kCsidlAppData, core::kCsidlWindows, core::kCsidlProgramFiles}) {
    const Text folder = core::GetSpecialFolder(csidl);
    ASSERT_FALSE(folder.empty()) << csidl;
    EXPECT_NE(folder.back(), u'\\') << csidl;
    const DWORD attributes = GetFileAttributesW(vek::W(folder));
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << csidl;
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY) << csidl;
  }
  EXPECT_EQ(core::GetSpecialFolder(0x7F), u"");
}

TEST(FolderTable, StartUpBuildsEightRowsThatFoldAndExpand) {
#ifdef _WIN64
  EXPECT_TRUE(vek::IsNativeX64()) << "a 64-bit process runs on x64 here";
#endif
  ASSERT_EQ(core::FolderVars.size(), 8u);
  const Text windows = core::GetSpecialFolder(core::kCsidlWindows);
  EXPECT_EQ(core::FoldPath(windows + u"\\System32\\svchost.exe"), u"%SystemRoot%\\System32\\svchost.exe");
  EXPECT_EQ(core::ExpandPath(u"%WinDir%\\notepad.exe"), windows + u"\\notepad.exe");
  const Text x86 = core::GetSpecialFolder(core::kCsidlProgramFilesX86);
  if (vek::IsNativeX64() && !x86.empty()) {
    EXPECT_EQ(core::FoldPath(x86 + u"\\Common Files\\a.exe"), u"%CommonProgramFiles(x86)%\\a.exe");
    EXPECT_EQ(core::FoldPath(x86 + u"\\b.exe"), u"%ProgramFiles(x86)%\\b.exe");
    EXPECT_EQ(core::ExpandPath(u"%ProgramFiles%\\c.exe").find(u"(x86)"), Text::npos);
  }
}

TEST(FileIcon, AddsTheFirstIconOrGivesTheDefault) {
  Win32ImageList images;
  ASSERT_TRUE(images.Valid());
  const Text notepad = WindowsFile(u"notepad.exe");
  ASSERT_NE(GetFileAttributesW(vek::W(notepad)), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(core::AddFileIcon(images, u"\"" + notepad + u"\",3", -7), 0);
  EXPECT_EQ(core::AddFileIcon(images, notepad + u",5", -7), 1);
  EXPECT_EQ(core::AddFileIcon(images, u"  " + notepad + u"  ", -7), 2);
  EXPECT_EQ(images.Count(), 3);
  EXPECT_EQ(core::AddFileIcon(images, u"\"" + notepad, -7), -7);
  EXPECT_EQ(core::AddFileIcon(images, WindowsFile(u"no such file.exe"), -7), -7);
  EXPECT_EQ(core::AddFileIcon(images, u"", -7), -7);
  EXPECT_EQ(images.Count(), 3);
}

// The program's own version resource carries the Korean (041204b0) table first.
TEST(FileVersion, ReadsTheProgramsOwnStrings) {
  const Text program = qvtest::BesideTestProgram(u"quorvane.exe");
  if (GetFileAttributesW(vek::W(program)) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "quorvane.exe is not built";
  DWORD ignored = 0;
  if (GetFileVersionInfoSizeW(vek::W(program), &ignored) == 0) GTEST_SKIP() << "quorvane.exe has no version resource yet";
  for (const char16_t* name : {u"ProductName", u"CompanyName"}) {
    const Text value = core::GetFileVersionValue(program, name);
    EXPECT_FALSE(value.empty()) << vek::ToUtf8(name);
    // The same string straight from the 041204b0 table.
    std::vector<BYTE> block(GetFileVersionInfoSizeW(vek::W(program), &ignored));
    ASSERT_TRUE(GetFileVersionInfoW(vek::W(program), 0, DWORD(block.size()), block.data()));
    void* raw = nullptr;
    UINT len = 0;
    const Text query = Text(u"\\StringFileInfo\\041204b0\\") + name;
    ASSERT_TRUE(VerQueryValueW(block.data(), vek::W(query), &raw, &len));
    EXPECT_EQ(value, vek::U(static_cast<const wchar_t*>(raw)));
  }
  EXPECT_EQ(core::GetFileVersionValue(program, u"NoSuchString"), u"");
}

TEST(FileVersion, EmptyWithoutResourceOrFile) {
  // The test program carries no version resource.
  EXPECT_EQ(core::GetFileVersionValue(qvtest::BesideTestProgram(u"quorvane_win_tests.exe"), u"CompanyName"), u"");
  EXPECT_EQ(core::GetFileVersionValue(WindowsFile(u"no such file.dll"), u"CompanyName"), u"");
  EXPECT_EQ(core::GetFileVersionValue(u"", u"CompanyName"), u"");
}

}  // namespace

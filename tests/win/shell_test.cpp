// The application shell's Windows side: version text, machine key, message
// filter, and the status label drawing its markup.
#include "vek/win32.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "ui/controls_win.h"
#include "vek/system.h"
#include "vek/system_win.h"
#include "vek/windows_win.h"

namespace {

TEST(AppVersion, FileWithoutVersionResourceGivesFallbackForAnyFormat) {
  // The test program carries no version resource.
  EXPECT_EQ(vek::GetAppVersion(u"%d.%d.%d.%d"), u"0.0.0.0");
  EXPECT_EQ(vek::GetAppVersion(u"%d.%d"), u"0.0.0.0");
}

TEST(UnionKey, IsFortyLowerHexDigitsAndStable) {
  vek::Text first = vek::GetUnionKey();
  ASSERT_EQ(first.size(), 40u);
  EXPECT_TRUE(std::all_of(first.begin(), first.end(),
                          [](char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); }));
  EXPECT_EQ(vek::GetUnionKey(), first);
}

// The digest behind the key against known digests: the standard's examples of
// one and two blocks (FIPS 180-2, appendix A), two MAC addresses joined as the
// key joins them, and a text beyond ASCII, hashed as UTF-8.
TEST(UnionKey, HashesWithSha1OfKnownDigests) {
  struct Case {
    const char16_t* text;
    const char16_t* key;
  } cases[] = {
      {u"abc", u"a9993e364706816aba3e25717850c26c9cd0d89d"},
      {u"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", u"84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {u"00:11:22:33:44:5500:AA:BB:CC:DD:EE", u"9bd307de5b137f895a567e2b66fec37a30efe501"},
      {u"가", u"efd23dd5edb260c81988052ac59b5bacfac31cb0"},
  };
  for (const Case& c : cases) EXPECT_EQ(vek::UnionKeyFromMacText(c.text, vek::Sha1), c.key) << vek::ToUtf8(c.text);
}

TEST(UnionKey, WorksOnAThreadOfItsOwnWithCom) {
  vek::Text onMain = vek::GetUnionKey();
  vek::Text onWorker;
  std::thread([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    onWorker = vek::GetUnionKey();
    CoUninitialize();
  }).join();
  EXPECT_EQ(onWorker, onMain);
}

TEST(AllowWindowMessage, AddsUserMessageWhereTheFilterExists) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!GetProcAddress(user32, "ChangeWindowMessageFilter")) GTEST_SKIP() << "no ChangeWindowMessageFilter here";
  EXPECT_TRUE(vek::AllowWindowMessage(WM_USER));
}

// Renders a status text into a bitmap and reports, per column band, whether
// pixels of the colour were drawn.
class MarkupLabel : public testing::Test {
 protected:
  static constexpr int kWidth = 500, kHeight = 105;

  void SetUp() override {
    ui::RegisterControls(GetModuleHandleW(nullptr));
    host_ = CreateWindowExW(0, ui::kPanelClass, L"", WS_POPUP, 0, 0, kWidth, kHeight, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    label_ = CreateWindowExW(0, ui::kMarkupLabelClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, kWidth, kHeight, host_,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
    font_ = CreateFontW(-16, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, NONANTIALIASED_QUALITY, 0, L"Tahoma");
    SendMessageW(label_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
  void TearDown() override {
    DestroyWindow(host_);
    DeleteObject(font_);
  }

  struct Extent {
    int left = kWidth, right = -1, top = kHeight, bottom = -1;
    bool any() const { return right >= 0; }
  };

  Extent Render(const wchar_t* text, COLORREF colour) {
    SetWindowTextW(label_, text);
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), kWidth, -kHeight, 1, 32, BI_RGB};
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    SendMessageW(label_, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(mem), PRF_CLIENT);
    GdiFlush();
    Extent e;
    auto* px = static_cast<const uint32_t*>(bits);
    uint32_t want = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        if ((px[y * kWidth + x] & 0xFFFFFF) == want) {
          e.left = std::min(e.left, x);
          e.right = std::max(e.right, x);
          e.top = std::min(e.top, y);
          e.bottom = std::max(e.bottom, y);
        }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return e;
  }

  HWND host_ = nullptr, label_ = nullptr;
  HFONT font_ = nullptr;
};

TEST_F(MarkupLabel, CentredBlueTextSitsInTheMiddleBothWays) {
  Extent e = Render(L"<C><FC:clBLUE>준비중...</FC></C>", RGB(0, 0, 255));
  ASSERT_TRUE(e.any()) << "no blue pixels drawn";
  int centreX = (e.left + e.right) / 2, centreY = (e.top + e.bottom) / 2;
  EXPECT_NEAR(centreX, kWidth / 2, 6);
  EXPECT_NEAR(centreY, kHeight / 2, 8);
}

TEST_F(MarkupLabel, LeftAlignedTextStartsAtTheLeftEdge) {
  Extent e = Render(L"<FC:clRED>abc</FC>", RGB(255, 0, 0));
  ASSERT_TRUE(e.any());
  EXPECT_LT(e.left, 10);
}

TEST_F(MarkupLabel, InnerRedInsideGreyAndLineBreaksStackLines) {
  const wchar_t* tip = L"<C><FC:clGray>특정 서비스를 사용하기 위해<BR><BR><FC:clRED>강제설치</FC>에서 편하게</FC></C>";
  Extent grey = Render(tip, RGB(128, 128, 128));
  Extent red = Render(tip, RGB(255, 0, 0));
  ASSERT_TRUE(grey.any());
  ASSERT_TRUE(red.any());
  EXPECT_GT(red.top, grey.top + 16) << "the red word belongs to the third line";
  EXPECT_GT(grey.bottom, red.top) << "grey text continues after the red word on its line";
}

// Malformed texts show their invalid tokens as "<?>" in the label's own colour.
TEST_F(MarkupLabel, HostileTextsStillDrawTheirInvalidTokens) {
  std::wstring huge(200000, L'<');
  huge += std::wstring(100000, L'>');
  COLORREF plain = GetSysColor(COLOR_WINDOWTEXT);
  for (const std::wstring& text : {std::wstring(L"<"), std::wstring(L">"), std::wstring(L"<BR><FC:x><C>"),
                                   std::wstring(L"</C></C></FC>"), huge}) {
    EXPECT_TRUE(Render(text.c_str(), plain).any()) << text.size() << " units";
  }
}

}  // namespace

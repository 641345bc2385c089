// The browser add-on page over the in-memory registry, a fake shell and an
// in-memory list view: the add-ons of the twelve locations, their rows, and the
// per-user settings that applying writes.
#include <gtest/gtest.h>

#include "core/lib.h"
#include "pages/applied.h"
#include "pages/browser/browser.h"
#include "tests/support/fake_shell.h"
#include "tests/support/memory_lists.h"
#include "tests/support/memory_registry.h"
#include "tests/support/page_keys.h"
#include "vek/registry.h"

namespace {

using namespace qvtest;
using pages::TCLSIDList;
using vek::RegValue;
using vek::Text;

class BrowserPage : public ::testing::Test {
 protected:
  // A registered class with a name and a server file.
  void Class(const Text& clsid, const Text& name, const Text& file = u"") {
    mem.Put(HKCR, u"CLSID\\" + clsid, u"", RegValue::String(name));
    if (!file.empty()) mem.Put(HKCR, u"CLSID\\" + clsid + u"\\InprocServer32", u"", RegValue::String(file));
  }
  void Flags(const Text& clsid, RegValue value, const Text& settings = kSettings) {
    mem.Put(HKCU, settings + u"\\" + clsid, u"Flags", std::move(value));
  }
  void Rebuild() { pages::browser::GetInfo(list, rows); }
  void Apply() { pages::browser::SetInfo(rows); }
  int RowOf(const Text& caption) { return core::FindCaptionIndex(rows, caption); }

  qvtest::MemoryRegistry mem;
  vek::ScopedRegistryBackend backend{mem};
  qvtest::FakeShell shell;
  qvtest::ScopedShell scopedShell{shell};
  TCLSIDList list;
  MemoryListView rows;
};

TEST_F(BrowserPage, ReadsTheTwelveLocationsInOrderAndShowsOneRowPerName) {
  shell.Files = {u"C:\\Acme\\bar.dll"};
  shell.Versions[{u"C:\\Acme\\bar.dll", u"CompanyName"}] = u"Acme Corp";
  Class(u"{T1}", u"Acme Toolbar", u"C:\\Acme\\bar.dll");
  Class(u"{B1}", u"Search Bar");
  Class(u"{H1}", u"Helper");
  Class(u"{H2}", u"Search Bar");  // another add-on of a name already shown
  Class(u"{D1}", u"Downloads");
  Class(u"{D2}", u"Downloads 32");
  mem.Put(HKCR, u"CLSID\\{EMPTY}", u"", RegValue::String(u""));
  mem.Put(HKLM, kToolbar, u"{T1}", RegValue::String(u""));
  mem.Put(HKLM, kToolbar, u"{UNREGISTERED}", RegValue::Binary({1}));
  mem.Put(HKLM, kToolbar32, u"{EMPTY}", RegValue::String(u""));
  mem.AddKey(HKCU, kBars + u"\\{B1}");
  mem.AddKey(HKCU, kBars32 + u"\\{B1}");
  mem.AddKey(HKLM, kBars + u"\\{IGNORED}");  // explorer bars are read under HKCU only
  mem.AddKey(HKLM, kHelpers + u"\\{H1}");
  mem.AddKey(HKLM, kHelpers32 + u"\\{H1}");
  mem.AddKey(HKLM, kHelpers32 + u"\\{H2}");
  mem.Put(HKCU, kExtensions + u"\\{E1}", u"ButtonText", RegValue::String(u"Button"));
  mem.AddKey(HKCU, kExtensions32 + u"\\{E2}");
  mem.Put(HKLM, kExtensions + u"\\{E3}", u"ButtonText", RegValue::String(Text(3000, u'x')));
  mem.Put(HKLM, kExtensions32 + u"\\{E4}", u"ButtonText", RegValue::String(u"Button"));
  mem.Put(HKLM, kExplorer, u"DownloadUI", RegValue::String(u"{D1}"));
  mem.Put(HKLM, kExplorer32, u"DownloadUI", RegValue::String(u"{D2}"));
  Flags(u"{B1}", RegValue::Dword(0));
  Flags(u"{E1}", RegValue::String(u"1"));  // not a DWORD: counts as enabled
  Flags(u"{H1}", RegValue::Dword(1));
  mem.Put(HKLM, kSettings + u"\\{T1}", u"Flags", RegValue::Dword(1));  // HKLM settings are not read

  Rebuild();

  std::vector<Text> ids;
  for (const auto& e : list) ids.push_back(e.CLSID);
  EXPECT_EQ(ids, (std::vector<Text>{u"{T1}", u"{UNREGISTERED}", u"{EMPTY}", u"{B1}", u"{B1}", u"{H1}", u"{H1}",
                                    u"{H2}", u"{E1}", u"{E2}", u"{E3}", u"{E4}", u"{D1}", u"{D2}"}));
  struct Row {
    Text caption, publisher, clsid;
    bool checked;
  } want[] = {
      {u"Acme Toolbar", u"Acme Corp", u"{T1}", true}, {u"Search Bar", u"알수없음", u"{B1}", false},
      {u"Helper", u"알수없음", u"{H1}", false},       {u"Button", u"알수없음", u"{E1}", true},
      {Text(3000, u'x'), u"알수없음", u"{E3}", true}, {u"Downloads", u"알수없음", u"{D1}", true},
      {u"Downloads 32", u"알수없음", u"{D2}", true},
  };
  ASSERT_EQ(rows.RowCount(), int(std::size(want)));
  for (int r = 0; r < rows.RowCount(); ++r) {
    EXPECT_EQ(rows.Caption(r), want[r].caption) << r;
    EXPECT_EQ(rows.SubItem(r, 0), want[r].publisher) << r;
    EXPECT_EQ(rows.SubItem(r, 1), want[r].clsid) << r;
    EXPECT_EQ(rows.ImageIndex(r), 0) << r;
    EXPECT_EQ(rows.Checked(r), want[r].checked) << r;
  }
  EXPECT_EQ(list[0].FileName, u"C:\\Acme\\bar.dll");
  EXPECT_EQ(list[8].FileName, u"");
  EXPECT_EQ(list[8].Flags, -1);

  std::vector<Text> records;
  pages::browser::LogInfo(list, records);
  ASSERT_EQ(records.size(), list.size());
  EXPECT_EQ(records[1], u"{\"cate\":\"browser\",\"clsid\":\"{UNREGISTERED}\",\"item\":\"\"}");
  EXPECT_EQ(records[5], records[6]);
}

TEST_F(BrowserPage, UntickingWritesTheSettingsAndTickingDeletesThem) {
  Class(u"{T1}", u"Toolbar");
  Class(u"{T2}", u"Zeroed");
  mem.Put(HKLM, kToolbar, u"{T1}", RegValue::String(u""));
  mem.Put(HKLM, kToolbar, u"{T2}", RegValue::String(u""));
  Flags(u"{T2}", RegValue::Dword(0));
  mem.Put(HKCU, kSettings + u"\\{T1}", u"Other", RegValue::Dword(0xdeadbeef));
  Rebuild();
  ASSERT_EQ(rows.RowCount(), 2);
  ASSERT_FALSE(rows.Checked(1));

  rows.SetChecked(0, false);
  EXPECT_TRUE(pages::browser::SetInfo(rows).empty());
  EXPECT_EQ(mem.Get(HKCU, kSettings + u"\\{T1}", u"Flags"), RegValue::Dword(1));
  EXPECT_EQ(mem.Get(HKCU, kSettings + u"\\{T1}", u"Version"), RegValue::String(u"*"));
  EXPECT_EQ(mem.Get(HKCU, kSettings + u"\\{T1}", u"Other"), RegValue::Dword(0xdeadbeef));
  // Any "Flags" number already reads as disabled: an unticked row of it changes nothing.
  EXPECT_EQ(mem.Get(HKCU, kSettings + u"\\{T2}", u"Flags"), RegValue::Dword(0));
  EXPECT_EQ(mem.Get(HKCU, kSettings + u"\\{T2}", u"Version"), std::nullopt);
  EXPECT_TRUE(mem.SubKeys(HKLM, kSettings).empty());

  Rebuild();
  EXPECT_FALSE(rows.Checked(0));
  rows.SetChecked(0, true);
  rows.SetChecked(1, true);
  Apply();
  EXPECT_TRUE(mem.HasKey(HKCU, kSettings));
  EXPECT_TRUE(mem.SubKeys(HKCU, kSettings).empty());
  Rebuild();
  EXPECT_TRUE(rows.Checked(0));
  EXPECT_TRUE(rows.Checked(1));
}

TEST_F(BrowserPage, ApplyingUnchangedRowsWritesNothingAndARefusalIsNamed) {
  Class(u"{T1}", u"Toolbar");
  Class(u"{T2}", u"Helper");
  mem.Put(HKLM, kToolbar, u"{T1}", RegValue::String(u""));
  mem.Put(HKLM, kToolbar, u"{T2}", RegValue::String(u""));
  Flags(u"{T2}", RegValue::Dword(1));
  Rebuild();
  const auto before = mem.Dump();
  EXPECT_TRUE(pages::browser::SetInfo(rows).empty());
  EXPECT_EQ(mem.Dump(), before);
  EXPECT_FALSE(mem.HasKey(HKCU, kSettings + u"\\{T1}"));

  mem.RefuseWrites(HKCU, kSettings + u"\\{T2}");
  rows.SetChecked(0, false);
  rows.SetChecked(1, true);
  EXPECT_EQ(pages::browser::SetInfo(rows), std::vector<Text>{u"Helper"});
  EXPECT_EQ(mem.Get(HKCU, kSettings + u"\\{T1}", u"Flags"), RegValue::Dword(1));
  EXPECT_EQ(mem.Get(HKCU, kSettings + u"\\{T2}", u"Flags"), RegValue::Dword(1));
}

TEST_F(BrowserPage, The32BitDownloadHandlerStaysDisabledOnceApplied) {
  Class(u"{D1}", u"Downloads", u"C:\\Native\\dl.dll");
  Class(u"{D2}", u"Downloads 32", u"C:\\Wow\\dl32.dll");
  mem.Put(HKLM, kExplorer, u"DownloadUI", RegValue::String(u"{D1}"));
  mem.Put(HKLM, kExplorer32, u"DownloadUI", RegValue::String(u"{D2}"));
  // A per-user Wow6432Node settings key that nothing honours.
  Flags(u"{D2}", RegValue::Dword(1), u"\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings");
  Rebuild();
  ASSERT_EQ(rows.RowCount(), 2);
  EXPECT_EQ(list[1].FileName, u"C:\\Native\\dl.dll");  // the native handler's file for both
  EXPECT_TRUE(rows.Checked(RowOf(u"Downloads 32")));
  rows.SetChecked(RowOf(u"Downloads 32"), false);
  Apply();
  Rebuild();
  EXPECT_FALSE(rows.Checked(RowOf(u"Downloads 32")));
  EXPECT_TRUE(rows.Checked(RowOf(u"Downloads")));
}

// An identifier that cannot be one key name is never looked up as a class or a
// settings key: "{A}\\sub" would read the nested key CLSID\{A}\sub as the add-on's
// class. Such add-ons get no row and are still reported.
TEST_F(BrowserPage, AnIdentifierThatIsNoKeyNameNamesNoKey) {
  Class(u"{A}\\sub", u"Nested");
  mem.Put(HKLM, kToolbar, u"{A}\\sub", RegValue::String(u""));
  mem.Put(HKLM, kExplorer, u"DownloadUI", RegValue::String(u"\\Software\\Canary"));
  mem.Put(HKCU, kSettings + u"\\{A}\\sub", u"Flags", RegValue::Dword(1));
  Rebuild();
  EXPECT_EQ(rows.RowCount(), 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Item, u"");
  EXPECT_EQ(list[0].Flags, -1);
  std::vector<Text> records;
  pages::browser::LogInfo(list, records);
  EXPECT_EQ(records.size(), 2u);
}

TEST_F(BrowserPage, UnreadableKeysContributeNothing) {
  Class(u"{H1}", u"Helper");
  mem.AddKey(HKLM, kHelpers + u"\\{H1}");
  mem.DenyOpen(HKLM, kHelpers);
  mem.DenyOpen(HKLM, kExplorer);
  Rebuild();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(rows.RowCount(), 0);
  EXPECT_EQ(mem.OpenHandles(), 0);
}

}  // namespace

TEST(AppliedMessage, NamesWhatCouldNotBeChangedOnLinesOfTheirOwn) {
  EXPECT_EQ(pages::AppliedMessage({}), pages::kAppliedMessage);
  const Text two = pages::AppliedMessage({u"Agent", u"두 번째"});
  EXPECT_EQ(two.find(u"정상적으로 적용하였습니다.\r\r\r"), Text::npos) << "no claim that everything was applied";
  EXPECT_NE(two.find(u"\r· Agent\r· 두 번째\r"), Text::npos);
  EXPECT_NE(two.find(u"그대로 남아 있습니다"), Text::npos);

  std::vector<Text> many;
  for (int i = 0; i < 12; ++i) many.push_back(u"n" + vek::FromUtf8(std::to_string(i)));
  many[0] = Text(16383, u'x') + u"\r\n\t";
  many[1] = u"a\rb\nc";
  many[2] = Text(59, u'y') + u"\U0001F600";  // a pair across the cut
  const Text shown = pages::AppliedMessage(many);
  EXPECT_NE(shown.find(u"· " + Text(60, u'x') + u"…\r"), Text::npos);
  EXPECT_NE(shown.find(u"· a b c\r"), Text::npos);
  EXPECT_NE(shown.find(u"· " + Text(59, u'y') + u"…\r"), Text::npos);
  EXPECT_NE(shown.find(u"· n9\r외 2개"), Text::npos);
  EXPECT_EQ(shown.find(u"n10"), Text::npos);
  EXPECT_LT(shown.size(), 1200u);
}

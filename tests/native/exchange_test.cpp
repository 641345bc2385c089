#include "app/exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/report.h"
#include "vek/strings.h"

namespace {

using vek::Text;

TEST(ServerReply, StatusMustBeExactlyOkWhileMarkersIgnoreCase) {
  struct Case {
    const char16_t* reply;
    bool ok;
  } cases[] = {
      {u"{\"status\":\"ok\"}", true},
      {u"{\"STATUS\":\"ok\"}", true},            // the key's case does not matter
      {u"{\"status\":\"OK\"}", false},           // the value's does
      {u"{\"status\": \"ok\"}", false},          // a blank after the colon hides the key
      {u"{\"status\":\"o\\u006b\"}", true},      // unescaped before the test
      {u"{\"status\":\"\\u00zz\"}", false},      // malformed escape: no status, no fault
      {u"", false},
      {u"<html>502 Bad Gateway</html>", false},
      {u"{\"status\":\"ok", false},              // truncated: no closing quote
  };
  for (const auto& c : cases) EXPECT_EQ(app::StatusIsOk(c.reply), c.ok) << vek::ToUtf8(c.reply);
}

TEST(ServerReply, ArraysAreReadItemByItemWithEscapesUndone) {
  auto config = app::ReadServerConfig(
      u"{\"status\":\"ok\",\"update\":\"\",\"noclean\":[\"a.exe*\",\"\",\"say \\\"hi\\\".exe\",\"%ProgramFiles%\\\\X\\\\y.exe\"],"
      u"\"bankclean\":[\"\\uD55C\\uAE00 Agent\"]}");
  EXPECT_EQ(config.Update, u"");
  ASSERT_EQ(config.NoClean.size(), 4u);
  EXPECT_EQ(config.NoClean[0], u"a.exe*");
  EXPECT_EQ(config.NoClean[1], u"");  // empty strings are kept; matching ignores them
  EXPECT_EQ(config.NoClean[2], u"say \"hi\".exe");
  EXPECT_EQ(config.NoClean[3], u"%ProgramFiles%\\X\\y.exe");
  ASSERT_EQ(config.BankClean.size(), 1u);
  EXPECT_EQ(config.BankClean[0], u"한글 Agent");
}

TEST(ServerReply, OneMalformedEscapeSkipsOnlyItsOwnValue) {
  auto config = app::ReadServerConfig(u"\"noclean\":[\"good.exe*\",\"bad\\uzz12\",\"also.exe*\"],\"bankclean\":[]");
  EXPECT_EQ(config.NoClean, (std::vector<Text>{u"good.exe*", u"also.exe*"}));
  EXPECT_TRUE(config.BankClean.empty());
  EXPECT_EQ(app::ReadServerConfig(u"\"update\":\"https://x/\\uZZZZ\"").Update, u"");
}

TEST(ServerReply, MissingOrEmptyArraysAddNothing) {
  EXPECT_TRUE(app::ReadServerConfig(u"{\"status\":\"ok\"}").NoClean.empty());
  EXPECT_TRUE(app::ReadServerConfig(u"\"noclean\":[]").NoClean.empty());
  EXPECT_TRUE(app::ReadServerConfig(u"\"noclean\":[\"unterminated").NoClean.empty());
}

// Only a web address may reach the shell from a reply.
TEST(ServerReply, UpdateOfferMustBeAWebUrl) {
  struct Case {
    const char16_t* value;
    const char16_t* offered;
  } cases[] = {
      {u"https:\\/\\/quorvane.kr\\/download\\/setup.exe", u"https://quorvane.kr/download/setup.exe"},
      {u"HTTP://quorvane.kr/x", u"HTTP://quorvane.kr/x"},
      {u"C:\\\\Windows\\\\System32\\\\cmd.exe", u""},
      {u"file:///C:/evil.exe", u""},
      {u"\\\\\\\\server\\\\share\\\\x.exe", u""},
      {u"javascript:alert(1)", u""},
      {u"https://", u""},
      {u"https:///path", u""},
      {u"https://host/a b", u""},
      {u"calc.exe", u""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(app::ReadServerConfig(Text(u"\"update\":\"") + c.value + u"\"").Update, c.offered)
        << vek::ToUtf8(c.value);
}

TEST(ReportReply, KeyIsReadAndMadeSafeForTheUrl) {
  EXPECT_EQ(app::ReadReportKey(u"{\"pk\":\"AbC-123_x.~\"}"), u"AbC-123_x.~");
  EXPECT_EQ(app::ReadReportKey(u"{\"result\":\"error\"}"), u"");
  EXPECT_EQ(app::ReadReportKey(u"transport failed"), u"");
  EXPECT_EQ(app::EncodeReportKey(u"AbC-123_x.~"), u"AbC-123_x.~");
  EXPECT_EQ(app::EncodeReportKey(u"a&b=c d/#"), u"a%26b%3Dc%20d%2F%23");
  EXPECT_EQ(app::EncodeReportKey(u"한"), u"%ED%95%9C");
  EXPECT_EQ(app::EncodeReportKey(u""), u"");
}

TEST(Report, RecordsAreFixedTextsAroundEscapedValues) {
  EXPECT_EQ(core::CleanRecord(u"%SystemRoot%\\System32\\svchost.exe", 1),
            u"{\"cate\":\"clean\",\"file\":\"%SystemRoot%\\\\System32\\\\svchost.exe\",\"state\":\"1\"}");
  EXPECT_EQ(core::CleanRecord(u"한.exe", -2), u"{\"cate\":\"clean\",\"file\":\"\\uD55C.exe\",\"state\":\"-2\"}");
  EXPECT_EQ(core::MemoryRecord(1, 8589934592LL, -1),
            u"{\"cate\":\"memory\",\"old\":\"1\",\"new\":\"8589934592\",\"tot\":\"-1\"}");
  EXPECT_EQ(core::BrowserRecord(u"{A}", u"x\"y"), u"{\"cate\":\"browser\",\"clsid\":\"{A}\",\"item\":\"x\\\"y\"}");
  EXPECT_EQ(core::StartRecord(u"a/b", u"off"), u"{\"cate\":\"start\",\"item\":\"a\\/b\",\"state\":\"off\"}");
  EXPECT_EQ(core::InstallRecord(u"n", u""), u"{\"cate\":\"install\",\"displayname\":\"n\",\"publisher\":\"\"}");
  EXPECT_EQ(app::ReportBody({}), u"[]");
  EXPECT_EQ(app::ReportBody({u"{1}", u"{2}"}), u"[{1},{2}]");
}

TEST(Tips, AreThreeTextsInTheStatusMarkup) {
  for (auto tip : app::kTips) EXPECT_NE(tip.find(u"<FC:clRED>"), vek::TextView::npos);
  EXPECT_NE(app::kTips[2].find(u"<BR><BR>"), vek::TextView::npos);
}

// A reply of a million items in each array, as a broken or hostile service may
// send: one pass over it, and of each array the first 10,000 items that are
// not blank (after unescaping), with the first 10,000 blank ones among them,
// none longer than 1,024 units.
TEST(ServerReply, ArraysKeepTheirFirstTenThousandEntriesOfAMillion) {
  Text reply = u"{\"status\":\"ok\",\"noclean\":[";
  const Text tooLong(1025, u'x');
  for (int i = 0; i < 1000000; ++i) {
    if (i) reply += u',';
    switch (i % 4) {
      case 1: reply += u"\"\""; break;
      case 2: reply += u"\" \\t\\u0000\""; break;  // blank once unescaped
      case 3: reply += i == 3 ? u"\"" + tooLong + u"\"" : u"\"\\u0041\""; break;
      default: reply += u"\"e" + vek::FromUtf8(std::to_string(i)) + u"\"";
    }
  }
  reply += u"],\"bankclean\":[";
  for (int i = 0; i < 1000000; ++i) reply += u"\"p\",";
  reply += u"\"last\"]}";
  const app::ServerConfig config = app::ReadServerConfig(reply);
  ASSERT_EQ(config.NoClean.size(), 20000u);
  EXPECT_EQ(config.NoClean[0], u"e0");
  EXPECT_EQ(config.NoClean[1], u"");
  EXPECT_EQ(config.NoClean[2], Text(u" \t\0", 3));
  EXPECT_EQ(config.NoClean[3], u"e4");  // the 1,025 units of item 3 are left out whole
  EXPECT_EQ(config.NoClean[6], u"A");
  EXPECT_EQ(config.NoClean.back(), u"e20000");
  EXPECT_EQ(std::count(config.NoClean.begin(), config.NoClean.end(), u"A"), 4999);
  EXPECT_EQ(std::count_if(config.NoClean.begin(), config.NoClean.end(), [](const Text& e) { return e.size() != 0 && e[0] == u' '; }), 5000);
  ASSERT_EQ(config.BankClean.size(), 10000u);
  EXPECT_EQ(config.BankClean.back(), u"p");
}

}  // namespace

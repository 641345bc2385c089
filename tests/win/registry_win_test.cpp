// TRegistry and the one-shot helpers against the real registry. Each test works
// under its own sandbox key HKCU\Software\Quorvane Tests\<test> and removes it.
#include <gtest/gtest.h>

#include <functional>

#include "core/lib.h"
#include "tests/support/registry_links_win.h"
#include "tests/support/registry_sandbox_win.h"
#include "vek/handles_win.h"
#include "vek/registry.h"

namespace {

using vek::RegValue;
using vek::Text;
using vek::TRegistry;

constexpr uint32_t HKCU = vek::kHkeyCurrentUser;
constexpr uint32_t HKLM = vek::kHkeyLocalMachine;

using qvtest::RegistrySandbox;
using qvtest::TestName;

TEST_F(RegistrySandbox, ValuesReadBackWithTheTypeTheyWereWrittenWith) {
  const RegValue values[] = {
      RegValue::String(u"C:\\한글 경로"),
      RegValue::String(u"%SystemRoot%\\x", vek::kRegExpandSz),
      RegValue::Dword(0xFFFFFFFF),
      RegValue::Binary({0, 1, 2, 0xFF, 0}),
      RegValue::MultiString({u"a", u"bc"}),
      RegValue::Qword(0x0123456789ABCDEFull),
  };
  {
    TRegistry reg(vek::kRegWriteAccess);
    reg.SetRootKey(HKCU);
    ASSERT_TRUE(reg.OpenKey(Path(), false));
    for (size_t i = 0; i < std::size(values); ++i) ASSERT_TRUE(reg.WriteValue(u"v" + vek::FromUtf8(std::to_string(i)), values[i]));
  }
  TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(HKCU);
  ASSERT_TRUE(reg.OpenKeyReadOnly(Path()));
  EXPECT_EQ(reg.Access(), vek::kRegReadAccess);
  for (size_t i = 0; i < std::size(values); ++i) {
    const Text name = u"v" + vek::FromUtf8(std::to_string(i));
    EXPECT_EQ(reg.ReadValue(name), values[i]) << i;
  }
  EXPECT_EQ(reg.ReadString(u"v0"), Text(u"C:\\한글 경로"));
  EXPECT_EQ(reg.ReadString(u"v1"), Text(u"%SystemRoot%\\x"));
  EXPECT_EQ(reg.ReadInteger(u"v2"), -1);
  EXPECT_EQ(reg.GetDataType(u"v3"), vek::RegDataType::Binary);
  EXPECT_EQ(reg.GetDataType(u"v4"), vek::RegDataType::Unknown);
  EXPECT_EQ(reg.ReadString(u"v2"), std::nullopt);
  EXPECT_EQ(reg.ReadInteger(u"v0"), std::nullopt);
  EXPECT_EQ(reg.ReadString(u"missing"), Text());
  EXPECT_FALSE(reg.ValueExists(u"missing"));
  std::vector<Text> names;
  ASSERT_TRUE(reg.GetValueNames(names));
  EXPECT_EQ(names.size(), std::size(values));
}

// Other programs store text without its NUL, with odd sizes, or very long.
TEST_F(RegistrySandbox, OddlySizedTextReadsSafely) {
  const char16_t ab[] = {u'a', u'b'};
  SetRaw(u"no-nul", REG_SZ, ab, 4);
  SetRaw(u"odd", REG_SZ, "a\0b", 3);
  SetRaw(u"empty", REG_SZ, nullptr, 0);
  std::vector<char16_t> big(512 * 1024, u'x');
  SetRaw(u"big", REG_EXPAND_SZ, big.data(), DWORD(big.size() * 2));
  TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(HKCU);
  ASSERT_TRUE(reg.OpenKeyReadOnly(Path()));
  EXPECT_EQ(reg.ReadString(u"no-nul"), Text(u"ab"));
  EXPECT_EQ(reg.ReadString(u"odd"), Text(u"a"));
  EXPECT_EQ(reg.ReadString(u"empty"), Text());
  EXPECT_EQ(reg.ReadString(u"big"), Text(big.size(), u'x'));
  EXPECT_EQ(core::ReadRegString(HKCU, Path(), u"big").size(), big.size());
}

TEST_F(RegistrySandbox, DeleteKeyRemovesTheWholeSubtree) {
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKCU);
  ASSERT_TRUE(reg.OpenKey(Path(u"Gone\\A\\B"), true));
  ASSERT_TRUE(reg.WriteInteger(u"v", 1));
  ASSERT_TRUE(reg.OpenKey(Path(u"Gone\\C"), true));
  ASSERT_TRUE(reg.OpenKey(Path(u"Stays"), true));
  reg.CloseKey();
  EXPECT_TRUE(reg.DeleteKey(Path(u"Gone")));
  EXPECT_FALSE(KeyExists(u"Gone"));
  EXPECT_TRUE(KeyExists(u"Stays"));
  EXPECT_FALSE(reg.DeleteKey(Path(u"Gone")));
}

TEST_F(RegistrySandbox, HelpersCreatePathsAndGiveNeutralResults) {
  EXPECT_TRUE(core::WriteRegString(HKCU, Path(u"New\\Deep"), u"s", u"값"));
  EXPECT_TRUE(core::WriteRegInteger(HKCU, Path(u"New\\Deep"), u"i", 42));
  EXPECT_EQ(core::ReadRegString(HKCU, Path(u"New\\Deep"), u"s"), u"값");
  EXPECT_EQ(core::ReadRegInteger(HKCU, Path(u"New\\Deep"), u"i"), 42);
  EXPECT_EQ(core::ReadRegString(HKCU, Path(u"New\\Deep"), u"i"), u"");
  EXPECT_EQ(core::ReadRegInteger(HKCU, Path(u"New\\Deep"), u"s"), -1);
  EXPECT_EQ(core::ReadRegInteger(HKCU, Path(u"Missing"), u"i"), -1);
  EXPECT_FALSE(KeyExists(u"Missing"));

  std::vector<Text> list{u"stale"};
  EXPECT_EQ(core::ListRegKeys(HKCU, Path(u"Missing"), list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(core::ListRegKeys(HKCU, Path(), list), 1);
  EXPECT_EQ(list, std::vector<Text>{u"New"});
  EXPECT_EQ(core::ListRegValues(HKCU, Path(u"New\\Deep"), list), 2);

  EXPECT_FALSE(core::DeleteRegValue(HKCU, Path(u"Other\\Path"), u"none"));
  EXPECT_TRUE(KeyExists(u"Other\\Path"));
  EXPECT_TRUE(core::DeleteRegValue(HKCU, Path(u"New\\Deep"), u"s"));
  EXPECT_TRUE(core::DeleteRegKey(HKCU, Path(), u"New"));
  EXPECT_FALSE(KeyExists(u"New"));
}

// A key whose security grants only KEY_QUERY_VALUE opens read-only on the third
// try: values read, subkeys do not list.
TEST_F(RegistrySandbox, QueryOnlyKeyOpensReadOnlyWithReducedRights) {
  {
    vek::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, vek::W(path_ + u"\\Q\\Sub"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
  }
  ASSERT_TRUE(core::WriteRegInteger(HKCU, Path(u"Q"), u"v", 5));
  {
    // Everyone: KEY_QUERY_VALUE only, not inherited from the parent.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    alignas(8) BYTE aclBuffer[256];
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    AddAccessAllowedAce(acl, ACL_REVISION, KEY_QUERY_VALUE, everyone);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    vek::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, vek::W(path_ + u"\\Q"), 0, WRITE_DAC, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS);
    FreeSid(everyone);
  }
  vek::unique_hkey probe;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, vek::W(path_ + u"\\Q"), 0, KEY_READ, probe.put()) == ERROR_SUCCESS)
    GTEST_SKIP() << "this Wine does not enforce the key's security descriptor on RegOpenKeyEx";
  TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(HKCU);
  ASSERT_TRUE(reg.OpenKeyReadOnly(Path(u"Q")));
  EXPECT_EQ(reg.Access(), vek::kKeyQueryValue | vek::kKeyWow64_64Key);
  EXPECT_EQ(reg.ReadInteger(u"v"), 5);
  std::vector<Text> names;
  EXPECT_FALSE(reg.GetKeyNames(names));
  reg.CloseKey();
  // Give the key back so that the sandbox can be removed.
  SECURITY_DESCRIPTOR open;
  InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  vek::unique_hkey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, vek::W(path_ + u"\\Q"), 0, WRITE_DAC, key.put()) == ERROR_SUCCESS)
    RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &open);
}

// A registry link anywhere on the path of a change, the last key included,
// refuses the change with nothing made, written or deleted, also where missing
// keys would be made below the link; a link inside a subtree being deleted goes
// as the link itself. Each change is tried with a link at every key of its path,
// leading to a key of the sandbox that holds every path the change could reach
// through the link, with sentinel values; that target is dumped before and
// after, and for a refused change the whole sandbox with the link.
TEST_F(RegistrySandbox, NoChangeGoesThroughALink) {
  auto wide = [](const Text& t) { return std::wstring(vek::W(t)); };
  const Text chain[] = {u"A", u"A\\B", u"A\\B\\C", u"A\\B\\C\\D"};
  struct Op {
    const char* what;
    Text reaches;  // the deepest key the change opens
    std::function<bool()> run;
  } ops[] = {
      {"write, creating", u"A\\B\\C\\D", [&] { return core::WriteRegString(HKCU, Path(u"A\\B\\C\\D"), u"v", u"x"); }},
      {"write, making keys", u"A\\B\\M\\N", [&] { return core::WriteRegString(HKCU, Path(u"A\\B\\M\\N"), u"v", u"x"); }},
      {"write below, making the key", u"A\\B\\C\\D\\New",
       [&] { return core::WriteRegSubKeyInteger(HKCU, Path(u"A\\B\\C\\D"), u"New", u"v", 1); }},
      {"open without creating, write", u"A\\B\\C\\D",
       [&] {
         TRegistry reg(vek::kRegWriteAccess);
         reg.SetRootKey(HKCU);
         return reg.OpenKey(Path(u"A\\B\\C\\D"), false) && reg.WriteInteger(u"own", 2);
       }},
      {"delete a value", u"A\\B\\C\\D", [&] { return core::DeleteRegValue(HKCU, Path(u"A\\B\\C\\D"), u"own"); }},
      {"delete a key", u"A\\B\\C\\D", [&] { return core::DeleteRegKey(HKCU, Path(u"A\\B\\C"), u"D"); }},
      {"delete a subtree", u"A\\B", [&] { return core::DeleteRegKey(HKCU, Path(u"A"), u"B"); }},
  };
  const std::wstring target = wide(Key(u"Target"));
  std::wstring targetName;
  auto seed = [&](const Text& link) {
    for (const Text& key : chain) qvtest::DeleteLink(HKEY_CURRENT_USER, wide(Key(key)));
    for (const Text& top : {Text(u"A"), Text(u"Target")}) {
      RegDeleteTreeW(HKEY_CURRENT_USER, vek::W(Key(top)));
      RegDeleteKeyW(HKEY_CURRENT_USER, vek::W(Key(top)));
    }
    for (const Text& key : chain) {
      if (link.empty() || !(key == link || key.starts_with(link + u"\\"))) {
        ASSERT_TRUE(SetDword(u"own", 1, key));
      }
    }
    for (const Text& below : {Text(u"Target\\B\\C\\D"), Text(u"Target\\C\\D"), Text(u"Target\\D")}) {
      ASSERT_TRUE(SetDword(u"own", 0xdeadbeef, below));
      SetText(u"", u"canary", REG_SZ, below + u"\\Sub");
    }
    targetName = qvtest::RegistryName(HKEY_CURRENT_USER, target);
    if (!link.empty()) {
      ASSERT_TRUE(qvtest::MakeLink(HKEY_CURRENT_USER, wide(Key(link)), targetName));
    }
  };

  if (!qvtest::MakeLink(HKEY_CURRENT_USER, wide(Key(u"Probe")), qvtest::RegistryName(HKEY_CURRENT_USER, wide(Key()))))
    GTEST_SKIP() << "this Wine makes no registry links (REG_OPTION_CREATE_LINK with a REG_LINK SymbolicLinkValue)";
  qvtest::DeleteLink(HKEY_CURRENT_USER, wide(Key(u"Probe")));
  seed(u"A");
  if (core::ReadRegInteger(HKCU, Path(u"A\\D"), u"own") != int32_t(0xdeadbeef))
    GTEST_SKIP() << "this Wine does not follow registry links";
  if (qvtest::LinkTarget(HKEY_CURRENT_USER, wide(Key(u"A"))) != targetName)
    GTEST_SKIP() << "this Wine does not open a link itself with REG_OPTION_OPEN_LINK";

  for (const Text& link : {Text(), chain[0], chain[1], chain[2], chain[3]}) {
    for (const Op& op : ops) {
      SCOPED_TRACE(std::string(op.what) + ", link at " + vek::ToUtf8(link));
      seed(link);
      const auto targetBefore = qvtest::DumpTree(HKEY_CURRENT_USER, target, true);
      const auto before = qvtest::DumpTree(HKEY_CURRENT_USER, wide(Key()), true);
      const bool onPath = !link.empty() && (op.reaches == link || op.reaches.starts_with(link + u"\\"));
      const bool insideDeleted = !link.empty() && link.starts_with(op.reaches + u"\\") && op.reaches == chain[1];
      EXPECT_EQ(op.run(), !onPath);
      if (onPath) {
        EXPECT_EQ(qvtest::DumpTree(HKEY_CURRENT_USER, wide(Key()), true), before);
      }
      if (insideDeleted) {
        EXPECT_FALSE(KeyExists(u"A\\B"));
        EXPECT_TRUE(qvtest::LinkTarget(HKEY_CURRENT_USER, wide(Key(link))).empty());
      }
      EXPECT_EQ(qvtest::DumpTree(HKEY_CURRENT_USER, target, true), targetBefore);
      EXPECT_EQ(targetBefore.size(), 10u);
    }
  }
  for (const Text& key : chain) qvtest::DeleteLink(HKEY_CURRENT_USER, wide(Key(key)));
}

// The reading mask reaches the 64-bit view; "Wow6432Node" in the path reaches
// the 32-bit one.
class RegistryViews : public ::testing::Test {
 protected:
  void SetUp() override {
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
#ifndef _WIN64
    if (!wow64) GTEST_SKIP() << "32-bit Windows has one registry view";
#endif
    sub_ = u"Quorvane Tests\\" + TestName();
    Clean();
  }
  void TearDown() override { Clean(); }
  void Clean() {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
      vek::unique_hkey software;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, software.put()) != ERROR_SUCCESS)
        continue;
      RegDeleteTreeW(software.get(), vek::W(sub_));
      RegDeleteKeyExW(software.get(), L"Quorvane Tests", view, 0);
    }
  }
  bool SeenIn(REGSAM view) const {
    vek::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, vek::W(u"Software\\" + sub_), 0, KEY_READ | view, key.put()) !=
        ERROR_SUCCESS)
      return false;
    DWORD type = 0;
    return RegQueryValueExW(key.get(), L"mark", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS;
  }
  Text sub_;
};

TEST_F(RegistryViews, Wow6432NodePathReachesThe32BitView) {
  if (!core::WriteRegString(HKLM, u"\\SOFTWARE\\Wow6432Node\\" + sub_, u"mark", u"32"))
    GTEST_SKIP() << "HKLM is not writable here";
  EXPECT_TRUE(SeenIn(KEY_WOW64_32KEY));
  EXPECT_FALSE(SeenIn(KEY_WOW64_64KEY));
  EXPECT_EQ(core::ReadRegString(HKLM, u"\\SOFTWARE\\" + sub_, u"mark"), u"");
}

TEST_F(RegistryViews, PlainPathReachesThe64BitView) {
  if (!core::WriteRegString(HKLM, u"\\SOFTWARE\\" + sub_, u"mark", u"64")) GTEST_SKIP() << "HKLM is not writable here";
  EXPECT_TRUE(SeenIn(KEY_WOW64_64KEY));
  EXPECT_FALSE(SeenIn(KEY_WOW64_32KEY));
  EXPECT_EQ(core::ReadRegString(HKLM, u"\\SOFTWARE\\" + sub_, u"mark"), u"64");
  EXPECT_TRUE(core::DeleteRegKey(HKLM, u"\\SOFTWARE\\Quorvane Tests", TestName()));
  EXPECT_FALSE(SeenIn(KEY_WOW64_64KEY));
}

}  // namespace

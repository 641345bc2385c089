// TRegistry over the in-memory registry: path forms, the read-only open's
// fall-back rights, typed reads of odd data, subtree deletion, refusals and
// registry links.
#include <gtest/gtest.h>

#include <functional>

#include "core/lib.h"
#include "tests/support/memory_registry.h"
#include "vek/registry.h"

namespace {

using qvtest::MemoryRegistry;
using vek::RegValue;
using vek::Text;
using vek::TRegistry;

constexpr uint32_t HKLM = vek::kHkeyLocalMachine;
constexpr uint32_t HKCU = vek::kHkeyCurrentUser;

std::vector<uint8_t> Bytes(std::initializer_list<int> b) {
  std::vector<uint8_t> v;
  for (int x : b) v.push_back(uint8_t(x));
  return v;
}

class RegistryTest : public ::testing::Test {
 protected:
  MemoryRegistry mem;
  vek::ScopedRegistryBackend use{mem};
};

TEST_F(RegistryTest, LeadingBackslashNamesTheSameKey) {
  mem.Put(HKLM, u"SOFTWARE\\Microsoft", u"v", RegValue::String(u"x"));
  for (const char16_t* path : {u"\\SOFTWARE\\Microsoft", u"SOFTWARE\\Microsoft", u"\\software\\MICROSOFT"}) {
    TRegistry reg(vek::kRegReadAccess);
    reg.SetRootKey(HKLM);
    ASSERT_TRUE(reg.OpenKeyReadOnly(path)) << vek::ToUtf8(path);
    EXPECT_EQ(reg.ReadString(u"v"), Text(u"x"));
  }
}

TEST_F(RegistryTest, OpenWithoutCreateFailsOnMissingKeyAndLeavesNothingBehind) {
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKCU);
  EXPECT_FALSE(reg.OpenKey(u"\\Software\\Missing\\Deep", false));
  EXPECT_FALSE(reg.HasKey());
  EXPECT_FALSE(mem.HasKey(HKCU, u"Software\\Missing"));
  EXPECT_TRUE(reg.OpenKey(u"\\Software\\Missing\\Deep", true));
  EXPECT_TRUE(mem.HasKey(HKCU, u"Software\\Missing\\Deep"));
  EXPECT_EQ(reg.CurrentPath(), u"Software\\Missing\\Deep");
}

TEST_F(RegistryTest, RelativePathOpensBelowTheOpenKeyAbsoluteFromRoot) {
  mem.AddKey(HKLM, u"A\\B\\C");
  mem.AddKey(HKLM, u"C");
  TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(HKLM);
  ASSERT_TRUE(reg.OpenKey(u"A", false));
  ASSERT_TRUE(reg.OpenKey(u"B\\C", false));
  EXPECT_EQ(reg.CurrentPath(), u"A\\B\\C");
  ASSERT_TRUE(reg.OpenKey(u"\\C", false));
  EXPECT_EQ(reg.CurrentPath(), u"C");
}

// The read-only open falls back to lesser rights, and the rights that worked
// become the accessor's mask, the view bits kept.
TEST_F(RegistryTest, ReadOnlyOpenFallsBackToLesserRights) {
  struct Case {
    uint32_t granted;
    bool opens;
    uint32_t mask;
    bool canList;
  } cases[] = {
      {vek::kKeyAllAccess, true, vek::kKeyRead | vek::kKeyWow64_64Key, true},
      {vek::kStandardRightsRead | vek::kKeyQueryValue | vek::kKeyEnumerateSubKeys, true,
       0x20009 | vek::kKeyWow64_64Key, true},
      {vek::kKeyQueryValue, true, vek::kKeyQueryValue | vek::kKeyWow64_64Key, false},
      {vek::kKeyEnumerateSubKeys, false, vek::kRegReadAccess, false},
      {0, false, vek::kRegReadAccess, false},
  };
  for (const Case& c : cases) {
    MemoryRegistry local;
    local.Put(HKLM, u"K\\Sub", u"", RegValue::String(u"below"));
    local.Put(HKLM, u"K", u"v", RegValue::Dword(7));
    local.SetRights(HKLM, u"K", c.granted);
    TRegistry reg(vek::kRegReadAccess, local);
    reg.SetRootKey(HKLM);
    SCOPED_TRACE(c.granted);
    EXPECT_EQ(reg.OpenKeyReadOnly(u"\\K"), c.opens);
    EXPECT_EQ(reg.Access(), c.mask);
    if (!c.opens) continue;
    EXPECT_EQ(reg.ReadInteger(u"v"), 7);
    std::vector<Text> names{u"stale"};
    EXPECT_EQ(reg.GetKeyNames(names), c.canList);
    EXPECT_EQ(names.size(), c.canList ? 1u : 0u);
  }
}

TEST_F(RegistryTest, ReadStringKeepsStoredTextAndRefusesOtherTypes) {
  std::vector<uint8_t> big(1 << 20, 0x41);  // 1 MiB of U+4141, no NUL
  struct Case {
    const char* what;
    std::optional<RegValue> stored;
    std::optional<Text> read;
  } cases[] = {
      {"missing", std::nullopt, Text()},
      {"sz", RegValue::String(u"C:\\a b"), Text(u"C:\\a b")},
      {"expand sz unexpanded", RegValue::String(u"%SystemRoot%\\x", vek::kRegExpandSz), Text(u"%SystemRoot%\\x")},
      {"empty data", RegValue{vek::kRegSz, {}}, Text()},
      {"no terminating NUL", RegValue{vek::kRegSz, Bytes({'a', 0, 'b', 0})}, Text(u"ab")},
      {"odd byte count", RegValue{vek::kRegSz, Bytes({'a', 0, 'b'})}, Text(u"a")},
      {"cut at first NUL", RegValue{vek::kRegSz, Bytes({'a', 0, 0, 0, 'b', 0})}, Text(u"a")},
      {"one byte", RegValue{vek::kRegSz, Bytes({'a'})}, Text()},
      {"dword", RegValue::Dword(5), std::nullopt},
      {"binary", RegValue::Binary(Bytes({'a', 0})), std::nullopt},
      {"multi sz", RegValue::MultiString({u"a"}), std::nullopt},
      {"qword", RegValue::Qword(1), std::nullopt},
      {"1 MiB", RegValue{vek::kRegSz, big}, Text(big.size() / 2, u'\x4141')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryRegistry local;
    local.AddKey(HKCU, u"K");
    if (c.stored) local.Put(HKCU, u"K", u"v", *c.stored);
    TRegistry reg(vek::kRegReadAccess, local);
    reg.SetRootKey(HKCU);
    ASSERT_TRUE(reg.OpenKeyReadOnly(u"K"));
    EXPECT_EQ(reg.ReadString(u"v"), c.read);
  }
}

TEST_F(RegistryTest, ReadIntegerOnlyFromFourByteDwords) {
  struct Case {
    const char* what;
    std::optional<RegValue> stored;
    std::optional<int32_t> read;
  } cases[] = {
      {"missing", std::nullopt, std::nullopt},
      {"dword", RegValue::Dword(5), 5},
      {"all ones is -1", RegValue::Dword(0xFFFFFFFF), -1},
      {"short dword", RegValue{vek::kRegDword, Bytes({1, 0})}, std::nullopt},
      {"text", RegValue::String(u"5"), std::nullopt},
      {"qword", RegValue::Qword(5), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryRegistry local;
    local.AddKey(HKCU, u"K");
    if (c.stored) local.Put(HKCU, u"K", u"v", *c.stored);
    TRegistry reg(vek::kRegReadAccess, local);
    reg.SetRootKey(HKCU);
    ASSERT_TRUE(reg.OpenKeyReadOnly(u"K"));
    EXPECT_EQ(reg.ReadInteger(u"v"), c.read);
  }
}

TEST_F(RegistryTest, DataTypeClassifiesEveryStoredType) {
  mem.Put(HKCU, u"K", u"sz", RegValue::String(u""));
  mem.Put(HKCU, u"K", u"ex", RegValue::String(u"", vek::kRegExpandSz));
  mem.Put(HKCU, u"K", u"dw", RegValue::Dword(0));
  mem.Put(HKCU, u"K", u"bin", RegValue::Binary({}));
  mem.Put(HKCU, u"K", u"multi", RegValue::MultiString({}));
  mem.Put(HKCU, u"K", u"qw", RegValue::Qword(0));
  TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(HKCU);
  ASSERT_TRUE(reg.OpenKeyReadOnly(u"K"));
  using T = vek::RegDataType;
  EXPECT_EQ(reg.GetDataType(u"SZ"), T::String);
  EXPECT_EQ(reg.GetDataType(u"ex"), T::ExpandString);
  EXPECT_EQ(reg.GetDataType(u"dw"), T::Integer);
  EXPECT_EQ(reg.GetDataType(u"bin"), T::Binary);
  EXPECT_EQ(reg.GetDataType(u"multi"), T::Unknown);
  EXPECT_EQ(reg.GetDataType(u"qw"), T::Unknown);
  EXPECT_EQ(reg.GetDataType(u"none"), T::Unknown);
  EXPECT_TRUE(reg.ValueExists(u"QW"));
  EXPECT_FALSE(reg.ValueExists(u"none"));
}

TEST_F(RegistryTest, WritesStoreTypeAndTerminatingNul) {
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKCU);
  ASSERT_TRUE(reg.OpenKey(u"\\K", true));
  EXPECT_TRUE(reg.WriteString(u"s", u"ab"));
  EXPECT_TRUE(reg.WriteExpandString(u"e", u"%x%"));
  EXPECT_TRUE(reg.WriteInteger(u"i", -2));
  EXPECT_EQ(mem.Get(HKCU, u"K", u"s"), (RegValue{vek::kRegSz, Bytes({'a', 0, 'b', 0, 0, 0})}));
  EXPECT_EQ(mem.Get(HKCU, u"K", u"e")->Type, vek::kRegExpandSz);
  EXPECT_EQ(mem.Get(HKCU, u"K", u"i"), (RegValue{vek::kRegDword, Bytes({0xFE, 0xFF, 0xFF, 0xFF})}));
  // Overwriting keeps the value's place in the enumeration order.
  EXPECT_TRUE(reg.WriteInteger(u"S", 1));
  std::vector<Text> names;
  ASSERT_TRUE(reg.GetValueNames(names));
  EXPECT_EQ(names, (std::vector<Text>{u"s", u"e", u"i"}));
  EXPECT_EQ(reg.ReadInteger(u"s"), 1);
}

TEST_F(RegistryTest, NothingHappensWithoutAnOpenKey) {
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKCU);
  std::vector<Text> names{u"stale"};
  EXPECT_FALSE(reg.WriteString(u"v", u"x"));
  EXPECT_FALSE(reg.DeleteValue(u"v"));
  EXPECT_FALSE(reg.ValueExists(u"v"));
  EXPECT_EQ(reg.ReadString(u"v"), std::nullopt);
  EXPECT_EQ(reg.ReadInteger(u"v"), std::nullopt);
  EXPECT_FALSE(reg.GetValueNames(names));
  EXPECT_TRUE(names.empty());
}

TEST_F(RegistryTest, RefusedWritesChangeNothing) {
  mem.Put(HKLM, u"Run", u"keep", RegValue::String(u"x"));
  mem.RefuseWrites(HKLM, u"Run");
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKLM);
  EXPECT_FALSE(reg.OpenKey(u"Run", false));
  reg.SetAccess(vek::kRegReadAccess);
  ASSERT_TRUE(reg.OpenKey(u"Run", false));
  EXPECT_FALSE(reg.WriteString(u"new", u"y"));
  EXPECT_FALSE(reg.DeleteValue(u"keep"));
  EXPECT_EQ(mem.ValueNames(HKLM, u"Run"), std::vector<Text>{u"keep"});
}

TEST_F(RegistryTest, DeleteKeyRemovesTheWholeSubtree) {
  mem.Put(HKCU, u"T\\Gone\\A\\B", u"v", RegValue::Dword(1));
  mem.AddKey(HKCU, u"T\\Gone\\C");
  mem.AddKey(HKCU, u"T\\Stays");
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKCU);
  ASSERT_TRUE(reg.OpenKey(u"T", false));
  EXPECT_TRUE(reg.DeleteKey(u"gone"));
  EXPECT_FALSE(mem.HasKey(HKCU, u"T\\Gone"));
  EXPECT_EQ(mem.SubKeys(HKCU, u"T"), std::vector<Text>{u"Stays"});
  EXPECT_FALSE(reg.DeleteKey(u"Gone"));
  // From the root when the path has a leading backslash.
  EXPECT_TRUE(reg.DeleteKey(u"\\T\\Stays"));
  EXPECT_TRUE(mem.SubKeys(HKCU, u"T").empty());
}

// As the real walk does: subkeys go one by one in enumeration order, each after
// its own subkeys, and a key that refuses deletion ends the walk there.
TEST_F(RegistryTest, DeleteKeyRefusedPartWayLeavesWhatItHadNotReached) {
  mem.Put(HKCU, u"T\\Gone\\A\\Deep", u"v", RegValue::Dword(1));
  mem.AddKey(HKCU, u"T\\Gone\\B\\Locked");
  mem.AddKey(HKCU, u"T\\Gone\\C");
  mem.Put(HKCU, u"T\\Gone", u"v", RegValue::Dword(2));
  mem.SetRights(HKCU, u"T\\Gone\\B\\Locked", vek::kKeyRead);
  TRegistry reg(vek::kRegWriteAccess);
  EXPECT_FALSE(reg.DeleteKey(u"T\\Gone"));
  EXPECT_EQ(mem.SubKeys(HKCU, u"T\\Gone"), (std::vector<Text>{u"B", u"C"}));
  EXPECT_TRUE(mem.HasKey(HKCU, u"T\\Gone\\B\\Locked"));
  EXPECT_EQ(mem.Get(HKCU, u"T\\Gone", u"v"), RegValue::Dword(2));

  // A change refused by an injected fault ends the walk the same way.
  mem.SetRights(HKCU, u"T\\Gone\\B\\Locked", vek::kKeyAllAccess);
  mem.InjectFaults([](MemoryRegistry::Change change, uint32_t, const Text& path) {
    return change == MemoryRegistry::Change::DeleteKey && path == u"T\\Gone\\C";
  });
  EXPECT_FALSE(reg.DeleteKey(u"T\\Gone"));
  EXPECT_EQ(mem.SubKeys(HKCU, u"T\\Gone"), std::vector<Text>{u"C"});
  mem.InjectFaults(nullptr);
  EXPECT_TRUE(reg.DeleteKey(u"T\\Gone"));
  EXPECT_FALSE(mem.HasKey(HKCU, u"T\\Gone"));
}

TEST_F(RegistryTest, InjectedFaultsRefuseOneChangeAndLeaveTheRestAsItWas) {
  mem.Put(HKCU, u"K", u"keep", RegValue::Dword(1));
  std::vector<std::pair<MemoryRegistry::Change, Text>> asked;
  mem.InjectFaults([&](MemoryRegistry::Change change, uint32_t root, const Text& path) {
    EXPECT_EQ(root, HKCU);
    asked.emplace_back(change, path);
    return true;
  });
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKCU);
  EXPECT_FALSE(reg.OpenKey(u"K\\New", true));
  ASSERT_TRUE(reg.OpenKey(u"K", false));
  EXPECT_FALSE(reg.WriteInteger(u"keep", 2));
  EXPECT_FALSE(reg.DeleteValue(u"keep"));
  EXPECT_FALSE(reg.DeleteValue(u"missing"));  // nothing to change: nothing asked
  using C = MemoryRegistry::Change;
  EXPECT_EQ(asked, (std::vector<std::pair<C, Text>>{{C::CreateKey, u"K\\New"}, {C::SetValue, u"K"}, {C::DeleteValue, u"K"}}));
  EXPECT_EQ(mem.Dump(), (std::vector<MemoryRegistry::KeyDump>{
                            {u"HKCR", {}}, {u"HKCU", {}}, {u"HKCU\\K", {{u"keep", RegValue::Dword(1)}}}, {u"HKLM", {}},
                            {u"HKU", {}}, {u"HKPD", {}}, {u"HKCC", {}}, {u"HKDD", {}}}));
}

TEST_F(RegistryTest, HandleToADeletedKeyFailsEveryOperation) {
  mem.Put(HKCU, u"T\\K", u"v", RegValue::Dword(1));
  TRegistry holder(vek::kRegWriteAccess);
  ASSERT_TRUE(holder.OpenKey(u"T\\K", false));
  TRegistry deleter(vek::kRegWriteAccess);
  ASSERT_TRUE(deleter.DeleteKey(u"T"));
  EXPECT_FALSE(holder.ValueExists(u"v"));
  EXPECT_FALSE(holder.WriteInteger(u"w", 2));
  EXPECT_FALSE(holder.OpenKey(u"Sub", true));
  EXPECT_FALSE(mem.HasKey(HKCU, u"T"));
}

// Subkeys enumerate as RegEnumKeyEx gives them: sorted by their upper-cased
// names, so "_" comes after the letters; values keep the order they were made in.
TEST_F(RegistryTest, SubkeysEnumerateSortedWithoutCaseValuesInCreationOrder) {
  for (const char16_t* name : {u"zeta", u"_under", u"Alpha", u"mid", u"beta"}) mem.AddKey(HKLM, Text(u"K\\") + name);
  mem.AddKey(HKLM, u"K\\ALPHA\\x");  // same key, other case
  for (const char16_t* name : {u"z", u"a", u"M"}) mem.Put(HKLM, u"K", name, RegValue::Dword(0));
  TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(HKLM);
  ASSERT_TRUE(reg.OpenKeyReadOnly(u"K"));
  std::vector<Text> names;
  ASSERT_TRUE(reg.GetKeyNames(names));
  EXPECT_EQ(names, (std::vector<Text>{u"Alpha", u"beta", u"mid", u"zeta", u"_under"}));
  ASSERT_TRUE(reg.GetValueNames(names));
  EXPECT_EQ(names, (std::vector<Text>{u"z", u"a", u"M"}));
}

// Key names are at most 255 units and value names at most 16,383.
TEST_F(RegistryTest, NamesBeyondTheRegistrysLimitsAreRefused) {
  TRegistry reg(vek::kRegWriteAccess);
  reg.SetRootKey(HKCU);
  EXPECT_FALSE(reg.OpenKey(u"K\\" + Text(256, u'k'), true));
  EXPECT_TRUE(reg.OpenKey(u"K\\" + Text(255, u'k'), true));
  EXPECT_FALSE(reg.WriteInteger(Text(16384, u'v'), 1));
  EXPECT_TRUE(reg.WriteInteger(Text(16383, u'v'), 1));
  EXPECT_EQ(mem.SubKeys(HKCU, u"K"), std::vector<Text>{Text(255, u'k')});
}

TEST_F(RegistryTest, UnknownRootAndDeniedKeyDoNotOpen) {
  mem.AddKey(HKLM, u"Secret");
  mem.DenyOpen(HKLM, u"Secret");
  TRegistry reg(vek::kRegReadAccess);
  reg.SetRootKey(0x80000009);
  EXPECT_FALSE(reg.OpenKeyReadOnly(u"Secret"));
  reg.SetRootKey(HKLM);
  EXPECT_FALSE(reg.OpenKeyReadOnly(u"Secret"));
  EXPECT_FALSE(reg.OpenKey(u"Secret\\Below", true));
  EXPECT_TRUE(reg.KeyExists(u"\\Secret") == false);
}

TEST_F(RegistryTest, AccessorsCloseWhatTheyOpen) {
  mem.AddKey(HKLM, u"A\\B");
  {
    TRegistry reg(vek::kRegReadAccess);
    reg.SetRootKey(HKLM);
    ASSERT_TRUE(reg.OpenKeyReadOnly(u"A"));
    ASSERT_TRUE(reg.OpenKeyReadOnly(u"B"));
    EXPECT_EQ(mem.OpenHandles(), 1);
    EXPECT_TRUE(reg.KeyExists(u"\\A"));
    EXPECT_EQ(mem.OpenHandles(), 1);
  }
  EXPECT_EQ(mem.OpenHandles(), 0);
}

// The keys of HKLM in a dump.
std::vector<MemoryRegistry::KeyDump> Machine(const std::vector<MemoryRegistry::KeyDump>& dump) {
  std::vector<MemoryRegistry::KeyDump> machine;
  for (const auto& key : dump)
    if (key.Path.starts_with(u"HKLM")) machine.push_back(key);
  return machine;
}

// A registry link anywhere on the path of a change refuses it with nothing made,
// written or deleted; a link inside a subtree being deleted goes as a key of its
// own. Every change is tried with a link at every key of its path, each time in
// a fresh registry, and the link's target (HKLM\Target, holding every path the
// change could reach through any of the links) is compared whole.
TEST_F(RegistryTest, NoChangeGoesThroughALink) {
  const Text keys[] = {u"A", u"A\\B", u"A\\B\\C", u"A\\B\\C\\D"};
  struct Op {
    const char* what;
    Text reaches;  // the deepest key the change opens
    std::function<bool()> run;
  } ops[] = {
      {"write, creating", u"A\\B\\C\\D", [] { return core::WriteRegString(HKCU, u"\\A\\B\\C\\D", u"v", u"x"); }},
      {"write, making keys", u"A\\B\\M\\N", [] { return core::WriteRegString(HKCU, u"\\A\\B\\M\\N", u"v", u"x"); }},
      {"write below, making the key", u"A\\B\\C\\D\\New",
       [] { return core::WriteRegSubKeyInteger(HKCU, u"\\A\\B\\C\\D", u"New", u"v", 1); }},
      {"open without creating, write",
       u"A\\B\\C\\D",
       [] {
         TRegistry reg(vek::kRegWriteAccess);
         reg.SetRootKey(HKCU);
         return reg.OpenKey(u"A\\B\\C\\D", false) && reg.WriteInteger(u"own", 2);
       }},
      {"delete a value", u"A\\B\\C\\D", [] { return core::DeleteRegValue(HKCU, u"\\A\\B\\C\\D", u"own"); }},
      {"delete a key", u"A\\B\\C\\D", [] { return core::DeleteRegKey(HKCU, u"\\A\\B\\C", u"D"); }},
      {"delete a subtree", u"A\\B", [] { return core::DeleteRegKey(HKCU, u"\\A", u"B"); }},
  };
  auto seed = [&](MemoryRegistry& reg, const Text& link) {
    for (const Text& key : keys)
      if (link.empty() || !(key == link || key.starts_with(link + u"\\"))) reg.Put(HKCU, key, u"own", RegValue::Dword(1));
    for (const Text& below : std::vector<Text>{u"Target\\B\\C\\D", u"Target\\C\\D", u"Target\\D"}) {
      reg.Put(HKLM, below, u"own", RegValue::Dword(0xdeadbeef));
      reg.Put(HKLM, below + u"\\Sub", u"", RegValue::String(u"canary"));
    }
    if (!link.empty()) reg.AddLink(HKCU, link, HKLM, u"Target");
  };
  for (const Text& link : {Text(), keys[0], keys[1], keys[2], keys[3]}) {
    for (const Op& op : ops) {
      SCOPED_TRACE(std::string(op.what) + ", link at " + vek::ToUtf8(link));
      MemoryRegistry local;
      vek::ScopedRegistryBackend use{local};
      seed(local, link);
      const auto before = local.Dump();
      const bool onPath = !link.empty() && (op.reaches == link || op.reaches.starts_with(link + u"\\"));
      const bool insideDeleted = !link.empty() && link.starts_with(op.reaches + u"\\") && op.reaches == keys[1];
      EXPECT_EQ(op.run(), !onPath);
      if (onPath) {
        EXPECT_EQ(local.Dump(), before);
      } else if (insideDeleted) {
        EXPECT_TRUE(local.SubKeys(HKCU, u"A").empty());
        EXPECT_EQ(local.ValueNames(HKCU, u"A"), std::vector<Text>{u"own"});
      }
      EXPECT_EQ(Machine(local.Dump()), Machine(before));
    }
  }
  // Reads follow the link and show what it leads to.
  seed(mem, keys[1]);
  EXPECT_EQ(core::ReadRegInteger(HKCU, u"\\A\\B\\C\\D", u"own"), int32_t(0xdeadbeef));
  std::vector<Text> names;
  EXPECT_EQ(core::ListRegKeys(HKCU, u"\\A\\B", names), 3);
}

TEST(RegData, DecodersNeverReadPastTheData) {
  // The first empty item ends the list.
  EXPECT_EQ(vek::RegDataMultiString(Bytes({'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0})), std::vector<Text>{u"a"});
  EXPECT_EQ(vek::RegDataMultiString(RegValue::MultiString({u"x", u"yz"}).Data), (std::vector<Text>{u"x", u"yz"}));
  EXPECT_EQ(vek::RegDataMultiString(Bytes({'a', 0, 'b'})), std::vector<Text>{u"a"});
  EXPECT_TRUE(vek::RegDataMultiString({}).empty());
  EXPECT_EQ(vek::RegDataDword(Bytes({1, 2, 3})), std::nullopt);
  EXPECT_EQ(vek::RegDataDword(Bytes({1, 2, 3, 4, 5})), 0x04030201u);
  EXPECT_EQ(vek::RegDataQword(RegValue::Qword(0x1122334455667788ull).Data), 0x1122334455667788ull);
  EXPECT_EQ(vek::RegDataQword(Bytes({1})), std::nullopt);
}

}  // namespace

// The typed readers over the in-memory registry: every value type against each
// reader, and one query per read.
#include <gtest/gtest.h>

#include "tests/support/memory_registry.h"
#include "vek/registry_read.h"

namespace {

using qvtest::MemoryRegistry;
using vek::RegValue;
using vek::Text;

constexpr uint32_t HKCU = vek::kHkeyCurrentUser;

class RegistryReadTest : public ::testing::Test {
 protected:
  RegistryReadTest() { reg.SetRootKey(HKCU); }
  void Store(RegValue value) {
    mem.Put(HKCU, u"K", u"v", std::move(value));
    ASSERT_TRUE(reg.OpenKeyReadOnly(u"\\K"));
  }
  MemoryRegistry mem;
  vek::ScopedRegistryBackend use{mem};
  vek::TRegistry reg{vek::kRegReadAccess};
};

TEST_F(RegistryReadTest, EachTypeAgainstEachReader) {
  struct Case {
    const char* what;
    RegValue value;
    bool boolean;      // with default false; true defaults show as true below
    int32_t integer;   // with default 77
    Text text;         // with default "def"
  };
  const Case cases[] = {
      {"dword 5", RegValue::Dword(5), true, 5, u"5"},
      {"dword 0", RegValue::Dword(0), false, 0, u"0"},
      {"dword 0xFFFFFFFF", RegValue::Dword(0xFFFFFFFF), true, -1, u"-1"},
      {"dword INT32_MIN", RegValue::Dword(0x80000000), true, INT32_MIN, u"-2147483648"},
      {"text 1", RegValue::String(u"1"), false, 77, u"1"},
      {"expandable", RegValue::String(u"%ProgramFiles%\\x", vek::kRegExpandSz), false, 77, u"%ProgramFiles%\\x"},
      {"text with inner NUL", RegValue::String(Text(u"ab\0cd", 5)), false, 77, u"ab"},
      {"empty text", RegValue::String(u""), false, 77, u""},
      {"binary", RegValue::Binary({1, 0, 0, 0}), false, 77, u"def"},
      {"multi-string", RegValue::MultiString({u"a", u"b"}), false, 77, u"def"},
      {"qword", RegValue::Qword(5), false, 77, u"def"},
      {"short dword", {vek::kRegDword, {1, 0}}, false, 77, u"def"},
      {"none", {vek::kRegNone, {}}, false, 77, u"def"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Store(c.value);
    EXPECT_EQ(vek::ReadBoolDef(reg, u"v", false), c.boolean);
    EXPECT_EQ(vek::ReadIntegerDef(reg, u"v", 77), c.integer);
    EXPECT_EQ(vek::ReadStringDef(reg, u"v", u"def"), c.text);
  }
}

TEST_F(RegistryReadTest, MissingValueOrNoOpenKeyGivesTheDefault) {
  mem.AddKey(HKCU, u"K");
  vek::TRegistry closed(vek::kRegReadAccess);
  for (vek::TRegistry* r : {&reg, &closed}) {
    if (r == &reg) {
      ASSERT_TRUE(reg.OpenKeyReadOnly(u"\\K"));
    }
    EXPECT_TRUE(vek::ReadBoolDef(*r, u"missing", true));
    EXPECT_EQ(vek::ReadIntegerDef(*r, u"missing", -9), -9);
    EXPECT_EQ(vek::ReadStringDef(*r, u"missing", u"d"), u"d");
  }
}

TEST_F(RegistryReadTest, EmptyNameReadsTheDefaultValue) {
  mem.Put(HKCU, u"K", u"", RegValue::String(u"default"));
  ASSERT_TRUE(reg.OpenKeyReadOnly(u"\\K"));
  EXPECT_EQ(vek::ReadStringDef(reg, u"", Text()), u"default");
}

TEST_F(RegistryReadTest, EachReadIsOneQuery) {
  Store(RegValue::Dword(3));
  const int before = mem.Queries();
  vek::ReadBoolDef(reg, u"v", false);
  vek::ReadIntegerDef(reg, u"v", 0);
  vek::ReadStringDef(reg, u"v", Text());
  vek::ReadStringDef(reg, u"missing", Text());
  EXPECT_EQ(mem.Queries() - before, 4);
}

}  // namespace

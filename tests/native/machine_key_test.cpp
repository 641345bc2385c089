#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "vek/system.h"

namespace vek {
namespace {

// Stands in for the CNG digest: remembers what it was asked to hash and answers
// with bytes that show the hex writing (high nibble first, digest order).
struct FakeSha1 {
  std::vector<std::string> inputs;
  Sha1Function Function() {
    return [this](std::string_view utf8) {
      inputs.emplace_back(utf8);
      std::array<uint8_t, 20> digest{};
      for (size_t i = 0; i < digest.size(); ++i) digest[i] = uint8_t(i * 0x11 + 0x0A);
      digest[19] = 0xF0;
      return digest;
    };
  }
};

constexpr char16_t kFakeKey[] = u"0a1b2c3d4e5f708192a3b4c5d6e7f8091a2b3cf0";

TEST(MacTextFromAdapters, LeavesOutVirtualAndSharedAdaptersInAnyCase) {
  struct Case {
    const char16_t* name;
    bool kept;
  };
  const Case cases[] = {
      {u"Intel(R) Ethernet Connection I219-V", true},
      {u"Realtek PCIe GbE Family Controller", true},
      {u"VMware Virtual Ethernet Adapter for VMnet8", false},
      {u"VMWARE NAT", false},
      {u"Bluetooth Device (Personal Area Network)", false},
      {u"Microsoft Wi-Fi Direct VIRTUAL Adapter", false},
      {u"Microsoft Hosted Network Virtual Adapter", false},
      {u"Internet Connection Sharing Adapter", false},
      {u"Qualcomm MOBILE Broadband", false},
      {u"Microsoft Kernel Debug Network Adapter", true},
      // Only ASCII letters fold: a full-width letter does not make a skipped word.
      {u"\uFF56mware", true},
  };
  for (const auto& c : cases) {
    const std::vector<NetworkAdapter> adapters{{c.name, u"00:11:22:33:44:55"}};
    EXPECT_EQ(MacTextFromAdapters(adapters), c.kept ? u"00:11:22:33:44:55" : u"") << ToUtf8(c.name);
  }
}

TEST(MacTextFromAdapters, JoinsAddressesInOrderWithoutSeparator) {
  const std::vector<NetworkAdapter> adapters{
      {u"Ethernet", u"00:11:22:33:44:55"},
      {u"Bluetooth PAN", u"AA:AA:AA:AA:AA:AA"},
      {u"Wireless", std::nullopt},
      {u"Wi-Fi", u"66:77:88:99:AA:BB"},
  };
  EXPECT_EQ(MacTextFromAdapters(adapters), u"00:11:22:33:44:5566:77:88:99:AA:BB");
  EXPECT_EQ(MacTextFromAdapters({}), u"");
  EXPECT_EQ(MacTextFromAdapters({{u"Ethernet", std::nullopt}, {u"Wi-Fi", std::nullopt}}), u"");
}

TEST(UnionKeyFromMacText, IsFortyZerosWithoutAddressesAndNeverHashesThem) {
  FakeSha1 sha1;
  EXPECT_EQ(UnionKeyFromMacText(u"", sha1.Function()), kEmptyUnionKey);
  EXPECT_TRUE(sha1.inputs.empty());
  EXPECT_EQ(Text(kEmptyUnionKey), Text(40, u'0'));
}

TEST(UnionKeyFromMacText, WritesTheDigestOfTheUtf8BytesInLowerCaseHex) {
  FakeSha1 sha1;
  EXPECT_EQ(UnionKeyFromMacText(u"00:11:22:33:44:55", sha1.Function()), kFakeKey);
  EXPECT_EQ(UnionKeyFromMacText(u"\uD55C", sha1.Function()), kFakeKey);
  EXPECT_EQ(sha1.inputs, (std::vector<std::string>{"00:11:22:33:44:55", "\xED\x95\x9C"}));
}

TEST(UnionKeyFromMacText, HashesTheAdaptersInEnumerationOrder) {
  FakeSha1 sha1;
  const NetworkAdapter a{u"Ethernet", u"00:11:22:33:44:55"};
  const NetworkAdapter b{u"Wi-Fi", u"66:77:88:99:AA:BB"};
  UnionKeyFromMacText(MacTextFromAdapters({a, b}), sha1.Function());
  UnionKeyFromMacText(MacTextFromAdapters({b, a}), sha1.Function());
  EXPECT_EQ(sha1.inputs,
            (std::vector<std::string>{"00:11:22:33:44:5566:77:88:99:AA:BB", "66:77:88:99:AA:BB00:11:22:33:44:55"}));
}

TEST(UnionKeyFromMacText, FallsBackToZerosWhenTheDigestIsUnavailable) {
  EXPECT_EQ(UnionKeyFromMacText(u"00:11:22:33:44:55", Sha1Function()), kEmptyUnionKey);
  const Sha1Function failing = [](std::string_view) -> std::array<uint8_t, 20> { throw std::runtime_error("no CNG"); };
  EXPECT_EQ(UnionKeyFromMacText(u"00:11:22:33:44:55", failing), kEmptyUnionKey);
}

TEST(FormatVersion, FillsPlaceholdersWithTheNumbersInOrder) {
  struct Case {
    const char16_t* format;
    const char16_t* out;
  };
  const Case cases[] = {
      {u"%d.%d.%d.%d", u"3.6.0.0"},
      {u"%d.%d", u"3.6"},
      {u"v%d", u"v3"},
      {u"", u""},
      {u"no placeholders", u"no placeholders"},
      {u"%d%%", u"3%"},
      {u"%%d", u"%d"},
      {u"%d.%d.%d.%d.%d", u"3.6.0.0.%d"},
      {u"%s %D %", u"%s %D %"},
      {u"%", u"%"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatVersion(c.format, 3, 6, 0, 0), c.out) << ToUtf8(c.format);
  EXPECT_EQ(FormatVersion(u"%d.%d.%d.%d", 65535, 10, 2, 12345), u"65535.10.2.12345");
  EXPECT_EQ(Text(kUnknownVersion), u"0.0.0.0");
}

}  // namespace
}  // namespace vek

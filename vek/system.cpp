#include "vek/system.h"

#include <iterator>
#include <string>

namespace vek {
namespace {

// Names of adapters that are not the PC's own hardware: host-only and bridged
// adapters of virtual machines, Bluetooth PAN, Wi-Fi Direct virtual adapters,
// Internet Connection Sharing and mobile broadband. In this order.
constexpr const char16_t* kSkippedAdapterWords[] = {u"vmware", u"bluetooth", u"virtual", u"sharing", u"mobile"};

bool IsSkipped(TextView name) {
  const Text lower = LowerCase(name);
  for (const char16_t* word : kSkippedAdapterWords)
    if (lower.find(word) != Text::npos) return true;
  return false;
}

}  // namespace

Text MacTextFromAdapters(const std::vector<NetworkAdapter>& adapters) {
  Text macText;
  for (const auto& adapter : adapters) {
    if (IsSkipped(adapter.Name) || !adapter.MACAddress) continue;
    macText += *adapter.MACAddress;
  }
  return macText;
}

Text UnionKeyFromMacText(TextView macText, const Sha1Function& sha1) {
  if (macText.empty() || !sha1) return kEmptyUnionKey;
  std::array<uint8_t, 20> digest;
  try {
    digest = sha1(ToUtf8(macText));
  } catch (...) {
    return kEmptyUnionKey;
  }
  constexpr char16_t kHexLower[] = u"0123456789abcdef";
  Text key;
  key.reserve(40);
  for (uint8_t b : digest) {
    key.push_back(kHexLower[b >> 4]);
    key.push_back(kHexLower[b & 0xF]);
  }
  return key;
}

Text FormatVersion(TextView format, uint16_t major, uint16_t minor, uint16_t release, uint16_t build) {
  const uint16_t numbers[] = {major, minor, release, build};
  size_t used = 0;
  Text out;
  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t next = i + 1 < format.size() ? format[i + 1] : char16_t(0);
    if (format[i] == u'%' && next == u'%') {
      out.push_back(u'%');
      ++i;
    } else if (format[i] == u'%' && next == u'd' && used < std::size(numbers)) {
      for (char c : std::to_string(numbers[used++])) out.push_back(char16_t(c));
      ++i;
    } else {
      out.push_back(format[i]);
    }
  }
  return out;
}

}  // namespace vek

#pragma once
// Vek.System, portable part: the machine key sent as "User-UnionKey" and the
// version text sent as "User-Version". The Windows side gathers the adapters
// (WMI) and the version numbers (the version resource) and hashes with CNG; the
// decisions are made here.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "vek/text.h"

namespace vek {

// One physical network adapter as Win32_NetworkAdapter reports it. MACAddress is
// absent where WMI gives null (adapters without a hardware address).
struct NetworkAdapter {
  Text Name;
  std::optional<Text> MACAddress;
};

// The key of a PC where no MAC address was gathered; not the digest of "".
inline constexpr char16_t kEmptyUnionKey[] = u"0000000000000000000000000000000000000000";

// What GetAppVersion gives when the program has no version resource, whatever
// the format asked for.
inline constexpr char16_t kUnknownVersion[] = u"0.0.0.0";

// The SHA-1 digest of the given bytes.
using Sha1Function = std::function<std::array<uint8_t, 20>(std::string_view utf8)>;

// The MAC addresses of the adapters, joined in the given order without separator.
// Adapters whose ASCII-lower-cased name contains "vmware", "bluetooth", "virtual",
// "sharing" or "mobile" are left out; a null address adds nothing.
Text MacTextFromAdapters(const std::vector<NetworkAdapter>& adapters);

// The machine key of a MAC text: 40 lower-case hexadecimal digits of the SHA-1 of
// its UTF-8 bytes, or kEmptyUnionKey when the text is empty. sha1 is not called
// for the empty text. Should sha1 be missing or throw, the result is kEmptyUnionKey.
Text UnionKeyFromMacText(TextView macText, const Sha1Function& sha1);

// format with each "%d" replaced by the next of major, minor, release, build in
// decimal, and "%%" by "%". A "%d" beyond the fourth, and every other character,
// is copied as written. "%d.%d" of 3.6.0.0 gives "3.6".
Text FormatVersion(TextView format, uint16_t major, uint16_t minor, uint16_t release, uint16_t build);

}  // namespace vek

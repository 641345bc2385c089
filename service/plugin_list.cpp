#include "service/plugin_list.h"

#include <array>

namespace quorvane::service {
namespace {

constexpr std::array<std::string_view, 37> kBuiltIn{
    "AnySign4PC",
    "IPinside LWS Agent",
    "WIZVERA Process Manager",
    "우리은행 보안 로그 수집기",
    "iniLINE CrossEX Service",
    "INISAFE SandBox",
    "eISP",
    "TouchEn key with E2E for 32bit",
    "TouchEn nxKey with E2E for 32bit",
    "TouchEn nxFirewall32",
    "XecureWeb Control",
    "keysharpnxbiz (x86)",
    "MarkAny Inc. e-PageSafer",
    "KeySharp CertRelay",
    "스마트 모바일 사인",
    "Delfino G3 (x86)",
    "nProtect Online Security",
    "MagicLine4NP",
    "MAOnMultiWebSafer_STD",
    "Veraport(보안모듈 관리 프로그램) G3",
    "MarkAny WebDRM NoAX SVC",
    "IPinside Agent",
    "EasyKeytec (키보드 보안 프로그램)",
    "유니사인(UniSign) 한국전자인증 스마트폰 인증서 이동",
    "Delfino (x86) 버전",
    "AhnLab Safe Transaction",
    "AhnLab Online Security",
    "npEfdsWCtrl",
    "IssacWebSE",
    "nProtect Netizen",
    "MaDownloadRD(remove only)",
    "SignKorea NA Certification Toolkit(공인인증 프로그램)",
    "ContentSAFER",
    "AxSignGATE",
    "SoftCamp Secure KeyStroke",
    "CrossCertWeb",
    "MaWebSAFER_STDEP(remove only)",
};

std::string_view TrimControlAndBlank(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

}  // namespace

std::span<const std::string_view> BuiltInPluginNames() { return kBuiltIn; }

// Both sides are UTF-8 here and UTF-16 in the program; for whole characters a
// prefix in one encoding is a prefix in the other.
bool MatchesPluginList(std::span<const std::string> items, std::string_view display_name) {
  for (const auto& raw : items) {
    const std::string_view item = TrimControlAndBlank(raw);
    if (item.empty() || item.starts_with("//")) continue;
    if (display_name.starts_with(item)) return true;
  }
  return false;
}

std::vector<std::string> EffectivePluginList(std::span<const std::string> additions) {
  std::vector<std::string> items(kBuiltIn.begin(), kBuiltIn.end());
  items.insert(items.end(), additions.begin(), additions.end());
  return items;
}

}  // namespace quorvane::service

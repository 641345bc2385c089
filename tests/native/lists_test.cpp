#include "app/lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace app {
namespace {

// The groups of the keep-list, split at its empty entries.
std::vector<std::vector<vek::Text>> Groups(const std::vector<vek::Text>& list) {
  std::vector<std::vector<vek::Text>> groups(1);
  for (const auto& entry : list) {
    if (entry.empty()) groups.emplace_back();
    else groups.back().push_back(entry);
  }
  return groups;
}

TEST(BuiltinKeepList, HoldsSixGroupsSeparatedByOneEmptyEntry) {
  const auto& list = BuiltinKeepList();
  ASSERT_EQ(list.size(), 213u);
  EXPECT_EQ(std::count(list.begin(), list.end(), vek::Text()), 5);
  const auto groups = Groups(list);
  ASSERT_EQ(groups.size(), 6u);
  const size_t sizes[] = {59, 2, 1, 43, 45, 58};
  for (size_t g = 0; g < groups.size(); ++g) EXPECT_EQ(groups[g].size(), sizes[g]) << g;
}

TEST(BuiltinKeepList, EachGroupIsOfOneKind) {
  const auto groups = Groups(BuiltinKeepList());
  ASSERT_EQ(groups.size(), 6u);
  for (const auto& pattern : groups[0]) EXPECT_EQ(pattern.back(), u'*') << vek::ToUtf8(pattern);
  // "%ProgramFiles%" is a prefix of none of the others, so each group is told by its prefix.
  const char16_t* prefixes[] = {u"%CommonProgramFiles%\\", u"%CommonProgramFiles(x86)%\\", u"%ProgramFiles%\\",
                                u"%ProgramFiles(x86)%\\", u"%SystemRoot%\\"};
  for (size_t g = 1; g < groups.size(); ++g)
    for (const auto& path : groups[g])
      EXPECT_TRUE(path.starts_with(prefixes[g - 1])) << vek::ToUtf8(path);
}

TEST(BuiltinKeepList, KeepsShippedEntriesAndDuplicatesInOrder) {
  const auto& list = BuiltinKeepList();
  ASSERT_EQ(list.size(), 213u);
  EXPECT_EQ(list.front(), u"alg.exe*");
  EXPECT_EQ(list[58], u"ZeroConfigService.exe*");
  EXPECT_EQ(list[60], u"%CommonProgramFiles%\\Intel\\WirelessCommon\\RegSrvc.exe");
  EXPECT_EQ(list[63], u"%CommonProgramFiles(x86)%\\VMware\\USB\\vmware-usbarbitrator64.exe");
  EXPECT_EQ(list[65], u"%ProgramFiles%\\AhnLab\\Safe Transaction\\ASDSvc.exe");
  EXPECT_EQ(list[107], u"%ProgramFiles%\\Windows Media Player\\wmpnetwk.exe");
  EXPECT_EQ(list[109], u"%ProgramFiles(x86)%\\AhnLab\\Safe Transaction\\ASDSvc.exe");
  EXPECT_EQ(list[153], u"%ProgramFiles(x86)%\\VMware\\VMware Workstation\\x64\\vmware-vmx.exe");
  EXPECT_EQ(list[155], u"%SystemRoot%\\Microsoft.Net\\Framework64\\v3.0\\WPF\\PresentationFontCache.exe");
  EXPECT_EQ(list.back(),
            u"%SystemRoot%\\SystemApps\\ShellExperienceHost_cw5n1h2txyewy\\ShellExperienceHost.exe");
  EXPECT_EQ(list[6], u"csrss.exe*");
  EXPECT_EQ(list[7], u"csrss.exe*");
  EXPECT_EQ(list[93], u"%ProgramFiles%\\NVIDIA Corporation\\Display\\nvxdsync.exe");
  EXPECT_EQ(list[94], list[93]);
  // Entries are shipped with their own case; matching folds it later.
  EXPECT_NE(std::find(list.begin(), list.end(), u"%ProgramFiles%\\windows defender\\MpCmdRun.exe"), list.end());
  EXPECT_NE(std::find(list.begin(), list.end(), u"%SystemRoot%\\SYSWOW64\\VMNAT.EXE"), list.end());
}

TEST(BuiltinPluginList, HoldsTheShippedDisplayNamesInOrder) {
  const auto& list = BuiltinPluginList();
  ASSERT_EQ(list.size(), 37u);
  EXPECT_EQ(list.front(), u"AnySign4PC");
  EXPECT_EQ(list[3], u"\uC6B0\uB9AC\uC740\uD589 \uBCF4\uC548 \uB85C\uADF8 \uC218\uC9D1\uAE30");  // 우리은행 보안 로그 수집기
  EXPECT_EQ(list[14], u"\uC2A4\uB9C8\uD2B8 \uBAA8\uBC14\uC77C \uC0AC\uC778");  // 스마트 모바일 사인
  EXPECT_EQ(list[30], u"MaDownloadRD(remove only)");
  EXPECT_EQ(list.back(), u"MaWebSAFER_STDEP(remove only)");
  for (const auto& name : list) EXPECT_FALSE(vek::Trim(name).empty());
}

TEST(BuiltinPluginList, KoreanNamesSurviveUtf8RoundTrip) {
  const auto& list = BuiltinPluginList();
  ASSERT_EQ(list.size(), 37u);
  EXPECT_EQ(vek::ToUtf8(list[19]), "Veraport(보안모듈 관리 프로그램) G3");
  EXPECT_EQ(vek::ToUtf8(list[23]), "유니사인(UniSign) 한국전자인증 스마트폰 인증서 이동");
  EXPECT_EQ(vek::ToUtf8(list[24]), "Delfino (x86) 버전");
  EXPECT_EQ(vek::ToUtf8(list[31]), "SignKorea NA Certification Toolkit(공인인증 프로그램)");
  for (const auto& name : list) EXPECT_EQ(vek::FromUtf8(vek::ToUtf8(name)), name);
}

}  // namespace
}  // namespace app

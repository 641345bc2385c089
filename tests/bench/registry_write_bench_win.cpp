// Timing of one registry write through a path of seven keys, as the one-shot
// helpers make it (opened one key at a time from the root, never through a
// link), beside the single RegCreateKeyEx with the whole path and
// RegSetValueEx that such a write was before, in the same run
// (quorvane_win_bench.exe, not part of the test run). Also a subtree deletion
// of the same depth beside RegDeleteTreeW. Works under HKCU\Software\Quorvane Tests\Bench and removes
// it. QV_BENCH_WRITES sets the writes per round (2000 by default).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "core/lib.h"
#include "vek/handles_win.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 5;
constexpr wchar_t kBench[] = L"Software\\Quorvane Tests\\Bench";
constexpr char16_t kPath[] = u"\\Software\\Quorvane Tests\\Bench\\a\\b\\c\\d";  // seven keys

// Microseconds per call of each of the two, the medians of rounds that take
// them in turn, after a round of each to warm up.
std::pair<double, double> MicrosPerCall(int calls, const std::function<void(int)>& a,
                                        const std::function<void(int)>& b) {
  std::vector<double> rounds[2];
  for (int round = -1; round < kRounds; ++round) {
    for (int which = 0; which < 2; ++which) {
      const auto start = Clock::now();
      for (int i = 0; i < calls; ++i) (which ? b : a)(i);
      const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
      if (round >= 0) rounds[which].push_back(micros);
    }
  }
  for (auto& r : rounds) std::sort(r.begin(), r.end());
  return {rounds[0][kRounds / 2], rounds[1][kRounds / 2]};
}

TEST(RegistryWriteBench, SevenKeyPathOneKeyAtATimeAgainstOneCall) {
  const char* env = std::getenv("QV_BENCH_WRITES");
  const int writes = env ? std::max(10, std::atoi(env)) : 2000;
  const std::wstring whole = vek::W(vek::Text(kPath + 1));
  ASSERT_TRUE(core::WriteRegInteger(vek::kHkeyCurrentUser, kPath, u"v", 0));

  int failed = 0;
  const auto [oneCall, walked] = MicrosPerCall(
      writes,
      [&](int i) {
        vek::unique_hkey key;
        const DWORD value = DWORD(i);
        if (RegCreateKeyExW(HKEY_CURRENT_USER, whole.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY,
                            nullptr, key.put(), nullptr) == ERROR_SUCCESS)
          RegSetValueExW(key.get(), L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
      },
      [&](int i) {
        if (!core::WriteRegInteger(vek::kHkeyCurrentUser, kPath, u"v", i)) ++failed;
      });
  // A subtree of seven keys below Bench made and deleted again each time: by
  // RegDeleteTreeW (which follows links) and by DeleteRegKey.
  constexpr char16_t kTree[] = u"\\Software\\Quorvane Tests\\Bench\\t\\1\\2\\3\\4\\5\\6";
  const int trees = std::max(10, writes / 10);
  const auto [treeOneCall, treeWalked] = MicrosPerCall(
      trees,
      [&](int) {
        core::WriteRegInteger(vek::kHkeyCurrentUser, kTree, u"v", 1);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quorvane Tests\\Bench\\t");
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quorvane Tests\\Bench\\t");
      },
      [&](int) {
        core::WriteRegInteger(vek::kHkeyCurrentUser, kTree, u"v", 1);
        if (!core::DeleteRegKey(vek::kHkeyCurrentUser, u"\\Software\\Quorvane Tests\\Bench", u"t")) ++failed;
      });
  RegDeleteTreeW(HKEY_CURRENT_USER, kBench);
  RegDeleteKeyW(HKEY_CURRENT_USER, kBench);
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quorvane Tests");

  std::printf("writes per round: %d, trees per round: %d, rounds: %d (median)\n", writes, trees, kRounds);
  std::printf("write, one RegCreateKeyEx + RegSetValueEx: %.1f us\n", oneCall);
  std::printf("write, WriteRegInteger key by key:        %.1f us (ratio %.2f)\n", walked,
              oneCall > 0 ? walked / oneCall : 0.0);
  std::printf("write 7 keys + RegDeleteTreeW:             %.1f us\n", treeOneCall);
  std::printf("write 7 keys + DeleteRegKey:               %.1f us (ratio %.2f)\n", treeWalked,
              treeOneCall > 0 ? treeWalked / treeOneCall : 0.0);
  EXPECT_EQ(failed, 0);
}

}  // namespace

// Timing of GetInstall over seeded Uninstall entries beside Wine's own reg.exe
// listing the same four keys with /s, in the same run (quorvane_win_bench.exe,
// not part of the test run). scripts/bench-install starts it in a private
// prefix, since it writes real Uninstall keys (and removes them again).
// QV_BENCH_ENTRIES sets the number of entries (2000 by default), spread over the
// four keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "vek/handles_win.h"
#include "vek/install.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 5;
constexpr wchar_t kSeedPrefix[] = L"QvBench-";

const wchar_t* const kKeys[4] = {
    L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    L"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    L"HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    L"HKCU\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
};

HKEY RootOf(int i) { return i < 2 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
const wchar_t* PathOf(int i) { return kKeys[i] + 5; }

void SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 DWORD((value.size() + 1) * sizeof(wchar_t)));
}

void Seed(int entries) {
  for (int n = 0; n < entries; ++n) {
    const int k = n % 4;
    std::wstring sub = std::wstring(PathOf(k)) + L"\\" + kSeedPrefix + std::to_wstring(n);
    vek::unique_hkey key;
    if (RegCreateKeyExW(RootOf(k), sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
      continue;
    const std::wstring name = L"Bench program " + std::to_wstring(n);
    SetText(key.get(), L"DisplayName", name);
    SetText(key.get(), L"Publisher", L"Bench publisher " + std::to_wstring(n % 37));
    SetText(key.get(), L"DisplayVersion", L"1.0." + std::to_wstring(n));
    SetText(key.get(), L"UninstallString", L"\"C:\\Program Files\\Bench\\" + std::to_wstring(n) + L"\\unins000.exe\"");
    SetText(key.get(), L"DisplayIcon", L"C:\\Program Files\\Bench\\" + std::to_wstring(n) + L"\\app.exe,0");
    SetText(key.get(), L"InstallLocation", L"C:\\Program Files\\Bench\\" + std::to_wstring(n));
    SetText(key.get(), L"InstallDate", L"2023" + std::to_wstring(1001 + n % 300).substr(0, 4));
    DWORD size = DWORD(n * 13);
    RegSetValueExW(key.get(), L"EstimatedSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&size), 4);
  }
}

void Unseed(int entries) {
  for (int n = 0; n < entries; ++n) {
    const int k = n % 4;
    std::wstring sub = std::wstring(PathOf(k)) + L"\\" + kSeedPrefix + std::to_wstring(n);
    RegDeleteKeyExW(RootOf(k), sub.c_str(), KEY_WOW64_64KEY, 0);
  }
}

// reg.exe query <key> /s for the four keys, one process after the other, its
// output into a file as a console program's would go.
double RegQuerySeconds(const std::wstring& outFile) {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  const auto start = Clock::now();
  for (const wchar_t* key : kKeys) {
    vek::unique_hfile out(CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW si{sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out.get();
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"reg.exe query \"" + std::wstring(key) + L"\" /s";
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
      return -1;
    vek::unique_handle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.get(), INFINITE);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

TEST(InstallBench, GetInstallAgainstRegQuery) {
  const char* env = std::getenv("QV_BENCH_ENTRIES");
  const int entries = env ? std::max(4, std::atoi(env)) : 2000;
  vek::SetInstallFiles(&vek::WindowsInstallFiles());
  Seed(entries);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring outFile = std::wstring(temp) + L"qv-bench-reg.txt";
  RegQuerySeconds(outFile);  // warm: reg.exe's own start-up and the registry pages
  vek::TInstallList list;
  vek::GetInstall(list);

  std::vector<double> ours, theirs;
  size_t listed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    vek::GetInstall(list);
    ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    listed = list.size();
    theirs.push_back(RegQuerySeconds(outFile));
  }
  Unseed(entries);
  DeleteFileW(outFile.c_str());
  vek::SetInstallFiles(nullptr);

  const double a = Median(ours), b = Median(theirs);
  std::printf("entries seeded: %d, listed: %zu\n", entries, listed);
  std::printf("GetInstall:          %.3f s (median of %d)\n", a, kRounds);
  std::printf("reg.exe query /s x4: %.3f s (median of %d)\n", b, kRounds);
  std::printf("ratio:               %.2f\n", b > 0 ? a / b : 0.0);
  EXPECT_GE(listed, size_t(entries));
  EXPECT_GT(b, 0) << "reg.exe could not be started";
}

}  // namespace

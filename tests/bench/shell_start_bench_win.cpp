// Timing of a start through the desktop's shell beside the program's own
// ShellExecuteEx of the same file, each call alone (the started program's own
// start-up is not waited for). Not part of the test run; start it under Wine
// with a desktop running:
//   quorvane_win_bench.exe --gtest_filter=ShellStartBench.*
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "tests/support/child_process_win.h"
#include "vek/shell_start_win.h"

namespace {

double Milliseconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

TEST(ShellStartBench, DesktopShellBesideShellExecuteEx) {
  constexpr int kRounds = 15;
  vek::ShellStartRequest request;
  request.File = qvtest::BesideTestProgram(u"qv_child.exe");
  request.Params = u"--seconds 1";  // each ends by itself
  request.ShowCmd = SW_SHOW;

  auto start = std::chrono::steady_clock::now();
  const vek::ShellStartResult first = vek::ShellStartUnelevated(request);
  const double firstMs = Milliseconds(start);
  if (!first.ThroughDesktop()) GTEST_SKIP() << "no desktop shell takes the start here";

  std::vector<double> desktop, direct;
  for (int i = 0; i < kRounds; ++i) {
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(vek::ShellStartUnelevated(request).ThroughDesktop());
    desktop.push_back(Milliseconds(start));
    start = std::chrono::steady_clock::now();
    vek::ShellStartAsProgram(request);
    direct.push_back(Milliseconds(start));
    Sleep(100);
  }
  std::printf("first start through the desktop's shell: %.1f ms\n", firstMs);
  std::printf("through the desktop's shell: median %.1f ms, slowest %.1f ms (%d starts)\n", Median(desktop),
              *std::max_element(desktop.begin(), desktop.end()), kRounds);
  std::printf("ShellExecuteEx from this process: median %.1f ms, slowest %.1f ms (%d starts)\n", Median(direct),
              *std::max_element(direct.begin(), direct.end()), kRounds);
}

}  // namespace

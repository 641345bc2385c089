// Keep-list matching as a reset uses it: every process of a busy desktop (300)
// against the built-in keep-list (213 entries) and the user's entries (100, and
// 10,000: as many as one NoClean.txt may add).
//   quorvane_bench --benchmark_filter=ProcessExists
#include <benchmark/benchmark.h>

#include "app/lists.h"
#include "core/folders.h"
#include "pages/clean/keeplist.h"

namespace {

using vek::Text;

core::FolderVarList Folders64() {
  return core::BuildFolderVars(
      [](int csidl) -> Text {
        switch (csidl) {
          case 36: return u"C:\\Windows";
          case 38: case 42: return u"C:\\Program Files (x86)";
          case 43: case 44: return u"C:\\Program Files (x86)\\Common Files";
          default: return u"";
        }
      },
      true);
}

Text Number(int i) { return vek::FromUtf8(std::to_string(i)); }

std::vector<Text> KeepList(int userEntries) {
  std::vector<Text> list = app::BuiltinKeepList();
  for (int i = 0; i < userEntries; ++i) {
    switch (i % 5) {
      case 0: list.push_back(u"UserTool" + Number(i) + u".exe*"); break;
      case 1: list.push_back(u"%ProgramFiles%\\Vendor " + Number(i) + u"\\agent.exe"); break;
      case 2: list.push_back(u"  %ProgramFiles(x86)%\\Other" + Number(i) + u"\\svc.exe  "); break;
      case 3: list.push_back(u"// note " + Number(i)); break;
      default: list.push_back(u"helper" + Number(i)); break;
    }
  }
  return list;
}

// Paths of a busy desktop: most readable, some only known by their snapshot name.
std::vector<Text> Processes() {
  std::vector<Text> names;
  for (int i = 0; i < 300; ++i) {
    switch (i % 6) {
      case 0: names.push_back(u"C:\\Windows\\System32\\svchost.exe"); break;
      case 1: names.push_back(u"C:\\Program Files\\Banking Guard " + Number(i) + u"\\guard.exe"); break;
      case 2: names.push_back(u"C:\\Program Files (x86)\\Plugin" + Number(i) + u"\\KeyProtect" + Number(i) + u".exe"); break;
      case 3: names.push_back(u"svchost.exe"); break;
      case 4: names.push_back(u"C:\\Users\\user\\AppData\\Local\\App" + Number(i) + u"\\app.exe"); break;
      default: names.push_back(u"C:\\Windows\\explorer.exe"); break;
    }
  }
  return names;
}

void BM_ProcessExists_Reset(benchmark::State& state) {
  core::FolderVars = Folders64();
  const std::vector<Text> keep = KeepList(int(state.range(0)));
  const std::vector<Text> processes = Processes();
  int kept = 0;
  for (auto _ : state) {
    kept = 0;
    for (const Text& p : processes) kept += pages::clean::ProcessExists(keep, p);
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = kept;
  state.counters["entries"] = double(keep.size());
  state.SetItemsProcessed(state.iterations() * int64_t(processes.size()));
}
BENCHMARK(BM_ProcessExists_Reset)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

// What MarkProcesses does: the list prepared once, then every process.
void BM_ProcessExists_Prepared(benchmark::State& state) {
  core::FolderVars = Folders64();
  const std::vector<Text> keep = KeepList(int(state.range(0)));
  const std::vector<Text> processes = Processes();
  int kept = 0;
  for (auto _ : state) {
    const pages::clean::PreparedKeepList prepared(keep);
    kept = 0;
    for (const Text& p : processes) kept += prepared.Keeps(p);
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = kept;
  state.counters["entries"] = double(keep.size());
  state.SetItemsProcessed(state.iterations() * int64_t(processes.size()));
}
BENCHMARK(BM_ProcessExists_Prepared)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

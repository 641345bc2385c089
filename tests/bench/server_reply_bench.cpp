// Reading the configuration reply's arrays when a service sends far more than
// the program keeps: items that are all blank (scanned to the end of the array,
// none counted) and items that are all kept (the scan stops at the cap). The
// time per item must stay flat from 100,000 to 1,000,000 items.
//   quorvane_bench --benchmark_filter=ServerReply
#include <benchmark/benchmark.h>

#include "app/exchange.h"

namespace {

vek::Text Reply(int items, const vek::Text& item) {
  vek::Text reply = u"{\"status\":\"ok\",\"noclean\":[";
  for (int i = 0; i < items; ++i) reply += (i ? u"," : u"") + item;
  return reply + u"]}";
}

void Run(benchmark::State& state, const vek::Text& item) {
  const vek::Text reply = Reply(int(state.range(0)), item);
  size_t kept = 0;
  for (auto _ : state) {
    kept = app::ReadServerConfig(reply).NoClean.size();
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = double(kept);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ServerReply_BlankItems(benchmark::State& state) { Run(state, u"\" \""); }
void BM_ServerReply_KeptItems(benchmark::State& state) { Run(state, u"\"C:\\\\Tools\\\\agent.exe\""); }
BENCHMARK(BM_ServerReply_BlankItems)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServerReply_KeptItems)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

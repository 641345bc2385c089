// The crash report's text as a property. Seeded random reports: texts with
// quotes, backslashes, control units, Hangul and surrogate pairs, some right
// around the 1,024-unit limit; lists from empty to past the service's limits;
// addresses inside, at the edges of and outside modules; sometimes enough of
// everything to pass the 1 MiB body limit. For each, the text must be what the
// service accepts and keep what matters:
//  - one JSON object of at most 1 MiB with every limit kept and every address
//    a "0x" hex string;
//  - the crashed thread first, exactly once, with its frames (the signature);
//  - each frame and the exception's place name the module that holds the
//    address and the offset from its base, or "" and the address itself;
//  - texts arrive unchanged, or cut to 1,024 units without splitting a pair;
//  - what is left out for size is a tail of other threads, processes, modules.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <random>

#include "app/crash_report.h"
#include "tests/support/property_seeds.h"

namespace {

using app::CrashModule;
using app::CrashReport;
using nlohmann::json;
using vek::Text;

class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed) {}

  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  uint64_t Any() { return rng_(); }

  Text Name() {
    static const size_t kLengths[] = {0, 1, 5, 12, 1022, 1023, 1024, 1025, 1030, 3000};
    const size_t length = Pick(8) ? kLengths[Pick(4)] : kLengths[Pick(std::size(kLengths))];
    static const char16_t kUnits[] = {u'a', u'Z', u'.', u'\\', u'"', u'/', u'\n', 0x01, 0x7F, u'한', 0xFFFF};
    Text t;
    while (t.size() < length) {
      if (Pick(8) == 0) {
        t += u"\U0001F600";  // a surrogate pair, which may straddle the limit
      } else {
        t.push_back(kUnits[Pick(std::size(kUnits))]);
      }
    }
    return t;
  }

  // Up to twice the service's limit for the list, mostly small.
  size_t Count(size_t limit) { return Pick(25) == 0 ? Pick(2 * limit + 1) : Pick(8); }

  CrashReport Report() {
    CrashReport r;
    r.Program = Pick(3) ? Text(u"quorvane.exe") : Name();
    r.Version = u"3.6.0.0";
    r.UnionKey = Pick(2) ? Text(40, u'a') : Text();
    r.Windows = u"10.0.19045";
    r.Arch = Pick(2) ? u"x86_64" : u"i686";
    r.Code = uint32_t(Any());
    r.ThreadId = uint32_t(Any());
    r.Info.resize(Pick(20));
    for (uint64_t& w : r.Info) w = Any();
    uint64_t base = 0x10000 + Pick(1 << 20);
    const size_t modules = Count(app::kCrashMaxModules);
    for (size_t i = 0; i < modules; ++i) {
      CrashModule m{Pick(5) ? Text(u"m") + char16_t(u'a' + i % 26) : Name(), Name(), base, 1 + Pick(0x100000), u"1.2.3.4",
                    uint32_t(Any())};
      base += m.Size + Pick(0x1000);  // gaps between modules hold no module
      r.Modules.push_back(std::move(m));
    }
    r.Address = Address(r);
    const size_t threads = Count(app::kCrashMaxThreads);
    const size_t crashedAt = threads ? Pick(threads) : 0;
    for (size_t i = 0; i < threads; ++i) {
      app::CrashThread t{i == crashedAt ? r.ThreadId : uint32_t(Any()), i == crashedAt, {}};
      t.Frames.resize(Pick(10) ? Pick(20) : Pick(2 * app::kCrashMaxFrames + 1));
      for (uint64_t& f : t.Frames) f = Address(r);
      r.Threads.push_back(std::move(t));
    }
    const size_t processes = Count(app::kCrashMaxProcesses);
    for (size_t i = 0; i < processes; ++i) r.Processes.push_back({uint32_t(Any()), Name(), Name()});
    return r;
  }

 private:
  // Inside a module, at its first or last byte, just past it, or anywhere.
  uint64_t Address(const CrashReport& r) {
    if (r.Modules.empty() || Pick(5) == 0) return Pick(2) ? Any() : 0;
    const CrashModule& m = r.Modules[Pick(r.Modules.size())];
    switch (Pick(4)) {
      case 0: return m.Base;
      case 1: return m.Base + m.Size - 1;
      case 2: return m.Base + m.Size;
      default: return m.Base + Pick(m.Size);
    }
  }

  std::mt19937_64 rng_;
};

uint64_t Hex(const json& v, std::string& problems, const char* what) {
  const std::string s = v.is_string() ? v.get<std::string>() : std::string();
  if (s.size() < 3 || s.size() > 18 || s.compare(0, 2, "0x") != 0 ||
      s.find_first_not_of("0123456789ABCDEFabcdef", 2) != std::string::npos) {
    problems += std::string(what) + " is not a hex string: " + v.dump() + "\n";
    return 0;
  }
  return std::stoull(s.substr(2), nullptr, 16);
}

// The text as sent equals the original, or its cut to the limit that keeps
// surrogate pairs whole.
void SameText(const json& v, const Text& original, std::string& problems, const char* what) {
  const Text got = vek::FromUtf8(v.get<std::string>());
  Text want = original.substr(0, app::kCrashMaxTextUnits);
  if (original.size() > app::kCrashMaxTextUnits && (want.back() & 0xFC00) == 0xD800) want.pop_back();
  if (got != want) problems += std::string(what) + " arrived changed (" + std::to_string(original.size()) + " units)\n";
}

// Whether a place names the module holding the address and its offset: any
// module gathered within the limit, also when the list itself was cut for size.
void SamePlace(const json& place, const CrashReport& r, uint64_t address, std::string& problems) {
  const uint64_t offset = Hex(place["offset"], problems, "offset");
  const Text module = vek::FromUtf8(place["module"].get<std::string>());
  for (size_t i = 0; i < std::min(app::kCrashMaxModules, r.Modules.size()); ++i) {
    const CrashModule& m = r.Modules[i];
    if (address >= m.Base && address - m.Base < m.Size) {
      if (module != app::ClipCrashText(m.Name) || offset != address - m.Base)
        problems += "an address in a module is named with the wrong module or offset\n";
      return;
    }
  }
  if (!module.empty() || offset != address) problems += "a frame in no module is not its absolute address\n";
}

std::string Check(const CrashReport& r, const Text& text) {
  std::string problems;
  if (text.size() > app::kCrashMaxBodyBytes) problems += "body of " + std::to_string(text.size()) + " bytes\n";
  for (char16_t c : text)
    if (c >= 0x80) return problems + "non-ASCII unit in the body\n";
  json j;
  try {
    j = json::parse(vek::ToUtf8(text));
  } catch (const std::exception& e) {
    return problems + "not JSON: " + std::string(e.what()).substr(0, 200) + "\n";
  }

  SameText(j["program"], r.Program, problems, "program");
  const json& ex = j["exception"];
  if (Hex(ex["code"], problems, "code") != r.Code) problems += "exception code changed\n";
  if (ex["thread"] != r.ThreadId) problems += "exception thread changed\n";
  if (ex["info"].size() != std::min(r.Info.size(), app::kCrashMaxInfo)) problems += "information words not kept\n";
  for (size_t i = 0; i < ex["info"].size(); ++i)
    if (Hex(ex["info"][i], problems, "info") != r.Info[i]) problems += "information word changed\n";

  const json& modules = j["modules"];
  const json& processes = j["processes"];
  const json& threads = j["threads"];
  SamePlace(ex, r, r.Address, problems);
  if (modules.size() > app::kCrashMaxModules) problems += "too many modules\n";
  if (processes.size() > app::kCrashMaxProcesses) problems += "too many processes\n";
  if (threads.empty() || threads.size() > app::kCrashMaxThreads) return problems + "thread count out of bounds\n";

  for (size_t i = 0; i < modules.size(); ++i) {
    const CrashModule& m = r.Modules[i];  // a kept prefix, in order
    SameText(modules[i]["name"], m.Name, problems, "module name");
    SameText(modules[i]["path"], m.Path, problems, "module path");
    if (Hex(modules[i]["base"], problems, "base") != m.Base || Hex(modules[i]["size"], problems, "size") != m.Size ||
        Hex(modules[i]["timestamp"], problems, "timestamp") != m.Timestamp)
      problems += "module figures changed\n";
  }
  for (size_t i = 0; i < processes.size(); ++i) {
    if (processes[i]["pid"] != r.Processes[i].Pid) problems += "process identifier changed or out of order\n";
    SameText(processes[i]["name"], r.Processes[i].Name, problems, "process name");
    SameText(processes[i]["path"], r.Processes[i].Path, problems, "process path");
  }

  // The crashed thread first with all of its frames (up to the limit), then
  // the others in their order, none of them marked crashed.
  const app::CrashThread* crashed = nullptr;
  std::vector<const app::CrashThread*> others;
  for (const app::CrashThread& t : r.Threads) {
    if (t.Crashed) crashed = &t;
    else others.push_back(&t);
  }
  const size_t crashedFrames = crashed ? std::min(crashed->Frames.size(), app::kCrashMaxFrames) : 0;
  if (threads[0]["crashed"] != true || threads[0]["id"] != r.ThreadId || threads[0]["frames"].size() != crashedFrames)
    return problems + "the crashed thread is not first and whole\n";
  if (threads.size() - 1 > others.size()) return problems + "threads appeared\n";
  for (size_t i = 0; i < threads.size(); ++i) {
    const app::CrashThread& t = i ? *others[i - 1] : *crashed;
    if (i && (threads[i]["crashed"] != false || threads[i]["id"] != t.Id)) problems += "other threads changed or out of order\n";
    const json& frames = threads[i]["frames"];
    if (i && frames.size() != std::min(t.Frames.size(), app::kCrashMaxFrames)) problems += "frames lost\n";
    for (size_t f = 0; f < frames.size() && i < 3; ++f) SamePlace(frames[f], r, t.Frames[f], problems);
  }

  // Only for size does anything go, and then in order: other threads first,
  // then processes, then modules.
  const bool modulesCut = modules.size() < std::min(r.Modules.size(), app::kCrashMaxModules);
  const bool processesCut = processes.size() < std::min(r.Processes.size(), app::kCrashMaxProcesses);
  const bool threadsCut = threads.size() - 1 < std::min(others.size(), app::kCrashMaxThreads - 1);
  // (A frame costs about its module's name, so with long names one thread may
  // be too large to judge by this margin.)
  bool shortNames = true;
  for (const CrashModule& m : r.Modules) shortNames = shortNames && m.Name.size() <= 16;
  if ((modulesCut || processesCut || threadsCut) && shortNames && text.size() < app::kCrashMaxBodyBytes - 64 * 1024)
    problems += "items left out of a body with room\n";
  if ((modulesCut || processesCut) && threads.size() > 1) problems += "other threads kept while processes or modules went\n";
  if (modulesCut && !processes.empty()) problems += "processes kept while modules went\n";
  return problems;
}

TEST(CrashReport, TextIsWhatTheServiceTakesAndKeepsWhatMatters) {
  const qvtest::SeedRange seeds = qvtest::PropertySeeds(1, 200);
  for (uint64_t seed = seeds.First; seed < seeds.End(); ++seed) {
    Generator gen(seed);
    CrashReport report = gen.Report();
    if (report.Threads.empty() || !std::any_of(report.Threads.begin(), report.Threads.end(), [](auto& t) { return t.Crashed; }))
      report.Threads.insert(report.Threads.begin(), app::CrashThread{report.ThreadId, true, {report.Address}});
    const std::string problems = Check(report, app::CrashReportJson(report));
    if (!problems.empty()) {
      ADD_FAILURE() << qvtest::ReplayNote(seed) << ":\n" << problems;
      return;
    }
  }
}

}  // namespace

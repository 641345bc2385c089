// The crash report's format as the service reads it: hostile bodies in one
// table, and a seeded property over reports written the way the program
// writes them.
#include <cstdlib>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "service/crash_report.h"
#include "service/escape.h"
#include "tests/service/service_fixture.h"
#include "vek/text.h"
#include "tests/support/property_seeds.h"

namespace quorvane::service::testing {
namespace {

using Json = nlohmann::ordered_json;

// As the service reads an upload.
CrashParse Read(std::string body) {
  RepairLoneSurrogateEscapes(body);
  return ParseCrashReport(body);
}

std::string With(std::string_view pointer, Json value, const ProgramCrash& crash = SampleCrash()) {
  Json doc = Json::parse(crash.Body());
  doc[Json::json_pointer(std::string(pointer))] = std::move(value);
  return doc.dump();
}

std::string Without(std::string_view pointer) {
  Json doc = Json::parse(SampleCrash().Body());
  const Json::json_pointer at{std::string(pointer)};
  doc[at.parent_pointer()].erase(at.back());
  return doc.dump();
}

// The sample with raw JSON text added as a last field of the top object.
std::string WithField(std::string_view field) {
  std::string body = SampleCrash().Body();
  body.insert(body.size() - 1, "," + std::string(field));
  return body;
}

Json Repeated(const Json& item, std::size_t n) { return Json(std::vector<Json>(n, item)); }

std::string Nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(CrashReport, ReadsTheProgramsReportWhole) {
  const CrashParse parsed = Read(SampleCrash().Body());
  ASSERT_TRUE(parsed.report) << parsed.error;
  const CrashReport& r = *parsed.report;
  EXPECT_EQ(r.program, "quorvane.exe");
  EXPECT_EQ(r.exception.code, 0xC0000005u);
  EXPECT_EQ(r.exception.place.offset, 0x1A2B0u);
  EXPECT_EQ(r.exception.info, (std::vector<std::uint64_t>{1, 0}));
  ASSERT_EQ(r.threads.size(), 2u);
  EXPECT_EQ(r.threads[1].frames[1].module, "");
  EXPECT_EQ(r.threads[1].frames[1].offset, 0x7FF6A0001000u);
  ASSERT_EQ(r.modules.size(), 3u);
  EXPECT_EQ(r.modules[0].path, "%ProgramFiles%\\Quorvane\\quorvane.exe");
  EXPECT_EQ(r.modules[0].timestamp, 0x675A1B2Cu);
  EXPECT_EQ(r.processes[2].path, "C:\\Users\\홍길동\\AppData\\Local\\은행보안\\은행보안.exe");
  EXPECT_EQ(CrashSignature(r), "0xc0000005 quorvane.exe+0x1a2b0");
}

// Every row is one body; an empty expectation means it is taken.
TEST(CrashReport, HostileBodiesAreRefusedNamingTheFault) {
  const Json frame = {{"module", "quorvane.exe"}, {"offset", "0x10"}};
  const Json module = {{"name", "a.dll"},  {"path", "%SystemRoot%\\a.dll"}, {"base", "0x10000"},
                       {"size", "0x1000"}, {"version", ""},                  {"timestamp", "0x1"}};
  const Json process = {{"pid", 8}, {"name", "a.exe"}, {"path", ""}};
  const Json thread = {{"id", 9}, {"crashed", false}, {"frames", Json::array()}};
  ProgramCrash swapped = SampleCrash();
  std::swap(swapped.threads[0], swapped.threads[1]);
  std::string twice = SampleCrash().Body();
  twice.replace(twice.find("\"arch\":\"x86_64\""), 15, "\"arch\":\"x86_64\",\"arch\":\"i686\"");
  const std::u16string astral = u"\U0001F512";

  const std::pair<std::string, std::string> cases[] = {
      // Not the format at all.
      {"", "not valid JSON"},
      {"[]", "must be a JSON object"},
      {"\"quorvane\"", "must be a JSON object"},
      {"7", "must be a JSON object"},
      {SampleCrash().Body() + "{}", "not valid JSON"},
      {SampleCrash().Body() + " x", "not valid JSON"},
      {Nested(200000), "must be a JSON object"},
      {"{\"program\":\"\xff\"}", "not valid JSON"},
      {"{\"program\":\"a\\uZZZZ\"}", "not valid JSON"},
      {twice, "arch appears twice"},
      // Fields of the wrong type or form.
      {With("/program", 5), "program must be a file name string, not a number"},
      {With("/program", ""), "program must name"},
      {With("/program", "a\x01" "b.exe"), "program holds a control character"},
      {With("/program", std::string(256, 'q')), "program is longer than 255"},
      {With("/version", "3.6.0.0.1"), "version must be a version number"},
      {With("/version", "v3"), "version must be a version number"},
      {With("/version", nullptr), "version must be a string, not null"},
      {With("/unionkey", std::string(40, 'A')), "unionkey must be 40 lower-case hex digits"},
      {With("/unionkey", std::string(39, 'a')), "unionkey must be 40"},
      {With("/windows", "10.0"), "windows must be"},
      {With("/arch", "arm64"), "arch must be"},
      {With("/exception", Json::array()), "exception must be an object, not an array"},
      {With("/exception/code", "C0000005"), "exception.code must be a hex string"},
      {With("/exception/code", "0x"), "exception.code must be a hex string"},
      {With("/exception/code", "0X1"), "exception.code must be a hex string"},
      {With("/exception/code", "0x" + std::string(17, '1')), "exception.code must be a hex string"},
      {With("/exception/code", "0x1g"), "exception.code must be a hex string"},
      {With("/exception/code", "0x-1"), "exception.code must be a hex string"},
      {With("/exception/code", 3221225477u), "exception.code must be a hex string"},
      {With("/exception/thread", -1), "exception.thread must be an integer from 0 to 4294967295"},
      {With("/exception/thread", 4294967296u), "exception.thread must be an integer from 0 to 4294967295"},
      {With("/exception/thread", 1234.5), "exception.thread must be an integer"},
      {With("/exception/thread", "1234"), "exception.thread must be an integer"},
      {With("/exception/info", Repeated("0x1", 16)), "exception.info has more than 15 entries"},
      {With("/exception/info/1", 0), "exception.info[1] must be a hex string"},
      {With("/exception/info", "0x1"), "exception.info must be an array"},
      {Without("/exception/offset"), "exception needs the field \"offset\""},
      {Without("/processes"), "the crash report needs the field \"processes\""},
      {With("/threads/0/crashed", "true"), "threads[0].crashed must be true or false, not a string"},
      {With("/threads/0/frames/1/offset", nullptr), "threads[0].frames[1].offset must be a hex string"},
      {With("/threads/1/frames/0", "x"), "threads[1].frames[0] must be an object, not a string"},
      {With("/threads/0/frames", Repeated(frame, 257)), "threads[0].frames has more than 256 entries"},
      {With("/threads", Repeated(thread, 513)), "threads has more than 512 entries"},
      {With("/modules", Repeated(module, 2049)), "modules has more than 2048 entries"},
      {With("/processes", Repeated(process, 8193)), "processes has more than 8192 entries"},
      {With("/modules/2/version", "1.2.3"), "modules[2].version must be \"a.b.c.d\""},
      {With("/modules/2/version", "1.2.3.65536"), "modules[2].version must be \"a.b.c.d\""},
      {With("/modules/0/size", "0x"), "modules[0].size must be a hex string"},
      {With("/modules/0/path", std::string(1025, 'p')), "modules[0].path is longer than 1024"},
      {With("/modules/0/path", vek::ToUtf8([&] {
              std::u16string s;
              for (int i = 0; i < 513; ++i) s += astral;  // 1,026 UTF-16 units
              return s;
            }())),
       "modules[0].path is longer than 1024"},
      {With("/processes/1/pid", "1888"), "processes[1].pid must be an integer"},
      {With("/processes/1/name", Json::object()), "processes[1].name must be a string, not an object"},
      // The threads as a whole.
      {With("/threads", Json::array()), "threads must hold at least the crashed thread"},
      {With("/threads/0/crashed", false), "exactly one thread must be the crashed one, not 0"},
      {With("/threads/1/crashed", true), "exactly one thread must be the crashed one, not 2"},
      {With("/exception/thread", 1240), "exception.thread must be the crashed thread's id"},
      {swapped.Body(), "the crashed thread must come first"},
      // Taken: fields a newer program may add, anywhere and of any shape, and
      // values at their bounds.
      {WithField("\"later\":{\"deep\":" + Nested(100000) + ",\"n\":-1.5,\"o\":{\"k\":null}}"), ""},
      {With("/threads/0/frames/0/symbol", "main"), ""},
      {With("/modules/0/later", Json::array({nullptr, true, 3})), ""},
      {With("/exception/code", "0xffffffffffffffff"), ""},
      {With("/exception/code", "0x00000000C0000005"), ""},
      {With("/exception/info", Repeated("0x0", 15)), ""},
      {With("/exception/thread", 4294967295u, [] {
         ProgramCrash c = SampleCrash();
         c.threads[0].id = 4294967295u;
         return c;
       }()),
       ""},
      {With("/modules/0/path", std::string(1024, 'p')), ""},
      {With("/modules/0/path", vek::ToUtf8([&] {
              std::u16string s(1022, u'한');
              return s + astral;  // 1,024 units
            }())),
       ""},
      {With("/program", std::string(255, 'q')), ""},
      {With("/threads/0/frames", Repeated(frame, 256)), ""},
      {With("/unionkey", ""), ""},
  };
  for (const auto& [body, expected] : cases) {
    const CrashParse parsed = Read(body);
    const std::string what = body.substr(0, 120);
    if (expected.empty()) {
      EXPECT_TRUE(parsed.report) << what << "\nwas refused: " << parsed.error;
      continue;
    }
    EXPECT_FALSE(parsed.report) << what << "\nwas taken";
    EXPECT_NE(parsed.error.find(expected), std::string::npos)
        << what << "\nexpected: " << expected << "\ngot:      " << parsed.error;
  }
}

TEST(CrashReport, SignatureNormalisesDigitsAndNamesAndFallsBackToTheException) {
  const auto signature = [](const ProgramCrash& c, const ProgramCrash::HexWriter& hex = ProgramCrash::UpperHex) {
    const CrashParse parsed = Read(c.Body(hex));
    return parsed.report ? CrashSignature(*parsed.report) : "refused: " + parsed.error;
  };
  ProgramCrash c = SampleCrash();
  const std::string expected = "0xc0000005 quorvane.exe+0x1a2b0";
  EXPECT_EQ(signature(c), expected);
  EXPECT_EQ(signature(c, [](std::uint64_t v) {
              char text[24];
              std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(v));
              return std::string(text);
            }),
            expected);
  c.program = u"Quorvane.EXE";
  EXPECT_EQ(signature(c), expected) << "the frames name it quorvane.exe";

  // A fault in a system module: the innermost frame in the program still marks the place.
  c = SampleCrash();
  c.place = {u"ntdll.dll", 0x9F2A4};
  c.threads[0].frames.insert(c.threads[0].frames.begin(), {u"ntdll.dll", 0x9F2A4});
  EXPECT_EQ(signature(c), expected);

  // No frame in the program (a stack that could not be walked): the exception's own place.
  c.threads[0].frames = {{u"kernel32.dll", 0x17614}};
  EXPECT_EQ(signature(c), "0xc0000005 ntdll.dll+0x9f2a4");
  c.threads[0].frames.clear();
  c.place = {u"", 0xDEAD0000};
  EXPECT_EQ(signature(c), "0xc0000005 +0xdead0000");
  // Only the crashed thread counts.
  c.threads[1].frames = {{u"quorvane.exe", 0x77}};
  EXPECT_EQ(signature(c), "0xc0000005 +0xdead0000");
}

// Random reports in the program's format, each read back field for field, then
// broken in one way and refused for that reason.
class CrashProperty {
 public:
  explicit CrashProperty(std::uint64_t seed) : rng_(seed) {}

  std::string Run() {
    ProgramCrash crash = Generate();
    const std::string body = crash.Body([&](std::uint64_t v) { return WriteHex(v); });
    const CrashParse parsed = Read(body);
    if (!parsed.report) return "a valid report was refused: " + parsed.error + "\n" + body.substr(0, 2000);
    if (const std::string diff = Compare(*parsed.report, crash); !diff.empty()) return diff;
    if (CrashSignature(*parsed.report) != expected_signature_) {
      return "signature " + CrashSignature(*parsed.report) + ", expected " + expected_signature_;
    }
    return Break(crash, body);
  }

 private:
  std::mt19937_64 rng_;
  std::string expected_signature_;

  std::uint64_t Below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Below(100) < static_cast<std::uint64_t>(percent); }

  std::uint64_t AnyValue() {
    switch (Below(4)) {
      case 0: return 0;
      case 1: return ~std::uint64_t{0};
      case 2: return Below(0x100000);
      default: return rng_();
    }
  }

  std::string WriteHex(std::uint64_t v) {
    static constexpr char kUpper[] = "0123456789ABCDEF", kLower[] = "0123456789abcdef";
    const char* digits = Chance(50) ? kUpper : kLower;
    std::string text;
    do {
      text.insert(text.begin(), digits[v & 15]);
      v >>= 4;
    } while (v);
    if (Chance(30)) text.insert(0, Below(17 - text.size()), '0');
    return "0x" + text;
  }

  // Code units a Windows name may hold: ASCII with the characters JSON
  // escapes, Hangul, a pair beyond the BMP, and lone surrogates.
  std::u16string AnyText(std::size_t max_units) {
    static const std::u16string pool = u"aZ09 .-_%\\/\"\t\x7f\u00e9\ud55c\uae00\U0001F512";
    std::u16string s;
    const std::size_t n = Below(std::min<std::size_t>(max_units, 40) + 1);
    while (s.size() < n) {
      const std::size_t pick = Below(pool.size() + 2);
      if (pick == pool.size()) {
        s += char16_t(0xD800 + Below(0x800));  // lone surrogate
      } else if (pick == pool.size() + 1) {
        s += char16_t(0x01 + Below(0x1F));  // control character
      } else if (pool[pick] >= 0xD800 && pool[pick] <= 0xDBFF) {
        if (s.size() + 2 <= n) s += pool.substr(pick, 2);
      } else if (!(pool[pick] >= 0xDC00 && pool[pick] <= 0xDFFF)) {
        s += pool[pick];
      }
    }
    return s;
  }

  // A name without control characters.
  std::u16string AnyName() {
    std::u16string s = AnyText(255);
    std::erase_if(s, [](char16_t c) { return c < 0x20; });
    return s.empty() ? u"x.dll" : s;
  }

  std::u16string Dotted(int parts) {
    std::u16string s;
    for (int i = 0; i < parts; ++i) s += (i ? u"." : u"") + vek::FromUtf8(std::to_string(Below(i == 0 ? 100 : 65536)));
    return s;
  }

  ProgramCrash Generate() {
    ProgramCrash c;
    c.program = Chance(70) ? u"quorvane.exe" : AnyName();
    c.version = Dotted(1 + static_cast<int>(Below(4)));
    if (Chance(80)) {
      for (int i = 0; i < 40; ++i) c.unionkey += u"0123456789abcdef"[Below(16)];
    }
    c.windows = Dotted(3);
    c.arch = Chance(50) ? u"x86_64" : u"i686";
    c.code = AnyValue();
    c.info.resize(Below(16));
    for (auto& w : c.info) w = AnyValue();

    std::vector<std::u16string> names{u"ntdll.dll", u"kernel32.dll", u"", AnyName()};
    // The program's frames may name it in any case.
    std::u16string program_upper = c.program;
    for (auto& ch : program_upper) ch = (ch >= u'a' && ch <= u'z') ? char16_t(ch - 32) : ch;
    std::vector<std::u16string> program_names{c.program, program_upper};
    std::erase_if(names, [&](const std::u16string& n) {
      return vek::ToUtf8(n).empty() ? false : AsciiLower(vek::ToUtf8(n)) == AsciiLower(vek::ToUtf8(c.program));
    });

    const std::size_t threads = 1 + Below(12);
    std::optional<ProgramCrash::Frame> first_in_program;
    for (std::size_t t = 0; t < threads; ++t) {
      ProgramCrash::Thread thread{static_cast<std::uint32_t>(AnyValue()), t == 0, {}};
      const std::size_t frames = Below(41);
      for (std::size_t f = 0; f < frames; ++f) {
        const bool in_program = Chance(25);
        ProgramCrash::Frame frame{in_program ? program_names[Below(2)] : names[Below(names.size())], AnyValue()};
        if (t == 0 && in_program && !first_in_program) first_in_program = frame;
        thread.frames.push_back(frame);
      }
      c.threads.push_back(std::move(thread));
    }
    c.thread = c.threads[0].id;
    c.place = {names[Below(names.size())], AnyValue()};
    for (std::size_t i = Below(31); i > 0; --i) {
      c.modules.push_back({AnyName(), AnyText(1024), AnyValue(), AnyValue(), Chance(50) ? Dotted(4) : u"", AnyValue()});
    }
    for (std::size_t i = Below(51); i > 0; --i) {
      c.processes.push_back({static_cast<std::uint32_t>(AnyValue()), AnyText(1024), AnyText(1024)});
    }
    const ProgramCrash::Frame& place = first_in_program ? *first_in_program : c.place;
    const std::string module = first_in_program ? vek::ToUtf8(c.program) : vek::ToUtf8(place.module);
    expected_signature_ = Hex(c.code) + " " + AsciiLower(module) + "+" + Hex(place.offset);
    return c;
  }

  static std::string Compare(const CrashReport& r, const ProgramCrash& c) {
    std::ostringstream diff;
    const auto same = [&](const std::string& what, const auto& got, const auto& want) {
      if (!(got == want) && diff.str().empty()) diff << what << " differs";
    };
    const auto u8 = [](const std::u16string& s) { return vek::ToUtf8(s); };
    same("program", r.program, u8(c.program));
    same("version", r.version, u8(c.version));
    same("unionkey", r.union_key, u8(c.unionkey));
    same("code", r.exception.code, c.code);
    same("exception place", std::pair(r.exception.place.module, r.exception.place.offset),
         std::pair(u8(c.place.module), c.place.offset));
    same("info", r.exception.info, c.info);
    same("thread count", r.threads.size(), c.threads.size());
    for (std::size_t t = 0; t < std::min(r.threads.size(), c.threads.size()); ++t) {
      same("thread id", r.threads[t].id, c.threads[t].id);
      same("frame count", r.threads[t].frames.size(), c.threads[t].frames.size());
      for (std::size_t f = 0; f < std::min(r.threads[t].frames.size(), c.threads[t].frames.size()); ++f) {
        same("frame", std::pair(r.threads[t].frames[f].module, r.threads[t].frames[f].offset),
             std::pair(u8(c.threads[t].frames[f].module), c.threads[t].frames[f].offset));
      }
    }
    same("module count", r.modules.size(), c.modules.size());
    for (std::size_t i = 0; i < std::min(r.modules.size(), c.modules.size()); ++i) {
      const auto& m = r.modules[i];
      const auto& w = c.modules[i];
      same("module", std::tuple(m.name, m.path, m.base, m.size, m.version, m.timestamp),
           std::tuple(u8(w.name), u8(w.path), w.base, w.size, u8(w.version), w.timestamp));
    }
    same("process count", r.processes.size(), c.processes.size());
    for (std::size_t i = 0; i < std::min(r.processes.size(), c.processes.size()); ++i) {
      same("process", std::tuple(r.processes[i].pid, r.processes[i].name, r.processes[i].path),
           std::tuple(c.processes[i].pid, u8(c.processes[i].name), u8(c.processes[i].path)));
    }
    return diff.str();
  }

  // One fault of a kind the format refuses; the reason must say so.
  std::string Break(ProgramCrash c, const std::string& body) {
    std::string broken, expected;
    switch (Below(6)) {
      case 0: {  // one hex value written wrongly
        static const char* const kBad[] = {"0x", "1A2B", "0xg1", "0x-1", "0x00000000000000001", "0X1F"};
        const std::size_t target = Below(64);
        std::size_t calls = 0;
        broken = c.Body([&](std::uint64_t v) { return calls++ == target ? kBad[Below(6)] : WriteHex(v); });
        if (calls <= target) return {};  // fewer hex values than the pick
        expected = "must be a hex string";
        break;
      }
      case 1:  // a name beyond what a file system allows
        (Chance(50) ? c.program : c.threads[0].frames.emplace_back().module) = std::u16string(256, u'n');
        broken = c.Body(), expected = "longer than 255";
        break;
      case 2:
        c.threads.push_back({7, true, {}});
        broken = c.Body(), expected = "exactly one thread must be the crashed one, not 2";
        break;
      case 3:
        if (c.threads.size() < 2) return {};
        std::swap(c.threads[0], c.threads[1 + Below(c.threads.size() - 1)]);
        broken = c.Body(), expected = "the crashed thread must come first";
        break;
      case 4: {  // a field the format needs, left out
        std::string repaired = body;
        RepairLoneSurrogateEscapes(repaired);
        Json doc = Json::parse(repaired);
        std::vector<Json*> objects{&doc, &doc["exception"]};
        for (auto& t : doc["threads"]) {
          objects.push_back(&t);
          for (auto& f : t["frames"]) objects.push_back(&f);
        }
        for (auto& m : doc["modules"]) objects.push_back(&m);
        for (auto& p : doc["processes"]) objects.push_back(&p);
        Json& victim = *objects[Below(objects.size())];
        const auto key = std::next(victim.begin(), static_cast<long>(Below(victim.size()))).key();
        victim.erase(key);
        broken = doc.dump(), expected = "needs the field \"" + key + "\"";
        break;
      }
      default:  // cut short anywhere
        broken = body.substr(0, Below(body.size()));
        expected = "not valid JSON";
    }
    const CrashParse parsed = Read(broken);
    if (parsed.report) return "a broken report was taken (" + expected + "):\n" + broken.substr(0, 2000);
    if (parsed.error.find(expected) == std::string::npos) {
      return "refused for \"" + parsed.error + "\", expected \"" + expected + "\"";
    }
    return {};
  }
};

TEST(CrashReport, RandomReportsReadBackAndEveryBreakIsRefused) {
  const qvtest::SeedRange seeds = qvtest::PropertySeeds(7100, 2000);
  for (std::uint64_t seed = seeds.First; seed < seeds.End(); ++seed) {
    const std::string failure = CrashProperty(seed).Run();
    if (!failure.empty()) {
      ADD_FAILURE() << qvtest::ReplayNote(seed) << ": " << failure;
      return;
    }
  }
}

}  // namespace
}  // namespace quorvane::service::testing

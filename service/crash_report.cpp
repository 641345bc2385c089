#include "service/crash_report.h"

#include <algorithm>
#include <array>
#include <span>

#include <nlohmann/json.hpp>

#include "service/escape.h"

namespace quorvane::service {
namespace {

using Json = nlohmann::json;

// Where the reader is: an object or array of the format, or inside a value
// of a field the format does not name, which is passed over whole.
enum class At { Root, Exception, Info, Threads, Thread, Frames, Frame, Modules, Module, Processes, Process };

// What a field or array element must be.
enum class Kind {
  Text,  // any string within the text limit
  Name,  // a file name: within the name limit, no control characters
  Hex,   // "0x" + 1..16 hex digits
  Id,    // JSON integer 0..2^32-1
  Flag,  // true or false
  Object,
  Array,
};

struct Field {
  std::string_view name;
  Kind kind;
  At child = At::Root;  // for Object and Array fields
};

constexpr std::array<Field, 9> kRootFields{{
    {"program", Kind::Name},
    {"version", Kind::Text},
    {"unionkey", Kind::Text},
    {"windows", Kind::Text},
    {"arch", Kind::Text},
    {"exception", Kind::Object, At::Exception},
    {"threads", Kind::Array, At::Threads},
    {"modules", Kind::Array, At::Modules},
    {"processes", Kind::Array, At::Processes},
}};
constexpr std::array<Field, 5> kExceptionFields{{
    {"code", Kind::Hex},
    {"module", Kind::Name},
    {"offset", Kind::Hex},
    {"thread", Kind::Id},
    {"info", Kind::Array, At::Info},
}};
constexpr std::array<Field, 3> kThreadFields{{
    {"id", Kind::Id},
    {"crashed", Kind::Flag},
    {"frames", Kind::Array, At::Frames},
}};
constexpr std::array<Field, 2> kFrameFields{{{"module", Kind::Name}, {"offset", Kind::Hex}}};
constexpr std::array<Field, 6> kModuleFields{{
    {"name", Kind::Name},
    {"path", Kind::Text},
    {"base", Kind::Hex},
    {"size", Kind::Hex},
    {"version", Kind::Text},
    {"timestamp", Kind::Hex},
}};
constexpr std::array<Field, 3> kProcessFields{{{"pid", Kind::Id}, {"name", Kind::Text}, {"path", Kind::Text}}};

std::span<const Field> FieldsOf(At at) {
  switch (at) {
    case At::Root: return kRootFields;
    case At::Exception: return kExceptionFields;
    case At::Thread: return kThreadFields;
    case At::Frame: return kFrameFields;
    case At::Module: return kModuleFields;
    case At::Process: return kProcessFields;
    default: return {};
  }
}

bool IsObject(At at) { return !FieldsOf(at).empty(); }

// The elements of an array of the format.
Field ElementOf(At at) {
  switch (at) {
    case At::Info: return {"", Kind::Hex};
    case At::Threads: return {"", Kind::Object, At::Thread};
    case At::Frames: return {"", Kind::Object, At::Frame};
    case At::Modules: return {"", Kind::Object, At::Module};
    case At::Processes: return {"", Kind::Object, At::Process};
    default: return {"", Kind::Object, At::Root};
  }
}

const char* Describe(Kind kind) {
  switch (kind) {
    case Kind::Text: return "a string";
    case Kind::Name: return "a file name string";
    case Kind::Hex: return "a hex string (\"0x\" and 1 to 16 hex digits)";
    case Kind::Id: return "an integer from 0 to 4294967295";
    case Kind::Flag: return "true or false";
    case Kind::Object: return "an object";
    case Kind::Array: return "an array";
  }
  return "";
}

std::optional<std::uint64_t> ParseHex(std::string_view text) {
  if (text.size() < 3 || text.size() > 18 || text[0] != '0' || text[1] != 'x') return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : text.substr(2)) {
    int d = 0;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    v = v << 4 | static_cast<std::uint64_t>(d);
  }
  return v;
}

// UTF-16 code units of valid UTF-8 text: one per character, two beyond the BMP.
std::size_t Utf16Units(std::string_view utf8) {
  std::size_t n = 0;
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) != 0x80) ++n;
    if (c >= 0xF0) ++n;
  }
  return n;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// parts decimal numbers of 1..digits digits, separated by dots; any count
// from min_parts to max_parts.
bool IsDottedNumbers(std::string_view text, int min_parts, int max_parts, int max_digits) {
  int parts = 1, digits = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      if (++digits > max_digits) return false;
    } else if (c == '.' && digits > 0 && parts < max_parts) {
      ++parts;
      digits = 0;
    } else {
      return false;
    }
  }
  return digits > 0 && parts >= min_parts;
}

// A file version as Windows keeps it: four numbers of 16 bits.
bool IsFileVersion(std::string_view text) {
  if (!IsDottedNumbers(text, 4, 4, 5)) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    if (std::stoul(std::string(text.substr(start, dot - start))) > 0xFFFF) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool IsUnionKey(std::string_view text) {
  return text.empty() || (text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
                            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                          }));
}

class CrashReader final : public nlohmann::json_sax<Json> {
 public:
  explicit CrashReader(const CrashLimits& limits) : limits_(limits) {}

  CrashReport report;
  std::string error;

  bool null() override { return Scalar("null"); }
  bool boolean(bool value) override {
    const auto f = Slot();
    if (!f) return error.empty();
    if (f->kind != Kind::Flag) return WrongType(*f, "a boolean");
    thread_.crashed = value;  // the format's only flag
    return true;
  }
  bool number_integer(number_integer_t) override { return Scalar("a negative number"); }
  bool number_float(number_float_t, const string_t&) override { return Scalar("a fraction"); }
  bool number_unsigned(number_unsigned_t value) override {
    const auto f = Slot();
    if (!f) return error.empty();
    if (f->kind != Kind::Id) return WrongType(*f, "a number");
    if (value > 0xFFFFFFFFu) return Fail(SlotPath() + " must be " + Describe(Kind::Id));
    const auto id = static_cast<std::uint32_t>(value);
    switch (Top().at) {
      case At::Exception: report.exception.thread = id; break;
      case At::Thread: thread_.id = id; break;
      default: process_.pid = id; break;
    }
    return true;
  }
  bool binary(binary_t&) override { return Scalar("binary data"); }

  bool string(string_t& value) override {
    const auto f = Slot();
    if (!f) return error.empty();
    switch (f->kind) {
      case Kind::Hex: {
        const auto v = ParseHex(value);
        if (!v) return Fail(SlotPath() + " must be " + Describe(Kind::Hex) + ", not \"" + Clip(value) + "\"");
        return TakeHex(*v);
      }
      case Kind::Name:
        if (Utf16Units(value) > limits_.name_units) {
          return Fail(SlotPath() + " is longer than " + std::to_string(limits_.name_units) + " characters");
        }
        if (HasControl(value)) return Fail(SlotPath() + " holds a control character");
        return TakeText(std::move(value));
      case Kind::Text:
        if (Utf16Units(value) > limits_.text_units) {
          return Fail(SlotPath() + " is longer than " + std::to_string(limits_.text_units) + " characters");
        }
        return TakeText(std::move(value));
      default: return WrongType(*f, "a string");
    }
  }

  bool start_object(std::size_t) override { return Open(Kind::Object, "an object"); }
  bool start_array(std::size_t) override { return Open(Kind::Array, "an array"); }

  bool key(string_t& name) override {
    if (skip_ > 0) return true;
    Level& level = Top();
    const auto fields = FieldsOf(level.at);
    level.field = -1;
    level.key = name;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name != name) continue;
      if (level.seen & (1u << i)) return Fail(SlotPath() + " appears twice");
      level.seen |= 1u << i;
      level.field = static_cast<int>(i);
    }
    return true;
  }

  bool end_object() override {
    if (skip_ > 0) return --skip_, true;
    const Level level = Top();
    const auto fields = FieldsOf(level.at);
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!(level.seen & (1u << i))) return Fail(Path() + " needs the field \"" + std::string(fields[i].name) + "\"");
    }
    stack_.pop_back();
    switch (level.at) {
      case At::Root: return Finish();
      case At::Thread: report.threads.push_back(std::move(thread_)); break;
      case At::Frame: thread_.frames.push_back(std::move(frame_)); break;
      case At::Module: report.modules.push_back(std::move(module_)); break;
      case At::Process: report.processes.push_back(std::move(process_)); break;
      default: break;
    }
    return true;
  }

  bool end_array() override {
    if (skip_ > 0) return --skip_, true;
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
    std::string_view what = ex.what();
    if (const auto colon = what.rfind(": "); colon != std::string_view::npos) what.remove_prefix(colon + 2);
    return Fail("the crash report is not valid JSON (at byte " + std::to_string(position) + ": " + std::string(what) +
                ")");
  }

 private:
  struct Level {
    explicit Level(At a) : at(a) {}
    At at;
    std::uint32_t seen = 0;  // fields read, one bit each
    int field = -1;          // the field whose value comes next; -1: one the format does not name
    std::string key;
  };

  const CrashLimits& limits_;
  std::vector<Level> stack_;
  int skip_ = 0;  // depth inside a value being passed over
  CrashThread thread_;
  CodePlace frame_;
  CrashModule module_;
  CrashProcess process_;

  Level& Top() { return stack_.back(); }

  bool Fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }

  static std::string Clip(std::string_view text) {
    return std::string(text.substr(0, 40)) + (text.size() > 40 ? "..." : "");
  }

  // The index the next element of an array level gets.
  std::size_t NextIndex(At at) const {
    switch (at) {
      case At::Info: return report.exception.info.size();
      case At::Threads: return report.threads.size();
      case At::Frames: return thread_.frames.size();
      case At::Modules: return report.modules.size();
      case At::Processes: return report.processes.size();
      default: return 0;
    }
  }

  // The path of the innermost object or array, as "threads[2].frames[5]".
  std::string Path() const {
    std::string path;
    for (std::size_t i = 1; i < stack_.size(); ++i) {
      const Level& parent = stack_[i - 1];
      if (IsObject(parent.at)) {
        if (!path.empty()) path += '.';
        path += parent.key;
      } else {
        path += '[' + std::to_string(NextIndex(parent.at)) + ']';
      }
    }
    return path.empty() ? std::string("the crash report") : path;
  }

  // The path of the value about to be read.
  std::string SlotPath() const {
    const Level& level = stack_.back();
    if (!IsObject(level.at)) return Path() + '[' + std::to_string(NextIndex(level.at)) + ']';
    return stack_.size() == 1 ? level.key : Path() + '.' + level.key;
  }

  // The field or element the next value fills; none when it is passed over
  // (inside an unnamed field's value) or when nothing may come here.
  std::optional<Field> Slot() {
    if (skip_ > 0) return std::nullopt;
    if (stack_.empty()) {
      Fail("the crash report must be a JSON object");
      return std::nullopt;
    }
    const Level& level = Top();
    if (!IsObject(level.at)) return ElementOf(level.at);
    if (level.field < 0) return std::nullopt;
    return FieldsOf(level.at)[static_cast<std::size_t>(level.field)];
  }

  // A null, number or the like where the format names no such value.
  bool Scalar(const char* what) {
    const auto f = Slot();
    if (!f) return error.empty();
    return WrongType(*f, what);
  }

  bool WrongType(const Field& f, const char* what) {
    return Fail(SlotPath() + " must be " + Describe(f.kind) + ", not " + what);
  }

  bool Open(Kind kind, const char* what) {
    if (skip_ > 0) return ++skip_, true;
    if (stack_.empty()) {
      if (kind != Kind::Object) return Fail("the crash report must be a JSON object");
      stack_.emplace_back(At::Root);
      return true;
    }
    const bool in_object = IsObject(Top().at);
    if (in_object && Top().field < 0) {
      skip_ = 1;
      return true;
    }
    const auto f = Slot();
    if (!f) return false;
    if (f->kind != kind) return WrongType(*f, what);
    if (!in_object && !Room(Top().at)) return false;
    switch (f->child) {
      case At::Thread: thread_ = {}; break;
      case At::Frame: frame_ = {}; break;
      case At::Module: module_ = {}; break;
      case At::Process: process_ = {}; break;
      default: break;
    }
    stack_.emplace_back(f->child);
    return true;
  }

  // Whether an array may take one more element.
  bool Room(At at) {
    std::size_t limit = 0;
    switch (at) {
      case At::Info: limit = limits_.info; break;
      case At::Threads: limit = limits_.threads; break;
      case At::Frames: limit = limits_.frames; break;
      case At::Modules: limit = limits_.modules; break;
      case At::Processes: limit = limits_.processes; break;
      default: return true;
    }
    if (NextIndex(at) < limit) return true;
    const std::string path = Path();
    return Fail(path + " has more than " + std::to_string(limit) + " entries");
  }

  bool TakeHex(std::uint64_t v) {
    const Level& level = Top();
    if (level.at == At::Info) {
      if (!Room(At::Info)) return false;
      report.exception.info.push_back(v);
      return true;
    }
    const std::string_view name = FieldsOf(level.at)[static_cast<std::size_t>(level.field)].name;
    switch (level.at) {
      case At::Exception: (name == "code" ? report.exception.code : report.exception.place.offset) = v; break;
      case At::Frame: frame_.offset = v; break;
      default:
        (name == "base" ? module_.base : name == "size" ? module_.size : module_.timestamp) = v;
        break;
    }
    return true;
  }

  bool TakeText(std::string value) {
    const Level& level = Top();
    const std::string_view name = FieldsOf(level.at)[static_cast<std::size_t>(level.field)].name;
    std::string* target = nullptr;
    switch (level.at) {
      case At::Root:
        target = name == "program"    ? &report.program
                 : name == "version"  ? &report.version
                 : name == "unionkey" ? &report.union_key
                 : name == "windows"  ? &report.windows
                                      : &report.arch;
        break;
      case At::Exception: target = &report.exception.place.module; break;
      case At::Frame: target = &frame_.module; break;
      case At::Module:
        target = name == "name" ? &module_.name : name == "path" ? &module_.path : &module_.version;
        break;
      default: target = name == "name" ? &process_.name : &process_.path; break;
    }
    *target = std::move(value);
    return true;
  }

  // What only the whole report can show.
  bool Finish() {
    const CrashReport& r = report;
    if (r.program.empty()) return Fail("program must name the program's executable");
    if (!IsDottedNumbers(r.version, 1, 4, 5)) return Fail("version must be a version number such as \"3.6.0.0\"");
    if (!IsUnionKey(r.union_key)) return Fail("unionkey must be 40 lower-case hex digits or empty");
    if (!IsDottedNumbers(r.windows, 3, 3, 10)) return Fail("windows must be \"major.minor.build\"");
    if (r.arch != "x86_64" && r.arch != "i686") return Fail("arch must be \"x86_64\" or \"i686\"");
    for (std::size_t i = 0; i < r.modules.size(); ++i) {
      if (!r.modules[i].version.empty() && !IsFileVersion(r.modules[i].version)) {
        return Fail("modules[" + std::to_string(i) + "].version must be \"a.b.c.d\" or empty");
      }
    }
    if (r.threads.empty()) return Fail("threads must hold at least the crashed thread");
    const auto crashed = std::count_if(r.threads.begin(), r.threads.end(), [](const auto& t) { return t.crashed; });
    if (crashed != 1) return Fail("exactly one thread must be the crashed one, not " + std::to_string(crashed));
    if (!r.threads.front().crashed) return Fail("the crashed thread must come first");
    if (r.threads.front().id != r.exception.thread) {
      return Fail("exception.thread must be the crashed thread's id");
    }
    return true;
  }
};

}  // namespace

CrashParse ParseCrashReport(std::string_view body, const CrashLimits& limits) {
  CrashReader reader(limits);
  const bool ok = Json::sax_parse(body.begin(), body.end(), &reader, nlohmann::detail::input_format_t::json, true);
  if (!ok || !reader.error.empty()) {
    return {std::nullopt, reader.error.empty() ? std::string("the crash report could not be read") : reader.error};
  }
  return {std::move(reader.report), {}};
}

std::string Hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[20];
  char* end = text + sizeof text;
  char* p = end;
  do {
    *--p = kDigits[value & 15];
    value >>= 4;
  } while (value);
  return "0x" + std::string(p, end);
}

std::string CrashSignature(const CrashReport& report) {
  const CodePlace* place = &report.exception.place;
  const auto crashed =
      std::find_if(report.threads.begin(), report.threads.end(), [](const auto& t) { return t.crashed; });
  if (crashed != report.threads.end()) {
    for (const CodePlace& frame : crashed->frames) {
      if (EqualsIgnoringAsciiCase(frame.module, report.program)) {
        place = &frame;
        break;
      }
    }
  }
  return Hex(report.exception.code) + ' ' + AsciiLower(place->module) + '+' + Hex(place->offset);
}

}  // namespace quorvane::service

#include "service/report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>

#include <nlohmann/json.hpp>

namespace quorvane::service {
namespace {

using Json = nlohmann::json;

struct CategoryShape {
  std::string_view name;
  std::array<std::string_view, 3> fields;  // empty names unused
};

constexpr std::array<CategoryShape, 7> kCategories{{
    {"clean", {"file", "state", ""}},
    {"memory", {"old", "new", "tot"}},
    {"browser", {"clsid", "item", ""}},
    {"start", {"item", "", ""}},
    {"install", {"displayname", "publisher", ""}},
    {"refused", {"file", "why", ""}},
    {"back", {"file", "pid", ""}},
}};

bool IsProcessId(std::string_view text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::uint64_t> ParseByteCount(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

// Streams the body through nlohmann's SAX interface, so that a hostile body
// (deep nesting, huge arrays of numbers) is refused at its first wrong token
// instead of first being built into a document.
class ReportReader final : public nlohmann::json_sax<Json> {
 public:
  // keep: build the report; otherwise only check the body.
  explicit ReportReader(bool keep) : keep_(keep) {}

  Report report;
  std::string error;

  bool null() override { return WrongValue("null"); }
  bool boolean(bool) override { return WrongValue("a boolean"); }
  bool number_integer(number_integer_t) override { return WrongValue("a number"); }
  bool number_unsigned(number_unsigned_t) override { return WrongValue("a number"); }
  bool number_float(number_float_t, const string_t&) override { return WrongValue("a number"); }
  bool binary(binary_t&) override { return WrongValue("binary data"); }

  bool string(string_t& value) override {
    if (depth_ != 2) return WrongValue("a string");
    fields_[key_] = std::move(value);
    return true;
  }

  bool start_object(std::size_t) override {
    if (depth_ == 0) return Fail("the report must be a JSON array of records");
    if (depth_ == 2) return Fail(Where() + "field \"" + key_ + "\" must be a string, not an object");
    depth_ = 2;
    ++index_;
    fields_.clear();
    return true;
  }

  bool key(string_t& name) override {
    if (fields_.contains(name)) return Fail(Where() + "field \"" + name + "\" appears twice");
    key_ = std::move(name);
    return true;
  }

  bool end_object() override {
    depth_ = 1;
    return TakeRecord();
  }

  bool start_array(std::size_t) override {
    if (depth_ == 0) {
      depth_ = 1;
      return true;
    }
    if (depth_ == 1) return Fail(Where(index_ + 1) + "a record must be an object, not an array");
    return Fail(Where() + "field \"" + key_ + "\" must be a string, not an array");
  }

  bool end_array() override {
    depth_ = 0;
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
    if (error.empty()) {
      error = "the report is not valid JSON (at byte " + std::to_string(position) + ": " + Reason(ex) + ")";
    }
    return false;
  }

 private:
  const bool keep_;
  bool memory_seen_ = false;
  int depth_ = 0;  // 0 outside, 1 in the array, 2 in a record
  std::size_t index_ = 0;
  std::string key_;
  std::map<std::string, std::string, std::less<>> fields_;

  static std::string Reason(const nlohmann::detail::exception& ex) {
    // nlohmann's message reads "[json.exception.parse_error.101] parse error at ...: syntax error ..."
    std::string_view what = ex.what();
    if (const auto colon = what.rfind(": "); colon != std::string_view::npos) what.remove_prefix(colon + 2);
    return std::string(what);
  }

  std::string Where(std::size_t index) const { return "record " + std::to_string(index) + ": "; }
  std::string Where() const { return Where(index_); }

  bool Fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }

  bool WrongValue(const char* what) {
    if (depth_ == 0) return Fail("the report must be a JSON array of records");
    if (depth_ == 1) return Fail(Where(index_ + 1) + "a record must be an object, not " + what);
    return Fail(Where() + "field \"" + key_ + "\" must be a string, not " + what);
  }

  const std::string* Field(std::string_view name) const {
    const auto it = fields_.find(name);
    return it == fields_.end() ? nullptr : &it->second;
  }

  bool TakeRecord() {
    const std::string* cate = Field("cate");
    if (!cate) return Fail(Where() + "the record has no \"cate\"");
    const CategoryShape* shape = nullptr;
    for (const auto& c : kCategories) {
      if (c.name == *cate) shape = &c;
    }
    if (!shape) return Fail(Where() + "unknown category \"" + *cate + "\"");
    for (const auto field : shape->fields) {
      if (!field.empty() && !Field(field)) {
        return Fail(Where() + "a " + *cate + " record needs the field \"" + std::string(field) + "\"");
      }
    }
    auto take = [&](std::string_view name) { return std::move(fields_.find(name)->second); };
    if (*cate == "clean") {
      const std::string state = take("state");
      ProcessOutcome outcome;
      if (state == "1") {
        outcome = ProcessOutcome::Kept;
      } else if (state == "-1") {
        outcome = ProcessOutcome::Ended;
      } else if (state == "-2") {
        outcome = ProcessOutcome::StillRunning;
      } else {
        return Fail(Where() + "state must be 1, -1 or -2, not \"" + state + "\"");
      }
      if (keep_) report.clean.push_back({take("file"), outcome});
    } else if (*cate == "memory") {
      if (memory_seen_) return Fail(Where() + "a report has one memory record, this is the second");
      memory_seen_ = true;
      const auto before = ParseByteCount(*Field("old"));
      const auto after = ParseByteCount(*Field("new"));
      const auto total = ParseByteCount(*Field("tot"));
      if (!before || !after || !total) return Fail(Where() + "memory figures must be decimal byte counts");
      if (keep_) report.memory = MemoryRecord{*before, *after, *total};
    } else if (*cate == "back" && !IsProcessId(*Field("pid"))) {
      return Fail(Where() + "a back record's pid must be a decimal process identifier");
    } else if (!keep_) {
      return true;
    } else if (*cate == "browser") {
      report.browser.push_back({take("clsid"), take("item")});
    } else if (*cate == "start") {
      report.start.push_back({take("item"), StartStateOf(Field("state"))});
    } else if (*cate == "refused") {
      report.refused.push_back({take("file"), take("why")});
    } else if (*cate == "back") {
      auto optional = [&](std::string_view name) { return Field(name) ? take(name) : std::string(); };
      report.back.push_back({take("file"), take("pid"), optional("program"), optional("publisher")});
    } else {
      report.install.push_back({take("displayname"), take("publisher")});
    }
    return true;
  }
};

}  // namespace

namespace {

ReportParse Read(std::string_view body, bool keep) {
  ReportReader reader(keep);
  const bool ok = Json::sax_parse(body.begin(), body.end(), &reader, nlohmann::detail::input_format_t::json, true);
  if (!ok) {
    return {std::nullopt, reader.error.empty() ? std::string("the report could not be read") : reader.error};
  }
  return {std::move(reader.report), {}};
}

}  // namespace

StartState StartStateOf(const std::string* text) {
  if (!text) return StartState::Unknown;
  if (*text == "on") return StartState::On;
  if (*text == "off") return StartState::Off;
  if (*text == "stored") return StartState::Stored;
  return StartState::Unknown;
}

ReportParse ParseReport(std::string_view body) { return Read(body, true); }

std::string ReportError(std::string_view body) { return Read(body, false).error; }

}  // namespace quorvane::service

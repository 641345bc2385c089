#include "service/config.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "service/escape.h"

namespace quorvane::service {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kDefaultConfig =
    "{\n"
    "  \"update\": \"\",\n"
    "  \"noclean\": [],\n"
    "  \"bankclean\": []\n"
    "}\n";

// A file changed this recently may change again within the same timestamp tick
// (ext4 stamps with a coarse clock), so it is read again until it has settled.
constexpr auto kSettleTime = std::chrono::seconds(2);

// The UTF-16 length of valid UTF-8 (the JSON parser has checked it): one unit per
// lead byte, two for the four-byte forms beyond the BMP.
std::size_t Utf16Units(std::string_view utf8) {
  std::size_t units = 0;
  for (const unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++units;
    if (c >= 0xF0) ++units;
  }
  return units;
}

bool IsBlank(std::string_view item) {
  return std::all_of(item.begin(), item.end(), [](unsigned char c) { return c <= 0x20; });
}

std::vector<std::string> StringList(const Json& value, std::string_view key) {
  const std::string name = "\"" + std::string(key) + "\"";
  if (!value.is_array()) throw ConfigError(name + " must be an array of strings");
  std::vector<std::string> items;
  items.reserve(std::min<std::size_t>(value.size(), kMaxListItems));
  std::size_t counted = 0, blanks = 0;
  for (const auto& item : value) {
    if (!item.is_string()) throw ConfigError("every item of " + name + " must be a string");
    const auto& text = item.get_ref<const std::string&>();
    if (Utf16Units(text) > kMaxItemUnits) {
      throw ConfigError("item " + std::to_string(items.size() + 1) + " of " + name + " is longer than " +
                        std::to_string(kMaxItemUnits) + " UTF-16 units; the program would drop it");
    }
    const bool blank = IsBlank(text);
    if (++(blank ? blanks : counted) > kMaxListItems) {
      throw ConfigError(name + " has more than " + std::to_string(kMaxListItems) + (blank ? " blank items" : " items that are not blank") +
                        "; the program would ignore the rest");
    }
    items.push_back(text);
  }
  return items;
}

std::string ReadWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ConfigError(file.string() + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(file.string() + ": cannot be read");
  return std::move(text).str();
}

long long Nanoseconds(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

}  // namespace

ServiceConfig ParseConfig(std::string_view text) {
  Json doc;
  try {
    doc = Json::parse(text, nullptr, true, /*ignore_comments=*/true);
  } catch (const Json::parse_error& e) {
    throw ConfigError(std::string("not valid JSON: ") + e.what());
  }
  if (!doc.is_object()) throw ConfigError("the configuration must be a JSON object");
  ServiceConfig config;
  for (const auto& [key, value] : doc.items()) {
    if (key == "update") {
      if (!value.is_string()) throw ConfigError("\"update\" must be a string");
      config.update = value.get<std::string>();
    } else if (key == "noclean") {
      config.noclean = StringList(value, key);
    } else if (key == "bankclean") {
      config.bankclean = StringList(value, key);
    } else {
      throw ConfigError("unknown key \"" + key + "\" (known: update, noclean, bankclean)");
    }
  }
  // The program hands the update value to the shell to open; anything but a web
  // address would start a local program or document on every PC.
  if (!config.update.empty() && !config.update.starts_with("https://") && !config.update.starts_with("http://")) {
    throw ConfigError("\"update\" must be empty or an http:// or https:// address");
  }
  return config;
}

void CreateDefaultConfig(const std::filesystem::path& file) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "wx"), &std::fclose);
  if (!out) {
    if (errno == EEXIST) return;
    throw ConfigError(file.string() + ": cannot be created");
  }
  if (std::fwrite(kDefaultConfig.data(), 1, kDefaultConfig.size(), out.get()) != kDefaultConfig.size() ||
      std::fflush(out.get()) != 0) {
    throw ConfigError(file.string() + ": cannot be written");
  }
}

std::string BuildInitReply(const ServiceConfig& config) {
  std::string reply = "{\"status\":\"ok\",\"update\":\"";
  reply += MarkerSafeJsonString(config.update);
  reply += '"';
  const auto list = [&](std::string_view key, const std::vector<std::string>& items) {
    reply += ",\"";
    reply += key;
    reply += "\":[";
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) reply += ',';
      reply += '"';
      reply += MarkerSafeJsonString(items[i]);
      reply += '"';
    }
    reply += ']';
  };
  list("noclean", config.noclean);
  list("bankclean", config.bankclean);
  reply += '}';
  return reply;
}

ConfigSource::ConfigSource(std::filesystem::path file, Log log) : file_(std::move(file)), log_(std::move(log)) {
  seen_ = Look(file_);
  if (!seen_.exists) throw ConfigError(file_.string() + ": no such file");
  current_ = Load(file_);
}

ConfigSource::Identity ConfigSource::Look(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

std::shared_ptr<const ConfigSource::Snapshot> ConfigSource::Load(const std::filesystem::path& file) {
  const std::string text = ReadWholeFile(file);
  ServiceConfig config;
  try {
    config = ParseConfig(text);
  } catch (const ConfigError& e) {
    throw ConfigError(file.string() + ": " + e.what());
  }
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->reply = BuildInitReply(config);
  snapshot->config = std::move(config);
  return snapshot;
}

std::shared_ptr<const ConfigSource::Snapshot> ConfigSource::Current() {
  std::lock_guard lock(mutex_);
  const Identity now = Look(file_);
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  const bool settled =
      now.exists && wall - std::chrono::nanoseconds(now.mtime_ns) > kSettleTime;
  if (now == seen_ && settled) return current_;
  const bool changed = !(now == seen_);
  seen_ = now;
  if (!now.exists) {
    if (changed) log_("configuration " + file_.string() + " is gone; the previous configuration stays in force");
    return current_;
  }
  try {
    auto fresh = Load(file_);
    if (fresh->reply != current_->reply) {
      current_ = std::move(fresh);
      log_("configuration reloaded from " + file_.string());
    }
  } catch (const ConfigError& e) {
    if (changed) log_(std::string("configuration refused: ") + e.what() + "; the previous configuration stays in force");
  }
  return current_;
}

}  // namespace quorvane::service

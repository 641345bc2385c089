#pragma once
// The operator's configuration file and the configuration reply built from it.
//
// The file is JSON (comments allowed):
//   {
//     "update": "",       // where to download a newer program; empty: none
//     "noclean": [],      // keep-list entries added to the program's own
//     "bankclean": []     // plug-in names added to the program's own
//   }
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace quorvane::service {

struct ServiceConfig {
  std::string update;
  std::vector<std::string> noclean;
  std::vector<std::string> bankclean;
};

// A configuration file that cannot be used; what() names the file and the fault.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the program keeps of each of the reply's two arrays: at most this many
// items that are not blank and as many blank ones (of code points U+0000 to
// U+0020 only, which match nothing there), each at most this many UTF-16 code
// units long. It ignores the items beyond the first and drops longer ones.
inline constexpr std::size_t kMaxListItems = 10000;
inline constexpr std::size_t kMaxItemUnits = 1024;

// Reads a configuration text. Every key is optional; an unknown key, a value of
// the wrong type, an update that is neither empty nor an http(s) URL, and a list
// beyond what the program keeps (more than kMaxListItems items that are not
// blank, or blank ones, or an item longer than kMaxItemUnits) are refused, since the program
// would act on a mistyped value, or pass over part of a list, without a word.
// Throws ConfigError.
ServiceConfig ParseConfig(std::string_view text);

// Creates the file with empty lists unless it exists; never overwrites.
// Throws ConfigError when it cannot be created.
void CreateDefaultConfig(const std::filesystem::path& file);

// The reply to the configuration request, in the form the program scans for:
// each key, its colon and its value's opening quote or bracket written without
// a blank, every value passed through MarkerSafeJsonString.
std::string BuildInitReply(const ServiceConfig& config);

// The configuration in force, reread when its file changes.
class ConfigSource {
 public:
  struct Snapshot {
    ServiceConfig config;
    std::string reply;  // BuildInitReply(config)
  };
  using Log = std::function<void(std::string_view)>;

  // Loads the file now. Throws ConfigError when it is missing or unusable.
  ConfigSource(std::filesystem::path file, Log log);

  // The configuration in force, after rereading the file if it changed since the
  // last look. A file that has become unreadable or invalid leaves the previous
  // configuration in force; the fault is logged once per change of the file.
  std::shared_ptr<const Snapshot> Current();

  const std::filesystem::path& file() const { return file_; }

 private:
  struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtime_ns = 0;
    long long ctime_ns = 0;
    bool operator==(const Identity&) const = default;
  };
  static Identity Look(const std::filesystem::path& file);
  static std::shared_ptr<const Snapshot> Load(const std::filesystem::path& file);

  const std::filesystem::path file_;
  const Log log_;
  std::mutex mutex_;
  Identity seen_;
  std::shared_ptr<const Snapshot> current_;
};

}  // namespace quorvane::service

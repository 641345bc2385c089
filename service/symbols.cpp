#include "service/symbols.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

#include <cxxabi.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "service/escape.h"

namespace quorvane::service {
namespace {

// The loader takes no more sections than this.
constexpr std::uint16_t kMaxSections = 96;
constexpr std::uint32_t kMaxHeaderOffset = 1u << 20;
constexpr std::size_t kMaxIndexedFiles = 20'000;
constexpr std::size_t kMaxSectionName = 256;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

template <class T>
T Little(const unsigned char* p) {
  T v = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>(v << 8 | p[i]);
  return v;
}

// Reads exactly n bytes at offset; false when the file is shorter or fails.
bool ReadAt(int fd, std::uint64_t offset, void* out, std::size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

std::uint64_t AlignUp(std::uint64_t v, std::uint32_t alignment) {
  if (alignment == 0) return v;
  return (v + alignment - 1) / alignment * alignment;
}

// What binutils strip drops: DWARF and stabs.
bool IsDebugSection(std::string_view name) {
  return name.starts_with(".debug") || name.starts_with(".zdebug") || name.starts_with(".stab");
}

bool IsLlvmSymbolizer(const std::filesystem::path& tool) {
  return tool.filename().string().find("llvm-symbolizer") != std::string::npos;
}

std::filesystem::path FindProgram(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::filesystem::path candidate = std::filesystem::path(dirs.substr(0, colon)) / name;
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    if (candidate.is_absolute() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::filesystem::path FindLlvmSymbolizer() {
  if (auto tool = FindProgram("llvm-symbolizer"); !tool.empty()) return tool;
  std::error_code ec;
  std::filesystem::path best;
  for (const auto& dir : std::filesystem::directory_iterator("/usr/lib", ec)) {
    const auto tool = dir.path() / "bin" / "llvm-symbolizer";
    if (dir.path().filename().string().starts_with("llvm-") && ::access(tool.c_str(), X_OK) == 0 && tool > best) {
      best = tool;
    }
  }
  return best;
}

// A C++ name as written, from its Itanium-ABI mangling (which MinGW g++ uses
// too); other names as they are. Demangled here rather than by the tool:
// i686 PE tools take the mangling's "_" for the target's symbol prefix and
// then cannot demangle what is left.
std::string Demangle(std::string name) {
  const char* mangled = name.c_str();
  if (name.starts_with("__Z")) ++mangled;  // the symbol prefix, kept
  if (!std::string_view(mangled).starts_with("_Z")) return name;
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                           &std::free);
  return status == 0 && plain ? std::string(plain.get()) : name;
}

}  // namespace

std::optional<PeImage> ReadPeImage(const std::filesystem::path& file) {
  Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto file_size = static_cast<std::uint64_t>(st.st_size);

  unsigned char dos[64];
  if (!ReadAt(fd.get(), 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
  const auto pe = Little<std::uint32_t>(dos + 0x3C);
  if (pe > kMaxHeaderOffset) return std::nullopt;
  unsigned char header[24 + 72];
  if (!ReadAt(fd.get(), pe, header, sizeof header) || std::memcmp(header, "PE\0\0", 4) != 0) return std::nullopt;

  PeImage image;
  image.machine = Little<std::uint16_t>(header + 4);
  const auto sections = Little<std::uint16_t>(header + 6);
  image.timestamp = Little<std::uint32_t>(header + 8);
  const auto symbol_table = Little<std::uint32_t>(header + 12);
  const auto symbols = Little<std::uint32_t>(header + 16);
  const auto optional_size = Little<std::uint16_t>(header + 20);
  const unsigned char* optional = header + 24;
  const auto magic = Little<std::uint16_t>(optional);
  if (magic == 0x20b) {
    image.image_base = Little<std::uint64_t>(optional + 24);
  } else if (magic == 0x10b) {
    image.image_base = Little<std::uint32_t>(optional + 28);
  } else {
    return std::nullopt;
  }
  const auto section_alignment = Little<std::uint32_t>(optional + 32);
  const auto file_alignment = Little<std::uint32_t>(optional + 36);
  image.size_of_image = Little<std::uint32_t>(optional + 56);
  if (optional_size < 72 || sections == 0 || sections > kMaxSections) return std::nullopt;

  std::vector<unsigned char> table(std::size_t{sections} * 40);
  if (!ReadAt(fd.get(), std::uint64_t{pe} + 24 + optional_size, table.data(), table.size())) return std::nullopt;
  // Names longer than eight bytes are "/offset" into the COFF string table
  // that follows the symbols; an image stripped of those has none.
  const std::uint64_t strings = std::uint64_t{symbol_table} + std::uint64_t{symbols} * 18;
  const auto name_of = [&](const unsigned char* entry) -> std::string {
    std::string name(reinterpret_cast<const char*>(entry), strnlen(reinterpret_cast<const char*>(entry), 8));
    if (name.size() < 2 || name[0] != '/' || symbol_table == 0) return name;
    std::uint64_t offset = 0;
    for (std::size_t i = 1; i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9') return name;
      offset = offset * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    if (strings + offset >= file_size) return name;
    char text[kMaxSectionName] = {};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof text - 1, file_size - strings - offset));
    if (!ReadAt(fd.get(), strings + offset, text, n)) return name;
    return std::string(text, strnlen(text, n));
  };
  std::uint64_t stripped = 0;
  for (std::uint16_t i = 0; i < sections; ++i) {
    const unsigned char* entry = table.data() + std::size_t{i} * 40;
    const auto virtual_size = Little<std::uint32_t>(entry + 8);
    const auto address = Little<std::uint32_t>(entry + 12);
    const auto raw_size = Little<std::uint32_t>(entry + 16);
    if (IsDebugSection(name_of(entry))) {
      image.has_debug_sections = true;
      continue;
    }
    if (virtual_size == 0 && raw_size == 0) continue;
    // As binutils computes it: the last section's address and size, rounded
    // to the file's alignment and then to the sections'.
    stripped = address + AlignUp(AlignUp(virtual_size, file_alignment), section_alignment);
  }
  if (stripped == 0 || stripped > 0xFFFFFFFFu) return std::nullopt;
  image.stripped_size_of_image = static_cast<std::uint32_t>(stripped);
  return image;
}

std::uint16_t MachineOfArch(std::string_view arch) {
  if (arch == "x86_64") return kMachineX86_64;
  if (arch == "i686") return kMachineI686;
  return 0;
}

const Location* FrameNames::Find(std::string_view module, std::uint64_t offset) const {
  const auto it = places_.find({AsciiLower(module), offset});
  return it == places_.end() ? nullptr : &it->second;
}

bool FrameNames::HasSymbols(std::string_view module) const { return with_symbols_.contains(AsciiLower(module)); }

void FrameNames::Add(std::string_view module, std::uint64_t offset, Location location) {
  places_[{AsciiLower(module), offset}] = std::move(location);
}

void FrameNames::MarkSymbols(std::string_view module) { with_symbols_.insert(AsciiLower(module)); }

SymbolIndex::SymbolIndex(std::filesystem::path folder, std::chrono::seconds rescan_after)
    : folder_(std::move(folder)), rescan_after_(rescan_after) {
  std::lock_guard lock(mutex_);
  Scan();
}

void SymbolIndex::Scan() {
  std::map<Key, Entry> found;
  std::vector<Entry> stripped_copies;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(folder_, std::filesystem::directory_options::skip_permission_denied,
                                                   ec);
  std::size_t examined = 0;
  for (; !ec && it != std::filesystem::recursive_directory_iterator() && examined < kMaxIndexedFiles;
       it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec)) continue;
    ++examined;
    const auto image = ReadPeImage(it->path());
    if (!image) continue;
    const Entry entry{it->path(), *image};
    if (!image->has_debug_sections) stripped_copies.push_back(entry);
    for (const std::uint32_t size : {image->size_of_image, image->stripped_size_of_image}) {
      const Key key{image->machine, image->timestamp, size};
      const auto [at, inserted] = found.emplace(key, entry);
      // Of two files that load as the same image, the one with debug data names more.
      if (!inserted && !at->second.image.has_debug_sections && image->has_debug_sections) at->second = entry;
    }
  }
  // A stripped copy kept beside its unstripped file gives the shipped size
  // as the strip that made it wrote it, whatever the computed one says.
  for (const Entry& copy : stripped_copies) {
    const Key key{copy.image.machine, copy.image.timestamp, copy.image.size_of_image};
    if (found.at(key).image.has_debug_sections) continue;
    for (const auto& [other_key, other] : found) {
      if (other.image.has_debug_sections && other.image.machine == copy.image.machine &&
          other.image.timestamp == copy.image.timestamp && other.image.image_base == copy.image.image_base) {
        found[key] = other;
        break;
      }
    }
  }
  entries_ = std::move(found);
  scanned_ = std::chrono::steady_clock::now();
}

std::optional<SymbolIndex::Entry> SymbolIndex::Find(std::uint16_t machine, std::uint32_t timestamp,
                                                    std::uint32_t size_of_image) {
  std::lock_guard lock(mutex_);
  const Key key{machine, timestamp, size_of_image};
  auto it = entries_.find(key);
  if (it == entries_.end() && std::chrono::steady_clock::now() - scanned_ >= rescan_after_) {
    Scan();
    it = entries_.find(key);
  }
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

std::size_t SymbolIndex::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::optional<std::string> RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds time,
                                      std::size_t max_output) {
  if (argv.empty() || argv[0].empty() || argv[0][0] != '/') return std::nullopt;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  Descriptor output(ends[0]), input(ends[1]);

  struct Actions {
    posix_spawn_file_actions_t a;
    Actions() { posix_spawn_file_actions_init(&a); }
    ~Actions() { posix_spawn_file_actions_destroy(&a); }
  } actions;
  posix_spawn_file_actions_addopen(&actions.a, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions.a, input.get(), 1);
  posix_spawn_file_actions_addopen(&actions.a, 2, "/dev/null", O_WRONLY, 0);
  // The service's sockets and database files are not the tool's business.
  posix_spawn_file_actions_addclosefrom_np(&actions.a, 3);
  struct Attributes {
    posix_spawnattr_t a;
    Attributes() { posix_spawnattr_init(&a); }
    ~Attributes() { posix_spawnattr_destroy(&a); }
  } attributes;
  // The service blocks its stop signals in every thread and ignores SIGPIPE;
  // a child would inherit both, and a timeout could then not end it cleanly.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes.a, &none);
  posix_spawnattr_setsigdefault(&attributes.a, &defaults);
  posix_spawnattr_setflags(&attributes.a, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  char locale[] = "LC_ALL=C";
  char* environment[] = {locale, nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], &actions.a, &attributes.a, args.data(), environment) != 0) return std::nullopt;
  input.reset();

  // Ends and reaps the child however this function returns.
  struct Reaper {
    pid_t pid;
    int status = 0;
    bool reaped = false;
    void Wait() {
      while (!reaped && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      reaped = true;
    }
    ~Reaper() {
      if (reaped) return;
      ::kill(pid, SIGKILL);
      Wait();
    }
  } child{pid};

  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + time;
  std::array<char, 64 * 1024> chunk;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{output.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) return std::nullopt;
    if (ready <= 0) continue;
    const ssize_t got = ::read(output.get(), chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    if (out.size() + static_cast<std::size_t>(got) > max_output) return std::nullopt;
    out.append(chunk.data(), static_cast<std::size_t>(got));
  }
  child.Wait();
  if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0) return std::nullopt;
  return out;
}

std::map<std::uint64_t, Location> ParseAddr2Line(std::string_view output) {
  std::map<std::uint64_t, Location> result;
  Location* current = nullptr;
  std::optional<std::string> function;  // waiting for its location line
  while (!output.empty()) {
    const std::size_t end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!function && line.starts_with("0x") && line.size() > 2 && line.size() <= 18 &&
        line.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string_view::npos) {
      current = &result[std::strtoull(std::string(line.substr(2)).c_str(), nullptr, 16)];
      continue;
    }
    if (!current) continue;
    if (!function) {
      function = line == "??" ? std::string() : Demangle(std::string(line));
      continue;
    }
    SourceLine source{std::move(*function), {}, 0};
    function.reset();
    if (const auto discriminator = line.find(" (discriminator"); discriminator != std::string_view::npos) {
      line = line.substr(0, discriminator);
    }
    const std::size_t colon = line.rfind(':');
    const std::string_view file = line.substr(0, colon);
    if (file != "??" && !file.empty()) {
      source.file = std::string(file);
      if (colon != std::string_view::npos) source.line = std::atoi(std::string(line.substr(colon + 1)).c_str());
    }
    if (!source.function.empty() || !source.file.empty()) current->push_back(std::move(source));
  }
  return result;
}

Symbolizer::Symbolizer(SymbolIndex& index, Options options, std::optional<std::filesystem::path> tool_override)
    : index_(index), options_(options), tool_override_(std::move(tool_override)) {}

std::filesystem::path Symbolizer::ToolFor(std::uint16_t machine) const {
  if (tool_override_) return *tool_override_;
  const char* binutils = machine == kMachineX86_64 ? "x86_64-w64-mingw32-addr2line"
                         : machine == kMachineI686 ? "i686-w64-mingw32-addr2line"
                                                   : nullptr;
  if (binutils) {
    if (auto tool = FindProgram(binutils); !tool.empty()) return tool;
  }
  return FindLlvmSymbolizer();
}

std::map<std::uint64_t, Location> Symbolizer::Run(const SymbolIndex::Entry& entry,
                                                  const std::vector<std::uint64_t>& offsets) {
  const std::filesystem::path tool = ToolFor(entry.image.machine);
  if (tool.empty()) return {};
  std::vector<std::string> argv{tool.string()};
  if (IsLlvmSymbolizer(tool)) {
    argv.push_back("--output-style=GNU");
    argv.push_back("--no-demangle");
  }
  for (const char* a : {"-a", "-f", "-i", "-e"}) argv.push_back(a);
  argv.push_back(entry.file.string());
  for (const auto offset : offsets) argv.push_back(Hex(entry.image.image_base + offset));
  runs_.acquire();
  const auto output = RunProgram(argv, options_.time, options_.max_output);
  runs_.release();
  if (!output) return {};
  std::map<std::uint64_t, Location> by_offset;
  for (auto& [address, location] : ParseAddr2Line(*output)) {
    if (address >= entry.image.image_base) by_offset[address - entry.image.image_base] = std::move(location);
  }
  return by_offset;
}

FrameNames Symbolizer::Resolve(const CrashReport& report) {
  FrameNames names;
  const std::uint16_t machine = MachineOfArch(report.arch);
  if (machine == 0) return names;

  // Each module name's file in the index, if any, and the offsets asked of it.
  struct Wanted {
    std::optional<SymbolIndex::Entry> entry;
    std::set<std::uint64_t> offsets;
  };
  std::map<std::string, Wanted> modules;
  for (const CrashModule& m : report.modules) {
    const std::string name = AsciiLower(m.name);
    if (modules.contains(name)) continue;
    Wanted& wanted = modules[name];
    if (m.timestamp <= 0xFFFFFFFFu && m.size <= 0xFFFFFFFFu) {
      wanted.entry = index_.Find(machine, static_cast<std::uint32_t>(m.timestamp), static_cast<std::uint32_t>(m.size));
    }
    if (wanted.entry) names.MarkSymbols(m.name);
  }
  std::size_t asked = 0;
  const auto want = [&](const CodePlace& place) {
    const auto it = modules.find(AsciiLower(place.module));
    if (it == modules.end() || !it->second.entry || asked >= options_.max_addresses) return;
    if (place.offset >= it->second.entry->image.size_of_image) return;
    asked += it->second.offsets.insert(place.offset).second;
  };
  want(report.exception.place);
  for (const CrashThread& t : report.threads) {
    for (const CodePlace& f : t.frames) want(f);
  }

  for (auto& [name, wanted] : modules) {
    if (!wanted.entry || wanted.offsets.empty()) continue;
    const PeImage& image = wanted.entry->image;
    const auto key = [&](std::uint64_t offset) {
      return CacheKey{image.machine, image.timestamp, image.size_of_image, offset};
    };
    std::vector<std::uint64_t> missing;
    {
      std::lock_guard lock(cache_mutex_);
      for (const auto offset : wanted.offsets) {
        const auto hit = cache_.find(key(offset));
        if (hit == cache_.end()) {
          missing.push_back(offset);
        } else {
          names.Add(name, offset, hit->second);
        }
      }
    }
    for (std::size_t from = 0; from < missing.size(); from += options_.batch) {
      const std::vector<std::uint64_t> batch(missing.begin() + static_cast<long>(from),
                                             missing.begin() + static_cast<long>(std::min(missing.size(), from + options_.batch)));
      auto found = Run(*wanted.entry, batch);
      // A run that failed names nothing and is not remembered, so a later
      // page may try again.
      if (found.empty()) continue;
      std::lock_guard lock(cache_mutex_);
      if (cache_.size() + batch.size() > options_.cache_entries) cache_.clear();
      for (const auto offset : batch) {
        Location location = found.contains(offset) ? std::move(found[offset]) : Location();
        cache_[key(offset)] = location;
        names.Add(name, offset, std::move(location));
      }
    }
  }
  return names;
}

}  // namespace quorvane::service

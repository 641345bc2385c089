#pragma once
// Function names and source lines for the frames of a crash report, from the
// unstripped executables a build keeps (build/<preset>/symbols/).
//
// A crash report names each module by its PE header's TimeDateStamp and
// SizeOfImage as the shipped, stripped file has them. GNU ld gives the DWARF
// sections of an unstripped image addresses inside it, so SizeOfImage counts
// them, and strip recomputes it without them; the index therefore knows each
// file under both sizes: its own and the one it has once stripped. strip
// (like a link) also writes a new TimeDateStamp, the time it runs or
// SOURCE_DATE_EPOCH: the build must strip with SOURCE_DATE_EPOCH set to the
// unstripped file's stamp for the two to agree (service/CRASH_REPORTS.md).
// A stripped copy kept in the folder beside its unstripped file (same machine,
// image base and stamp) adds the size it really has, computed or not.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "service/crash_report.h"

namespace quorvane::service {

// What the headers of a PE file say about the image it loads as.
struct PeImage {
  std::uint16_t machine = 0;  // 0x8664 x86_64, 0x14c i686
  std::uint32_t timestamp = 0;
  std::uint32_t size_of_image = 0;
  // SizeOfImage once the debug sections are stripped: the aligned end of the
  // last section that is not one (what binutils' strip writes).
  std::uint32_t stripped_size_of_image = 0;
  std::uint64_t image_base = 0;
  bool has_debug_sections = false;
};

// Reads the DOS, PE and section headers of a file; nullopt when it is not a
// PE image or its headers do not hold together. Reads no more than the
// headers and the COFF string table's names; never throws.
std::optional<PeImage> ReadPeImage(const std::filesystem::path& file);

constexpr std::uint16_t kMachineX86_64 = 0x8664;
constexpr std::uint16_t kMachineI686 = 0x14c;

// The PE machine of a report's arch; 0 for none.
std::uint16_t MachineOfArch(std::string_view arch);

// One level of what a code address is: the function and its source line.
struct SourceLine {
  std::string function;  // "" when unknown
  std::string file;      // "" when unknown
  int line = 0;          // 0 when unknown
  bool operator==(const SourceLine&) const = default;
};

// What an address is, innermost first: the function it lies in, then each
// function that one was inlined into. Empty when nothing is known.
using Location = std::vector<SourceLine>;

// The frames of one crash report that could be named.
class FrameNames {
 public:
  // The location of a place; null when it was not named.
  const Location* Find(std::string_view module, std::uint64_t offset) const;
  // Whether the report's module of that name has a file in the symbols folder.
  bool HasSymbols(std::string_view module) const;

  void Add(std::string_view module, std::uint64_t offset, Location location);
  void MarkSymbols(std::string_view module);

 private:
  std::map<std::pair<std::string, std::uint64_t>, Location> places_;  // module in ASCII lower case
  std::set<std::string> with_symbols_;
};

// The PE files under a folder, by (machine, TimeDateStamp, SizeOfImage).
class SymbolIndex {
 public:
  struct Entry {
    std::filesystem::path file;
    PeImage image;
  };

  // Indexes the folder now. A folder that cannot be read gives an empty index.
  explicit SymbolIndex(std::filesystem::path folder, std::chrono::seconds rescan_after = std::chrono::seconds(30));

  // The file for that image. A miss indexes the folder again when the last
  // look is older than rescan_after, so that a new build's files are found
  // without a restart.
  std::optional<Entry> Find(std::uint16_t machine, std::uint32_t timestamp, std::uint32_t size_of_image);

  std::size_t size() const;

 private:
  using Key = std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>;
  void Scan();

  const std::filesystem::path folder_;
  const std::chrono::seconds rescan_after_;
  mutable std::mutex mutex_;
  std::map<Key, Entry> entries_;
  std::chrono::steady_clock::time_point scanned_{};
};

// Runs a program to its end with no shell, no input, an empty environment
// but LC_ALL=C and no inherited blocked signals; its output, or nullopt when
// it could not start, did not end within time (it is killed), wrote more than
// max_output bytes (likewise), or did not exit 0. Never throws.
std::optional<std::string> RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds time,
                                      std::size_t max_output);

// Parses addr2line's output for "-a -f -i" (llvm-symbolizer's with
// --output-style=GNU --no-demangle is the same): for each address a line
// "0x...", then a function line and a "file:line" line per inlining level.
// C++ names are demangled; addresses the tool does not name ("??", "??:0")
// give empty locations.
std::map<std::uint64_t, Location> ParseAddr2Line(std::string_view output);

// Names the frames of crash reports with addr2line for the PE target, or
// llvm-symbolizer where that is missing, and keeps what it learnt.
class Symbolizer {
 public:
  struct Options {
    std::chrono::milliseconds time{10'000};  // one run of the tool
    std::size_t max_output = 4u << 20;
    std::size_t max_addresses = 4096;  // per report
    std::size_t batch = 256;           // addresses per run
    std::size_t cache_entries = 200'000;
  };

  // The tools are looked for in the usual places; tool_override, when set,
  // is used for every machine (with addr2line's arguments).
  Symbolizer(SymbolIndex& index, Options options, std::optional<std::filesystem::path> tool_override = {});
  explicit Symbolizer(SymbolIndex& index) : Symbolizer(index, Options{}) {}

  // The tool that names addresses of that machine; empty when none is there.
  std::filesystem::path ToolFor(std::uint16_t machine) const;

  // Names every frame, and the exception's place, whose module has a file in
  // the index. Never throws; a tool that fails leaves its frames unnamed.
  FrameNames Resolve(const CrashReport& report);

 private:
  using CacheKey = std::tuple<std::uint16_t, std::uint32_t, std::uint32_t, std::uint64_t>;

  std::map<std::uint64_t, Location> Run(const SymbolIndex::Entry& entry, const std::vector<std::uint64_t>& offsets);

  SymbolIndex& index_;
  const Options options_;
  const std::optional<std::filesystem::path> tool_override_;
  std::counting_semaphore<2> runs_{2};  // tools running at once
  std::mutex cache_mutex_;
  std::map<CacheKey, Location> cache_;
};

}  // namespace quorvane::service

#pragma once
// The crash report the program sends to "/crash.php": what the crash handler
// gathers, and its JSON text. Portable, so that the bounds and the escaping are
// tested natively; crash_win.cpp fills the records from the dying process.
#include <cstdint>
#include <vector>

#include "vek/text.h"

namespace app {

// The limits the service enforces. The text keeps inside them by leaving out
// whatever would not fit, never by sending what the service would refuse.
constexpr size_t kCrashMaxThreads = 512;
constexpr size_t kCrashMaxFrames = 256;
constexpr size_t kCrashMaxModules = 2048;
constexpr size_t kCrashMaxProcesses = 8192;
constexpr size_t kCrashMaxInfo = 15;
constexpr size_t kCrashMaxTextUnits = 1024;
constexpr size_t kCrashMaxBodyBytes = size_t(1) << 20;

struct CrashModule {
  vek::Text Name;  // file name of the module
  vek::Text Path;  // folded through the folder-variable table
  uint64_t Base = 0;
  uint64_t Size = 0;       // SizeOfImage as the loader reports it
  vek::Text Version;       // "a.b.c.d" or empty
  uint32_t Timestamp = 0;  // the PE header's TimeDateStamp
};

struct CrashThread {
  uint32_t Id = 0;
  bool Crashed = false;
  std::vector<uint64_t> Frames;  // code addresses, innermost first
};

struct CrashProcess {
  uint32_t Pid = 0;
  vek::Text Name;
  vek::Text Path;  // folded; empty when it could not be read
};

struct CrashReport {
  vek::Text Program;   // file name of the program's own executable
  vek::Text Version;   // the program's version text
  vek::Text UnionKey;  // 40 lower-case hex digits or empty
  vek::Text Windows;   // "major.minor.build"
  vek::Text Arch;      // "x86_64" or "i686"
  uint32_t Code = 0;
  uint64_t Address = 0;  // where the exception happened
  uint32_t ThreadId = 0;
  std::vector<uint64_t> Info;
  std::vector<CrashThread> Threads;  // the crashed one anywhere; it is sent first
  std::vector<CrashModule> Modules;
  std::vector<CrashProcess> Processes;
};

// "0x" and upper-case hex digits without leading zeros ("0x0" for zero).
vek::Text HexText(uint64_t value);

// The text cut to at most kCrashMaxTextUnits units, never between the two
// halves of a surrogate pair.
vek::Text ClipCrashText(vek::TextView text);

// The report as one JSON object, every text through JsonEscape and clipped, the
// crashed thread first. Each address is named by the module whose
// [Base, Base + Size) holds it and the offset from its base, or by an empty
// module and the address itself when no module holds it. The lists are cut to the service's limits; when the
// whole would pass kCrashMaxBodyBytes, what is left out goes in this order of
// sacrifice: other threads, processes, modules (from the end of each list), so
// that the crashed thread and with it the report's signature always arrive.
vek::Text CrashReportJson(const CrashReport& report);

}  // namespace app

#pragma once
// The crash report the program sends when it meets an unhandled fault: one
// JSON object with the exception, every thread's call stack, the loaded
// modules and the running processes (service/CRASH_REPORTS.md).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::service {

// A place in the process: a module's name and the offset from its base, or
// an empty module and the absolute address when no loaded module holds it.
struct CodePlace {
  std::string module;
  std::uint64_t offset = 0;
};

struct CrashThread {
  std::uint32_t id = 0;
  bool crashed = false;
  std::vector<CodePlace> frames;  // innermost first
};

struct CrashModule {
  std::string name;
  std::string path;  // folded (%NAME%\...)
  std::uint64_t base = 0;
  std::uint64_t size = 0;  // SizeOfImage
  std::string version;     // "a.b.c.d" or ""
  std::uint64_t timestamp = 0;  // TimeDateStamp
};

struct CrashProcess {
  std::uint32_t pid = 0;
  std::string name;
  std::string path;  // folded, "" when it could not be read
};

struct CrashException {
  std::uint64_t code = 0;
  CodePlace place;
  std::uint32_t thread = 0;
  std::vector<std::uint64_t> info;
};

struct CrashReport {
  std::string program;   // the executable's file name
  std::string version;   // the program's version text
  std::string union_key; // 40 lower-case hex digits, or ""
  std::string windows;   // "major.minor.build"
  std::string arch;      // "x86_64" or "i686"
  CrashException exception;
  std::vector<CrashThread> threads;  // the crashed one first
  std::vector<CrashModule> modules;
  std::vector<CrashProcess> processes;
};

struct CrashParse {
  std::optional<CrashReport> report;  // absent when the body was refused
  std::string error;                  // why, naming the field, fit for the client
};

// What a body may hold at most.
struct CrashLimits {
  std::size_t threads = 512;
  std::size_t frames = 256;  // per thread
  std::size_t modules = 2048;
  std::size_t processes = 8192;
  std::size_t info = 15;          // exception information words
  std::size_t text_units = 1024;  // UTF-16 code units of any string
  std::size_t name_units = 255;   // of a file name (program, module names)
};

// Reads and checks an uploaded crash body against the format: every field
// present once with its type, hex strings "0x" + 1..16 digits, identifiers
// within 32 bits, the limits above, at least one thread and exactly one
// crashed, which comes first and is the exception's. Fields the format does
// not name are passed over (a newer program may send more). The body is
// streamed, so a hostile one is refused at its first wrong token. Lone
// surrogate escapes must have been repaired before (RepairLoneSurrogateEscapes).
// Nothing is thrown.
CrashParse ParseCrashReport(std::string_view body, const CrashLimits& limits = {});

// The key crashes are grouped by: the exception code, then the program and
// the offset of the innermost frame of the crashed thread that lies in the
// program (its name compared ignoring ASCII case), or the exception's own
// module and offset when no frame does. Hex in lower case without leading
// zeros, names in ASCII lower case, so that one fault is one group however
// the digits and the file's name were written:
//   "0xc0000005 quorvane.exe+0x1a2b0"
std::string CrashSignature(const CrashReport& report);

// "0x" and the value in lower-case hex without leading zeros.
std::string Hex(std::uint64_t value);

}  // namespace quorvane::service

#pragma once
// The report that the program uploads after a reset: a JSON array of flat
// records whose values are all strings, one category per record.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::service {

// What became of one process of the reset's snapshot.
enum class ProcessOutcome { Kept = 1, Ended = -1, StillRunning = -2 };

struct CleanRecord {
  std::string file;  // folded path, as the program sent it
  ProcessOutcome outcome;
};

// Bytes of physical memory.
struct MemoryRecord {
  std::uint64_t available_before;
  std::uint64_t available_after;
  std::uint64_t total;
};

struct BrowserRecord {
  std::string clsid;
  std::string item;
};

// Where a startup entry was when the program read it.
enum class StartState {
  Unknown,  // not sent (older programs) or a state this service does not know
  On,       // "on": in a Run key, started at logon
  Off,      // "off": in a Run key, switched off by Windows' own switch
  Stored,   // "stored": in the backup store
};

struct StartRecord {
  std::string item;
  StartState state = StartState::Unknown;
};

// The state a record's "state" text names; Unknown for none or another text.
StartState StartStateOf(const std::string* text);

struct InstallRecord {
  std::string display_name;
  std::string publisher;  // empty when the program names none
};

// A termination that Windows refused or that failed. why is "denied" for a
// refusal (access denied) and "error N" with the system's error code otherwise,
// as the program writes it; other texts are kept as they came.
struct RefusedRecord {
  std::string file;
  std::string why;
};

// A process that came back by itself under a new identifier after the reset
// ended it. program names the installed program whose folder holds the file and
// publisher the file's own publisher; both are empty when unknown, and absent
// from reports of program versions that do not send them.
struct BackRecord {
  std::string file;
  std::string pid;  // decimal
  std::string program;
  std::string publisher;
};

struct Report {
  std::vector<CleanRecord> clean;
  std::optional<MemoryRecord> memory;
  std::vector<BrowserRecord> browser;
  std::vector<StartRecord> start;
  std::vector<InstallRecord> install;
  std::vector<RefusedRecord> refused;
  std::vector<BackRecord> back;
};

struct ReportParse {
  std::optional<Report> report;  // absent when the body was refused
  std::string error;             // why, in a sentence fit for the client
};

// Reads and checks an uploaded body. It must be one JSON array of objects; each
// object has a "cate" of clean, memory, browser, start, install, refused or back
// (the last two only from newer programs) and the
// fields of that category, no key twice and no value that is not a string.
// Other string fields are passed over, so that a newer program's reports are
// still taken. A clean record's state is 1, -1 or -2; memory figures are
// decimal byte counts; there is at most one memory record; a back record's pid
// is a decimal number. Nothing is thrown.
ReportParse ParseReport(std::string_view body);

// ParseReport's check alone, without building the report: why the body is
// refused, or empty when it is a report.
std::string ReportError(std::string_view body);

}  // namespace quorvane::service

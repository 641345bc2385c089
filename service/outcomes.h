#pragma once
// What became of the reset's processes, for the top of the report page: how
// many were ended, kept, could not be ended and why, and which came back by
// themselves, each named with the installed program it belongs to.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "service/report.h"

namespace quorvane::service {

struct ResetSummary {
  std::size_t ended = 0;
  std::size_t kept = 0;
  std::size_t still_running = 0;  // tried, and still there at the run's last check
  std::size_t refused = 0;        // terminations Windows refused or that failed
  std::size_t came_back = 0;
};

ResetSummary SummarizeReset(const Report& report);

// The reason of a refused record in Korean: "denied" as an access refusal,
// "error N" with its code; anything else as the program's own words (not yet
// HTML-escaped).
std::string RefusalReasonText(std::string_view why);

// The installed program of the report that a returned process belongs to: the
// one the program named as holding its file (display name equal), else the one
// whose publisher is the file's publisher (trimmed, ASCII case ignored),
// preferring a program on the plug-in list; null when none.
const InstallRecord* MatchReturnedProcess(const BackRecord& back, std::span<const InstallRecord> installed,
                                          std::span<const std::string> plugin_list);

// The summary and, when there are any, the sections of refused and returned
// processes, as HTML appended to html; every text from the report escaped.
void AppendResetOutcomes(std::string& html, const Report& report, std::span<const std::string> plugin_list);

}  // namespace quorvane::service

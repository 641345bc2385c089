#pragma once
// The crash pages for the program's makers: the signatures seen, the crashes
// of one signature, and one crash whole. In Korean like the report page,
// plain HTML and CSS with no script, everything from a report escaped.
#include <span>
#include <string>
#include <string_view>

#include "service/crash_report.h"
#include "service/store.h"
#include "service/symbols.h"

namespace quorvane::service {

// Where the pages live; all under one prefix.
constexpr std::string_view kCrashListPath = "/crashes";
constexpr std::string_view kCrashGroupPath = "/crashes/group";    // ?signature=...
constexpr std::string_view kCrashPagePath = "/crashes/crash";     // ?id=KEY
constexpr std::string_view kCrashSignInPath = "/crashes/login";

// The signatures, the most recently seen first, each with its count, the
// versions and architectures it came from, first and last seen, and links to
// its crashes and its latest one. limit_reached: the list was cut there.
std::string RenderCrashList(std::span<const CrashGroup> groups, bool limit_reached);

// The crashes of one signature, the newest first.
std::string RenderCrashGroup(std::string_view signature, std::span<const CrashSummary> crashes, bool limit_reached);

// One crash: the exception, every thread's frames (named where names is
// able), the modules and the processes.
std::string RenderCrashPage(const CrashReport& report, const StoredCrash& stored, const FrameNames& names);

// The sign-in form; next is where a successful sign-in goes.
std::string RenderSignInPage(std::string_view next);

// The meaning of a Windows exception code, in Korean; empty when unknown.
std::string_view ExceptionName(std::uint64_t code);

// The form's "next" when it is one of the crash pages, else the list.
std::string SafeCrashPageTarget(std::string_view next);

}  // namespace quorvane::service

#pragma once
// The crash handler: every unhandled fault of the process, on any thread, ends
// in one error window and one report to the service's "/crash.php".
//
// The report is gathered, shown and sent by a process that did not crash: the
// crash reporter, a copy of the program started once the main window is up,
// which waits for the fault without a window. The faulting thread does nothing
// a broken process could hang on (no heap, no lock it may hold, no loader): it
// copies the exception record and context into memory shared with the
// reporter, wakes it and waits; the reporter reads the crashed process from
// outside (ReadProcessMemory, thread contexts, module and process lists),
// shows the window and sends. The window's one button ends the crashed
// process with the exception's code, sent or not.
//
// Before the reporter runs, or when it could not be started, the report is
// made in the process itself by two threads prepared at start-up; whatever
// that needs of a broken heap, the faulting thread ends the process with the
// exception's code when no window shows within 30 s.
#include "vek/text.h"

namespace app {

struct CrashHandlerOptions {
  // Tests only: a file that receives the report's text too (UTF-8), written
  // just before it is sent. Empty in the program.
  vek::Text ReportFile;
  // Tests only: the reporting faults on purpose once the report is gathered.
  bool FaultWhileReporting = false;
};

// Installs the handler for the whole process: the unhandled-exception filter,
// the terminate handler, abort's signal, the C runtime's invalid-parameter and
// pure-call handlers, and the policy that lets faults in window procedures
// reach the filter on 64-bit Windows; prepares the in-process reporting. Call
// once, first thing in the entry. Returns false when the in-process reporting
// could not be prepared; a fault then ends the process with its code without a
// window unless the reporter runs.
//
// In a process that StartCrashReporter started as the reporter of its parent,
// this call does not return: the process waits for the parent's fault, reports
// it and ends, or ends with the parent. Any other process finds no such role,
// whatever its command line (which it ignores) or another program prepared.
bool InstallCrashHandler(const CrashHandlerOptions& options = {});

// Starts the crash reporter beside the program and hands it the options
// given to InstallCrashHandler. Call once, off the start-up's way (after the
// main window shows). False when it could not be started.
bool StartCrashReporter();

}  // namespace app

#pragma once
// The crash handler: every unhandled fault of the process, on any thread, ends
// in one error window and one report to the service's "/crash.php".
//
// The faulting thread does as little as a broken process allows: it copies the
// exception record and context into memory reserved at start-up, wakes the
// reporter thread made at start-up and waits. The reporter shows the window and
// runs its message loop; a sender thread it starts gathers the report (stacks
// of every thread, modules, processes) and posts it. The window's one button
// ends the process at once with the exception's code, sent or not.
#include "vek/text.h"

namespace app {

struct CrashHandlerOptions {
  // Tests only: a file that receives the report's text too (UTF-8), written
  // just before it is sent. Empty in the program.
  vek::Text ReportFile;
  // Tests only: called on the sender thread once the report is gathered, to
  // fault there on purpose. Null in the program.
  void (*WhileReporting)() = nullptr;
};

// Installs the handler for the whole process: the unhandled-exception filter,
// the terminate handler, abort's signal, the C runtime's invalid-parameter and
// pure-call handlers, and the policy that lets faults in window procedures reach the
// filter on 64-bit Windows. Call once, first thing in the entry. Returns false
// when the reporter thread could not be made; a fault then ends the process
// with its code without a window.
bool InstallCrashHandler(const CrashHandlerOptions& options = {});

}  // namespace app

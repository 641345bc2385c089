#pragma once
// Children for the Windows tests: starts tests/programs/qv_child beside the test
// program, waits until it is ready, and ends it when the owner goes.
#include <memory>

#include "vek/handles_win.h"
#include "vek/text.h"

namespace qvtest {

class ChildProcess {
 public:
  // Null when the child could not be started or did not become ready.
  static std::unique_ptr<ChildProcess> Start(bool withWindow);
  ~ChildProcess();  // terminates the child if it still runs and waits for it

  DWORD Pid() const { return pid_; }
  HANDLE Process() const { return process_.get(); }
  // Waits until the child has ended; false when it has not within the time-out.
  bool WaitEnded(DWORD milliseconds);

 private:
  ChildProcess() = default;
  vek::unique_handle process_;
  DWORD pid_ = 0;
};

// Full path of a file beside the running test program.
vek::Text BesideTestProgram(const vek::Text& fileName);

}  // namespace qvtest

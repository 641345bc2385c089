#pragma once
// The main thread's waits: every wait for a worker or for time pumps the
// thread's window messages, so the window stays responsive and hand-overs from
// other threads still run.
#include "vek/win32.h"

namespace core {

// Waits until event is set or timeoutMs (INFINITE: no limit) has passed,
// whichever comes first, dispatching the main thread's window messages
// meanwhile; a null event waits for the time alone. False when the application
// began terminating (WM_QUIT was seen; it is posted again for the outer loop).
bool WaitPumping(HANDLE event, DWORD timeoutMs);
// Whether a wait has seen WM_QUIT: the program is ending.
bool Terminating();

}  // namespace core

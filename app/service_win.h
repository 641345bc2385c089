#pragma once
// Requests to the web service on worker threads while the main thread keeps
// serving window messages, and the main thread's waits.
#include "vek/text.h"
#include "vek/win32.h"

namespace app {

// The service's addresses, fixed at build time.
vek::Text ServiceUrl(bool https, vek::TextView path);

// Sends one request on a worker thread (a GET when json is empty, otherwise a
// POST of json as application/json) and returns the reply text: the decoded body,
// or the transport's error text. Called on the main thread only; window messages
// are served while it waits. Returns early, with an empty text, when the
// application is terminating.
vek::Text GetHTTP(const vek::Text& url, const vek::Text& json);

// The configuration reply of the https address, else of the http address,
// whichever first says "ok"; empty when neither does.
vek::Text GetServerInit();

// Waits until event is set or timeoutMs (INFINITE: no limit) has passed,
// whichever comes first, dispatching the main thread's window messages
// meanwhile; a null event waits for the time alone. False when the application
// began terminating (WM_QUIT was seen; it is posted again for the outer loop).
bool WaitPumping(HANDLE event, DWORD timeoutMs);
bool Terminating();

}  // namespace app

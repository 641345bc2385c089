#pragma once
// Requests to the web service on worker threads while the main thread keeps
// serving window messages (core/pump_win.h).
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

// Opens a page of the service in the user's browser through the desktop's
// shell, so that the browser does not run elevated (vek/shell_start_win.h).
// Right after a reset, which ends Explorer with every process nothing keeps,
// Windows may still be starting the shell again: while no desktop shell is
// there this asks again for up to 5 s, serving window messages, before it
// falls back to ShellExecute owned by owner, at once when the application
// begins terminating meanwhile.
void OpenReportPage(HWND owner, const vek::Text& url);

// The configuration reply of the https address, else of the http address,
// whichever first says "ok"; empty when neither does.
vek::Text GetServerInit();

}  // namespace app

#include "app/exchange_win.h"

#include <atomic>
#include <memory>
#include <thread>

#include "app/exchange.h"
#include "core/pump_win.h"
#include "vek/handles_win.h"
#include "vek/http.h"
#include "vek/shell_start_win.h"
#include "vek/system_win.h"
#include "vek/windows_win.h"

#ifndef QUORVANE_SERVICE_HOST
#define QUORVANE_SERVICE_HOST u"quorvane.kr"
#endif
#ifndef QUORVANE_SERVICE_HTTP_HOST
#define QUORVANE_SERVICE_HTTP_HOST QUORVANE_SERVICE_HOST
#endif

namespace app {
namespace {

constexpr char16_t kConfigPath[] = u"/api.init.php";
constexpr int32_t kConnectionTimeout = 5000;
constexpr ULONGLONG kShellReturnMs = 5000;
constexpr DWORD kShellPollMs = 250;

// Shared by the calling thread and the worker; the worker writes Data, then sets
// Finished and the event. The caller reads Data only after seeing Finished.
struct Request {
  vek::Text URL, Data, Json, KEY;
  std::atomic<bool> Finished{false};
  vek::unique_handle Done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

void RunRequest(const std::shared_ptr<Request>& request) {
  vek::GuaranteeFaultStack();
  vek::Text data;
  try {
    vek::THTTP http;
    http.SetConnectionTimeOut(kConnectionTimeout);
    http.SetCustomHeaders(u"User-Version", vek::GetAppVersion(u"%d.%d.%d.%d"));
    http.SetCustomHeaders(u"User-UnionKey", request->KEY);
    if (!request->Json.empty()) {
      http.SetContentType(u"application/json");
      data = http.Post(request->URL, request->Json);
    } else {
      data = http.Get(request->URL);
    }
  } catch (...) {
    // THTTP turns every request failure into an error text; this only guards
    // against running out of memory on the worker.
  }
  request->Data = std::move(data);
  request->Finished.store(true, std::memory_order_release);
  SetEvent(request->Done.get());
}

}  // namespace

vek::Text ServiceUrl(bool https, vek::TextView path) {
  return vek::Text(https ? u"https://" : u"http://") + (https ? QUORVANE_SERVICE_HOST : QUORVANE_SERVICE_HTTP_HOST) +
         vek::Text(path);
}

void OpenReportPage(HWND owner, const vek::Text& url) {
  const vek::ShellStartRequest request{.Verb = u"open", .File = url, .ShowCmd = SW_SHOWNORMAL, .Owner = owner};
  const ULONGLONG deadline = GetTickCount64() + kShellReturnMs;
  for (;;) {
    const vek::ShellStartResult result = vek::ShellStartThroughDesktop(request);
    if (result.ThroughDesktop()) return;
    if (!result.NoDesktop() || GetTickCount64() >= deadline) break;
    if (!core::WaitPumping(nullptr, kShellPollMs)) break;  // ending: open it now, as it would have been
  }
  vek::ShellStartAsProgram(request);
}

vek::Text GetHTTP(const vek::Text& url, const vek::Text& json) {
  auto request = std::make_shared<Request>();
  request->URL = url;
  request->Json = json;
  request->KEY = vek::GetUnionKey();
  if (!request->Done) return vek::Text();
  try {
    std::thread(RunRequest, request).detach();
  } catch (...) {
    return vek::Text();
  }
  if (!core::WaitPumping(request->Done.get(), INFINITE) || !request->Finished.load(std::memory_order_acquire))
    return vek::Text();
  return request->Data;
}

vek::Text GetServerInit() {
  vek::Text reply = GetHTTP(ServiceUrl(true, kConfigPath), vek::Text());
  if (StatusIsOk(reply)) return reply;
  if (core::Terminating()) return vek::Text();
  reply = GetHTTP(ServiceUrl(false, kConfigPath), vek::Text());
  return StatusIsOk(reply) ? reply : vek::Text();
}

}  // namespace app

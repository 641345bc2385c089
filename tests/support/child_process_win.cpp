#include "tests/support/child_process_win.h"

#include <atomic>
#include <string>

namespace qvtest {

vek::Text BesideTestProgram(const vek::Text& fileName) {
  wchar_t path[MAX_PATH];
  const DWORD len = GetModuleFileNameW(nullptr, path, MAX_PATH);
  vek::Text self = vek::U(path, len);
  return self.substr(0, self.find_last_of(u'\\') + 1) + fileName;
}

std::unique_ptr<ChildProcess> ChildProcess::Start(bool withWindow) {
  static std::atomic<int> serial{0};
  const std::wstring event = L"QuorvaneTestChildReady-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(serial++);
  vek::unique_handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
  if (!ready) return nullptr;
  const vek::Text exe = BesideTestProgram(u"qv_child.exe");
  std::wstring command = L"\"" + std::wstring(vek::W(exe)) + L"\" --ready " + event + L" --seconds 300";
  if (withWindow) command += L" --window";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(vek::W(exe), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return nullptr;
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->process_.reset(pi.hProcess);
  vek::unique_handle thread(pi.hThread);
  child->pid_ = pi.dwProcessId;
  // Starting a Wine process can take seconds on a loaded machine.
  HANDLE waits[] = {ready.get(), child->process_.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, 60000) != WAIT_OBJECT_0) return nullptr;
  return child;
}

bool ChildProcess::WaitEnded(DWORD milliseconds) {
  return WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0;
}

ChildProcess::~ChildProcess() {
  if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
  }
}

}  // namespace qvtest

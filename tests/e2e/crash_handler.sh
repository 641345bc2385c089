#!/usr/bin/env bash
# The crash handler faulting each way, through a test program that links it
# (qv_crasher), against the local service: an access violation on the main
# thread, in a worker thread, in a window procedure (a posted message and
# WM_CREATE), a C++ exception nobody catches, std::terminate, abort(), and the
# faults that hang or silence a reporter inside the crashed process: the
# process heap's lock held, the C runtime's heap and lock held, the loader's
# lock held (a DLL aborting in DllMain), a stack overflow, a frame pointer
# smashed into a no-access page. Each time: one topmost error window with the
# program's title, its text and exactly one button; exactly one report stored
# by the service, with the exception, the crashed thread first with frames in
# the program, modules and processes; the window saying it went; the button
# ending the process with the exception's code. Then a second fault inside the
# reporting (no report, the first code), and the in-process reporting, as when
# the reporter cannot be started: a plain fault is reported the same way, and
# one with the heap's lock held ends the process with its code by itself. The
# time from the start (the program faults at once) to the stored report is
# logged for each (a measurement, not a limit).
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"
source "$QV_SOURCE/scripts/service.sh"
export QV_SERVICE_EXE=${QV_SERVICE_EXE:-$QV_SOURCE/build/native/service/quorvane-service}

SENDING=$'프로그램에 오류가 발생하여 종료해야 합니다.\n문제를 해결하는 데 도움이 되도록 오류 보고서를 보내고 있습니다...'
SENT=$'프로그램에 오류가 발생하여 종료해야 합니다.\n오류 보고서를 보냈습니다. 불편을 드려 죄송합니다.'
QV_DRIVER_ARGS=(--class '#32770' --exe qv_crasher.exe)

e2e_loopback_ports
e2e_ports_free "$E2E_HTTPS_PORT" "$E2E_HTTP_PORT"
qv_service_start "$E2E_WORK/service" "$E2E_HTTPS_PORT" "$E2E_HTTP_PORT" || e2e_abort "the service did not start"
DB="$E2E_WORK/service/reports.sqlite3"

# stored [AFTER-MS]: the crash reports the service holds (received after AFTER-MS),
# one line each: the time it was received, then its body.
stored() {
  python3 - "$DB" "${1:-0}" <<'EOF2'
import sqlite3, sys
try:
    db = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
    for ms, body in db.execute("SELECT received_ms, body FROM crashes WHERE received_ms > ? ORDER BY received_ms",
                               (int(sys.argv[2]),)):
        print(ms, body.replace("\n", " "))
except sqlite3.Error:
    pass
EOF2
}

# check_report FILE CODE: the report's fields as the service checks them, and
# what this fault must show. Prints what is wrong.
check_report() {
  python3 - "$1" "$2" <<'EOF2'
import json, re, sys
r = json.load(open(sys.argv[1], encoding="utf-8"))
code = sys.argv[2]
hexre = re.compile(r"^0x[0-9A-Fa-f]{1,16}$")
bad = []
ex = r["exception"]
if ex["code"] != code: bad.append(f"exception code {ex['code']}, expected {code}")
if r["program"] != "qv_crasher.exe": bad.append(f"program {r['program']}")
if r["arch"] != "x86_64": bad.append(f"arch {r['arch']}")
if not re.match(r"^\d+\.\d+\.\d+$", r["windows"]): bad.append(f"windows {r['windows']}")
crashed = [t for t in r["threads"] if t["crashed"]]
if len(crashed) != 1 or not r["threads"][0]["crashed"]: bad.append("not exactly one crashed thread, first")
elif r["threads"][0]["id"] != ex["thread"]: bad.append("the crashed thread is not the exception's")
elif not any(f["module"] == "qv_crasher.exe" for f in r["threads"][0]["frames"]):
    bad.append("no frame of the crashed thread in the program: %s" % r["threads"][0]["frames"][:8])
mods = {m["name"].lower(): m for m in r["modules"]}
for need in ("qv_crasher.exe", "ntdll.dll", "kernel32.dll"):
    if need not in mods: bad.append(f"module {need} missing")
for m in r["modules"]:
    for k in ("base", "size", "timestamp"):
        if not hexre.match(m[k]): bad.append(f"module {m['name']} {k} {m[k]}")
if not any(m["path"].startswith("%SystemRoot%\\") for m in r["modules"]):
    bad.append("no module path folded to %SystemRoot%")
if not any(p["name"].lower() == "qv_crasher.exe" for p in r["processes"]): bad.append("own process not listed")
if not ex["module"] and code == "0xC0000005": bad.append("the access violation is in no module")
print("\n".join(bad))
EOF2
}

# run_mode MODE CODE: one fault and what must follow it.
run_mode() {
  local mode=$1 code=$2 report="$E2E_WORK/$1.json" text problems reports i
  e2e_start "$mode" "$QV_BUILD/qv_crasher.exe" "$mode" "Z:$(tr / '\\' <<<"$report")"
  local pid=$E2E_PID start=$E2E_START_MS
  text=$(qvd wait-msgbox 40000) || {
    e2e_fail "$mode: no error window ($E2E_DRV_ERR)"
    return
  }
  # The window may be seen while its controls are still being made.
  for ((i = 0; i < 20; i++)); do
    [ -n "$text" ] && break
    sleep 0.1
    text=$(qvd wait-msgbox 0)
  done
  [[ "$text" == "$SENDING" || "$text" == "$SENT" ]] || e2e_fail "$mode: window text [$text]"
  expect_drv "$mode: one button" $'2\t닫기' msgbox-buttons 2000
  expect_drv "$mode: title (no version resource in the test program)" "쿼베노 v 0.0.0.0" msgbox-title
  expect_drv "$mode: topmost" 1 topmost
  for ((i = 0; i < 150; i++)); do
    [ "$(qvd wait-msgbox 0)" == "$SENT" ] && break
    sleep 0.1
  done
  expect_drv "$mode: the window says the report went" "$SENT" wait-msgbox 0
  reports=$(stored "$start")
  if [ "$(grep -c . <<<"$reports")" -ne 1 ]; then
    e2e_fail "$mode: $(grep -c . <<<"$reports") reports stored, not one"
  else
    e2e_log "$mode: report stored $((${reports%% *} - start)) ms after the start"
  fi
  if [ -s "$report" ]; then
    problems=$(check_report "$report" "$code" 2>&1)
    [ -z "$problems" ] || e2e_fail "$mode: report: $problems"
  else
    e2e_fail "$mode: no report written"
  fi
  expect_ok "$mode: the button" msgbox-press 2 10000
  if e2e_wait_exit "$pid" 10; then
    expect_eq "$mode: exit code (low byte of the exception code)" $((code & 0xFF)) "$E2E_RC"
  else
    e2e_fail "$mode: still running after the button"
  fi
  sleep 0.5
  expect_eq "$mode: reports stored in all (no second one)" 1 "$(stored "$start" | grep -c .)"
}

e2e_desktop
run_mode main 0xC0000005
run_mode worker 0xC0000005
run_mode wndproc 0xC0000005
run_mode wndproc-create 0xC0000005
run_mode throw 0xC0000409
run_mode terminate 0xC0000409
run_mode abort 0xC0000409
run_mode heap-lock 0xC0000005
run_mode crt-lock 0xC0000005
run_mode loader-lock 0xC0000409
run_mode stack-overflow 0xC00000FD
run_mode smashed-frame 0xC0000005
run_mode main-inprocess 0xC0000005

# A fault inside the reporting ends the process at once with the first fault's
# code: no second report, no loop.
report="$E2E_WORK/reporter.json"
e2e_start reporter "$QV_BUILD/qv_crasher.exe" reporter "Z:$(tr / '\\' <<<"$report")"
start=$E2E_START_MS
if e2e_wait_exit "$E2E_PID" 60; then
  expect_eq "reporter: exit code of the first fault" 5 "$E2E_RC"
  if [ -e "$report" ]; then e2e_fail "reporter: a report was written after the reporting faulted"; fi
  expect_eq "reporter: reports stored" 0 "$(stored "$start" | grep -c .)"
else
  e2e_fail "reporter: the process did not end by itself"
fi

# The in-process reporting with the heap's lock held cannot make its window;
# the faulting thread's watch ends the process with the code all the same.
report="$E2E_WORK/heap-lock-inprocess.json"
e2e_start heap-lock-inprocess "$QV_BUILD/qv_crasher.exe" heap-lock-inprocess "Z:$(tr / '\\' <<<"$report")"
pid=$E2E_PID
while (($(date +%s%3N) - E2E_START_MS < 45000)); do
  kill -0 "$pid" 2>/dev/null || break
  # Should a window show after all, its button ends the process.
  [ -n "$(qvd wait-msgbox 0)" ] && { qvd msgbox-press 2 10000 >/dev/null; break; }
  sleep 0.5
done
if e2e_wait_exit "$pid" 10; then
  expect_eq "heap-lock-inprocess: exit code" 5 "$E2E_RC"
  e2e_log "heap-lock-inprocess: ended $E2E_ELAPSED_MS ms after the start"
else
  e2e_fail "heap-lock-inprocess: the process hangs"
fi

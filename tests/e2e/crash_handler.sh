#!/usr/bin/env bash
# The crash handler faulting each way, through a test program that links it
# (qv_crasher): an access violation on the main thread, in a worker thread, in a
# window procedure (a posted message and WM_CREATE), a C++ exception nobody
# catches, std::terminate, abort(), and a second fault inside the reporting. Each time:
# one topmost error window with the program's title, its text and exactly one
# button; one report with the exception, the crashed thread first with frames in
# the program, modules and processes; the button ends the process with the
# exception's code. Nothing listens where the report goes, so the window ends up
# saying that it was not sent.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"

SENDING=$'프로그램에 오류가 발생하여 종료해야 합니다.\n문제를 해결하는 데 도움이 되도록 오류 보고서를 보내고 있습니다...'
NOT_SENT=$'프로그램에 오류가 발생하여 종료해야 합니다.\n오류 보고서를 보내지 못했습니다.'
QV_DRIVER_ARGS=(--class '#32770' --exe qv_crasher.exe)

# check_report FILE CODE: the report's fields as the service checks them, and
# what this fault must show. Prints what is wrong.
check_report() {
  python3 - "$1" "$2" <<'EOF'
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
EOF
}

# run_mode MODE CODE: one fault and what must follow it.
run_mode() {
  local mode=$1 code=$2 report="$E2E_WORK/$1.json" text problems
  e2e_start "$mode" "$QV_BUILD/qv_crasher.exe" "$mode" "Z:$(tr / '\\' <<<"$report")"
  local pid=$E2E_PID
  text=$(qvd wait-msgbox 30000) || {
    e2e_fail "$mode: no error window ($E2E_DRV_ERR)"
    return
  }
  [[ "$text" == "$SENDING" || "$text" == "$NOT_SENT" ]] || e2e_fail "$mode: window text [$text]"
  expect_drv "$mode: one button" $'2\t닫기' msgbox-buttons
  expect_drv "$mode: title (no version resource in the test program)" "쿼베노 v 0.0.0.0" msgbox-title
  expect_drv "$mode: topmost" 1 topmost
  local i
  for ((i = 0; i < 150; i++)); do
    [ "$(qvd wait-msgbox 0)" == "$NOT_SENT" ] && break
    sleep 0.1
  done
  expect_drv "$mode: the window says the report did not go" "$NOT_SENT" wait-msgbox 0
  e2e_log "$mode: window and report in $(($(date +%s%3N) - E2E_START_MS)) ms from the start"
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
}

e2e_desktop
run_mode main 0xC0000005
run_mode worker 0xC0000005
run_mode wndproc 0xC0000005
run_mode wndproc-create 0xC0000005
run_mode throw 0xC0000409
run_mode terminate 0xC0000409
run_mode abort 0xC0000409

# A fault inside the reporting ends the process at once with the first fault's
# code: no second report, no loop.
report="$E2E_WORK/reporter.json"
e2e_start reporter "$QV_BUILD/qv_crasher.exe" reporter "Z:$(tr / '\\' <<<"$report")"
if e2e_wait_exit "$E2E_PID" 60; then
  expect_eq "reporter: exit code of the first fault" 5 "$E2E_RC"
  if [ -e "$report" ]; then e2e_fail "reporter: a report was written after the reporting faulted"; fi
else
  e2e_fail "reporter: the process did not end by itself"
fi

#!/usr/bin/env bash
# No user's name in a crash report: the shipped program run from the user's
# Downloads folder (C:\users\NAME\Downloads, NAME being the prefix's profile),
# another user's program running from that user's profile, the program crashed
# from outside (qv_inject). The report the service stores names the program's
# own file %USERPROFILE%\Downloads\quorvane.exe and the other user's
# \Users\*\..., and holds neither name anywhere, in any case. (The test's own
# tools run from the build folder, a Unix folder outside every profile, which
# the check leaves aside.)
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"
source "$QV_SOURCE/scripts/service.sh"
export QV_SERVICE_EXE=${QV_SERVICE_EXE:-$QV_SOURCE/build/native/service/quorvane-service}

SENT=$'프로그램에 오류가 발생하여 종료해야 합니다.\n오류 보고서를 보냈습니다. 불편을 드려 죄송합니다.'
OTHER=qvsomeoneelse

e2e_loopback_ports
e2e_ports_free "$E2E_HTTPS_PORT" "$E2E_HTTP_PORT"
qv_service_start "$E2E_WORK/service" "$E2E_HTTPS_PORT" "$E2E_HTTP_PORT" || e2e_abort "the service did not start"

# The running user's profile as Wine made it, and a second one beside it.
users="$WINEPREFIX/drive_c/users"
name=$(find "$users" -mindepth 1 -maxdepth 1 -type d ! -iname public ! -iname "$OTHER" -printf '%f\n' | head -n 1)
[ -n "$name" ] || e2e_abort "no user profile in $users"
e2e_log "the profile's name is $name"
mkdir -p "$users/$name/Downloads" "$users/$OTHER/AppData/Local/Tools"
cp "$QV_BUILD/quorvane.exe" "$users/$name/Downloads/quorvane.exe"
cp "$QV_BUILD/qv_dummy.exe" "$users/$OTHER/AppData/Local/Tools/qv_dummy.exe"

e2e_desktop
ready="$E2E_WORK/other.ready"
e2e_start other "$users/$OTHER/AppData/Local/Tools/qv_dummy.exe" --ready "Z:$(tr / '\\' <<<"$ready")" --seconds 120
for ((i = 0; i < 100; i++)); do [ -e "$ready" ] && break; sleep 0.1; done
[ -e "$ready" ] || e2e_abort "the other user's program did not start"

e2e_start quorvane "C:\\users\\$name\\Downloads\\quorvane.exe"
program=$E2E_PID
qvd wait-window 60000 >/dev/null || e2e_abort "no main window: $E2E_DRV_ERR"
pid=$(qvd pid) || e2e_abort "no process identifier: $E2E_DRV_ERR"
sleep 2  # the reporter is up
"$QV_WINE" "$QV_BUILD/qv_inject.exe" "$pid" >"$E2E_WORK/inject.log" 2>&1 </dev/null ||
  e2e_abort "could not start a thread in the program: $(cat "$E2E_WORK/inject.log")"

body="$E2E_WORK/report.json"
for ((i = 0; i < 300; i++)); do
  python3 - "$E2E_WORK/service/reports.sqlite3" "$body" <<'EOF2' && break
import sqlite3, sys
try:
    rows = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True).execute("SELECT body FROM crashes").fetchall()
except sqlite3.Error:
    sys.exit(1)
if len(rows) != 1: sys.exit(1)
open(sys.argv[2], "w", encoding="utf-8").write(rows[0][0])
EOF2
  sleep 0.05
done
[ -s "$body" ] || e2e_abort "no crash report stored within 15 s"

python3 - "$body" "$name" "$OTHER" "$(tr / '\\' <<<"Z:$QV_BUILD")" >"$E2E_WORK/check.log" 2>&1 <<'EOF2' ||
import json, re, sys
text = open(sys.argv[1], encoding="utf-8").read()
report = json.loads(text)
tools = sys.argv[4].lower()
bad = []
# Every string of the report, the test's own tools' paths left aside.
def strings(value):
    if isinstance(value, dict):
        for v in value.values(): yield from strings(v)
    elif isinstance(value, list):
        for v in value: yield from strings(v)
    elif isinstance(value, str):
        yield value
for s in strings(report):
    if s.lower().startswith(tools + "\\"): continue
    for who in sys.argv[2:4]:
        # The name as a path component, and for longer names anywhere at all.
        if re.search(r"(^|[\\/:])" + re.escape(who) + r"([\\/]|$)", s, re.I) or (len(who) > 5 and who.lower() in s.lower()):
            bad.append(f"{who!r} in {s!r}")
modules = {m["name"].lower(): m["path"] for m in report["modules"]}
if modules.get("quorvane.exe") != "%USERPROFILE%\\Downloads\\quorvane.exe":
    bad.append(f"the program's path is {modules.get('quorvane.exe')!r}")
paths = [p["path"] for p in report["processes"]]
if "%USERPROFILE%\\Downloads\\quorvane.exe" not in paths: bad.append("the program's process path is not folded")
if "\\Users\\*\\AppData\\Local\\Tools\\qv_dummy.exe" not in paths:
    bad.append("the other user's program is not listed as \\Users\\*\\...: %s" % [p for p in paths if "dummy" in p])
print("\n".join(bad))
sys.exit(1 if bad else 0)
EOF2
  e2e_fail "the report: $(cat "$E2E_WORK/check.log")"

QV_DRIVER_ARGS=(--class '#32770')
for ((i = 0; i < 100; i++)); do
  [ "$(qvd wait-msgbox 0)" == "$SENT" ] && break
  sleep 0.1
done
expect_drv "the window says the report went" "$SENT" wait-msgbox 0
expect_ok "the button" msgbox-press 2 10000
if e2e_wait_exit "$program" 10; then
  expect_eq "exit code (low byte of 0xC0000005)" 5 "$E2E_RC"
else
  e2e_fail "the program still runs after the button"
fi

#!/usr/bin/env bash
# The shipped program crashed from outside, end to end: a thread started in it
# at an unmapped address (qv_inject). Then the error window with one button and
# the program's title; exactly one report at the service, with the exception,
# modules, processes and frames in the program; the window saying it was sent;
# the button ending the process with the exception's code; and the service's
# crash page naming a frame in the program with its function, from the
# unstripped executable the build keeps in symbols/. The time from the fault to
# the stored report is logged (a measurement, not a limit).
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"
source "$QV_SOURCE/scripts/service.sh"
export QV_SERVICE_EXE=${QV_SERVICE_EXE:-$QV_SOURCE/build/native/service/quorvane-service}

SENT=$'프로그램에 오류가 발생하여 종료해야 합니다.\n오류 보고서를 보냈습니다. 불편을 드려 죄송합니다.'

e2e_loopback_ports
https_port=$E2E_HTTPS_PORT http_port=$E2E_HTTP_PORT
[ -f "$QV_BUILD/symbols/quorvane.exe" ] || e2e_abort "the build kept no unstripped program in symbols/"

# ---- The service with its crash pages and the build's symbols.
token="$E2E_WORK/admin-token"
head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$token"
chmod 600 "$token"
e2e_ports_free "$https_port" "$http_port"
qv_service_start "$E2E_WORK/service" "$https_port" "$http_port" "" \
  --admin-token-file "$token" --symbols "$QV_BUILD/symbols" || e2e_abort "the service did not start"

# admin PATH: a crash page as the program's makers see it.
admin() { curl -sk --max-time 10 -H "Authorization: Bearer $(cat "$token")" "https://127.0.0.1:$https_port$1"; }
crash_links() { admin /crashes | grep -o 'href="/crashes/crash?id=[A-Za-z0-9_-]*"' | sort -u; }

# ---- The program, crashed from outside once its window shows.
e2e_desktop
e2e_start quorvane "$QV_BUILD/quorvane.exe"
program=$E2E_PID
qvd wait-window 60000 >/dev/null || e2e_abort "no main window: $E2E_DRV_ERR"
pid=$(qvd pid) || e2e_abort "no process identifier: $E2E_DRV_ERR"
[ -z "$(crash_links)" ] || e2e_abort "the service held crash reports before the fault"

fault_ms=$(date +%s%3N)
"$QV_WINE" "$QV_BUILD/qv_inject.exe" "$pid" >"$E2E_WORK/inject.log" 2>&1 </dev/null ||
  e2e_abort "could not start a thread in the program: $(cat "$E2E_WORK/inject.log")"

links=""
for ((i = 0; i < 300; i++)); do
  links=$(crash_links)
  [ -n "$links" ] && break
  sleep 0.05
done
[ -n "$links" ] || e2e_abort "no crash report reached the service within 15 s"
e2e_log "report stored $(($(date +%s%3N) - fault_ms)) ms after the fault"

QV_DRIVER_ARGS=(--class '#32770')
qvd wait-msgbox 30000 >/dev/null || e2e_fail "no error window ($E2E_DRV_ERR)"
expect_drv "one button" $'2\t닫기' msgbox-buttons
expect_drv "title" "쿼베노 v 3.6" msgbox-title
expect_drv "topmost" 1 topmost
for ((i = 0; i < 100; i++)); do
  [ "$(qvd wait-msgbox 0)" == "$SENT" ] && break
  sleep 0.1
done
expect_drv "the window says the report went" "$SENT" wait-msgbox 0

sleep 1  # a second report would be there by now
expect_eq "reports at the service" 1 "$(crash_links | wc -l)"

# ---- The crash page.
id=$(sed -n 's/.*id=\([A-Za-z0-9_-]*\)".*/\1/p' <<<"$links" | head -n 1)
admin "/crashes/crash?id=$id" >"$E2E_WORK/crash.html"
grep -q '<code>0xC0000005</code>' "$E2E_WORK/crash.html" || e2e_fail "the page shows no access violation"
grep -q '<code>+0x1230</code>' "$E2E_WORK/crash.html" || e2e_fail "the page does not show the fault at the unmapped address"
python3 - "$E2E_WORK/crash.html" >"$E2E_WORK/page-check.log" 2>&1 <<'EOF' || e2e_fail "crash page: $(cat "$E2E_WORK/page-check.log")"
import re, sys
page = open(sys.argv[1], encoding="utf-8").read()
bad = []
def table(name):
    m = re.search(r'<table id="%s">(.*?)</table>' % name, page, re.S)
    return m.group(1) if m else ""
if "quorvane.exe" not in table("modules"): bad.append("quorvane.exe is not among the modules")
if "quorvane.exe" not in table("processes"): bad.append("quorvane.exe is not among the processes")
own = re.findall(r'<tr class="own">.*?</tr>', page, re.S)
if not own: bad.append("no frame in quorvane.exe")
names = [re.search(r'<span class="fn">(.*?)</span>', row) for row in own]
names = [n.group(1) for n in names if n]
if "wWinMain" not in names: bad.append("no frame named wWinMain from the symbols: %s" % names[:10])
print("\n".join(bad))
sys.exit(1 if bad else 0)
EOF

# ---- The button ends the process with the exception's code.
expect_ok "the button" msgbox-press 2 10000
if e2e_wait_exit "$program" 10; then
  expect_eq "exit code (low byte of 0xC0000005)" 5 "$E2E_RC"
else
  e2e_fail "the program still runs after the button"
fi

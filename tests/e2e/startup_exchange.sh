#!/usr/bin/env bash
# The start-up exchange with the service, seen from outside: what the Reset page
# says and what the two lists hold when the service cannot be reached, when only
# its plain-http address answers, when it offers an update that is taken, and when
# its update value is not a web address. The program runs from a copy with a
# NoClean.txt beside it; the shell's https handler is a recorder for the test's
# length.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"
source "$QV_SOURCE/scripts/service.sh"
export QV_SERVICE_EXE=${QV_SERVICE_EXE:-$QV_SOURCE/build/native/service/quorvane-service}

NO_SERVICE='<C><FC:clRED>서버에서 정보를 받지 못했습니다.</FC></C>'
TIPS=(
  '<C><FC:clGray>중요 프로그램만 남기고 <FC:clRED>종료</FC>합니다.</FC></C>'
  '<C><FC:clGray>초기화 실행시 종료만 되며, <FC:clRED>삭제</FC>하지 않습니다.</FC></C>'
  '<C><FC:clGray>특정 서비스를 사용하기 위해 설치되는 프로그램은<BR><BR><FC:clRED>강제설치</FC>에서 편하게 삭제하세요.</FC></C>'
)
UPDATE_QUESTION=$'쿼베노가 업데이트가 되었습니다.\n\n안정적으로 사용하기 위해 새로 다운받고 실행하는걸 권장합니다.\n\n다운받으시겠습니까?'
BUTTONS=(PanelMenu/BtnClean PanelMenu/BtnBrowser PanelMenu/BtnStart PanelMenu/BtnInstall FrmClean/BtnClean)
HANDLER_KEY='HKCR\https\shell\open\command'

mapfile -t hosts < <(e2e_service_hosts)
https_host=${hosts[0]:-}
http_host=${hosts[1]:-}
https_port=${https_host##*:} http_port=${http_host##*:}
if [[ "${https_host%:*}" != 127.0.0.1 || "${http_host%:*}" != 127.0.0.1 ]] ||
  [[ ! "$https_port" =~ ^[0-9]+$ || ! "$http_port" =~ ^[0-9]+$ || "$https_port" == "$http_port" ]]; then
  echo "SKIP: the program was built for the service at '$https_host' and '$http_host', not two loopback ports"
  exit 0
fi

e2e_ports_free "$https_port" "$http_port"

# ---- The program's copy, with a NoClean.txt beside it; the recorder as browser.
app="$E2E_WORK/app"
mkdir -p "$app"
cp "$QV_BUILD/quorvane.exe" "$QV_BUILD/qv_recorder.exe" "$app/"
printf 'beside-entry.exe\r\n' >"$app/NoClean.txt"
app_exe="Z:$(tr / '\\' <<<"$app")\\quorvane.exe"
recorder="Z:$(tr / '\\' <<<"$app")\\qv_recorder.exe"
recorded="$app/recorded.txt"
parents="$app/parents.txt"

handler=$("$QV_WINE" reg query "$HANDLER_KEY" /ve 2>/dev/null </dev/null | tr -d '\r' |
  sed -n 's/^ *(Default) *REG_SZ *//p')
exchange_finish() {
  local rc=$?
  qv_service_stop
  [ -n "${FAKE_PID:-}" ] && kill "$FAKE_PID" 2>/dev/null
  if [ -n "$handler" ]; then
    "$QV_WINE" reg add "$HANDLER_KEY" /ve /d "$handler" /f >/dev/null 2>&1 </dev/null
  fi
  (exit $rc)
  e2e_finish
}
trap exchange_finish EXIT
"$QV_WINE" reg add "$HANDLER_KEY" /ve /d "\"$recorder\" \"%1\"" /f >/dev/null 2>&1 </dev/null ||
  e2e_abort "cannot point the https handler at the recorder"

e2e_desktop

# start_app LABEL: starts the copy and waits for its main window.
start_app() {
  rm -f "$recorded" "$parents"
  e2e_start "$1" "$app_exe"
  APP_PID=$E2E_PID
  qvd wait-window 60000 >/dev/null || e2e_abort "$1: no main window: $E2E_DRV_ERR"
}

# expect_ready LABEL: every button enabled once the exchange is over.
expect_ready() {
  local ctl
  for ctl in "${BUTTONS[@]}"; do
    expect_ok "$1: $ctl enabled" wait-enabled "$ctl" 60000
  done
}

# expect_tip LABEL: the status label shows one of the tips.
expect_tip() {
  local status t
  status=$(qvd text FrmClean/LabelContent)
  for t in "${TIPS[@]}"; do [ "$status" == "$t" ] && return 0; done
  e2e_fail "$1: the status text is not a tip: [$status]"
}

# expect_lists LABEL WHITE-ADDITIONS BLACK-ADDITIONS: what follows the built-in
# entries of the two lists, each item in brackets.
expect_lists() {
  local got
  mapfile -t white < <(qvd list-items ListWhite)
  printf -v got '[%s]' "${white[@]:213}"
  expect_eq "$1: keep-list additions" "$2" "$got"
  mapfile -t black < <(qvd list-items ListBlack)
  got=""
  [ ${#black[@]} -gt 37 ] && printf -v got '[%s]' "${black[@]:37}"
  expect_eq "$1: plug-in list additions" "$3" "$got"
}

# close_app LABEL: WM_USER 2 ends the program with 0.
close_app() {
  expect_ok "$1: WM_USER 2" wmuser 2
  if e2e_wait_exit "$APP_PID" 30; then
    expect_eq "$1: exit code" 0 "$E2E_RC"
  else
    e2e_fail "$1: still running 30 s after WM_USER 2"
  fi
}

# expect_no_box LABEL: no message box came up.
expect_no_box() {
  local text
  if text=$(qvd wait-msgbox 2000); then
    e2e_fail "$1: a message box: $text"
    qvd msgbox-press 7 >/dev/null
  fi
}

# ---- Nothing answers on either port: the failure text, the built-in lists with
# only the file beside the program added, and every button usable.
start_app unreachable
expect_ok "unreachable: failure text" wait-text FrmClean/LabelContent "$NO_SERVICE" 90000
expect_ready unreachable
expect_no_box unreachable
expect_lists unreachable "[beside-entry.exe]" ""
close_app unreachable

# ---- https refused, http answering: its configuration is applied as if it were
# the first reply.
cat >"$E2E_WORK/config-http.json" <<'EOF'
{"update": "", "noclean": ["%ProgramFiles%\\Http Only\\keep.exe", "", "quote \"in\" name*"], "bankclean": ["HttpOnly Plugin"]}
EOF
qv_service_start "$E2E_WORK/service-http" 0 "$http_port" "$E2E_WORK/config-http.json" ||
  e2e_abort "the service did not start"
[ "$QV_SERVICE_HTTPS_PORT" != "$https_port" ] || e2e_abort "the service took the program's https port"
start_app http-only
expect_ready http-only
expect_tip http-only
expect_no_box http-only
expect_lists http-only '[%ProgramFiles%\Http Only\keep.exe][][quote "in" name*][beside-entry.exe]' '[HttpOnly Plugin]'
grep -q ' http GET /api.init.php 200 ' "$QV_SERVICE_LOG" || e2e_fail "http-only: the service saw no http configuration request"
close_app http-only
qv_service_stop

# ---- An update offer, accepted: the question, then the address opened through
# the shell and the program ended with 0 before it is ready.
update_url="https://$https_host/download/quorvane-setup.exe?from=3.6"
printf '{"update": "%s", "noclean": [], "bankclean": []}\n' "$update_url" >"$E2E_WORK/config-update.json"
qv_service_start "$E2E_WORK/service-update" "$https_port" "$http_port" "$E2E_WORK/config-update.json" ||
  e2e_abort "the service did not start"
start_app update
if question=$(qvd wait-msgbox 90000); then
  expect_eq "update: question" "$UPDATE_QUESTION" "$question"
  expect_drv "update: question's title" "쿼베노 v 3.6" msgbox-title
  # Their captions follow the prefix's language; Yes and No are what matter.
  expect_eq "update: question's buttons" $'6\n7' "$(qvd msgbox-buttons | cut -f1)"
  expect_drv "update: nothing usable while it asks" 0 enabled FrmClean/BtnClean
  expect_ok "update: answer Yes" msgbox-press 6
  if e2e_wait_exit "$APP_PID" 30; then
    expect_eq "update: exit code after Yes" 0 "$E2E_RC"
  else
    e2e_fail "update: still running 30 s after Yes"
  fi
  for _ in $(seq 1 300); do
    [ -s "$recorded" ] && break
    sleep 0.1
  done
  expect_eq "update: what the browser was asked to open" "\"$recorder\" \"$update_url\"" \
    "$(head -n 1 "$recorded" 2>/dev/null | tr -d '\r\n')"
  expect_eq "update: the browser started by the desktop's shell, not by the program" explorer.exe \
    "$(head -n 1 "$parents" 2>/dev/null | tr -d '\r\n')"
else
  e2e_fail "update: no question within 90 s ($E2E_DRV_ERR)"
fi
qv_service_stop

# ---- An update value that is not a web address (written by a hand-made reply,
# since the service refuses such a configuration): no question, nothing opened,
# and the rest of the reply still applied.
fake_reply='{"status":"ok","update":"C:\\Windows\\notepad.exe","noclean":["fake-keep.exe"],"bankclean":["Fake Plugin"]}'
python3 - "$http_port" "$fake_reply" >"$E2E_WORK/fake.log" 2>&1 <<'EOF' &
import http.server, sys
reply = sys.argv[2].encode()
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, fmt, *args):
        print(self.command, self.path, flush=True)
class Server(http.server.HTTPServer):
    allow_reuse_port = True  # over the service's TIME_WAIT leftovers, which carry SO_REUSEPORT
server = Server(("127.0.0.1", int(sys.argv[1])), Handler)
print("listening", flush=True)
server.serve_forever()
EOF
FAKE_PID=$!
for _ in $(seq 1 50); do grep -q listening "$E2E_WORK/fake.log" && break; sleep 0.1; done
grep -q listening "$E2E_WORK/fake.log" || e2e_abort "the hand-made service did not start"
start_app local-update
expect_ready local-update
expect_no_box local-update
expect_tip local-update
expect_lists local-update '[fake-keep.exe][beside-entry.exe]' '[Fake Plugin]'
grep -q 'GET /api.init.php' "$E2E_WORK/fake.log" || e2e_fail "local-update: the program did not ask the hand-made service"
opened=$(QVDRIVER_EXE=notepad.exe qvd processes)
if [ -n "$opened" ]; then
  e2e_fail "local-update: the update value was started (notepad.exe runs)"
  "$QV_WINE" taskkill /f /im notepad.exe >/dev/null 2>&1 </dev/null
fi
[ -e "$recorded" ] && e2e_fail "local-update: the browser was asked to open $(cat "$recorded")"
close_app local-update

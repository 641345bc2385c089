# Shared by the end-to-end tests (tests/e2e/*.sh): starting Windows programs under
# Wine, driving them with qvdriver, comparing what they show, cleaning up.
#
# The test runner sets QV_BUILD (the win64 build folder), QV_SOURCE, DISPLAY and
# WINEPREFIX, and keeps a wine server running for the prefix.
# shellcheck shell=bash

: "${QV_BUILD:?QV_BUILD must name the win64 build folder}" "${QV_SOURCE:?QV_SOURCE must name the source folder}"
: "${DISPLAY:?DISPLAY must be set (run through scripts/test)}" "${WINEPREFIX:?WINEPREFIX must be set (run through scripts/test)}"
# shellcheck source=../../scripts/lib.sh
source "$QV_SOURCE/scripts/lib.sh"
export WINEDEBUG=${WINEDEBUG:--all}

E2E_NAME=$(basename "$0" .sh)
E2E_WORK=$(mktemp -d "/tmp/quorvane-e2e-$E2E_NAME.XXXXXX")
E2E_FAILURES=0
E2E_PIDS=()
E2E_HOLD_PID=""
E2E_DRV_ERR=""
QV_DRIVER_ARGS=()  # e.g. (--class X --exe y.exe) for a program other than Quorvane

e2e_log() { printf '.. %s\n' "$*"; }
e2e_fail() {
  printf 'FAIL: %s\n' "$*"
  E2E_FAILURES=$((E2E_FAILURES + 1))
}
# Ends the test at once: what follows depends on what just failed.
e2e_abort() {
  e2e_fail "$@"
  exit 1
}

# Runs the driver. Output goes through files: a Wine helper started on the way
# must not inherit and hold a pipe of ours. The driver's own diagnostics stay in
# E2E_DRV_ERR for the failure messages. Arguments are UTF-8 whatever the locale.
qvd() {
  LC_ALL=C.UTF-8 "$QV_WINE" "$QV_BUILD/qvdriver.exe" "${QV_DRIVER_ARGS[@]}" "$@" \
    >"$E2E_WORK/driver.out" 2>"$E2E_WORK/driver.err" </dev/null
  local rc=$?
  E2E_DRV_ERR=$(cat "$E2E_WORK/driver.err")
  cat "$E2E_WORK/driver.out"
  return $rc
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  [ "$2" == "$3" ] && return 0
  e2e_fail "$1: expected [$2], got [$3]"
  return 1
}

# expect_drv WHAT EXPECTED DRIVER-ARGS...: the driver succeeds and prints EXPECTED.
expect_drv() {
  local what=$1 want=$2 got rc
  shift 2
  got=$(qvd "$@")
  rc=$?
  E2E_DRV_ERR=$(cat "$E2E_WORK/driver.err")  # qvd ran in a subshell
  if [ $rc -ne 0 ]; then
    e2e_fail "$what: qvdriver $* exited $rc (${E2E_DRV_ERR:-no message})"
    return 1
  fi
  expect_eq "$what" "$want" "$got"
}

# expect_ok WHAT DRIVER-ARGS...: the driver succeeds.
expect_ok() {
  local what=$1
  shift
  qvd "$@" >/dev/null && return 0
  e2e_fail "$what: qvdriver $* failed (${E2E_DRV_ERR:-no message})"
  return 1
}

# The prefix's desktop must be up before a program under test opens its window.
e2e_desktop() {
  qvd desktop >/dev/null || e2e_abort "the Wine desktop did not start: $E2E_DRV_ERR"
}

# e2e_start LABEL EXE [ARGS...]: starts a Windows program in the background; its
# output goes to $E2E_WORK/LABEL.log. Sets E2E_PID (the Linux process of the
# Windows process: `wait` on it gives the Windows exit code).
e2e_start() {
  local label=$1
  shift
  "$QV_WINE" "$@" >"$E2E_WORK/$label.log" 2>&1 </dev/null &
  E2E_PID=$!
  E2E_PIDS+=("$E2E_PID")
  E2E_START_MS=$(date +%s%3N)
}

# e2e_start_ready [WHEN]: starts the program E2E_APP, waits for its main window
# and its page buttons; app holds its process (E2E_PID), caption the window's
# caption. WHEN ("after the restart") goes into the messages.
e2e_start_ready() {
  local when=${1:+ $1}
  e2e_start app "$E2E_APP"
  app=$E2E_PID
  qvd wait-window 60000 >/dev/null || e2e_abort "no main window$when: $E2E_DRV_ERR"
  expect_ok "page buttons ready$when" wait-enabled PanelMenu/BtnStart 120000
  caption=$(qvd caption)
}

# winpath UNIX-PATH: the path as Wine's Z: drive names it.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# regtool ARGS...: tests/programs' qv_regtool, its output in $E2E_WORK/regtool.out.
regtool() { "$QV_WINE" "$QV_BUILD/qv_regtool.exe" "$@" >"$E2E_WORK/regtool.out" 2>&1 </dev/null; }

# e2e_wait_exit PID SECONDS: waits for the process to end. Sets E2E_RC (its exit
# code) and E2E_ELAPSED_MS (since the matching e2e_start, if PID is E2E_PID's).
# Returns 1 if it is still running after SECONDS.
e2e_wait_exit() {
  local pid=$1 limit=$(($2 * 10)) i
  for ((i = 0; i < limit; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    E2E_RC=""
    return 1
  fi
  wait "$pid"
  E2E_RC=$?
  E2E_ELAPSED_MS=$(($(date +%s%3N) - E2E_START_MS))
  return 0
}

# The service hosts the program was built for, from the build's cache: the https
# host and the host of the plain-http second try ("host:port" each).
e2e_service_hosts() {
  local https http
  https=$(sed -n 's/^QUORVANE_SERVICE_HOST:[A-Z]*=//p' "$QV_BUILD/CMakeCache.txt" 2>/dev/null)
  http=$(sed -n 's/^QUORVANE_SERVICE_HTTP_HOST:[A-Z]*=//p' "$QV_BUILD/CMakeCache.txt" 2>/dev/null)
  printf '%s\n' "$https" "${http:-$https}"
}

# e2e_loopback_ports: sets E2E_HTTPS_PORT and E2E_HTTP_PORT to the ports of the
# program's service, or skips the whole test (exit 0) when the program was built
# for a service elsewhere than on loopback.
e2e_loopback_ports() {
  local hosts
  mapfile -t hosts < <(e2e_service_hosts)
  E2E_HTTPS_PORT=${hosts[0]##*:} E2E_HTTP_PORT=${hosts[1]##*:}
  if [[ "${hosts[0]%:*}" != 127.0.0.1 || ! "$E2E_HTTPS_PORT" =~ ^[0-9]+$ || ! "$E2E_HTTP_PORT" =~ ^[0-9]+$ ]]; then
    echo "SKIP: the program was built for the service at '${hosts[0]:-}', not on loopback"
    exit 0
  fi
}

# e2e_port_taken PORT: whether something already listens on 127.0.0.1:PORT. The
# service shares its ports with any earlier instance (SO_REUSEPORT), which would
# then answer some of the program's requests in place of the test's.
e2e_port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# e2e_ports_free PORT...: aborts when something already listens on one of the
# loopback ports, where the program would reach it instead of the test's service.
e2e_ports_free() {
  local port
  for port; do
    e2e_port_taken "$port" &&
      e2e_abort "something already listens on 127.0.0.1:$port; the program would not reach only this test's service"
  done
  return 0
}

# e2e_hold_service: when the program's service is on loopback ports, listens there
# and accepts connections without ever answering, so that the start-up exchange
# waits (for up to a minute per request) and the start-up state stays on screen
# for the test to look at. Each accepted connection is logged to
# $E2E_WORK/hold.log. Returns 1, holding nothing, when the service is elsewhere or
# a port is taken.
e2e_hold_service() {
  local host ports=()
  while read -r host; do
    case "${host%:*}" in 127.0.0.1 | localhost) ;; *) return 1 ;; esac
    [[ "${host##*:}" =~ ^[0-9]+$ ]] || return 1
    [[ " ${ports[*]} " == *" ${host##*:} "* ]] || ports+=("${host##*:}")
  done < <(e2e_service_hosts)
  [ ${#ports[@]} -gt 0 ] || return 1
  : >"$E2E_WORK/hold.log"
  python3 - "$E2E_WORK/hold.log" "${ports[@]}" >"$E2E_WORK/hold.err" 2>&1 <<'EOF' &
import select, socket, sys
log = open(sys.argv[1], "a", buffering=1)
listeners = []
for port in sys.argv[2:]:
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # The service's sockets carry SO_REUSEPORT only; binding over their
    # TIME_WAIT leftovers needs it here too.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.bind(("127.0.0.1", int(port)))
    s.listen(16)
    listeners.append(s)
print("listening", file=log)
held = []
while True:
    ready, _, _ = select.select(listeners, [], [])
    for s in ready:
        c, _ = s.accept()
        held.append(c)
        print("accepted", s.getsockname()[1], file=log)
EOF
  E2E_HOLD_PID=$!
  local i
  for ((i = 0; i < 50; i++)); do
    grep -q listening "$E2E_WORK/hold.log" 2>/dev/null && return 0
    kill -0 "$E2E_HOLD_PID" 2>/dev/null || break
    sleep 0.1
  done
  e2e_log "could not listen on 127.0.0.1 port(s) ${ports[*]}: $(cat "$E2E_WORK/hold.err")"
  E2E_HOLD_PID=""
  return 1
}

# Whether the program has connected to the held service.
e2e_hold_seen() { grep -q accepted "$E2E_WORK/hold.log" 2>/dev/null; }

# Lets go of the held connections: the program's pending request fails at once.
e2e_release_service() {
  [ -n "$E2E_HOLD_PID" ] || return 0
  kill "$E2E_HOLD_PID" 2>/dev/null
  wait "$E2E_HOLD_PID" 2>/dev/null
  E2E_HOLD_PID=""
}

# ---- The check-box pages.

# Their confirmation as the driver prints it: breaks as line feeds, the trailing
# ones lost to the shell's command substitution.
E2E_APPLIED=$'\n정상적으로 적용하였습니다.\n\n\n악성코드가 다시 복구 시킬 수 있으므로\n\n"처음화면"에서 초기화를 실행해주시면 더 좋습니다.'

# The confirmation when some rows could not be changed, naming them one per line.
e2e_not_applied() {
  local text=$'\n다음 항목은 변경하지 못했습니다.\n' name
  for name in "$@"; do text+=$'\n· '"$name"; done
  printf '%s' "$text"$'\n\n변경하지 못한 항목은 이전 상태 그대로 남아 있습니다.\n나머지 항목은 정상적으로 적용하였습니다.'
}

# e2e_apply PAGE CAPTION [NAME...]: presses the page's apply button and
# dismisses the confirmation, which carries its text (naming the rows NAME...
# that could not be changed, when given), the main window's CAPTION as title and
# one OK button.
e2e_apply() {
  local page=$1 caption=$2 want=$E2E_APPLIED
  shift 2
  [ $# -gt 0 ] && want=$(e2e_not_applied "$@")
  expect_ok "$page apply" click "$page/BtnSubmit" || return
  expect_drv "$page confirmation text" "$want" wait-msgbox 30000
  expect_drv "$page confirmation title" "$caption" msgbox-title
  expect_eq "$page confirmation has one OK button" 1 "$(qvd msgbox-buttons | cut -f1 | tr -d '\n')"
  expect_ok "$page confirmation dismissed" msgbox-press 1
}

# e2e_row_of LIST TEXT COLUMN: the 0-based row whose tab-separated field (1 is
# the check) is TEXT.
e2e_row_of() { qvd rows "$1" | awk -F'\t' -v t="$2" -v c="$3" '$c == t { print NR - 1; exit }'; }

# e2e_screenshot NAME: the main window's client area (Wine draws no frame without
# a window manager) as $QV_BUILD/screenshots/NAME.png.
e2e_screenshot() {
  local rect x y w h
  rect=$(qvd client-rect) || {
    e2e_fail "screenshot $1: no main window ($E2E_DRV_ERR)"
    return 1
  }
  read -r x y w h <<<"$rect"
  mkdir -p "$QV_BUILD/screenshots"
  if import -window root -crop "${w}x${h}+${x}+${y}" +repage "$QV_BUILD/screenshots/$1.png" \
    >"$E2E_WORK/import.log" 2>&1 </dev/null; then
    e2e_log "screenshot: $QV_BUILD/screenshots/$1.png"
  else
    e2e_fail "screenshot $1: $(cat "$E2E_WORK/import.log")"
  fi
}

# e2e_colour_box PNG COLOUR FUZZ GEOMETRY: within the GEOMETRY (WxH+X+Y) part of
# the picture, the pixels within FUZZ (e.g. 30%) of COLOUR: prints their count
# and their bounding box as "count width height x y" (x, y relative to GEOMETRY).
e2e_colour_box() {
  local mask="$E2E_WORK/colour-mask.png" count box
  convert "$1" -crop "$4" +repage -fuzz "$3" -fill black +opaque "$2" -fill white -opaque "$2" \
    -colorspace gray "$mask" 2>/dev/null || return 1
  count=$(convert "$mask" -format '%[fx:int(mean*w*h+0.5)]' info: 2>/dev/null)
  box=$(convert "$mask" -format '%@' info: 2>/dev/null)
  [[ "$box" =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || box="0x0+0+0"
  [[ "$box" =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]]
  echo "$count ${BASH_REMATCH[1]} ${BASH_REMATCH[2]} ${BASH_REMATCH[3]} ${BASH_REMATCH[4]}"
}

# e2e_own_prefix: the test runs in a prefix of its own, stopped when the test
# ends, with its desktop up and the program copied to C:\qvtest\app\quorvane.exe
# ($E2E_APP); sets drive_c. For tests that seed the registry or end processes.
E2E_OWN_PREFIX=""
E2E_APP='C:\qvtest\app\quorvane.exe'
e2e_own_prefix() {
  qv_make_prefix "$E2E_WORK/prefix"
  E2E_OWN_PREFIX=1
  drive_c="$WINEPREFIX/drive_c"
  e2e_desktop
  mkdir -p "$drive_c/qvtest/app"
  cp "$QV_BUILD/quorvane.exe" "$drive_c/qvtest/app/"
}

e2e_finish() {
  local rc=$?
  # A service the test started (scripts/service.sh) is stopped and its log kept
  # beside the test's own, shown after a failure.
  [ -n "${QV_SERVICE_PID:-}" ] && qv_service_stop
  [ -f "${QV_SERVICE_LOG:-}" ] && cp "$QV_SERVICE_LOG" "$E2E_WORK/service.log"
  [ -n "$E2E_OWN_PREFIX" ] && qv_stop_prefix
  e2e_release_service
  local pid
  for pid in "${E2E_PIDS[@]}"; do
    kill -0 "$pid" 2>/dev/null || continue
    qvd wmuser 2 >/dev/null 2>&1
    e2e_wait_exit "$pid" 5 || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
  done
  if [ "$E2E_FAILURES" -gt 0 ] || [ "$rc" -ne 0 ]; then
    local f
    for f in "$E2E_WORK"/*.log; do
      [ -s "$f" ] || continue
      printf -- '--- %s\n' "$(basename "$f")"
      tail -n 40 "$f"
    done
    printf '%s: %d failure(s)\n' "$E2E_NAME" "$((E2E_FAILURES > 0 ? E2E_FAILURES : 1))"
    rm -rf "$E2E_WORK"
    exit 1
  fi
  rm -rf "$E2E_WORK"
  printf '%s: passed\n' "$E2E_NAME"
  exit 0
}
trap e2e_finish EXIT

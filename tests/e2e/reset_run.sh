#!/usr/bin/env bash
# The reset run end to end: the program started beside a NoClean.txt, with another
# under the user's application data and a service configuration that adds to both
# lists; stand-in processes kept by each of those and by the built-in list, others
# not; a watchdog kept by NoClean.txt whose child, not kept, it starts again at
# once when it ends; one press of the Reset button. Then: the uploaded report
# (the child reported back under its new identifier, nothing else), which
# processes are left, the report page the browser was asked to open, the
# program's end.
#
# A reset ends every process of the Wine prefix that nothing keeps, Wine's own
# helpers included, so it runs in a prefix of its own.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"
source "$QV_SOURCE/scripts/service.sh"
export QV_SERVICE_EXE=${QV_SERVICE_EXE:-$QV_SOURCE/build/native/service/quorvane-service}

TIPS=(
  '<C><FC:clGray>중요 프로그램만 남기고 <FC:clRED>종료</FC>합니다.</FC></C>'
  '<C><FC:clGray>초기화 실행시 종료만 되며, <FC:clRED>삭제</FC>하지 않습니다.</FC></C>'
  '<C><FC:clGray>특정 서비스를 사용하기 위해 설치되는 프로그램은<BR><BR><FC:clRED>강제설치</FC>에서 편하게 삭제하세요.</FC></C>'
)

mapfile -t hosts < <(e2e_service_hosts)
https_host=${hosts[0]:-}
http_host=${hosts[1]:-}
https_port=${https_host##*:} http_port=${http_host##*:}
if [[ "${https_host%:*}" != 127.0.0.1 || ! "$https_port" =~ ^[0-9]+$ || ! "$http_port" =~ ^[0-9]+$ ]]; then
  echo "SKIP: the program was built for the service at '$https_host', not on loopback"
  exit 0
fi

# ---- A prefix of our own; its wine server goes when the test does.
reset_finish() {
  local rc=$?
  [ -n "${RECORDER_PID:-}" ] && kill "$RECORDER_PID" 2>/dev/null
  qv_service_stop
  qv_stop_prefix
  if [ -n "${QV_E2E_KEEP:-}" ]; then  # a folder to keep the test's files in, for a look after a failure
    mkdir -p "$QV_E2E_KEEP" && find "$E2E_WORK" -mindepth 1 -maxdepth 1 ! -name prefix -exec cp -r {} "$QV_E2E_KEEP" \;
  fi
  (exit $rc)
  e2e_finish
}
trap reset_finish EXIT
prefix_start=$(date +%s)
qv_make_prefix "$E2E_WORK/prefix"
e2e_log "private prefix made in $(($(date +%s) - prefix_start)) s"
drive_c="$WINEPREFIX/drive_c"
e2e_desktop

# unixpath 'C:\A\B': the Unix path of a path on the prefix's drive C.
unixpath() { local p=${1#C:\\}; printf '%s/%s' "$drive_c" "${p//\\//}"; }

# ---- Files: the program with a NoClean.txt beside it, the one under the
# application data, the stand-ins, and the browser's stand-in.
app_dir='C:\qvtest\app'
dummy_dir='C:\qvtest\dummies'
ready_dir='C:\qvtest\ready'
recorder='C:\qvtest\recorder\qv_recorder.exe'
mkdir -p "$(unixpath "$app_dir")" "$(unixpath "$dummy_dir")" "$(unixpath "$ready_dir")" "$(unixpath 'C:\qvtest\recorder')"
cp "$QV_BUILD/quorvane.exe" "$(unixpath "$app_dir")/"
cp "$QV_BUILD/qv_recorder.exe" "$(unixpath "$recorder")"
watchdog="$dummy_dir\\watchdog.exe"
comeback="$dummy_dir\\comeback.exe"
cp "$QV_BUILD/qv_watcher.exe" "$(unixpath "$watchdog")"
cp "$QV_BUILD/qv_dummy.exe" "$(unixpath "$comeback")"

appdata=$("$QV_WINE" cmd /c 'echo %APPDATA%' 2>/dev/null </dev/null | tr -d '\r')
[[ "$appdata" == C:\\* ]] || e2e_abort "no application-data folder in the prefix (got '$appdata')"
mkdir -p "$(unixpath "$appdata")/Quorvane"

# name, Windows path, who keeps it ("" for nobody), extra arguments
DUMMIES=(
  "builtin|C:\\Program Files\\AhnLab\\Safe Transaction\\ASDSvc.exe|built-in list|"
  "service|C:\\Program Files\\QvTest\\Service Kept\\qvsvc.exe|service noclean|"
  "beside|$dummy_dir\\besidekeep.exe|NoClean.txt beside the program|"
  "profile|$dummy_dir\\보존\\profilekeep.exe|NoClean.txt in the application data|"
  "plain|$dummy_dir\\plain.exe||"
  "x86|C:\\Program Files (x86)\\QvTest\\gone86.exe||"
  "korean|$dummy_dir\\정리 도구.exe||"
  "common|C:\\Program Files\\Common Files\\QvTest\\shared.exe||"
  "denied|$dummy_dir\\denied.exe||--deny-terminate"
)
for d in "${DUMMIES[@]}"; do
  IFS='|' read -r _ path _ _ <<<"$d"
  mkdir -p "$(dirname "$(unixpath "$path")")"
  cp "$QV_BUILD/qv_dummy.exe" "$(unixpath "$path")"
done

# The service's additions: a folded path and an entry with an escaped quote
# (which no path contains). Its plug-in names: one plain, one with a Korean name.
cat >"$E2E_WORK/config.json" <<'EOF'
{
  "update": "",
  "noclean": ["%ProgramFiles%\\QvTest\\Service Kept\\", "say \"hi\".exe*"],
  "bankclean": ["QvTest Plugin", "큐브 보안"]
}
EOF
# Beside the program: ANSI text with CR LF, a comment, a blank line and blanks
# around an entry, all of which go into the keep-list as they are.
printf '// stand-ins kept by the test\r\n\r\n  besidekeep.exe  \r\nwatchdog.exe\r\n' >"$(unixpath "$app_dir")/NoClean.txt"
# In the application data, where any program of the user can write: UTF-8 with a
# byte-order mark, LF, a Korean folder name, then a flood of 16 MiB of empty
# lines, which must not keep the program from being ready: 10,000 of them reach
# the list, as blank entries that match nothing.
{
  printf '\xef\xbb\xbf%s\n' '보존\profilekeep.exe'
  head -c $((16 << 20)) /dev/zero | tr '\0' '\n'
} >"$(unixpath "$appdata")/Quorvane/NoClean.txt"

# The browser: the shell opens https addresses with the recorder.
reg_path() { printf '%s' "$1" | sed 's/\\/\\\\/g'; }
cat >"$E2E_WORK/https.reg" <<EOF
REGEDIT4

[-HKEY_CLASSES_ROOT\\https\\shell\\open\\ddeexec]
[HKEY_CLASSES_ROOT\\https\\shell\\open\\command]
@="\\"$(reg_path "$recorder")\\" \\"%1\\""

EOF
"$QV_WINE" regedit /S "$(printf 'Z:%s' "$E2E_WORK/https.reg" | tr / '\\')" >/dev/null 2>&1 </dev/null

# ---- The service, answering https on the program's port.
e2e_ports_free "$https_port" "$http_port"
qv_service_start "$E2E_WORK/service" "$https_port" "$http_port" "$E2E_WORK/config.json" ||
  e2e_abort "the service did not start"

# ---- The stand-ins, each telling when it is up.
declare -A DUMMY_PID
for d in "${DUMMIES[@]}"; do
  IFS='|' read -r name path _ extra <<<"$d"
  # shellcheck disable=SC2086
  LC_ALL=C.UTF-8 "$QV_WINE" "$path" --ready "$ready_dir\\$name" $extra >"$E2E_WORK/dummy-$name.log" 2>&1 </dev/null &
  DUMMY_PID[$name]=$!
done
for d in "${DUMMIES[@]}"; do
  IFS='|' read -r name _ _ _ <<<"$d"
  for _ in $(seq 1 300); do
    [ -e "$(unixpath "$ready_dir")/$name" ] && break
    kill -0 "${DUMMY_PID[$name]}" 2>/dev/null || break
    sleep 0.1
  done
  [ -e "$(unixpath "$ready_dir")/$name" ] && continue
  if [ "$name" == denied ] && ! kill -0 "${DUMMY_PID[$name]}" 2>/dev/null; then
    wait "${DUMMY_PID[$name]}"
    echo "SKIP part: this Wine cannot set a process's own DACL (stand-in ended with $?); no process that cannot be ended"
    unset 'DUMMY_PID[denied]'
    continue
  fi
  e2e_abort "stand-in $name did not start"
done
# The watchdog and its first child.
LC_ALL=C.UTF-8 "$QV_WINE" "$watchdog" --child "$comeback" --log "$ready_dir\\watch.log" --ready "$ready_dir\\watch" \
  --seconds 300 >"$E2E_WORK/watchdog.log" 2>&1 </dev/null &
for _ in $(seq 1 300); do
  [ -e "$(unixpath "$ready_dir")/watch" ] && break
  sleep 0.1
done
[ -e "$(unixpath "$ready_dir")/watch" ] || e2e_abort "the watchdog did not start its child"

# ---- The program, up and ready.
start_ms=$(date +%s%3N)
e2e_start app "$app_dir\\quorvane.exe"
app_pid=$E2E_PID
qvd wait-window 60000 >/dev/null || e2e_abort "no main window: $E2E_DRV_ERR"
expect_ok "Reset button enabled after start-up" wait-enabled FrmClean/BtnClean 60000 || e2e_abort "not ready"
e2e_log "start to ready, with the flooded NoClean.txt: $(($(date +%s%3N) - start_ms)) ms"

status=$(qvd text FrmClean/LabelContent)
tip=0
for t in "${TIPS[@]}"; do [ "$status" == "$t" ] && tip=1; done
[ $tip -eq 1 ] || e2e_fail "status text after the service answered: not a tip: [$status]"

mapfile -t white < <(qvd list-items ListWhite)
expect_eq "ListWhite entries: built-in, service, beside the program, application data" 10220 "${#white[@]}"
printf -v got '[%s]' "${white[@]:213:8}"
expect_eq "ListWhite additions in order" \
  '[%ProgramFiles%\QvTest\Service Kept\][say "hi".exe*][// stand-ins kept by the test][][  besidekeep.exe  ][watchdog.exe][보존\profilekeep.exe][]' "$got"
mapfile -t black < <(qvd list-items ListBlack)
printf -v got '[%s]' "${black[@]:37}"
expect_eq "ListBlack additions" '[QvTest Plugin][큐브 보안]' "$got"

# What runs in the prefix just before the press, by executable name.
before=$("$QV_WINE" winedbg --command "info process" 2>/dev/null </dev/null | tr -d '\r')
echo "$before" >"$E2E_WORK/before.log"

# ---- The press.
click_ms=$(date +%s%3N)
expect_ok "press the Reset button" click FrmClean/BtnClean
expect_drv "Reset button caption while running" "" wait-text FrmClean/BtnClean "" 3000
expect_drv "Reset button disabled while running" "0" enabled FrmClean/BtnClean
expect_drv "indicator shown while running" "1" visible FrmClean/Indicator

if e2e_wait_exit "$app_pid" 90; then
  expect_eq "exit code after the reset" 0 "$E2E_RC"
  e2e_log "press to exit: $(($(date +%s%3N) - click_ms)) ms"
else
  e2e_abort "the program still runs 90 s after the press"
fi

# ---- The report as the service stored it.
python3 - "$E2E_WORK/service/reports.sqlite3" "$E2E_WORK/report" <<'EOF' || e2e_abort "no stored report"
import sqlite3, sys
rows = sqlite3.connect(sys.argv[1]).execute("SELECT report_key, body FROM reports").fetchall()
if len(rows) != 1:
    sys.exit(f"{len(rows)} reports stored")
open(sys.argv[2] + ".key", "w").write(rows[0][0])
open(sys.argv[2] + ".json", "w", encoding="utf-8", newline="").write(rows[0][1])
EOF
key=$(cat "$E2E_WORK/report.key")

# Expected clean records of the stand-ins: folded, escaped, and the state each gets.
expected="$E2E_WORK/expected.tsv"
: >"$expected"
for d in "${DUMMIES[@]}"; do
  IFS='|' read -r name path keeper _ <<<"$d"
  [ -n "${DUMMY_PID[$name]:-}" ] || continue
  state=-1
  [ -n "$keeper" ] && state=1
  [ "$name" == denied ] && state=denied
  printf '%s\t%s\t%s\n' "$name" "$path" "$state" >>"$expected"
done

python3 - "$E2E_WORK/report.json" "$expected" "$E2E_WORK/before.log" "$app_dir\\quorvane.exe" "$drive_c" \
  "$(unixpath "$ready_dir")/watch.log" "$watchdog" "$comeback" >"$E2E_WORK/report-check.out" 2>&1 <<'EOF'
import json, os, re, sys

raw = open(sys.argv[1], encoding="utf-8", newline="").read()
expected = [l.rstrip("\n").split("\t") for l in open(sys.argv[2], encoding="utf-8") if l.strip()]
before = open(sys.argv[3], encoding="utf-8", errors="replace").read()
self_path, drive_c = sys.argv[4], sys.argv[5]
watch_pids = open(sys.argv[6]).read().split()
watchdog, comeback = sys.argv[7], sys.argv[8]
fails = []
def fail(msg): fails.append(msg)

def fold(path):
    for folder, name in [("C:\\Program Files (x86)\\Common Files", "%CommonProgramFiles(x86)%"),
                         ("C:\\Program Files\\Common Files", "%CommonProgramFiles%"),
                         ("C:\\Program Files (x86)", "%ProgramFiles(x86)%"),
                         ("C:\\Program Files", "%ProgramFiles%"),
                         ("C:\\windows", "%SystemRoot%")]:
        if path.lower().startswith(folder.lower() + "\\"):
            return name + path[len(folder):]
    return path

def escape(text):
    out = []
    for unit in range(0, len(b := text.encode("utf-16-le")), 2):
        c = int.from_bytes(b[unit:unit + 2], "little")
        ch = chr(c)
        if ch in '"\\/': out.append("\\" + ch)
        elif 0x20 <= c <= 0x7f: out.append(ch)
        else: out.append("\\u%04X" % c)
    return "".join(out)

if not raw.isascii(): fail("the body is not ASCII")
if re.search(r"[\r\n]", raw): fail("the body has line breaks")
try:
    records = json.loads(raw)
except ValueError as e:
    sys.exit(f"FAIL: the body is not JSON: {e}: {raw[:300]}")
if not isinstance(records, list) or not records: sys.exit("FAIL: the body is not a non-empty array")
if raw.count("},{") != len(records) - 1: fail("records are not joined with a bare comma")
if any(not isinstance(r, dict) or not all(isinstance(v, str) for v in r.values()) for r in records):
    fail("a record is not an object of strings")

cates = [r.get("cate") for r in records]
n_clean = cates.count("clean")
if cates[:n_clean] != ["clean"] * n_clean: fail("clean records are not all first")
if cates.count("memory") != 1: fail(f"{cates.count('memory')} memory records, not one")
elif cates[n_clean] != "memory": fail("the memory record does not follow the clean records")
if any(c not in ("clean", "memory", "browser", "start", "install", "refused", "back") for c in cates):
    fail(f"unknown categories: {set(cates)}")
# After the memory record: the refused terminations, then the processes back.
n_refused, n_back = cates.count("refused"), cates.count("back")
if cates[n_clean + 1:n_clean + 1 + n_refused + n_back] != ["refused"] * n_refused + ["back"] * n_back:
    fail("refused and back records do not follow the memory record in that order")

clean = [r for r in records if r.get("cate") == "clean"]
for r in clean:
    if set(r) != {"cate", "file", "state"}: fail(f"clean record with keys {sorted(r)}")
    if r.get("state") not in ("1", "-1", "-2"): fail(f"clean record with state {r.get('state')!r}")
    f = r.get("file", "")
    if re.match(r"(?i)c:\\(program files|windows)\\", f): fail(f"unfolded path {f}")
states = {r["file"].lower(): r["state"] for r in clean}
for r in records:
    if r.get("cate") == "refused":
        print(f"refused {r.get('file')} {r.get('why')}")
        if set(r) != {"cate", "file", "why"} or not re.fullmatch(r"denied|error [1-9][0-9]*", r.get("why", "")):
            fail(f"refused record {r}")
        elif r["file"].lower() not in states: fail(f"refused record for a process the run did not list: {r}")

# The watchdog's child came back under its new identifier, and none of the
# test's other programs did. Wine's own services (plugplay.exe, ...) are
# started again by its service manager and may rightly show as back.
back_all = [r for r in records if r.get("cate") == "back"]
back = [r for r in back_all if not r.get("file", "").lower().startswith("%systemroot%")]
print("back records:", back_all, "children started:", watch_pids)
if len(watch_pids) < 2: fail(f"the watchdog started {len(watch_pids)} children, not a second one")
want = {"cate": "back", "file": fold(comeback), "pid": watch_pids[-1] if watch_pids else "", "program": "", "publisher": ""}
if back != [want]: fail(f"back records {back}, expected [{want}]")
if '"file":"' + escape(fold(comeback)) + '","pid"' not in raw: fail("the back record's file is not folded and escaped")
if states.get(fold(comeback).lower()) != "-1": fail(f"the watchdog's first child: state {states.get(fold(comeback).lower())}")
if states.get(fold(watchdog).lower()) != "1": fail(f"the watchdog, kept by NoClean.txt: state {states.get(fold(watchdog).lower())}")
for r in records:
    if r.get("cate") == "memory":
        if set(r) != {"cate", "old", "new", "tot"}: fail(f"memory record with keys {sorted(r)}")
        elif not all(re.fullmatch(r"[1-9][0-9]*", r[k]) for k in ("old", "new", "tot")): fail(f"memory record {r}")
        elif not (int(r["old"]) <= int(r["tot"]) and int(r["new"]) <= int(r["tot"])): fail(f"memory figures above the total: {r}")

# Every stand-in, reported folded and escaped, with its outcome.
for name, path, state in expected:
    folded = fold(path)
    if state == "denied":
        # Where the process may not be queried, the snapshot's name stands for its path.
        bare = folded.rsplit("\\", 1)[-1]
        got = states.get(folded.lower(), states.get(bare.lower()))
        print(f"denied-state {got}")
        if got is None: fail(f"{name}: no record for {folded} or {bare}")
    else:
        want_raw = '"file":"' + escape(folded) + '"'
        if want_raw not in raw: fail(f"{name}: no record with {want_raw}")
        got = states.get(folded.lower())
        if got != state: fail(f"{name} ({folded}): state {got}, expected {state}")
    print(f"{name}\t{folded}\t{got}")
if states.get(self_path.lower()) != "1": fail(f"the program itself ({self_path}): state {states.get(self_path.lower())}")

# Every process that ran before the press, by executable name (those that came
# and went with the listing itself aside).
names = {os.path.basename(f.replace("\\", "/")).lower() for f in states}
for m in re.finditer(r"^[\s=>]*[0-9a-f]{8}\s+\d+\s+(?:\\_\s+)*'([^'\n]+)'", before, re.M):
    exe = os.path.basename(m.group(1).replace("\\", "/")).lower()
    if "?" in exe: continue  # winedbg writes what it cannot convert as "?"
    if exe in ("winedbg.exe", "qvdriver.exe", "conhost.exe", "cmd.exe", "start.exe", "regedit.exe"): continue
    if exe not in names: fail(f"{exe}, running before the press, has no clean record")
print("clean records:", n_clean)
for r in clean: print("  ", r["state"], r["file"])
for f in fails: print("FAIL:", f)
sys.exit(1 if fails else 0)
EOF
rc=$?
while IFS= read -r line; do
  case "$line" in
    FAIL:*) e2e_fail "report: ${line#FAIL: }" ;;
    denied-state*) denied_state=${line#denied-state } ;;
    refused*) refused_lines+="${line#refused }"$'\n' ;;
  esac
done <"$E2E_WORK/report-check.out"
[ $rc -eq 0 ] || [ "$E2E_FAILURES" -gt 0 ] || e2e_fail "report check: $(tail -n 3 "$E2E_WORK/report-check.out")"
cat "$E2E_WORK/report-check.out" >"$E2E_WORK/report.log"

# ---- What the program said about itself, as the service recorded it: the
# version and the machine key on the configuration request and on the upload.
python3 - "$E2E_WORK/service/reports.sqlite3" >"$E2E_WORK/headers-check.out" 2>&1 <<'EOF'
import re, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
seen = [("upload", r) for r in db.execute("SELECT version, union_key FROM reports")]
# Configuration requests are kept only as counts per day and version.
versions = [v for (v,) in db.execute("SELECT version FROM check_in_days WHERE count > 0")]
if not versions: print("FAIL: no configuration request recorded")
for v in versions:
    if v != "3.6.0.0": print(f"FAIL: configuration request: User-Version {v!r}")
for what, (version, key) in seen:
    if version != "3.6.0.0": print(f"FAIL: {what}: User-Version {version!r}")
    if not re.fullmatch(r"[0-9a-f]{40}", key or ""): print(f"FAIL: {what}: User-UnionKey {key!r}")
if len({key for _, (_, key) in seen}) > 1: print("FAIL: the requests carry different machine keys")
EOF
while IFS= read -r line; do
  case "$line" in FAIL:*) e2e_fail "service records: ${line#FAIL: }" ;; esac
done <"$E2E_WORK/headers-check.out"

# ---- Which stand-ins are left.
for d in "${DUMMIES[@]}"; do
  IFS='|' read -r name path keeper _ <<<"$d"
  pid=${DUMMY_PID[$name]:-}
  [ -n "$pid" ] || continue
  alive=0
  kill -0 "$pid" 2>/dev/null && alive=1
  if [ "$name" == denied ]; then
    if [ $alive -eq 1 ]; then
      expect_eq "a stand-in that could not be ended is reported" -2 "${denied_state:-}"
      grep -qi 'denied.exe denied$' <<<"${refused_lines:-}" || e2e_fail "no refused record for the stand-in Windows refused to end"
    else
      expect_eq "the stand-in with an empty DACL was ended and reported gone" -1 "${denied_state:-}"
      echo "SKIP part: Wine lets a process with an empty DACL be ended; no state -2 to see"
    fi
  elif [ -n "$keeper" ]; then
    [ $alive -eq 1 ] || e2e_fail "$name ($path), kept by the $keeper, was ended"
  else
    [ $alive -eq 0 ] || e2e_fail "$name ($path), kept by nothing, still runs"
  fi
done

# ---- The report page, opened through the shell's https handler.
rec="$(unixpath 'C:\qvtest\recorder')/recorded.txt"
for _ in $(seq 1 300); do
  [ -s "$rec" ] && break
  sleep 0.1
done
if [ -s "$rec" ]; then
  expect_eq "what the browser was asked to open" "\"$recorder\" \"https://$https_host/?report=$key\"" \
    "$(head -n 1 "$rec" | tr -d '\r\n')"
  expect_eq "browser starts" 1 "$(wc -l <"$rec")"
  # The reset ended Explorer, which Wine does not start again: the page opens
  # through the program's own call once the program has waited for the shell.
  echo "note: the report page was started by $(head -n 1 "${rec%/*}/parents.txt" 2>/dev/null | tr -d '\r')"
else
  e2e_fail "the browser's stand-in was not started within 30 s"
fi

# ---- A second run whose upload is refused: the start-up exchange gets its
# answer over http, while https reaches only a recorder of requests, which
# answers no configuration and refuses the upload. The report page still opens,
# with no key, and the recorder shows what the upload carried.
qv_service_stop
qv_service_start "$E2E_WORK/service-http" 0 "$http_port" "$E2E_WORK/config.json" || e2e_abort "the service did not start again"
[ "$QV_SERVICE_HTTPS_PORT" != "$https_port" ] || e2e_abort "the service took the program's https port"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout "$E2E_WORK/recorder.key" \
  -out "$E2E_WORK/recorder.crt" >/dev/null 2>&1 </dev/null || e2e_abort "no certificate for the recorder"
python3 - "$https_port" "$E2E_WORK/recorder.crt" "$E2E_WORK/recorder.key" >"$E2E_WORK/recorder.log" 2>&1 <<'EOF' &
import http.server, json, ssl, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def record(self, status):
        length = int(self.headers.get("Content-Length") or 0)
        if length: self.rfile.read(length)
        print(json.dumps({"request": f"{self.command} {self.path}", "headers": dict(self.headers.items())}), flush=True)
        body = b'{"status":"error"}'
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self): self.record(404)
    def do_POST(self): self.record(503)
    def log_message(self, *args): pass
class Server(http.server.HTTPServer):
    allow_reuse_port = True  # over the service's TIME_WAIT leftovers, which carry SO_REUSEPORT
server = Server(("127.0.0.1", int(sys.argv[1])), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2], sys.argv[3])
server.socket = context.wrap_socket(server.socket, server_side=True)
print("listening", flush=True)
server.serve_forever()
EOF
RECORDER_PID=$!
for _ in $(seq 1 50); do grep -q listening "$E2E_WORK/recorder.log" && break; sleep 0.1; done
grep -q listening "$E2E_WORK/recorder.log" || e2e_abort "the request recorder did not start: $(cat "$E2E_WORK/recorder.log")"
e2e_desktop  # the first run ended Wine's desktop
e2e_start app-refused "$app_dir\\quorvane.exe"
app_pid=$E2E_PID
qvd wait-window 60000 >/dev/null || e2e_abort "no main window on the second start: $E2E_DRV_ERR"
expect_ok "second start: Reset button enabled" wait-enabled FrmClean/BtnClean 60000 || e2e_abort "not ready"
expect_ok "second start: press the Reset button" click FrmClean/BtnClean
if e2e_wait_exit "$app_pid" 90; then
  expect_eq "second start: exit code after a refused upload" 0 "$E2E_RC"
else
  e2e_abort "the second start still runs 90 s after the press"
fi
for _ in $(seq 1 300); do
  [ "$(wc -l <"$rec")" -ge 2 ] && break
  sleep 0.1
done
expect_eq "the report page after a refused upload" "\"$recorder\" \"https://$https_host/?report=\"" \
  "$(sed -n 2p "$rec" | tr -d '\r\n')"
if grep -q ' POST /report.php ' "$QV_SERVICE_LOG"; then
  e2e_fail "a report reached the service over http"
fi
# The https configuration request reached the recorder before the http second try.
init=$(grep -m 1 '"GET /api.init.php"' "$E2E_WORK/recorder.log")
if [ -n "$init" ]; then
  headers=$(python3 -c 'import json, sys; h = json.loads(sys.argv[1])["headers"]; print(h.get("User-Version"), h.get("User-UnionKey"))' "$init")
  read -r version init_key <<<"$headers"
  expect_eq "configuration request's User-Version" "3.6.0.0" "$version"
  [[ "$init_key" =~ ^[0-9a-f]{40}$ ]] || e2e_fail "configuration request's User-UnionKey: [$init_key]"
else
  e2e_fail "the configuration request never reached the recorder: $(cat "$E2E_WORK/recorder.log")"
fi
upload=$(grep -m 1 '"POST /report.php"' "$E2E_WORK/recorder.log")
if [ -n "$upload" ]; then
  headers=$(python3 -c 'import json, sys; h = json.loads(sys.argv[1])["headers"]; print(h.get("Content-Type"), h.get("User-Version"), h.get("User-UnionKey"))' "$upload")
  read -r content_type version union_key <<<"$headers"
  expect_eq "upload's Content-Type" "application/json" "$content_type"
  expect_eq "upload's User-Version" "3.6.0.0" "$version"
  [[ "$union_key" =~ ^[0-9a-f]{40}$ ]] || e2e_fail "upload's User-UnionKey: [$union_key]"
  expect_eq "the same machine key on both requests" "${init_key:-}" "$union_key"
else
  e2e_fail "the upload never reached the recorder: $(cat "$E2E_WORK/recorder.log")"
fi
kill "$RECORDER_PID" 2>/dev/null
wait "$RECORDER_PID" 2>/dev/null || true  # ended by the kill

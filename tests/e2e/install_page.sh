#!/usr/bin/env bash
# The forced-install page end to end: Uninstall entries seeded into all four
# Uninstall keys of a prefix of our own, some named after built-in plug-ins, one
# after a plug-in the service adds, others after nothing on the list or hidden
# from the inventory. Then: the rows (plug-ins only, one per name, newest first,
# publisher or 알수없음); double-clicks and the remove button starting the seeded
# uninstallers (recorders) with their parameters, machine-wide ones by the
# program and per-user ones by the desktop's Explorer; the rows following the registry
# while the page shows; and the install records of the report after a reset.
#
# A reset ends every process of the prefix that nothing keeps, so the test runs
# in a prefix of its own.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"
source "$QV_SOURCE/scripts/service.sh"
export QV_SERVICE_EXE=${QV_SERVICE_EXE:-$QV_SOURCE/build/native/service/quorvane-service}

mapfile -t hosts < <(e2e_service_hosts)
https_host=${hosts[0]:-}
http_host=${hosts[1]:-}
https_port=${https_host##*:} http_port=${http_host##*:}
if [[ "${https_host%:*}" != 127.0.0.1 || ! "$https_port" =~ ^[0-9]+$ || ! "$http_port" =~ ^[0-9]+$ ]]; then
  echo "SKIP: the program was built for the service at '$https_host', not on loopback"
  exit 0
fi

install_finish() {
  local rc=$?
  qv_stop_prefix
  (exit $rc)
  e2e_finish
}
trap install_finish EXIT
qv_make_prefix "$E2E_WORK/prefix"
drive_c="$WINEPREFIX/drive_c"
e2e_desktop

LIST=PanelClean/FrmInstall/ListApp
K1='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
K2='HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
K3='HKEY_CURRENT_USER\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
K4='HKEY_CURRENT_USER\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'

# unixpath 'C:\A\B': the Unix path of a path on the prefix's drive C.
unixpath() { local p=${1#C:\\}; printf '%s/%s' "$drive_c" "${p//\\//}"; }
# recorder 'C:\...\x.exe': a copy of the recorder there; it writes recorded.txt beside itself.
recorder() {
  mkdir -p "$(dirname "$(unixpath "$1")")"
  cp "$QV_BUILD/qv_recorder.exe" "$(unixpath "$1")"
}
recorded() { local f; f="$(dirname "$(unixpath "$1")")/recorded.txt"; [ -f "$f" ] && tr -d '\r' <"$f"; }
# regq TEXT: TEXT as registry-file string data (backslashes and quotes escaped).
regq() { local s=${1//\\/\\\\}; printf '"%s"' "${s//\"/\\\"}"; }
# reg_import: a version 5 registry file (UTF-16 with a byte-order mark, so that
# Hangul survives) from stdin, entries written with regq.
reg_import() {
  local file="$E2E_WORK/seed.reg"
  { printf '\xff\xfe'; { printf 'Windows Registry Editor Version 5.00\n\n'; cat; } | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE; } >"$file"
  "$QV_WINE" regedit /S "$(printf 'Z:%s' "$file" | tr / '\\')" >/dev/null 2>&1 </dev/null
}
# entry KEY SUBKEY NAME PUBLISHER DATE UNINSTALL [EXTRA-LINES]: one Uninstall entry;
# an empty PUBLISHER or DATE leaves the value out, a DATE of dword:... is a DWORD.
entry() {
  printf '[%s\\%s]\n"DisplayName"=%s\n"UninstallString"=%s\n' "$1" "$2" "$(regq "$3")" "$(regq "$6")"
  [ -n "$4" ] && printf '"Publisher"=%s\n' "$(regq "$4")"
  case "$5" in
    '') ;;
    dword:*) printf '"InstallDate"=%s\n' "$5" ;;
    *) printf '"InstallDate"=%s\n' "$(regq "$5")" ;;
  esac
  [ -n "${7:-}" ] && printf '%s\n' "$7"
  printf '\n'
}

# ---- Uninstallers: recorders, each in a folder of its own.
UN_ANYSIGN='C:\qvtest\un\anysign\unins000.exe'
UN_IPINSIDE='C:\qvtest\un\IP inside\Uninstall.exe'
UN_DELFINO='C:\Program Files\QvTest\Delfino\delfino-uninst.exe'      # named here, lies only in (x86)
UN_DELFINO86='C:\Program Files (x86)\QvTest\Delfino\delfino-uninst.exe'
UN_MAGIC_NEW='C:\qvtest\un\magic-other\remove.exe'
UN_MAGIC_OLD='C:\qvtest\un\magic-dream\remove.exe'
UN_PLUGIN='C:\qvtest\un\qvplugin\remove.exe'
UN_TOUCHEN='C:\qvtest\un\touchen\uninst.exe'
for r in "$UN_ANYSIGN" "$UN_IPINSIDE" "$UN_DELFINO86" "$UN_MAGIC_NEW" "$UN_MAGIC_OLD" "$UN_PLUGIN" "$UN_TOUCHEN"; do
  recorder "$r"
done
# The TouchEn entry has no date and no icon: its date is that of the uninstaller's folder.
touch -d '2019-06-15 12:00' "$(dirname "$(unixpath "$UN_TOUCHEN")")"
mkdir -p "$drive_c/qvtest/app"
cp "$QV_BUILD/quorvane.exe" "$drive_c/qvtest/app/"

DATE_DELFINO=$(printf 'dword:%08x' 20220301)
reg_import <<EOF
$(entry "$K1" AnySign4PC AnySign4PC 'Hancom Secure' 20240105 "\"$UN_ANYSIGN\" /S --product=AnySign4PC")
$(entry "$K1" IPinside 'IPinside LWS Agent 1.2' '' 2023-11-02 "$UN_IPINSIDE /remove all")
$(entry "$K1" QvOther 'QvTest Other Tool' QvTest 20231201 'C:\qvtest\un\other\uninst.exe')
$(entry "$K1" MagicLower 'magicline4np 2.0' '' 20220909 'C:\qvtest\un\lower\uninst.exe')
$(entry "$K1" AnySignHidden 'AnySign4PC Hidden' 'Hancom Secure' 20250202 'C:\qvtest\un\hidden\uninst.exe' '"SystemComponent"=dword:00000001')
$(entry "$K1" AnySignShort AnySign 'Hancom Secure' 20210101 'C:\qvtest\un\short\uninst.exe')
$(entry "$K1" Wizvera 'WIZVERA Process Manager' WIZVERA 20200303 'C:\qvtest\un\wizvera\uninst.exe')
$(entry "$K2" Wizvera 'WIZVERA Process Manager' WIZVERA 20240707 'C:\qvtest\un\wizvera86\uninst.exe')
$(entry "$K2" Delfino 'Delfino G3 (x86)' WIZVERA "$DATE_DELFINO" "%programfiles%\\QvTest\\Delfino\\delfino-uninst.exe /uninstall")
$(entry "$K2" MagicDream 'MagicLine4NP 1.0.0.1' Dreamsecurity 20200101 "\"$UN_MAGIC_OLD\" /dream")
$(entry "$K3" MagicOther 'MagicLine4NP 1.0.0.1' 'Other Co' 20230505 "\"$UN_MAGIC_NEW\" /other")
$(entry "$K3" QvPlugin 'QvTest Plugin Suite 2' 'QvTest Bank' 20210606 "\"$UN_PLUGIN\"")
$(entry "$K3" Woori '우리은행 보안 로그 수집기 1.0' '우리은행' 20211111 'C:\qvtest\un\woori\uninst.exe')
$(entry "$K4" TouchEn 'TouchEn nxKey with E2E for 32bit' '라온시큐어' '' "\"$UN_TOUCHEN\" /q")
$(entry "$K4" nProtect 'nProtect Online Security' '' '' 'C:\qvtest\un\missing\gone.exe')
EOF
"$QV_WINE" reg query "$K4\\nProtect" >/dev/null 2>&1 </dev/null || e2e_abort "the Uninstall entries were not seeded"

# The report page opens in nothing at all.
reg_import <<'EOF'
[-HKEY_CLASSES_ROOT\https\shell\open\ddeexec]
[HKEY_CLASSES_ROOT\https\shell\open\command]
@="C:\\windows\\system32\\cmd.exe /c rem"
EOF

# ---- The service, adding one plug-in name.
cat >"$E2E_WORK/config.json" <<'EOF'
{"update": "", "noclean": [], "bankclean": ["QvTest Plugin"]}
EOF
e2e_ports_free "$https_port" "$http_port"
qv_service_start "$E2E_WORK/service" "$https_port" "$http_port" "$E2E_WORK/config.json" ||
  e2e_abort "the service did not start"

e2e_start app 'C:\qvtest\app\quorvane.exe'
app=$E2E_PID
qvd wait-window 60000 >/dev/null || e2e_abort "no main window: $E2E_DRV_ERR"
expect_ok "Reset button enabled after start-up" wait-enabled FrmClean/BtnClean 60000 || e2e_abort "not ready"
expect_eq "the service's plug-in name is on the list" "QvTest Plugin" "$(qvd list-items ListBlack | tail -n 1)"

# ---- The rows.
expect_ok "forced-install page button" click-wait PanelMenu/BtnInstall 30000
expect_drv "forced-install page shows" 1 visible PanelClean/FrmInstall
ROWS=(
  $'AnySign4PC\tHancom Secure'
  $'IPinside LWS Agent 1.2\t알수없음'
  $'MagicLine4NP 1.0.0.1\tOther Co'
  $'Delfino G3 (x86)\tWIZVERA'
  $'우리은행 보안 로그 수집기 1.0\t우리은행'
  $'QvTest Plugin Suite 2\tQvTest Bank'
  $'WIZVERA Process Manager\tWIZVERA'
  $'TouchEn nxKey with E2E for 32bit\t라온시큐어'
  $'nProtect Online Security\t알수없음'
)
rows_now() { qvd rows "$LIST" | cut -f2-; }
expect_eq "rows: plug-ins only, one per name, newest first" "$(printf '%s\n' "${ROWS[@]}")" "$(rows_now)"
e2e_screenshot install_page

# row_of NAME: the 0-based row with that caption.
row_of() { qvd rows "$LIST" | awk -F'\t' -v t="$1" '$2 == t { print NR - 1; exit }'; }
# expect_started WHAT UNINSTALLER PARAMS LINES: the recorder there has LINES lines,
# the last naming itself (quoted or not) followed by PARAMS.
expect_started() {
  local what=$1 exe=$2 params=$3 lines=$4 got
  for _ in $(seq 1 300); do
    [ "$(recorded "$exe" | wc -l)" -ge "$lines" ] && break
    sleep 0.1
  done
  got=$(recorded "$exe" | tail -n 1)
  expect_eq "$what: times started" "$lines" "$(recorded "$exe" | wc -l)" || return
  [ "$got" == "\"$exe\"${params:+ $params}" ] || [ "$got" == "$exe${params:+ $params}" ] ||
    e2e_fail "$what: expected $exe with [$params], the uninstaller saw [$got]"
}

# expect_parent WHAT UNINSTALLER PARENT: the process that started it the last
# time: the program for a machine-wide entry, the desktop's Explorer for a
# per-user one.
expect_parent() {
  local f
  f="$(dirname "$(unixpath "$2")")/parents.txt"
  expect_eq "$1: started by" "$3" "$([ -f "$f" ] && tr -d '\r' <"$f" | tail -n 1)"
}

# ---- Starting uninstallers.
expect_ok "remove button with nothing selected" click PanelClean/FrmInstall/BtnSubmit
expect_drv "remove button asks for a selection" "제거할 항목을 선택해주세요." wait-msgbox 30000
expect_ok "selection request dismissed" msgbox-press 1

expect_ok "double-click AnySign4PC" dblclick-row "$LIST" "$(row_of AnySign4PC)"
expect_started "quoted uninstaller" "$UN_ANYSIGN" "/S --product=AnySign4PC" 1
expect_ok "remove button with AnySign4PC selected" click PanelClean/FrmInstall/BtnSubmit
expect_started "remove button" "$UN_ANYSIGN" "/S --product=AnySign4PC" 2
expect_parent "machine-wide uninstaller" "$UN_ANYSIGN" quorvane.exe

expect_ok "double-click IPinside" dblclick-row "$LIST" "$(row_of 'IPinside LWS Agent 1.2')"
expect_started "unquoted uninstaller with a blank in its folder" "$UN_IPINSIDE" "/remove all" 1

expect_ok "double-click Delfino" dblclick-row "$LIST" "$(row_of 'Delfino G3 (x86)')"
expect_started "uninstaller under %ProgramFiles% found in Program Files (x86)" "$UN_DELFINO86" "/uninstall" 1
expect_parent "machine-wide 32-bit uninstaller" "$UN_DELFINO86" quorvane.exe

expect_ok "double-click MagicLine4NP" dblclick-row "$LIST" "$(row_of 'MagicLine4NP 1.0.0.1')"
expect_started "the newer of two programs with one name" "$UN_MAGIC_NEW" "/other" 1
expect_parent "per-user uninstaller" "$UN_MAGIC_NEW" explorer.exe
expect_ok "double-click the bank's plug-in" dblclick-row "$LIST" "$(row_of 'QvTest Plugin Suite 2')"
expect_started "uninstaller without parameters" "$UN_PLUGIN" "" 1
expect_parent "per-user uninstaller without parameters" "$UN_PLUGIN" explorer.exe
expect_eq "the older MagicLine4NP's uninstaller is not started" "" "$(recorded "$UN_MAGIC_OLD")"

# ---- The rows follow the registry while the page shows.
# wait_rows WHAT EXPECTED: polls the rows for a few seconds.
wait_rows() {
  local got
  for _ in $(seq 1 50); do
    got=$(rows_now)
    [ "$got" == "$2" ] && return 0
    sleep 0.2
  done
  expect_eq "$1" "$2" "$got"
}
"$QV_WINE" reg delete "$K2\\Delfino" /f >/dev/null 2>&1 </dev/null || e2e_fail "could not delete the Delfino entry"
ROWS=("${ROWS[@]:0:3}" "${ROWS[@]:4}")
wait_rows "rows after an entry of the 32-bit machine key was deleted" "$(printf '%s\n' "${ROWS[@]}")"
reg_import <<EOF
$(entry "$K4" AhnLab 'AhnLab Safe Transaction' 'AhnLab, Inc.' 20250101 'C:\qvtest\un\ahnlab\uninst.exe')
EOF
ROWS=($'AhnLab Safe Transaction\tAhnLab, Inc.' "${ROWS[@]}")
wait_rows "rows after an entry was added to the user's 32-bit key" "$(printf '%s\n' "${ROWS[@]}")"
"$QV_WINE" reg delete "$K3\\MagicOther" /f >/dev/null 2>&1 </dev/null || e2e_fail "could not delete the MagicLine4NP entry"
ROWS=("${ROWS[0]}" "${ROWS[1]}" "${ROWS[2]}" "${ROWS[@]:4:3}" $'MagicLine4NP 1.0.0.1\tDreamsecurity' "${ROWS[@]:7}")
wait_rows "rows after the newer of two programs with one name was deleted" "$(printf '%s\n' "${ROWS[@]}")"

# ---- A reset uploads one install record per program of the latest inventory.
expect_ok "Reset page button" click-wait PanelMenu/BtnClean 30000
expect_ok "Reset button" click PanelClean/FrmClean/BtnClean
e2e_wait_exit "$app" 90 || e2e_abort "the program still runs 90 s after the reset began"
expect_eq "exit code after the reset" 0 "$E2E_RC"

python3 - "$E2E_WORK/service/reports.sqlite3" >"$E2E_WORK/report-check.log" 2>&1 <<'EOF'
import json, sqlite3, sys
rows = sqlite3.connect(sys.argv[1]).execute("SELECT body FROM reports").fetchall()
if len(rows) != 1:
    sys.exit(f"FAIL: {len(rows)} reports stored")
raw = rows[0][0]
try:
    records = json.loads(raw)
except ValueError as e:
    sys.exit(f"FAIL: the report is not JSON: {e}")
expected = [
    ("AhnLab Safe Transaction", "AhnLab, Inc."),
    ("AnySign4PC", "Hancom Secure"),
    ("QvTest Other Tool", "QvTest"),
    ("IPinside LWS Agent 1.2", ""),
    ("magicline4np 2.0", ""),
    ("우리은행 보안 로그 수집기 1.0", "우리은행"),
    ("QvTest Plugin Suite 2", "QvTest Bank"),
    ("AnySign", "Hancom Secure"),
    ("WIZVERA Process Manager", "WIZVERA"),
    ("MagicLine4NP 1.0.0.1", "Dreamsecurity"),
    ("TouchEn nxKey with E2E for 32bit", "라온시큐어"),
    ("nProtect Online Security", ""),
]
install = [r for r in records if isinstance(r, dict) and r.get("cate") == "install"]
fails = []
for r in install:
    if set(r) != {"cate", "displayname", "publisher"}:
        fails.append(f"install record with keys {sorted(r)}")
got = [(r.get("displayname"), r.get("publisher")) for r in install]
if got != expected:
    fails.append(f"install records, newest first: expected {expected!r}, got {got!r}")
if "\\uC6B0\\uB9AC\\uC740\\uD589" not in raw:
    fails.append("the Korean publisher is not escaped as \\uXXXX in the body")
for f in fails:
    print("FAIL:", f)
sys.exit(1 if fails else 0)
EOF
rc=$?
while IFS= read -r line; do
  case "$line" in FAIL:*) e2e_fail "report: ${line#FAIL: }" ;; esac
done <"$E2E_WORK/report-check.log"
[ $rc -eq 0 ] || [ "$E2E_FAILURES" -gt 0 ] || e2e_fail "report check: $(tail -n 3 "$E2E_WORK/report-check.log")"

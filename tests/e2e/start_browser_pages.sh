#!/usr/bin/env bash
# The startup entries and browser add-on pages end to end: a Run value, a backup
# in the System Configuration store and a browser helper object seeded into a
# prefix of our own; their rows with captions, publishers, ticks and images;
# unticking and applying moves the Run value into the store and writes the
# add-on's settings, with the confirmation box; ticking and applying restores
# them; and a reset after applying asks whether to apply again, and Yes does,
# undoing what a "malicious" program restored in the meantime (on Windows 10 a
# written-back Run value stays switched off); closing the main
# window while that question shows ends the run before it ends anything.
#
# The reset ends every process of the prefix that nothing keeps, so the test
# runs in a prefix of its own, where the report page opens in nothing at all.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"

RUN='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
STORE='HKLM\SOFTWARE\Microsoft\Shared Tools\MSConfig\startupreg'
SETTINGS='HKCU\Software\Microsoft\Windows\CurrentVersion\Ext\Settings'
CLSID='{5157A1E0-E2E0-4000-8000-000000000001}'
ITEM=QvE2EAgent
OLD=QvE2EOld
HELPER='Quorvane E2E Helper'
APP=$E2E_APP

e2e_own_prefix

# regedit reads a REGEDIT4 file: backslashes and quotes inside data are escaped.
reg_import() {
  local file="$E2E_WORK/seed.reg"
  { printf 'REGEDIT4\r\n\r\n'; sed 's/$/\r/'; } >"$file"
  "$QV_WINE" regedit /S "$(printf 'Z:%s' "$file" | tr / '\\')" >/dev/null 2>&1 </dev/null
}
# reg_value KEY NAME: "TYPE DATA" of a value, or nothing when it is missing.
reg_value() {
  LC_ALL=C.UTF-8 "$QV_WINE" reg query "$1" /v "$2" >"$E2E_WORK/reg.out" 2>/dev/null </dev/null || return 0
  tr -d '\r' <"$E2E_WORK/reg.out" | awk -v n="$2" -F'    ' '$2 == n { print $3 " " $4 }'
}
reg_key_exists() { "$QV_WINE" reg query "$1" >/dev/null 2>&1 </dev/null; }

reg_import <<EOF
[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]
"$ITEM"="\\"C:\\\\qvtest\\\\app\\\\quorvane.exe\\" /tray"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSConfig\\startupreg\\$OLD]
"command"="C:\\\\qvtest\\\\old.exe -q"
"hkey"="HKCU"
"key"="SOFTWARE\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run"
"item"="$OLD"

[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$CLSID]
@="$HELPER"

[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$CLSID\\InprocServer32]
@="C:\\\\qvtest\\\\app\\\\quorvane.exe"

[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\$CLSID]

[-HKEY_CLASSES_ROOT\\https\\shell\\open\\ddeexec]
[HKEY_CLASSES_ROOT\\https\\shell\\open\\command]
@="C:\\\\windows\\\\system32\\\\cmd.exe /c rem"
EOF
expect_eq "seeded Run value" "REG_SZ \"$APP\" /tray" "$(reg_value "$RUN" "$ITEM")"

e2e_start_ready

apply() { e2e_apply "$1" "$caption"; }

# ---- Startup entries.
expect_ok "startup page button" click-wait PanelMenu/BtnStart 30000
expect_drv "startup page shows" 1 visible FrmStart
row=$(e2e_row_of FrmStart/ListApp "$ITEM" 3)
old=$(e2e_row_of FrmStart/ListApp "$OLD" 3)
[ -n "$row" ] && [ -n "$old" ] || e2e_abort "seeded rows missing: $(qvd rows FrmStart/ListApp)"
rows=$(qvd rows-full FrmStart/ListApp)
expect_eq "Run value row" $'1\t쿼베노\t'"$ITEM"$'\t쿼베노' "$(sed -n "$((row + 1))p" <<<"$rows" | cut -f1,4-)"
expect_eq "backup row" $'0\t0\t'"$OLD"$'\t'"$OLD"$'\t알수없음' "$(sed -n "$((old + 1))p" <<<"$rows" | cut -f1,2,4-)"
image=$(sed -n "$((row + 1))p" <<<"$rows" | cut -f2)
[ "${image:-0}" -ge 1 ] || e2e_fail "the program's row shows the built-in image, not its own icon"
e2e_screenshot start_page

expect_ok "untick the Run value" check FrmStart/ListApp "$row" 0
expect_ok "tick the backup" check FrmStart/ListApp "$old" 1
apply FrmStart
expect_eq "Run value gone" "" "$(reg_value "$RUN" "$ITEM")"
expect_eq "backup command" "REG_SZ \"$APP\" /tray" "$(reg_value "$STORE\\$ITEM" command)"
expect_eq "backup hkey" "REG_SZ HKCU" "$(reg_value "$STORE\\$ITEM" hkey)"
expect_eq "backup key" 'REG_SZ \Software\Microsoft\Windows\CurrentVersion\Run' "$(reg_value "$STORE\\$ITEM" key)"
expect_eq "backup item" "REG_SZ $ITEM" "$(reg_value "$STORE\\$ITEM" item)"
expect_eq "backup inimapping" "REG_SZ 0" "$(reg_value "$STORE\\$ITEM" inimapping)"
expect_eq "enabled backup's Run value" 'REG_SZ C:\qvtest\old.exe -q' "$(reg_value "$RUN" "$OLD")"
reg_key_exists "$STORE\\$OLD" && e2e_fail "the enabled entry's backup is still there"

expect_ok "rebuild the startup page" click-wait PanelMenu/BtnStart 30000
row=$(e2e_row_of FrmStart/ListApp "$ITEM" 3)
expect_eq "disabled entry unticked after the rebuild" 0 "$(qvd rows FrmStart/ListApp | sed -n "$((row + 1))p" | cut -f1)"
expect_ok "tick it again" check FrmStart/ListApp "$row" 1
apply FrmStart
expect_eq "Run value restored" "REG_SZ \"$APP\" /tray" "$(reg_value "$RUN" "$ITEM")"
reg_key_exists "$STORE\\$ITEM" && e2e_fail "the restored entry's backup is still there"

# ---- Browser add-ons.
expect_ok "browser page button" click-wait PanelMenu/BtnBrowser 30000
expect_drv "browser page shows" 1 visible FrmBrowser
bho=$(e2e_row_of FrmBrowser/ListApp "$HELPER" 2)
[ -n "$bho" ] || e2e_abort "helper row missing: $(qvd rows FrmBrowser/ListApp)"
expect_eq "helper row" $'1\t0\t'"$HELPER"$'\t쿼베노' "$(qvd rows-full FrmBrowser/ListApp | sed -n "$((bho + 1))p" | cut -f1,2,4-)"
e2e_screenshot browser_page
expect_ok "untick the helper" check FrmBrowser/ListApp "$bho" 0
apply FrmBrowser
expect_eq "settings Flags" "REG_DWORD 0x1" "$(reg_value "$SETTINGS\\$CLSID" Flags)"
expect_eq "settings Version" "REG_SZ *" "$(reg_value "$SETTINGS\\$CLSID" Version)"
expect_ok "rebuild the browser page" click-wait PanelMenu/BtnBrowser 30000
bho=$(e2e_row_of FrmBrowser/ListApp "$HELPER" 2)
expect_eq "helper unticked after the rebuild" 0 "$(qvd rows FrmBrowser/ListApp | sed -n "$((bho + 1))p" | cut -f1)"
expect_ok "tick the helper" check FrmBrowser/ListApp "$bho" 1
apply FrmBrowser
reg_key_exists "$SETTINGS\\$CLSID" && e2e_fail "the helper's settings key is still there"

# ---- Both pages are applied, so a reset asks first. Closing the main window
# (WM_USER 2) while it asks ends the run there: the program exits with 0 and
# ends nothing, not even a stand-in that nothing keeps.
cp "$QV_BUILD/qv_dummy.exe" "$drive_c/qvtest/standin.exe"
LC_ALL=C.UTF-8 "$QV_WINE" 'C:\qvtest\standin.exe' --ready 'C:\qvtest\standin.ready' >"$E2E_WORK/standin.log" 2>&1 </dev/null &
standin=$!
for _ in $(seq 1 300); do
  [ -e "$drive_c/qvtest/standin.ready" ] && break
  sleep 0.1
done
[ -e "$drive_c/qvtest/standin.ready" ] || e2e_abort "the stand-in process did not start"
expect_ok "Reset page button" click-wait PanelMenu/BtnClean 30000
expect_ok "Reset button" click FrmClean/BtnClean
qvd wait-msgbox 30000 >/dev/null || e2e_abort "no question before the reset: $E2E_DRV_ERR"
expect_ok "close the main window while it asks" wmuser 2
if e2e_wait_exit "$app" 30; then
  expect_eq "exit code after a close during the question" 0 "$E2E_RC"
else
  e2e_abort "the program still runs 30 s after its window was closed during the question"
fi
kill -0 "$standin" 2>/dev/null || e2e_fail "a process was ended although the window was closed before the reset began"

e2e_start_ready "after the restart"
expect_ok "browser page button" click-wait PanelMenu/BtnBrowser 30000
bho=$(e2e_row_of FrmBrowser/ListApp "$HELPER" 2)
[ -n "$bho" ] || e2e_abort "helper row missing after the restart: $(qvd rows FrmBrowser/ListApp)"

# ---- Apply once more with both disabled, then let a "malicious" program restore
# them; the reset, answered Yes, applies both pages again.
expect_ok "untick the helper again" check FrmBrowser/ListApp "$bho" 0
apply FrmBrowser
expect_ok "startup page button" click-wait PanelMenu/BtnStart 30000
row=$(e2e_row_of FrmStart/ListApp "$ITEM" 3)
expect_ok "untick the Run value again" check FrmStart/ListApp "$row" 0
apply FrmStart
"$QV_WINE" reg delete "$SETTINGS\\$CLSID" /f >/dev/null 2>&1 </dev/null
reg_import <<EOF
[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]
"$ITEM"="C:\\\\qvtest\\\\restored.exe"
EOF
expect_ok "Reset page button" click-wait PanelMenu/BtnClean 30000
expect_ok "Reset button" click FrmClean/BtnClean
question=$(qvd wait-msgbox 30000) || e2e_abort "no question before the reset: $E2E_DRV_ERR"
e2e_log "question: $question"
expect_eq "question buttons Yes and No" 67 "$(qvd msgbox-buttons | cut -f1 | tr -d '\n')"
expect_ok "answer Yes" msgbox-press 6
e2e_wait_exit "$app" 120 || e2e_abort "the program still runs two minutes after the reset began"
expect_eq "settings Flags after the reset" "REG_DWORD 0x1" "$(reg_value "$SETTINGS\\$CLSID" Flags)"
# Windows 10 (as Wine reports itself) keeps a Run value written back by its
# program from starting through the switch that unticking wrote beside it; the
# value is left to it.
expect_eq "Run value written back, left" 'REG_SZ C:\qvtest\restored.exe' "$(reg_value "$RUN" "$ITEM")"
switch=$(reg_value 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run' "$ITEM")
[[ "$switch" =~ ^REG_BINARY\ 03000000[0-9A-Fa-f]{16}$ ]] && [[ ! "$switch" =~ 0000000000000000$ ]] ||
  e2e_fail "the written-back Run value is not switched off: [$switch]"
expect_eq "backup kept through the reset" "REG_SZ \"$APP\" /tray" "$(reg_value "$STORE\\$ITEM" command)"

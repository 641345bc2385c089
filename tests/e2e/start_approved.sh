#!/usr/bin/env bash
# The startup entries page and the switches that Task Manager and Settings keep
# beside the Run keys (StartupApproved), end to end in a prefix of our own that
# Wine runs as Windows 10: entries switched off, on, with switches of other
# types and sizes, in the native and the Wow6432Node Run keys of both roots, a
# stale switch of a stored entry, a stored entry whose Run value name is taken
# by a value of another type. Their ticks; applying with nothing changed writes
# nothing; ticking a switched-off entry switches it on without rewriting its
# Run value, unticking one moves it into the store and switches it off, and its
# program's write-back stays unticked; the confirmation names the entry that
# could not be changed. Then the same prefix run as Windows 7, where nothing
# reads the switches: the ticks follow the Run values alone and applying writes
# no switch.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"

APP=$E2E_APP
RUN='Software\Microsoft\Windows\CurrentVersion\Run'
RUN32='Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run'
APPROVED='Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run'
STORE='SOFTWARE\Microsoft\Shared Tools\MSConfig\startupreg'

e2e_own_prefix

# Lines for qv_regtool load: ROOT KEY NAME TYPE DATAHEX, the name and the data
# given as text here.
seed() {
  python3 - "$@" <<'EOF'
import sys
SZ, BINARY, DWORD = 1, 3, 4
def text(s): return (s + "\0").encode("utf-16-le")
root, key, name, kind, data = sys.argv[1:6]
kind = int(kind)
raw = text(data) if kind == SZ else int(data).to_bytes(4, "little") if kind == DWORD else bytes.fromhex(data)
print(f"{root}\t{key}\tv{''.join('%04x' % ord(c) for c in name)}\t{kind}\t{raw.hex()}")
EOF
}
OFF=030000008066d7e36d68db01
{
  seed HKCU "$RUN" QvOff 1 'C:\qvtest\off.exe /tray'
  seed HKCU "$APPROVED" qvoff 3 "$OFF"
  seed HKCU "$RUN" QvOn 1 'C:\qvtest\on.exe'
  seed HKCU "$APPROVED" QvOn 3 060000000000000000000000
  seed HKCU "$RUN" QvOdd 1 'C:\qvtest\odd.exe'
  seed HKCU "$APPROVED" QvOdd 4 3
  seed HKLM "$RUN32" QvOff32 1 'C:\qvtest\off32.exe'
  seed HKLM "${APPROVED}32" QvOff32 3 "$OFF"
  seed HKLM "$APPROVED" QvOff32 3 020000000000000000000000
  seed HKCU "$APPROVED" QvGone 3 "$OFF"
  seed HKLM "$STORE\\QvStored" command 1 'C:\qvtest\stored.exe'
  seed HKLM "$STORE\\QvStored" hkey 1 HKCU
  seed HKLM "$STORE\\QvStored" key 1 "\\$RUN"
  seed HKCU "$APPROVED" QvStored 3 "$OFF"
  seed HKLM "$STORE\\QvClash" command 1 'C:\qvtest\clash.exe'
  seed HKLM "$STORE\\QvClash" hkey 1 HKCU
  seed HKLM "$STORE\\QvClash" key 1 "\\$RUN"
  seed HKCU "$RUN" QvClash 4 7
} >"$E2E_WORK/seed.tsv"
regtool load "$(winpath "$E2E_WORK/seed.tsv")" || e2e_abort "seeding failed: $(cat "$E2E_WORK/regtool.out")"

# dump FILE: the page's places, every value with its bytes.
dump() {
  local file=$1 root
  : >"$file"
  for root in HKLM HKCU; do
    regtool values "$(winpath "$file")" "$root" "$RUN" && regtool values "$(winpath "$file")" "$root" "$RUN32" &&
      regtool tree "$(winpath "$file")" "$root" 'Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved' ||
      return 1
  done
  regtool tree "$(winpath "$file")" HKLM "$STORE"
}
# value FILE ROOT KEY NAME: "TYPE DATAHEX" of a value in a dump, nothing when missing.
value() {
  python3 - "$@" <<'EOF'
import sys
path, root, key, name = sys.argv[1:5]
for line in open(path, encoding="utf-8"):
    f = line.rstrip("\n").split("\t")
    if f[2] == "k": continue
    shown = "".join(chr(int(f[2][1 + i:5 + i], 16)) for i in range(0, len(f[2]) - 1, 4))
    # Names compare without case, as the registry's do.
    if f[0] == root and f[1].lower() == key.lower() and shown.lower() == name.lower():
        print(f[3], f[4])
EOF
}
sz() { printf '1 %s' "$(python3 -c 'import sys; print((sys.argv[1] + "\0").encode("utf-16-le").hex())' "$1")"; }

start_program() {
  e2e_start_ready
  expect_ok "startup page" click-wait PanelMenu/BtnStart 30000
}
stop_program() {
  expect_ok "close" wmuser 2
  e2e_wait_exit "$app" 30 || e2e_fail "the program still runs 30 s after WM_USER 2"
}
# tick_of ITEM: the row's check (1 ticked, 0 unticked), nothing without a row.
tick_of() { qvd rows FrmStart/ListApp | awk -F'\t' -v t="$1" '$3 == t { print $1; exit }'; }
row_of() { e2e_row_of FrmStart/ListApp "$1" 3; }

# ---- Windows 10: the ticks follow the switches.
start_program
for want in QvOff:0 QvOn:1 QvOdd:1 QvOff32:0 QvStored:0 QvClash:0; do
  expect_eq "tick of ${want%:*}" "${want#*:}" "$(tick_of "${want%:*}")"
done
expect_eq "a stale switch makes no row" "" "$(tick_of QvGone)"
e2e_screenshot start_approved

dump "$E2E_WORK/before.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"
e2e_apply FrmStart "$caption"
dump "$E2E_WORK/unchanged.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"
cmp -s "$E2E_WORK/before.tsv" "$E2E_WORK/unchanged.tsv" ||
  e2e_fail "applying with nothing changed wrote: $(diff "$E2E_WORK/before.tsv" "$E2E_WORK/unchanged.tsv" | head -5)"

expect_ok "tick QvOff" check FrmStart/ListApp "$(row_of QvOff)" 1
expect_ok "untick QvOn" check FrmStart/ListApp "$(row_of QvOn)" 0
expect_ok "tick QvStored" check FrmStart/ListApp "$(row_of QvStored)" 1
expect_ok "tick QvClash" check FrmStart/ListApp "$(row_of QvClash)" 1
e2e_apply FrmStart "$caption" QvClash
dump "$E2E_WORK/applied.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"
d=$E2E_WORK/applied.tsv
expect_eq "QvOff's Run value as it was" "$(value "$E2E_WORK/before.tsv" HKCU "$RUN" QvOff)" "$(value "$d" HKCU "$RUN" QvOff)"
expect_eq "QvOff switched on" "3 020000000000000000000000" "$(value "$d" HKCU "$APPROVED" QvOff)"
expect_eq "QvOn's Run value gone" "" "$(value "$d" HKCU "$RUN" QvOn)"
expect_eq "QvOn in the store" "$(sz 'C:\qvtest\on.exe')" "$(value "$d" HKLM "$STORE\\QvOn" command)"
expect_eq "QvOn's backup names its place" "$(sz HKCU)" "$(value "$d" HKLM "$STORE\\QvOn" hkey)"
switch=$(value "$d" HKCU "$APPROVED" QvOn)
[[ "$switch" =~ ^3\ 03000000[0-9a-f]{16}$ && ! "$switch" =~ 0{16}$ ]] || e2e_fail "QvOn not switched off with a time: [$switch]"
expect_eq "QvStored back in its Run key" "$(sz 'C:\qvtest\stored.exe')" "$(value "$d" HKCU "$RUN" QvStored)"
expect_eq "QvStored's backup gone" "" "$(value "$d" HKLM "$STORE\\QvStored" command)"
expect_eq "QvStored switched on" "3 020000000000000000000000" "$(value "$d" HKCU "$APPROVED" QvStored)"
expect_eq "QvClash's backup kept" "$(sz 'C:\qvtest\clash.exe')" "$(value "$d" HKLM "$STORE\\QvClash" command)"
expect_eq "QvClash's Run value of another type kept" "4 07000000" "$(value "$d" HKCU "$RUN" QvClash)"
expect_eq "the stale switch untouched" "3 $OFF" "$(value "$d" HKCU "$APPROVED" QvGone)"

# QvOn's program writes its Run value back: it stays off, and unticked.
seed HKCU "$RUN" QvOn 1 'C:\qvtest\on.exe' >"$E2E_WORK/back.tsv"
regtool load "$(winpath "$E2E_WORK/back.tsv")" || e2e_abort "write-back failed: $(cat "$E2E_WORK/regtool.out")"
expect_ok "rebuild" click-wait PanelMenu/BtnStart 30000
expect_eq "written-back QvOn unticked" 0 "$(tick_of QvOn)"
expect_eq "QvOff ticked after the rebuild" 1 "$(tick_of QvOff)"
stop_program

# ---- Windows 7: nothing reads the switches.
"$QV_WINE" reg add 'HKCU\Software\Wine\AppDefaults\quorvane.exe' /v Version /d win7 /f >/dev/null 2>&1 </dev/null
start_program
expect_eq "QvOff32 ticked on Windows 7" 1 "$(tick_of QvOff32)"
expect_eq "written-back QvOn ticked on Windows 7" 1 "$(tick_of QvOn)"
dump "$E2E_WORK/win7.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"
expect_ok "untick QvOff32" check FrmStart/ListApp "$(row_of QvOff32)" 0
e2e_apply FrmStart "$caption"
dump "$E2E_WORK/win7-applied.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"
d=$E2E_WORK/win7-applied.tsv
expect_eq "QvOff32 moved out of its Run key" "" "$(value "$d" HKLM "$RUN32" QvOff32)"
expect_eq "QvOff32 in the store" "$(sz 'C:\qvtest\off32.exe')" "$(value "$d" HKLM "$STORE\\QvOff32" command)"
grep -i 'StartupApproved' "$E2E_WORK/win7.tsv" >"$E2E_WORK/switches-before.tsv"
grep -i 'StartupApproved' "$d" >"$E2E_WORK/switches-after.tsv"
cmp -s "$E2E_WORK/switches-before.tsv" "$E2E_WORK/switches-after.tsv" || e2e_fail "a switch was written on Windows 7"
stop_program

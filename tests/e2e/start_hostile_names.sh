#!/usr/bin/env bash
# The startup entries page against hostile names, end to end in a prefix of our
# own: Run values named "\\SOFTWARE\QvCanary", "\SOFTWARE\QvCanary",
# "Software\QvCanary", backslashes only, 16,383 units and the default value,
# with values of every type under such names, beside canary keys under
# HKLM\SOFTWARE and HKCU\Software; the same name in the native and the 32-bit
# Run key, names differing in case, an expandable command, and backups that name
# a canary key, an empty or missing key or an unknown root. Applying with nothing
# changed, unticking all, rebuilding, unticking again and ticking all: the
# canaries are as they were, every command is still in a Run key or the store,
# and what cannot be moved is where it was, of its type.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"

APP=$E2E_APP
e2e_own_prefix

# The seeded registry, written by qv_regtool from the lines this prints.
python3 - >"$E2E_WORK/seed.tsv" <<'EOF'
RUN = r"Software\Microsoft\Windows\CurrentVersion\Run"
RUN32 = r"Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run"
STORE = r"SOFTWARE\Microsoft\Shared Tools\MSConfig\startupreg"
SZ, EXPAND, BINARY, DWORD, MULTI, QWORD, NONE = 1, 2, 3, 4, 7, 11, 0
def text(s): return (s + "\0").encode("utf-16-le")
def value(root, key, name, kind, data):
    print(f"{root}\t{key}\tv{''.join('%04x' % ord(c) for c in name)}\t{kind}\t{data.hex()}")
def backup(name, **values):
    for k, v in values.items(): value("HKLM", STORE + "\\" + name, k, SZ, text(v))
value("HKLM", r"SOFTWARE\QvCanary", "v", DWORD, (0xdeadbeef).to_bytes(4, "little"))
value("HKLM", r"SOFTWARE\QvCanary\Sub", "", SZ, text("canary"))
value("HKCU", r"Software\QvCanary", "v", DWORD, (0xdeadbeef).to_bytes(4, "little"))
value("HKCU", r"Software\QvCanary", "QvForeign", SZ, text("canary"))
for name, kind, data in [
    (r"\\SOFTWARE\QvCanary", SZ, text(r"C:\qv\two-slashes.exe")),
    (r"\SOFTWARE\QvCanary", EXPAND, text(r"%windir%\qv\one-slash.exe")),
    (r"Software\QvCanary", SZ, text(r"C:\qv\relative.exe")),
    ("\\\\\\", SZ, text(r"C:\qv\slashes.exe")),
    ("n" * 16383, SZ, text(r"C:\qv\long.exe")),
    ("", SZ, text(r"C:\qv\default.exe")),
    (r"\QvBackup", SZ, text(r"C:\qv\slash-backup.exe")),
    (r"\\QvDword", DWORD, (7).to_bytes(4, "little")),
    ("QvQword", QWORD, (8).to_bytes(8, "little")),
    ("QvBinary", BINARY, b"C\0:\0"),
    ("QvMulti", MULTI, text(r"C:\qv\multi.exe") + b"\0\0"),
    ("QvNone", NONE, b""),
    ("QvOdd", SZ, "C:\\qv\\odd.exe".encode("utf-16-le") + b"x"),
    ("qvcase", SZ, text(r"C:\qv\user.exe")),
]:
    value("HKCU", RUN, name, kind, data)
value("HKCU", RUN32, "QvWowUser", SZ, text(r"C:\qv\wow-user.exe"))
value("HKLM", RUN, "QvSame", SZ, text(r"C:\qv\native.exe"))
value("HKLM", RUN32, "QvSame", SZ, text(r"C:\qv\wow.exe"))
value("HKLM", RUN, "QvCase", SZ, text(r"C:\qv\machine.exe"))
value("HKLM", RUN, r"\\SOFTWARE", SZ, text(r"C:\qv\machine-root.exe"))
value("HKLM", RUN, "QvExpand", EXPAND, text(r"%windir%\system32\qv-expand.exe"))
backup("QvBackup", command=r"C:\qv\backup.exe", hkey="HKLM", key="\\" + RUN, item="QvBackup")
value("HKLM", STORE + r"\QvBackup", "YEAR", DWORD, (2024).to_bytes(4, "little"))
backup("QvForeign", command=r"C:\qv\foreign.exe", hkey="HKCU", key=r"\Software\QvCanary", item="QvForeign")
backup("QvEmptyKey", command=r"C:\qv\empty-key.exe", hkey="HKCU", key="", item="QvEmptyKey")
backup("QvNoKey", command=r"C:\qv\no-key.exe", hkey="HKCU", item="QvNoKey")
backup("QvUnknown", command=r"C:\qv\unknown.exe", hkey="HKXX", key="\\" + RUN, item="QvUnknown")
backup("QvMsconfig", command=r"C:\qv\msconfig.exe", hkey="hkcu", key=RUN, item="QvMsconfig")
EOF
regtool load "$(winpath "$E2E_WORK/seed.tsv")" || e2e_abort "seeding failed: $(cat "$E2E_WORK/regtool.out")"

# dump FILE: the places the checks look at.
dump() {
  local file=$1 run=Software\\Microsoft\\Windows\\CurrentVersion\\Run
  local run32=Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run
  : >"$file"
  regtool tree "$(winpath "$file")" HKLM 'SOFTWARE\QvCanary' &&
    regtool tree "$(winpath "$file")" HKCU 'Software\QvCanary' &&
    regtool values "$(winpath "$file")" HKCU '' &&
    regtool values "$(winpath "$file")" HKLM 'SOFTWARE' &&
    regtool values "$(winpath "$file")" HKCU 'Software' &&
    regtool tree "$(winpath "$file")" HKLM 'SOFTWARE\Microsoft\Shared Tools\MSConfig\startupreg' &&
    for root in HKLM HKCU; do
      regtool values "$(winpath "$file")" "$root" "$run" && regtool values "$(winpath "$file")" "$root" "$run32" || return 1
    done
}
dump "$E2E_WORK/before.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"

e2e_start_ready

# tick_all 0|1: every row of the startup page.
tick_all() {
  local rows r
  rows=$(qvd rows FrmStart/ListApp | wc -l)
  for ((r = 0; r < rows; r++)); do expect_ok "row $r to $1" check FrmStart/ListApp "$r" "$1"; done
}
expect_ok "startup page" click-wait PanelMenu/BtnStart 30000
# Every text entry has a row, hostile names included; the default value and
# values of other types have none.
expect_eq "rows" 19 "$(qvd rows FrmStart/ListApp | wc -l)"
e2e_apply FrmStart "$caption"  # nothing changed
tick_all 0
e2e_apply FrmStart "$caption"
expect_ok "rebuild" click-wait PanelMenu/BtnStart 30000
tick_all 0
e2e_apply FrmStart "$caption"
tick_all 1
# The backups that name no Run key are listed, never applied: the confirmation names them.
e2e_apply FrmStart "$caption" QvEmptyKey QvForeign QvNoKey QvUnknown
expect_ok "close" wmuser 2
e2e_wait_exit "$app" 30 || e2e_fail "the program still runs 30 s after WM_USER 2"
dump "$E2E_WORK/after.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"

python3 - "$E2E_WORK/before.tsv" "$E2E_WORK/after.tsv" >"$E2E_WORK/check.out" 2>&1 <<'EOF'
import sys
STORE = r"SOFTWARE\Microsoft\Shared Tools\MSConfig\startupreg"
RUNS = [r"Software\Microsoft\Windows\CurrentVersion\Run", r"Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run"]
def load(path):
    keys, values = [], {}
    for line in open(path, encoding="utf-8"):
        f = line.rstrip("\n").split("\t")
        where = (f[0], f[1].lower())
        if f[2] == "k":
            keys.append(where)
        else:
            name = "".join(chr(int(f[2][1 + i:5 + i], 16)) for i in range(0, len(f[2]) - 1, 4))
            values[where + (name.lower(),)] = (int(f[3]), bytes.fromhex(f[4]), name)
    return keys, values
before_keys, before = load(sys.argv[1])
after_keys, after = load(sys.argv[2])
def show(name): return repr(name[:40] + ("..." if len(name) > 40 else ""))
def fail(msg): print("FAIL:", msg)
def text(data):
    s = data.decode("utf-16-le", "replace") if len(data) % 2 == 0 else data[:-1].decode("utf-16-le", "replace")
    return s.split("\0")[0]
def subtree(values, root, top):
    return {k: v for k, v in values.items() if k[0] == root and (k[1] == top.lower() or k[1].startswith(top.lower() + "\\"))}
# The canaries, and the values of the keys above them and of the root.
for root, top in [("HKLM", r"SOFTWARE\QvCanary"), ("HKCU", r"Software\QvCanary")]:
    if subtree(before, root, top) != subtree(after, root, top): fail(f"canary {root}\\{top} changed")
    if [k for k in before_keys if k[0] == root and k[1].startswith(top.lower())] != \
       [k for k in after_keys if k[0] == root and k[1].startswith(top.lower())]: fail(f"keys below {root}\\{top} changed")
for root, key in [("HKCU", ""), ("HKLM", "software"), ("HKCU", "software")]:
    if {k: v for k, v in before.items() if k[:2] == (root, key)} != {k: v for k, v in after.items() if k[:2] == (root, key)}:
        fail(f"values of {root}\\{key} changed")
# Every command is still somewhere: in a Run key, or as a backup's command.
def commands(values):
    found = set()
    for (root, key, name), (kind, data, _) in values.items():
        if kind in (1, 2) and any(key == r.lower() for r in RUNS) and text(data): found.add(text(data))
        if key.startswith(STORE.lower() + "\\") and name == "command" and text(data): found.add(text(data))
    return found
for c in sorted(commands(before) - commands(after)): fail(f"command lost: {c}")
for c in sorted(commands(after) - commands(before)): fail(f"command that was not there: {c}")
# What cannot be moved is where it was, of its type and data.
for (root, key, name), (kind, data, shown) in before.items():
    if not any(key == r.lower() for r in RUNS): continue
    movable = kind in (1, 2) and text(data) and name and "\\" not in name and len(name) <= 255
    if not movable and after.get((root, key, name)) != (kind, data, shown):
        fail(f"{root} Run value {show(shown)} was not left as it was")
# Backups that name no Run key are as they were, every value of them.
for name in ["qvforeign", "qvemptykey", "qvnokey", "qvunknown"]:
    if subtree(before, "HKLM", STORE + "\\" + name) != subtree(after, "HKLM", STORE + "\\" + name):
        fail(f"backup {name} changed")
# Ticked at the end: the expandable command came back expandable, the System
# Configuration utility's backup was applied, and the 32-bit QvSame stays
# enabled with its native namesake kept in the store.
expand = after.get(("HKLM", RUNS[0].lower(), "qvexpand"))
if not expand or expand[0] != 2: fail(f"QvExpand is {expand}")
if ("HKCU", RUNS[0].lower(), "qvmsconfig") not in after: fail("the utility's own backup was not applied")
if text(after.get(("HKLM", RUNS[1].lower(), "qvsame"), (0, b"", ""))[1]) != r"C:\qv\wow.exe": fail("the 32-bit QvSame")
print("checked", len(before), "values before,", len(after), "after")
EOF
while IFS= read -r line; do
  case "$line" in FAIL:*) e2e_fail "${line#FAIL: }" ;; *) e2e_log "$line" ;; esac
done <"$E2E_WORK/check.out"

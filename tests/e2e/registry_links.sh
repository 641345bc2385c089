#!/usr/bin/env bash
# Registry links cannot steer the pages' changes, end to end in a prefix of our
# own. Any program of the user may make a key of HKCU a link to any key: here the
# per-user settings key of an add-on listed under HKCU's Extensions is a link to
# HKLM\SOFTWARE\QvLinkTarget (subkeys, values, sentinels), another's to
# HKLM\SOFTWARE\QvDelTarget (which says it is disabled), a third add-on's
# settings key holds a link to HKLM\SOFTWARE\QvInnerTarget inside it; HKCU's Run
# key is a link to HKLM\SOFTWARE\QvRunTarget, whose text values the startup page
# lists as HKCU's entries, and the StartupApproved keys beside HKCU's Run keys
# are links to HKLM\SOFTWARE\QvApprovedTarget (which switches one of those
# entries off) and QvApproved32Target. Applying the browser page (a delete of
# the disabled add-ons' settings keys, then writes into the linked one) and the
# startup page (as it is; then ticking and unticking entries whose Run value or
# switch lies behind a link, and one whose switch alone does): the targets are
# as they were, byte for byte, the links are still there and lead where they
# did, the settings key with the link inside is gone with its link, the
# confirmations name exactly the rows that a link kept as they were, no backup
# is left in the store for them, the entry whose Run key is no link moved, and
# the program still runs and then ends when asked.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"

APP=$E2E_APP
SETTINGS='Software\Microsoft\Windows\CurrentVersion\Ext\Settings'
RUN='Software\Microsoft\Windows\CurrentVersion\Run'
RUN32='Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run'
APPROVED='Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run'
STORE='SOFTWARE\Microsoft\Shared Tools\MSConfig\startupreg'
LINKED='{5157A1E0-E2E0-4000-8000-0000000000A1}'
INNER='{5157A1E0-E2E0-4000-8000-0000000000A2}'
LINKDEL='{5157A1E0-E2E0-4000-8000-0000000000A3}'
TARGETS='QvLinkTarget QvInnerTarget QvRunTarget QvDelTarget QvApprovedTarget QvApproved32Target'

e2e_own_prefix

python3 - "$LINKED" "$INNER" "$LINKDEL" >"$E2E_WORK/seed.tsv" <<'EOF'
import sys
linked, inner, linkdel = sys.argv[1:]
EXT = r"Software\Microsoft\Internet Explorer\Extensions"
SETTINGS = r"Software\Microsoft\Windows\CurrentVersion\Ext\Settings"
SZ, BINARY, DWORD = 1, 3, 4
def text(s): return (s + "\0").encode("utf-16-le")
def value(root, key, name, kind, data):
    print(f"{root}\t{key}\tv{''.join('%04x' % ord(c) for c in name)}\t{kind}\t{data.hex()}")
value("HKCU", EXT + "\\" + linked, "ButtonText", SZ, text("Qv Linked Addon"))
value("HKCU", EXT + "\\" + inner, "ButtonText", SZ, text("Qv Inner Link Addon"))
value("HKCU", EXT + "\\" + linkdel, "ButtonText", SZ, text("Qv Link Delete Addon"))
value("HKCU", SETTINGS + "\\" + inner, "QvOwn", DWORD, (1).to_bytes(4, "little"))
value("HKCU", SETTINGS + "\\" + inner, "Flags", DWORD, (1).to_bytes(4, "little"))
for target in ["QvLinkTarget", "QvInnerTarget", "QvRunTarget", "QvDelTarget", "QvApprovedTarget", "QvApproved32Target"]:
    top = "SOFTWARE\\" + target
    value("HKLM", top, "v", DWORD, (0xdeadbeef).to_bytes(4, "little"))
    value("HKLM", top + r"\Sub", "", SZ, text("canary"))
    value("HKLM", top + r"\Sub", "bin", BINARY, bytes(range(7)))
    value("HKLM", top + r"\Sub\Deep", "v", DWORD, (0xdeadbeef).to_bytes(4, "little"))
value("HKLM", r"SOFTWARE\QvRunTarget", "QvRunA", SZ, text(r"C:\qv\a.exe /run"))
value("HKLM", r"SOFTWARE\QvRunTarget", "QvRunB", SZ, text(r"C:\qv\b.exe"))
value("HKLM", r"SOFTWARE\QvDelTarget", "Flags", DWORD, (1).to_bytes(4, "little"))
value("HKLM", r"SOFTWARE\QvApprovedTarget", "QvRunB", BINARY, bytes([3, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8]))
value("HKCU", r"Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run", "QvRun32A", SZ, text(r"C:\qv\c.exe"))
EOF
regtool load "$(winpath "$E2E_WORK/seed.tsv")" || e2e_abort "seeding failed: $(cat "$E2E_WORK/regtool.out")"
"$QV_WINE" reg delete "HKCU\\$RUN" /f >/dev/null 2>&1 </dev/null
regtool link HKCU "$SETTINGS\\$LINKED" '\Registry\Machine\Software\QvLinkTarget' &&
  regtool link HKCU "$SETTINGS\\$INNER\\Inner" '\Registry\Machine\Software\QvInnerTarget' &&
  regtool link HKCU "$RUN" '\Registry\Machine\Software\QvRunTarget' &&
  regtool link HKCU "$SETTINGS\\$LINKDEL" '\Registry\Machine\Software\QvDelTarget' &&
  regtool link HKCU "$APPROVED" '\Registry\Machine\Software\QvApprovedTarget' &&
  regtool link HKCU "${APPROVED}32" '\Registry\Machine\Software\QvApproved32Target' ||
  e2e_abort "this Wine makes no registry links: $(cat "$E2E_WORK/regtool.out")"

# dump FILE: the targets, the settings keys and the Run key, links as links.
dump() {
  local file=$1
  : >"$file"
  for target in $TARGETS; do
    regtool tree "$(winpath "$file")" HKLM "SOFTWARE\\$target" || return 1
  done
  regtool tree "$(winpath "$file")" HKCU "$SETTINGS" && regtool values "$(winpath "$file")" HKCU "$RUN" &&
    regtool values "$(winpath "$file")" HKCU "$RUN32" && regtool values "$(winpath "$file")" HKCU "$APPROVED" &&
    regtool values "$(winpath "$file")" HKCU "${APPROVED}32" && regtool tree "$(winpath "$file")" HKLM "$STORE"
}
dump "$E2E_WORK/before.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"
awk -F'\t' -v k="$RUN" '$1 == "HKCU" && $2 == k && $4 == 6' "$E2E_WORK/before.tsv" | grep -q . ||
  e2e_abort "the Run key is no link after seeding"

e2e_start_ready

apply() {
  e2e_apply "$@"
  kill -0 "$app" 2>/dev/null || e2e_abort "the program ended while applying $1"
}

expect_ok "browser page" click-wait PanelMenu/BtnBrowser 30000
linked=$(e2e_row_of FrmBrowser/ListApp "Qv Linked Addon" 2)
inner=$(e2e_row_of FrmBrowser/ListApp "Qv Inner Link Addon" 2)
linkdel=$(e2e_row_of FrmBrowser/ListApp "Qv Link Delete Addon" 2)
[ -n "$linked" ] && [ -n "$inner" ] && [ -n "$linkdel" ] || e2e_abort "add-on rows missing: $(qvd rows FrmBrowser/ListApp)"
rows=$(qvd rows FrmBrowser/ListApp)
expect_eq "linked add-on ticked" 1 "$(sed -n "$((linked + 1))p" <<<"$rows" | cut -f1)"
expect_eq "add-on with a link inside unticked" 0 "$(sed -n "$((inner + 1))p" <<<"$rows" | cut -f1)"
expect_eq "add-on disabled behind a link unticked" 0 "$(sed -n "$((linkdel + 1))p" <<<"$rows" | cut -f1)"
expect_ok "tick the add-on with a link inside" check FrmBrowser/ListApp "$inner" 1
expect_ok "tick the add-on disabled behind a link" check FrmBrowser/ListApp "$linkdel" 1
apply FrmBrowser "$caption" "Qv Link Delete Addon"  # deletes both settings keys: one is a link
expect_ok "rebuild the browser page" click-wait PanelMenu/BtnBrowser 30000
linked=$(e2e_row_of FrmBrowser/ListApp "Qv Linked Addon" 2)
expect_ok "untick the linked add-on" check FrmBrowser/ListApp "$linked" 0
apply FrmBrowser "$caption" "Qv Linked Addon"  # writes Flags and Version into the linked settings key

expect_ok "startup page" click-wait PanelMenu/BtnStart 30000
row=$(e2e_row_of FrmStart/ListApp QvRunA 3)
rowb=$(e2e_row_of FrmStart/ListApp QvRunB 3)
row32=$(e2e_row_of FrmStart/ListApp QvRun32A 3)
[ -n "$row" ] && [ -n "$rowb" ] && [ -n "$row32" ] ||
  e2e_abort "the Run keys' entries read through the links are missing: $(qvd rows FrmStart/ListApp)"
rows=$(qvd rows FrmStart/ListApp)
expect_eq "entry switched off behind a link unticked" 0 "$(sed -n "$((rowb + 1))p" <<<"$rows" | cut -f1)"
apply FrmStart "$caption"  # nothing to change
expect_ok "untick QvRunA" check FrmStart/ListApp "$row" 0
expect_ok "tick QvRunB" check FrmStart/ListApp "$rowb" 1
expect_ok "untick QvRun32A" check FrmStart/ListApp "$row32" 0
apply FrmStart "$caption" QvRunA QvRunB
expect_ok "close" wmuser 2
if e2e_wait_exit "$app" 30; then
  expect_eq "exit code" 0 "$E2E_RC"
else
  e2e_fail "the program still runs 30 s after WM_USER 2"
fi
dump "$E2E_WORK/after.tsv" || e2e_abort "dump failed: $(cat "$E2E_WORK/regtool.out")"

python3 - "$E2E_WORK/before.tsv" "$E2E_WORK/after.tsv" "$SETTINGS" "$LINKED" "$INNER" "$RUN" "$STORE" "$LINKDEL" \
  "$APPROVED" "$RUN32" "$TARGETS" \
  >"$E2E_WORK/check.out" 2>&1 <<'EOF'
import sys
before_file, after_file, settings, linked, inner, run, store, linkdel, approved, run32, targets = sys.argv[1:]
def load(path):
    return [line.rstrip("\n") for line in open(path, encoding="utf-8")]
def below(lines, root, key):
    key = key.lower()
    return [l for l in lines if l.split("\t")[0] == root and
            (l.split("\t")[1].lower() == key or l.split("\t")[1].lower().startswith(key + "\\"))]
before, after = load(before_file), load(after_file)
def fail(msg): print("FAIL:", msg)
for target in targets.split():
    if below(before, "HKLM", "SOFTWARE\\" + target) != below(after, "HKLM", "SOFTWARE\\" + target):
        fail(f"HKLM\\SOFTWARE\\{target} changed")
    if len(below(after, "HKLM", "SOFTWARE\\" + target)) < 7:
        fail(f"HKLM\\SOFTWARE\\{target} is not all there")
for key in [settings + "\\" + linked, settings + "\\" + linkdel, run, approved, approved + "32"]:
    if below(before, "HKCU", key) != below(after, "HKCU", key):
        fail(f"the link HKCU\\{key} changed")
    if not any(l.split("\t")[2:4] == ["v0053" + "".join("%04x" % ord(c) for c in "ymbolicLinkValue"), "6"]
               for l in below(after, "HKCU", key)):
        fail(f"HKCU\\{key} is no longer a link")
if below(after, "HKCU", settings + "\\" + inner):
    fail("the settings key with a link inside is still there")
if below(after, "HKLM", store + "\\QvRunA"):
    fail("a backup of the entry that could not be moved is left in the store")
# The entry whose Run key is no link moved into the store, although its switch
# could not be written.
if [l for l in after if l.split("\t")[:2] == ["HKCU", run32] and l.split("\t")[2] == "v" + "".join("%04x" % ord(c) for c in "QvRun32A")]:
    fail("QvRun32A is still in its Run key")
if not below(after, "HKLM", store + "\\QvRun32A"):
    fail("QvRun32A is not in the store")
print("checked", len(before), "lines before,", len(after), "after")
EOF
while IFS= read -r line; do
  case "$line" in FAIL:*) e2e_fail "${line#FAIL: }" ;; *) e2e_log "$line" ;; esac
done <"$E2E_WORK/check.out"

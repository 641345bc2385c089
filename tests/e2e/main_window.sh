#!/usr/bin/env bash
# Start-up and the main window, seen from outside: one instance only, the window's
# caption, size and page bar, the status text while the start-up exchange waits
# and after it has failed, the page buttons enabled only afterwards, and WM_USER
# from another process. The service is held silent, then let go, so that every
# stage is on screen long enough to look at.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"

PREPARING='<C><FC:clBLUE>준비중...</FC></C>'
NO_SERVICE='<C><FC:clRED>서버에서 정보를 받지 못했습니다.</FC></C>'
PAGE_BUTTONS=(PanelMenu/BtnClean PanelMenu/BtnBrowser PanelMenu/BtnStart PanelMenu/BtnInstall)
LABEL_AREA="500x105+0+193"  # LabelContent in the client area: the page at (0, 41), the label at (0, 152)

# expect_text_box SHOT COLOUR WHAT: text of that colour is drawn in the status
# label, centred in it both ways.
expect_text_box() {
  local count w h x y
  read -r count w h x y <<<"$(e2e_colour_box "$1" "$2" 30% "$LABEL_AREA")"
  if [ "${count:-0}" -lt 20 ]; then
    e2e_fail "$3: no $2 text in the status label (${count:-0} pixels)"
    return
  fi
  # Thin dots and antialiased edges fall outside the colour, so allow a few pixels.
  local mid=$((x + w / 2)) vmid=$((y + h / 2))
  ((mid >= 235 && mid <= 265)) || e2e_fail "$3: $2 text not centred: it spans x $x..$((x + w)) of 0..500"
  ((vmid >= 42 && vmid <= 63)) || e2e_fail "$3: $2 text not centred vertically: it spans y $y..$((y + h)) of 0..105"
}

e2e_desktop
held=0
e2e_hold_service && held=1 || e2e_log "the service is not on loopback: the start-up stages pass too fast to look at"

e2e_start first "$QV_BUILD/quorvane.exe"
first=$E2E_PID
qvd wait-window 60000 >/dev/null || e2e_abort "no main window: $E2E_DRV_ERR"

# ---- Starting: the Reset page says it is preparing.
status=$(qvd text FrmClean/LabelContent) || e2e_abort "no status label FrmClean/LabelContent: $E2E_DRV_ERR"
if [ $held -eq 1 ]; then
  expect_eq "status text right after start" "$PREPARING" "$status"
else
  e2e_log "status text right after start: $status"
fi

qvd wait-msgbox 0 >/dev/null && e2e_fail "a message box at start: $(qvd msgbox-title): $(qvd wait-msgbox 0)"
expect_drv "caption" "쿼베노 v 3.6" caption
expect_drv "the main window is unowned, so it has the taskbar button" "0" owner
visible=$(qvd windows | awk -F'\t' '$5 == 1 {print $3}' | tr '\n' ' ')
expect_eq "visible top-level windows of the program" "TFrmQuorvane " "$visible"
expect_drv "client area at 96 DPI" "500 443" client-size
expect_drv "topmost while the Reset page shows" "1" topmost
while read -r ctl want; do
  expect_drv "$ctl" "$want" rect "$ctl"
done <<'EOF'
PanelMenu 0 0 500 41
PanelMenu/BtnClean 0 6 65 29
PanelMenu/BtnBrowser 65 6 65 29
PanelMenu/BtnStart 130 6 65 29
PanelMenu/BtnInstall 195 6 65 29
PanelMenu/ImageLogo 390 6 99 29
PanelClean 0 41 500 402
FrmClean 0 41 500 400
FrmClean/LabelContent 0 193 500 105
FrmClean/BtnClean 176 338 161 65
EOF
while read -r ctl want; do
  expect_drv "page button caption $ctl" "$want" text "$ctl"
done <<'EOF'
PanelMenu/BtnClean 처음화면
PanelMenu/BtnBrowser 브라우저
PanelMenu/BtnStart 자동실행
PanelMenu/BtnInstall 강제설치
EOF
expect_drv "Reset page visible" "1" visible FrmClean
for ctl in ListWhite ListBlack FrmClean/ChkTerminate FrmClean/Indicator; do
  expect_drv "$ctl hidden" "0" visible "$ctl"
done
expect_drv "ChkTerminate ticked" "1" checked FrmClean/ChkTerminate

# The shipped lists, before anything can extend them: 213 keep-list entries in
# six groups with an empty entry between groups; 37 plug-in names.
mapfile -t white < <(qvd list-items ListWhite)
expect_eq "ListWhite entries" 213 "${#white[@]}"
empties=$(for i in "${!white[@]}"; do [ -z "${white[$i]}" ] && printf '%s ' "$i"; done)
expect_eq "ListWhite group separators (0-based)" "59 62 64 108 154 " "$empties"
mapfile -t black < <(qvd list-items ListBlack)
expect_eq "ListBlack entries" 37 "${#black[@]}"
expect_eq "ListBlack first and last" "AnySign4PC|MaWebSAFER_STDEP(remove only)" "${black[0]:-}|${black[36]:-}"

# Did the program reach for its service? Until it does, nothing waits.
exchange=0
if [ $held -eq 1 ]; then
  for _ in $(seq 1 300); do
    e2e_hold_seen && { exchange=1; break; }
    [ "$(qvd enabled PanelMenu/BtnBrowser)" == 1 ] && break
    sleep 0.1
  done
  [ $exchange -eq 1 ] || e2e_log "the program does not ask its service at start (no exchange yet)"
fi

if [ $exchange -eq 1 ]; then
  # ---- Initialising: the exchange waits; nothing can be pressed yet.
  for ctl in "${PAGE_BUTTONS[@]}" FrmClean/BtnClean; do
    expect_drv "$ctl disabled while the start-up exchange waits" "0" enabled "$ctl"
  done
  expect_drv "status text while the exchange waits" "$PREPARING" text FrmClean/LabelContent
fi

e2e_screenshot main_window
[ $held -eq 1 ] && expect_text_box "$QV_BUILD/screenshots/main_window.png" blue "preparing text"

# ---- One instance only: a second start ends at once with 0 and shows nothing.
e2e_start second "$QV_BUILD/quorvane.exe"
second=$E2E_PID
if e2e_wait_exit "$second" 30; then
  expect_eq "exit code of a second start" 0 "$E2E_RC"
  e2e_log "second start ended after $E2E_ELAPSED_MS ms"
else
  e2e_fail "a second start still runs after 30 s"
fi
# The program and its crash reporter, which shows no window.
nproc=$(qvd processes | wc -l)
expect_eq "processes of the program (and its crash reporter) after a second start" 2 "$nproc"
nmain=$(qvd windows | awk -F'\t' '$3 == "TFrmQuorvane"' | wc -l)
expect_eq "main windows after a second start" 1 "$nmain"
if [ $exchange -eq 1 ]; then
  expect_drv "the first instance still waits, unchanged" "$PREPARING" text FrmClean/LabelContent
fi

# ---- Ready: once the exchange has failed, the failure text and the buttons.
e2e_release_service
if [ $exchange -eq 1 ]; then
  expect_ok "failure text once the service is gone" wait-text FrmClean/LabelContent "$NO_SERVICE" 90000
fi
for ctl in "${PAGE_BUTTONS[@]}" FrmClean/BtnClean; do
  expect_ok "$ctl enabled after start-up" wait-enabled "$ctl" 30000
done
if [ $exchange -eq 1 ]; then
  e2e_screenshot main_window_ready
  expect_text_box "$QV_BUILD/screenshots/main_window_ready.png" red "failure text"
fi

# ---- WM_USER from another process. Posted messages are handled in order, so
# once the page-button click posted after them has taken effect (the window
# stops being topmost), WM_USER 0 and 3 have been handled too.
expect_ok "minimise" minimize
expect_ok "WM_USER 0" wmuser 0
expect_ok "WM_USER 3" wmuser 3
expect_ok "WM_USER 0 with an lParam" wmuser 0 2
expect_ok "click ${PAGE_BUTTONS[1]}" click "${PAGE_BUTTONS[1]}"
for _ in $(seq 1 100); do
  [ "$(qvd topmost)" == 0 ] && break
  sleep 0.1
done
expect_drv "not topmost after the browser page button" "0" topmost
expect_drv "still minimised after WM_USER 0 and 3" "1" is-iconic
expect_ok "WM_USER 1 restores" wmuser 1
expect_ok "restored after WM_USER 1" wait-restored 10000
expect_ok "click ${PAGE_BUTTONS[0]}" click "${PAGE_BUTTONS[0]}"
for _ in $(seq 1 100); do
  [ "$(qvd topmost)" == 1 ] && break
  sleep 0.1
done
expect_drv "topmost again after the Reset page button" "1" topmost

expect_ok "WM_USER 2" wmuser 2
expect_ok "WM_USER 2 closes the main window" wait-gone 30000
if e2e_wait_exit "$first" 30; then
  expect_eq "exit code after WM_USER 2" 0 "$E2E_RC"
else
  e2e_fail "the program still runs 30 s after its window closed"
fi

# ---- WM_USER 2 while the start-up exchange waits: the wait ends with the
# program, long before the request would time out.
if [ $exchange -eq 1 ] && e2e_hold_service; then
  e2e_start third "$QV_BUILD/quorvane.exe"
  third=$E2E_PID
  qvd wait-window 60000 >/dev/null || e2e_abort "no main window on the third start: $E2E_DRV_ERR"
  for _ in $(seq 1 300); do
    e2e_hold_seen && break
    sleep 0.1
  done
  e2e_hold_seen || e2e_fail "the third start did not ask its service"
  expect_ok "WM_USER 2 during start-up" wmuser 2
  if e2e_wait_exit "$third" 30; then
    expect_eq "exit code after WM_USER 2 during start-up" 0 "$E2E_RC"
  else
    e2e_fail "WM_USER 2 during the start-up exchange did not end the program within 30 s"
  fi
  e2e_release_service
fi

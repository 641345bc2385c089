#!/usr/bin/env bash
# The UI driver against a fixture window of known content: finding controls by
# name, path and caption, clicks that must and must not wait, message boxes, list
# boxes and list views read and ticked across processes, and the exit code of a
# program that the test started.
set -u
source "$QV_SOURCE/tests/support/e2e_lib.sh"
QV_DRIVER_ARGS=(--class QvDriverFixture --exe driver_fixture.exe)

e2e_desktop
e2e_start fixture "$QV_BUILD/driver_fixture.exe"
fixture=$E2E_PID
qvd wait-window 60000 >/dev/null || e2e_abort "the fixture window did not show: $E2E_DRV_ERR"

# Finding controls.
expect_drv "caption" "드라이버 픽스처" caption
expect_drv "a label by name" "ready" text LabelLog
expect_drv "rect of a nested control, in the window's client coordinates" "195 80 60 25" rect PanelB/BtnDup
named=$(qvd controls --named | cut -f1 | tr '\n' ' ')
expect_eq "named controls, an unnamed panel skipped in paths" \
  "LabelLog BtnOk BtnAsk BtnOff BtnDrawn PanelA PanelA/BtnDup PanelB PanelB/BtnDup ListNames ListApp " "$named"
qvd click BtnDup >/dev/null && e2e_fail "a name held by two controls was taken as one of them"
expect_eq "ambiguity names both paths" "qvdriver: \"BtnDup\" is ambiguous; use a path: PanelA/BtnDup PanelB/BtnDup" "$E2E_DRV_ERR"
expect_ok "click through a path" click PanelB/BtnDup
expect_ok "the click reached the control of that path" wait-text LabelLog "dup B" 5000

# Clicks. A posted click returns at once; a sent one only after its handler.
expect_ok "click by Hangul caption" click 확인
expect_ok "posted click arrives" wait-text LabelLog "clicked 1" 5000
expect_ok "click-wait" click-wait BtnOk
expect_drv "click-wait returns after the handler" "clicked 2" text LabelLog
expect_ok "owner-drawn button by caption without its mnemonic" click Drawn
expect_ok "owner-drawn click arrives" wait-text LabelLog "drawn clicked" 5000
qvd click BtnOff >/dev/null && e2e_fail "a disabled button was clicked"
expect_eq "refusal says why" 'qvdriver: "BtnOff" is disabled' "$E2E_DRV_ERR"
expect_drv "enabled of a disabled button" "0" enabled BtnOff

# A click that opens a modal message box must not block the driver.
qvd wait-msgbox 0 >/dev/null && e2e_fail "a message box was reported where none is open"
expect_ok "click that opens a message box" click BtnAsk
expect_drv "message box text, bare CRs as line breaks" $'첫째 줄\n\n둘째 줄' wait-msgbox 10000
expect_drv "message box title" "픽스처 질문" msgbox-title
expect_drv "message box buttons" $'6\t&Yes\n7\t&No' msgbox-buttons
qvd msgbox-press 1 >/dev/null && e2e_fail "pressed a button the box does not have"
expect_ok "press No" msgbox-press 7
expect_ok "the program got No" wait-text LabelLog "answer 7" 5000
qvd wait-msgbox 0 >/dev/null && e2e_fail "the message box is still reported after it closed"

# A hidden list box, an empty item and Hangul included.
expect_drv "list box items" $'alg.exe*\n\n%SystemRoot%\\System32\\csrss.exe\n우리은행 보안 로그 수집기' list-items ListNames
expect_drv "hidden list box" "0" visible ListNames

# List view rows across processes.
expect_drv "rows: check, caption, sub-items; a tab in a caption escaped" \
  $'1\tAnySign4PC\tC:\\Program Files\\AnySign\n0\t스마트 모바일 사인\t\n1\ttab\\there\tx' rows ListApp
expect_ok "tick a row" check ListApp 1 1
expect_ok "the program was told of the tick" wait-text LabelLog "row 1 check 1" 5000
expect_ok "untick a row" check ListApp 0 0
expect_ok "the program was told of the untick" wait-text LabelLog "row 0 check 0" 5000
checks=$(qvd rows ListApp | cut -f1 | tr '\n' ' ')
expect_eq "check states read back" "0 1 1 " "$checks"
qvd check ListApp 3 1 >/dev/null && e2e_fail "ticked a row beyond the end"
expect_ok "double-click a row" dblclick-row ListApp 2
expect_ok "the list view raised NM_DBLCLK for that row" wait-text LabelLog "dblclick row 2" 5000
selected=$(qvd rows-full ListApp | cut -f3 | tr '\n' ' ')
expect_eq "the double-clicked row is the selected one" "0 0 1 " "$selected"

# The window itself.
expect_ok "minimize" minimize
expect_drv "minimised" "1" is-iconic
expect_ok "WM_USER 1" wmuser 1
expect_ok "restored" wait-restored 5000
qvd wait-gone 0 >/dev/null && e2e_fail "wait-gone with the window still there"
expect_ok "WM_USER 2" wmuser 2
expect_ok "window gone" wait-gone 10000
e2e_wait_exit "$fixture" 30 || e2e_abort "the fixture did not end"
expect_eq "the Windows exit code arrives through wait" "7" "$E2E_RC"

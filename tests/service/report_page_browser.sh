#!/usr/bin/env bash
# The report page in a real browser: uploads a report the way the program writes
# it, loads its page in headless Chromium over https, writes a screenshot, and
# checks that the page's main figures are in the rendered document.
#   report_page_browser.sh SERVICE_EXE SCREENSHOT_DIR
# Exits 77 (skipped) when Chromium is not installed.
set -uo pipefail
exe=${1:?service executable}
shots=${2:?screenshot folder}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "SKIP: chromium is not installed"
  exit 77
fi

# shellcheck source=../../scripts/service.sh
source "$here/../../scripts/service.sh"
work=$(mktemp -d /tmp/qv-browser.XXXXXX)
cleanup() {
  qv_service_stop
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}

QV_SERVICE_EXE=$exe qv_service_start "$work/data" 0 0 || fail "the service did not start"

# Two ended, one left running, two kept; Hangul as the program escapes it; one
# plug-in among the installed programs, and a second that a returned process
# belongs to. Then what a newer program adds: one
# termination refused and one failed, one process back that the program found in
# an installed plug-in's folder and one matched by its publisher alone.
cat >"$work/report.json" <<'JSON'
[{"cate":"clean","file":"%SystemRoot%\\System32\\svchost.exe","state":"1"},{"cate":"clean","file":"%SystemRoot%\\explorer.exe","state":"1"},{"cate":"clean","file":"%ProgramFiles(x86)%\\Wizvera\\Veraport20\\veraport.exe","state":"-1"},{"cate":"clean","file":"C:\\Users\\\uD64D\uAE38\uB3D9\\AppData\\Local\\agent.exe","state":"-1"},{"cate":"clean","file":"%ProgramFiles%\\IPinside\\I3GProc.exe","state":"-2"},{"cate":"memory","old":"2147483648","new":"3758096384","tot":"8589934592"},{"cate":"browser","clsid":"{8FD5B1C4-1111-4E3A-9F00-0123456789AB}","item":"TouchEn Key BHO"},{"cate":"start","item":"IPinside LWS Agent","state":"off"},{"cate":"start","item":"V3 Lite","state":"on"},{"cate":"start","item":"KeySharp","state":"stored"},{"cate":"start","item":"Old Agent"},{"cate":"install","displayname":"MagicLine4NP 1.0.0.24","publisher":"Dreamsecurity"},{"cate":"install","displayname":"\uD55C\uAE00 2020","publisher":"\uD55C\uAE00\uACFC\uCEF4\uD4E8\uD130"},{"cate":"install","displayname":"IPinside LWS Agent","publisher":"Interezen"},{"cate":"refused","file":"%ProgramFiles%\\IPinside\\I3GProc.exe","why":"denied"},{"cate":"refused","file":"C:\\Tools\\<b>x</b>.exe","why":"error 1450"},{"cate":"back","file":"%ProgramFiles(x86)%\\IPinside_LWS\\I3GSvcManager.exe","pid":"5120","program":"IPinside LWS Agent","publisher":""},{"cate":"back","file":"%ProgramFiles%\\Hnc\\HncUpdate.exe","pid":"6044","program":"","publisher":"\uD55C\uAE00\uACFC\uCEF4\uD4E8\uD130"}]
JSON
reply=$(curl -s --cacert "$work/data/cert.pem" -H 'Content-Type: application/json' -H 'User-Version: 3.6.0.0' \
  --data-binary @"$work/report.json" "https://127.0.0.1:$QV_SERVICE_HTTPS_PORT/report.php") || fail "upload failed"
key=$(sed -n 's/.*"pk":"\([A-Za-z0-9_-]*\)".*/\1/p' <<<"$reply")
[ -n "$key" ] || fail "no key in the upload reply: $reply"
url="https://127.0.0.1:$QV_SERVICE_HTTPS_PORT/?report=$key"

mkdir -p "$shots"
shot="$shots/report-page.png"
rm -f "$shot"
flags=(--headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars --ignore-certificate-errors
  --user-data-dir="$work/profile" --window-size=1280,2400)
timeout 90 "$browser" "${flags[@]}" --screenshot="$shot" "$url" >"$work/chromium.log" 2>&1
[ -s "$shot" ] || { cat "$work/chromium.log"; fail "no screenshot"; }
timeout 90 "$browser" "${flags[@]}" --dump-dom "$url" >"$work/dom.html" 2>>"$work/chromium.log"
[ -s "$work/dom.html" ] || { cat "$work/chromium.log"; fail "no document"; }

# The rendered text, tags removed, with the figures the page is about.
text=$(sed -e 's/<[^>]*>/ /g' "$work/dom.html" | tr -s ' \n' ' ')
expect() {
  grep -qF -- "$1" <<<"$text" || fail "the rendered page lacks: $1"
}
expect "종료한 프로그램 2 개"
expect "종료되지 않은 프로그램 1 개"
expect "유지한 프로그램 2 개"
expect "초기화 전 2.0 GB"
expect "초기화 후 3.5 GB"
expect "변화 +1.5 GB"
expect "전체 8.0 GB"
expect 'C:\Users\홍길동\AppData\Local\agent.exe'
expect "보안 프로그램 2 개가 있습니다"
expect "MagicLine4NP 1.0.0.24"
# Each startup entry with its state at the next logon.
expect "IPinside LWS Agent Windows 설정에서 사용 안 함"
expect "V3 Lite 로그온할 때 실행"
expect "KeySharp 쿼베노로 사용 안 함 (백업 보관)"
expect "Old Agent 알수없음"
expect "한글과컴퓨터"
expect "쿼베노 3.6.0.0"
# The summary at the top, before the figures, and the outcomes in Korean.
expect "종료함 2 개 유지함 2 개 종료하지 못함 2 개 다시 실행됨 2 개"
expect "Windows가 종료를 거부함"
expect "종료 중 오류 (코드 1450)"
# A file name with markup in it stays text.
grep -qF 'C:\Tools\&lt;b&gt;x&lt;/b&gt;.exe' "$work/dom.html" || fail "the refused file's name is not shown escaped"
grep -qF '<b>x</b>' "$work/dom.html" && fail "markup from a report reached the page"
expect "IPinside LWS Agent 의 프로그램입니다. 알려진 보안 플러그인 쿼베노의 강제설치 화면에서 삭제하면"
expect "한글 2020 의 프로그램입니다. 쿼베노의 강제설치"
[[ "$text" == *"초기화 요약"*"종료한 프로그램 2 개"* ]] || fail "the summary is not above the figures"

bytes=$(stat -c %s "$shot")
[ "$bytes" -gt 20000 ] || fail "the screenshot is suspiciously small ($bytes bytes)"
echo "PASS: report page rendered; screenshot $shot ($bytes bytes)"

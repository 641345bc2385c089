#!/usr/bin/env bash
# A crash page in a real browser, reached as a maker reaches it: headless
# Chromium signs in through the form at /crashes/login, follows it to the
# page of a crash uploaded the way the program sends it, and writes a
# screenshot. With the MinGW toolchain at hand, the crash is in a small program
# built here with debug data, and the page must name its function from the
# symbols folder.
#   crash_page_browser.sh SERVICE_EXE SCREENSHOT_DIR
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
work=$(mktemp -d /tmp/qv-crash-browser.XXXXXX)
cleanup() {
  qv_service_stop
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}

# A field of a PE file's headers, as a decimal number: offset from the "PE"
# signature, od type (u4, u8).
pe_field() {
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -t"$3" -j$((pe + $2)) -N"${3#u}" "$1" | tr -d ' '
}

token=crash-page-browser-$RANDOM$RANDOM-token
printf '%s\n' "$token" >"$work/token"
chmod 600 "$work/token"

# The program, linked with debug data into the symbols folder and stripped for
# "shipping" with the unstripped file's stamp, as a release build does.
timestamp=0x675A1B2C size=0x9C000 offset=0x1A2B0 symbols=()
mingw=x86_64-w64-mingw32
if command -v $mingw-g++ >/dev/null && command -v $mingw-addr2line >/dev/null; then
  mkdir -p "$work/symbols"
  cat >"$work/crash.cpp" <<'CPP'
namespace qv {
__attribute__((noinline)) int Fault(volatile int* p) {
  return *p + 1;
}
}  // namespace qv
int main(int argc, char**) { return qv::Fault(argc > 9 ? &argc : nullptr); }
CPP
  $mingw-g++ -g -O1 -o "$work/symbols/quorvane.exe" "$work/crash.cpp" || fail "the test program did not build"
  SOURCE_DATE_EPOCH=$(pe_field "$work/symbols/quorvane.exe" 8 u4) $mingw-strip -o "$work/quorvane.exe" \
    "$work/symbols/quorvane.exe" || fail "strip failed"
  timestamp=$(printf '0x%X' "$(pe_field "$work/quorvane.exe" 8 u4)")
  size=$(printf '0x%X' "$(pe_field "$work/quorvane.exe" 80 u4)")
  base=$(printf '%x' "$(pe_field "$work/quorvane.exe" 48 u8)")
  fault=$($mingw-nm "$work/symbols/quorvane.exe" | sed -n 's/^\([0-9a-f]*\) T _ZN2qv5FaultEPVi$/\1/p')
  [ -n "$fault" ] && [ -n "$base" ] || fail "qv::Fault or the image base not found"
  offset=$(printf '0x%X' $((0x$fault - 0x$base + 2)))
  symbols=(--symbols "$work/symbols")
else
  echo "note: no MinGW toolchain, so the page is checked without symbols"
fi

QV_SERVICE_EXE=$exe qv_service_start "$work/data" 0 0 "" --admin-token-file "$work/token" "${symbols[@]}" ||
  fail "the service did not start"
base_url="https://127.0.0.1:$QV_SERVICE_HTTPS_PORT"

# As the program writes it: Hangul escaped, a hostile module name among the rest.
cat >"$work/crash.json" <<JSON
{"program":"quorvane.exe","version":"3.6.0.0","unionkey":"0123456789abcdef0123456789abcdef01234567","windows":"10.0.19045","arch":"x86_64",
"exception":{"code":"0xC0000005","module":"quorvane.exe","offset":"$offset","thread":1234,"info":["0x0","0x10"]},
"threads":[{"id":1234,"crashed":true,"frames":[{"module":"quorvane.exe","offset":"$offset"},{"module":"kernel32.dll","offset":"0x17614"}]},
{"id":1240,"crashed":false,"frames":[{"module":"ntdll.dll","offset":"0x9F2A4"},{"module":"<b>x.dll","offset":"0x10"}]}],
"modules":[{"name":"quorvane.exe","path":"%ProgramFiles%\\\\Quorvane\\\\quorvane.exe","base":"0x140000000","size":"$size","version":"3.6.0.0","timestamp":"$timestamp"},
{"name":"<b>x.dll","path":"C:\\\\Users\\\\\uD64D\uAE38\uB3D9\\\\<b>x.dll","base":"0x10000000","size":"0x1000","version":"","timestamp":"0x1"}],
"processes":[{"pid":4,"name":"System","path":""},{"pid":2040,"name":"\uC740\uD589\uBCF4\uC548.exe","path":"C:\\\\Users\\\\\uD64D\uAE38\uB3D9\\\\agent.exe"}]}
JSON
reply=$(curl -s --cacert "$work/data/cert.pem" -H 'Content-Type: application/json' -H 'User-Version: 3.6.0.0' \
  --data-binary @"$work/crash.json" "$base_url/crash.php") || fail "upload failed"
[ "$reply" = '{"status":"ok"}' ] || fail "the upload was not taken: $reply"
list=$(curl -s --cacert "$work/data/cert.pem" -H "Authorization: Bearer $token" "$base_url/crashes") ||
  fail "the list did not load"
page=$(grep -o '/crashes/crash?id=[A-Za-z0-9_-]*' <<<"$list" | head -n 1)
[ -n "$page" ] || fail "no crash in the list"

flags=(--headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars --ignore-certificate-errors
  --user-data-dir="$work/profile" --window-size=1280,2400 --virtual-time-budget=15000)
# Without signing in the pages are not there.
timeout 90 "$browser" "${flags[@]}" --dump-dom "$base_url$page" >"$work/closed.html" 2>"$work/chromium.log"
grep -qF "보고서를 찾을 수 없습니다" "$work/closed.html" || fail "the crash page opened without the token"

# A page that signs in at once and goes on to the crash; session cookies end
# with the browser, so each run signs in again.
cat >"$work/sign-in.html" <<HTML
<!doctype html><form method="post" action="$base_url/crashes/login">
<input name="token" value="$token"><input name="next" value="$page"></form>
<script>document.forms[0].submit()</script>
HTML
mkdir -p "$shots"
shot="$shots/crash-page.png"
rm -f "$shot"
timeout 90 "$browser" "${flags[@]}" --screenshot="$shot" "file://$work/sign-in.html" >>"$work/chromium.log" 2>&1
[ -s "$shot" ] || { cat "$work/chromium.log"; fail "no screenshot"; }
timeout 90 "$browser" "${flags[@]}" --dump-dom "file://$work/sign-in.html" >"$work/dom.html" 2>>"$work/chromium.log"
[ -s "$work/dom.html" ] || { cat "$work/chromium.log"; fail "no document"; }

grep -qF '&lt;b&gt;x.dll' "$work/dom.html" || fail "the hostile module name is not shown as text"
grep -q '<b>x' "$work/dom.html" && fail "a module name became markup"
text=$(sed -e 's/<[^>]*>/ /g' "$work/dom.html" | tr -s ' \n' ' ')
expect() {
  grep -qF -- "$1" <<<"$text" || fail "the rendered page lacks: $1"
}
expect "오류 보고"
expect "0xC0000005 접근 위반"
expect "주소 0x10을(를) 읽으려다 접근이 거부되었습니다."
expect "스레드 1234 · 오류가 난 스레드"
expect "quorvane.exe+$(tr 'A-F' 'a-f' <<<"$offset")"
expect 'C:\Users\홍길동\agent.exe'
expect "은행보안.exe"
expect '%ProgramFiles%\Quorvane\quorvane.exe'
if [ ${#symbols[@]} -gt 0 ]; then
  expect "qv::Fault(int volatile*)"
  expect "crash.cpp:3"
fi
grep -qF "$token" "$QV_SERVICE_LOG" && fail "the token is in the service's log"

bytes=$(stat -c %s "$shot")
[ "$bytes" -gt 20000 ] || fail "the screenshot is suspiciously small ($bytes bytes)"
echo "PASS: crash page rendered; screenshot $shot ($bytes bytes)"

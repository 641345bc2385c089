# Shared by scripts/run, scripts/test and the end-to-end tests: the packages the
# project needs, the Wine prefix for tests, and a private X server.
# shellcheck shell=bash

QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_WINE=/usr/lib/wine/wine64
QV_WINESERVER=/usr/lib/wine/wineserver64
[ -x "$QV_WINESERVER" ] || QV_WINESERVER=/usr/lib/wine/wineserver

# Debian packages. wine32 is never wanted: this machine's kernel cannot run 32-bit code.
QV_PACKAGES=(
  cmake ninja-build g++ pkg-config git ca-certificates
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  gcc-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 mingw-w64-tools libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils imagemagick fonts-nanum
  libboost-dev nlohmann-json3-dev libssl-dev libsqlite3-dev sqlite3 zlib1g-dev
  libpq-dev postgresql nginx chromium curl python3
)

qv_log() { printf '== %s\n' "$*" >&2; }

qv_install_deps() {
  local missing=() p
  for p in "${QV_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  qv_log "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
}

qv_build() { # preset[:target]...
  local item preset target
  for item in "$@"; do
    preset=${item%%:*}
    target=""
    [ "$item" != "$preset" ] && target=${item#*:}
    qv_log "build $preset${target:+ ($target)}"
    cmake --preset "$preset" -DQUORVANE_SERVICE_HOST="${QUORVANE_SERVICE_HOST:-quorvane.kr}" \
      -DQUORVANE_SERVICE_HTTP_HOST="${QUORVANE_SERVICE_HTTP_HOST:-}" >/dev/null || return 1
    cmake --build --preset "$preset" ${target:+--target "$target"} || return 1
  done
}

# Starts a private X server unless QV_DISPLAY_KEEP is set and DISPLAY works.
# Sets DISPLAY and QV_XVFB_PID.
qv_start_xvfb() {
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  QV_XVFB_PID=$!
  export DISPLAY=":$n"
  local i
  for i in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && return 0
    sleep 0.1
  done
  qv_log "Xvfb did not start on :$n"
  return 1
}

# Creates a fresh Wine prefix in DIR, running as Windows 10, with Hangul-capable
# fonts and no start-up noise, and leaves a persistent wine server running for
# it (so that no Wine process started later inherits and holds the caller's
# output pipes).
qv_make_prefix() {
  local dir=$1
  export WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  export WINEARCH=win64
  mkdir -p "$dir"
  "$QV_WINESERVER" -p >/dev/null 2>&1 </dev/null
  "$QV_WINE" wineboot -i >/dev/null 2>&1 </dev/null
  local reg="$dir/quorvane-fonts.reg" face
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for face in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI" "Malgun Gothic" "Gulim" "GulimChe" "Dotum" "DotumChe" "Batang" "Microsoft Sans Serif" "Arial" "Verdana"; do
      printf '"%s"="NanumGothic"\r\n' "$face"
    done
    printf '\r\n'
    # Wine 8 calls itself Windows 7 unless told otherwise, and the PCs the
    # program meets run Windows 10 and 11. A test may set another version for
    # one program under AppDefaults.
    printf '[HKEY_CURRENT_USER\\Software\\Wine]\r\n"Version"="win10"\r\n\r\n'
  } >"$reg"
  "$QV_WINE" regedit /S "$(printf 'Z:%s' "$reg" | tr / '\\')" >/dev/null 2>&1 </dev/null
  # A new prefix's first boot leaves the winebus service start-pending here,
  # holding the service manager's lock, and RpcSs unreachable even after that
  # gives up: no COM local server can be reached then (Explorer's ShellWindows
  # answers REGDB_E_CLASSNOTREG after seconds of waiting). The second boot
  # starts every service (about 1.5 s).
  "$QV_WINESERVER" -k >/dev/null 2>&1 </dev/null
  "$QV_WINESERVER" -p >/dev/null 2>&1 </dev/null
  "$QV_WINE" wineboot >/dev/null 2>&1 </dev/null
}

qv_stop_prefix() {
  [ -n "${WINEPREFIX:-}" ] && "$QV_WINESERVER" -k >/dev/null 2>&1 </dev/null || true
}

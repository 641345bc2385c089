#!/usr/bin/env bash
# THTTP over https: openssl s_server on loopback with self-signed certificates
# made out to another host name, one of them also long expired; the Windows test
# program's HttpsSelfSigned tests fetch a plain and a gzip body from each through
# WinHTTP. No certificate problem may fail a request. Three more servers speak
# only TLS 1.0 and 1.1, only 1.2 and only 1.3, for the HttpsProtocols tests: the
# first must get no request, the others must be reached.
set -u
: "${QV_BUILD:?QV_BUILD must name the win64 build folder}" "${QV_SOURCE:?QV_SOURCE must name the source folder}"
: "${WINEPREFIX:?WINEPREFIX must be set (run through scripts/test)}"
# shellcheck source=../../scripts/lib.sh
source "$QV_SOURCE/scripts/lib.sh"
export WINEDEBUG=${WINEDEBUG:--all}

work=$(mktemp -d /tmp/quorvane-e2e-http_tls.XXXXXX)
servers=()
finish() {
  local pid
  for pid in "${servers[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap finish EXIT
fail() {
  printf 'FAIL: %s\n' "$*"
  exit 1
}
cd "$work" || fail "no work folder"

# A current and an expired certificate, both self-signed for quorvane.invalid
# while the test connects to 127.0.0.1.
openssl req -x509 -newkey rsa:2048 -nodes -keyout current.key -out current.pem -days 30 \
  -subj "/CN=quorvane.invalid" >/dev/null 2>&1 || fail "could not make the current certificate"
openssl req -newkey rsa:2048 -nodes -keyout expired.key -out expired.req -subj "/CN=quorvane.invalid" \
  >/dev/null 2>&1 || fail "could not make the expired certificate's request"
mkdir ca && touch ca/index.txt && echo 01 >ca/serial
cat >ca.cnf <<'CNF'
[ca]
default_ca = self
[self]
dir = ./ca
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
default_md = sha256
policy = anything
[anything]
commonName = supplied
CNF
openssl ca -batch -config ca.cnf -selfsign -keyfile expired.key -in expired.req -out expired.pem \
  -startdate 20200101000000Z -enddate 20200201000000Z >/dev/null 2>&1 || fail "could not make the expired certificate"

# s_server -HTTP answers with a file of its working folder that holds the whole
# response, headers included. Each carries a Content-Length: Wine's WinHTTP does
# not see the end of a TLS body that only the closing connection ends.
mkdir www
respond() { # FILE HEADERS BODY-FILE
  {
    printf 'HTTP/1.0 200 ok\r\n%bContent-Length: %d\r\n\r\n' "$2" "$(stat -c %s "$3")"
    cat "$3"
  } >"www/$1"
}
printf '한글 테스트 over TLS' >body.txt
respond hello.txt 'Content-Type: text/plain; charset=utf-8\r\n' body.txt
gzip -c body.txt >body.gz
respond hello.gz 'Content-Type: text/plain\r\nContent-Encoding: gzip\r\n' body.gz

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# serve NAME [S_SERVER-OPTIONS...]: a server with the current certificate (the
# expired one for NAME expired); sets PORT.
serve() {
  local name=$1 cert=current
  shift
  [ "$name" = expired ] && cert=expired
  PORT=$(free_port) || fail "no free port"
  (cd www && exec openssl s_server -quiet -HTTP -accept "127.0.0.1:$PORT" -cert "../$cert.pem" -key "../$cert.key" "$@") \
    >"$work/$name-server.log" 2>&1 </dev/null &
  servers+=("$!")
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
    sleep 0.1
  done
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null || fail "openssl s_server ($name) did not listen on $PORT"
}

urls=""
for name in current expired; do
  serve "$name"
  urls="$urls https://127.0.0.1:$PORT"
done
# OpenSSL 3 signs TLS 1.0 and 1.1 handshakes only at security level 0.
serve old -no_tls1_2 -no_tls1_3 -cipher 'DEFAULT@SECLEVEL=0'
old_url=https://127.0.0.1:$PORT
serve tls12 -tls1_2
tls12_url=https://127.0.0.1:$PORT
serve tls13 -tls1_3
tls13_url=https://127.0.0.1:$PORT

QV_HTTPS_URLS="${urls# }" QV_TLS_OLD_URL=$old_url QV_TLS12_URL=$tls12_url QV_TLS13_URL=$tls13_url \
  "$QV_WINE" "$QV_BUILD/quorvane_win_tests.exe" --gtest_filter='HttpsSelfSigned.*:HttpsProtocols.*' \
  >"$work/tests.log" 2>&1 </dev/null
rc=$?
cat "$work/tests.log"
[ $rc -eq 0 ] || fail "the https tests failed (exit $rc)"
grep -q '^\[  SKIPPED \] HttpsSelfSigned' "$work/tests.log" && fail "the certificate tests were skipped"
grep -q '^\[==========\] 3 tests from .* ran' "$work/tests.log" || fail "the https tests did not all run"
# A protocol test skips, saying why, where Wine's WinHTTP lacks a TLS version.
tr -d '\r' <"$work/tests.log" | grep -A1 ': Skipped$' | grep -v -e ': Skipped$' -e '^--$' | sed 's/^/note: /'
echo "http_tls: passed"

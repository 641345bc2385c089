# The web service for scripts/run and the end-to-end tests. Source this file.
#
#   qv_service_start DATA_DIR HTTPS_PORT HTTP_PORT [CONFIG [OPTION...]]
#       starts the service in the background (output in DATA_DIR/service.log),
#       with CONFIG as --config unless it is empty, and any further options as
#       they are (--admin-token-file FILE --symbols DIR, say);
#       waits until both ports accept connections, and sets QV_SERVICE_PID,
#       QV_SERVICE_LOG, QV_SERVICE_HTTPS_PORT and QV_SERVICE_HTTP_PORT (the
#       ports actually bound, which matters when 0 asked for free ones).
#   qv_service_stop
#       stops it with SIGTERM (SIGKILL after 10 s) and waits for it.
#
# QV_SERVICE_EXE overrides the executable (default build/native/service/quorvane-service).
# shellcheck shell=bash

QV_SERVICE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

qv_service_start() {
  local data=${1:?data folder} https=${2:?https port} http=${3:?http port} config=${4:-}
  shift 3
  if [ $# -gt 0 ]; then shift; fi
  local exe=${QV_SERVICE_EXE:-$QV_SERVICE_ROOT/build/native/service/quorvane-service}
  if [ -n "${QV_SERVICE_PID:-}" ] && kill -0 "$QV_SERVICE_PID" 2>/dev/null; then
    echo "qv_service_start: already running as $QV_SERVICE_PID" >&2
    return 1
  fi
  if [ ! -x "$exe" ]; then
    echo "qv_service_start: $exe is not built" >&2
    return 1
  fi
  mkdir -p "$data" || return 1
  QV_SERVICE_LOG="$data/service.log"
  local args=(--https-port "$https" --http-port "$http" --data "$data")
  [ -n "$config" ] && args+=(--config "$config")
  args+=("$@")
  "$exe" "${args[@]}" >"$QV_SERVICE_LOG" 2>&1 </dev/null &
  QV_SERVICE_PID=$!
  local i line
  for i in $(seq 1 300); do
    line=$(grep -m 1 -E '^listening https=[0-9]+ http=[0-9]+$' "$QV_SERVICE_LOG" 2>/dev/null)
    if [ -n "$line" ]; then
      QV_SERVICE_HTTPS_PORT=$(sed -E 's/^listening https=([0-9]+) http=([0-9]+)$/\1/' <<<"$line")
      QV_SERVICE_HTTP_PORT=$(sed -E 's/^listening https=([0-9]+) http=([0-9]+)$/\2/' <<<"$line")
      export QV_SERVICE_PID QV_SERVICE_LOG QV_SERVICE_HTTPS_PORT QV_SERVICE_HTTP_PORT
      return 0
    fi
    if ! kill -0 "$QV_SERVICE_PID" 2>/dev/null; then
      wait "$QV_SERVICE_PID" 2>/dev/null
      echo "qv_service_start: the service ended before listening:" >&2
      tail -n 20 "$QV_SERVICE_LOG" >&2
      unset QV_SERVICE_PID
      return 1
    fi
    sleep 0.1
  done
  echo "qv_service_start: no 'listening' line within 30 s; stopping it" >&2
  qv_service_stop
  return 1
}

qv_service_stop() {
  local pid=${QV_SERVICE_PID:-}
  [ -n "$pid" ] || return 0
  if kill -TERM "$pid" 2>/dev/null; then
    local i
    for i in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  unset QV_SERVICE_PID
  return 0
}

#!/usr/bin/env bash
# scripts/check-layers against small trees of its own: a tree whose includes all
# point down passes, and each kind of wrong include planted into it fails, named.
set -u
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-layers
work=$(mktemp -d /tmp/quorvane-layers.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

# A tree with one file per layer and two pages, every include allowed.
make_tree() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"/{vek,ui,core,pages/clean,pages/start,app,service}
  cd "$work/tree" || exit 1
  printf '#pragma once\n#include <string>\n' >vek/text.h
  printf '#include "vek/text.h"\n' >ui/lists.h
  printf '#include "ui/lists.h"\n#include "vek/text.h"\n' >core/lib.h
  printf '#include "core/lib.h"\n' >pages/host.h
  printf '#include "pages/host.h"\n#include "pages/clean/reset.h"\n' >pages/clean/clean_win.cpp
  printf '#include "core/lib.h"\n' >pages/clean/reset.h
  printf '#include "pages/host.h"\n' >pages/start/start.h
  printf '#include "pages/clean/clean_win.h"\n#include "pages/start/start.h"\n' >app/main_win.cpp
  printf '#include "vek/text.h"\n#include "service/store.h"\n' >service/main.cpp
}

# expect_fail WHAT FILE LINE: LINE planted at the end of FILE makes the check
# fail and name FILE.
expect_fail() {
  make_tree
  printf '%s\n' "$3" >>"$2"
  local err
  if err=$("$check" "$work/tree" 2>&1); then
    echo "FAIL: $1: passed"
    failures=$((failures + 1))
  elif ! grep -qF "$2:" <<<"$err"; then
    echo "FAIL: $1: did not name $2: $err"
    failures=$((failures + 1))
  fi
}

make_tree
out=$("$check" "$work/tree" 2>&1) || { echo "FAIL: a tree of downward includes: $out"; failures=$((failures + 1)); }

expect_fail "a page reaching up into app" pages/clean/clean_win.cpp '#include "app/main_win.h"'
expect_fail "vek reaching up into ui" vek/text.h '#  include "ui/lists.h"'
expect_fail "core reaching up into pages" core/lib.h '#include "pages/host.h"'
expect_fail "one page including another" pages/start/start.h '#include "pages/clean/reset.h"'
expect_fail "the pages' shared part naming a page" pages/host.h '#include "pages/start/start.h"'
expect_fail "product code including tests" ui/lists.h '#include "tests/support/fake_shell.h"'
expect_fail "a layer including the service" app/main_win.cpp '#include "service/store.h"'
expect_fail "the service including the pages" service/main.cpp '#include "core/lib.h"'
expect_fail "an include not named from the root" core/lib.h '#include "lists.h"'

[ "$failures" -eq 0 ] && echo "check-layers: every planted include was caught"
[ "$failures" -eq 0 ]

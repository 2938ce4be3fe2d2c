#!/usr/bin/env bash
# Runs one Windows program under Wine the way the test suites need it; ctest
# uses it as the emulator of the cross-compiled build.
#
#   wine-exec.sh [--prefix-root <dir>] <program.exe> [args...]
#
# The prefix is $WINEPREFIX when set (run-suite.sh sets it); otherwise
# <dir>/default, made once and reused. The program's output is passed on
# after it ends: Wine's helper processes would hold a pipe open for as long as
# the session lives.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

prefix_root=
if [ "${1:-}" = --prefix-root ]; then
  prefix_root=$2
  shift 2
fi
if [ $# -lt 1 ]; then
  echo "usage: $0 [--prefix-root <dir>] <program.exe> [args...]" >&2
  exit 2
fi
ormid_find_wine || exit 2

if [ -z "${WINEPREFIX:-}" ]; then
  if [ -z "$prefix_root" ]; then
    echo "$0: set WINEPREFIX or pass --prefix-root" >&2
    exit 2
  fi
  mkdir -p "$prefix_root"
  WINEPREFIX=$(cd "$prefix_root" && pwd)/default
  export WINEPREFIX
  (
    flock 8
    if [ ! -f "$WINEPREFIX/.ormid-ready" ]; then
      # The session's processes outlive the set-up: they must not inherit the lock.
      "$here/setup-prefix.sh" "$WINEPREFIX" 8>&- && touch "$WINEPREFIX/.ormid-ready"
    fi
  ) 8>"$prefix_root/default.lock" || exit 1
fi
# Keeps (or brings back) the session between the suite's programs.
ormid_start_server

output=$(mktemp "${TMPDIR:-/tmp}/ormid-wine-exec.XXXXXX")
"$WINE64" "$@" >"$output.out" 2>"$output.err"
status=$?
cat "$output.out"
cat "$output.err" >&2
rm -f "$output" "$output.out" "$output.err"
exit $status

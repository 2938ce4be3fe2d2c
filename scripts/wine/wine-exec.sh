#!/usr/bin/env bash
# Runs one Windows program under Wine the way the test suites need it; ctest
# uses it as the emulator of the cross-compiled build.
#
#   wine-exec.sh [--prefix-root <dir>] [--stdio] <program.exe> [args...]
#
# The prefix is $WINEPREFIX when set (run-suite.sh sets it); otherwise
# <dir>/default, made once and reused. The program's output is passed on
# after it ends: Wine's helper processes would hold a pipe open for as long as
# the session lives.
#
# --stdio hands the standard streams to the program itself and replaces this
# script with it (same process id, the program's exit code), for a program
# that talks over them while it runs, as the host does with its peer. The
# session must be running already (setup-prefix.sh starts it): only then are
# the helper processes started elsewhere and never hold the caller's pipes.
# TMP and TEMP, when they hold Windows paths, become the program's temporary
# directory: they are written to the prefix's registry, where they stay for the
# later programs of the prefix (run such programs in a prefix of their own).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

prefix_root=
stdio=0
while [ $# -gt 0 ]; do
  case $1 in
    --prefix-root) prefix_root=$2; shift 2 ;;
    --stdio) stdio=1; shift ;;
    *) break ;;
  esac
done
if [ $# -lt 1 ]; then
  echo "usage: $0 [--prefix-root <dir>] [--stdio] <program.exe> [args...]" >&2
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
if [ "$stdio" = 1 ]; then
  # Wine takes TMP and TEMP from the user's registry environment and ignores
  # the Unix ones; Windows paths among them are written there first.
  reg=
  for name in TMP TEMP; do
    value=${!name:-}
    case $value in
      [A-Za-z]:\\*)
        printf -v line '"%s"="%s"\r\n' "$name" "${value//\\/\\\\}"
        reg+=$line
        ;;
    esac
  done
  if [ -n "$reg" ]; then
    regfile=$(mktemp "${TMPDIR:-/tmp}/ormid-wine-env.XXXXXX")
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Environment]\r\n%s' "$reg" >"$regfile"
    "$WINE64" regedit /S "$(ormid_windows_path "$regfile")" >/dev/null 2>&1 </dev/null
    rm -f "$regfile"
  fi
  exec "$WINE64" "$@"
fi

output=$(mktemp "${TMPDIR:-/tmp}/ormid-wine-exec.XXXXXX")
"$WINE64" "$@" >"$output.out" 2>"$output.err"
status=$?
cat "$output.out"
cat "$output.err" >&2
rm -f "$output" "$output.out" "$output.err"
exit $status

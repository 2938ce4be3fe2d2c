#!/usr/bin/env bash
# Runs one test suite in a fresh Wine prefix of its own and ends the prefix's
# session afterwards, so that nothing of it (a COM server still running, a
# stale class registration) reaches the next suite.
#
#   run-suite.sh [--prefix <dir>] [--server <server.exe>] [--typelib-tool <exe>] [--keep] \
#                -- <program.exe | command> [args...]
#
# A program ending in .exe runs under Wine; anything else (ctest, a script)
# runs with WINEPREFIX pointing at the prefix, so that wine-exec.sh uses it.
# Without --prefix the prefix is a new directory under
# ${ORMID_WINE_ROOT:-${TMPDIR:-/tmp}/ormid-wine-$UID}, removed at the end
# unless --keep is given. Suites that share a prefix must run one after another.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

prefix='' server='' typelib_tool='' keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --server) server=$2; shift 2 ;;
    --typelib-tool) typelib_tool=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --) shift; break ;;
    *) echo "$0: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ $# -lt 1 ]; then
  echo "usage: $0 [--prefix <dir>] [--server <exe>] [--typelib-tool <exe>] [--keep] -- <command> [args...]" >&2
  exit 2
fi
if [ -n "$typelib_tool" ] && [ -z "$server" ]; then
  echo "$0: --typelib-tool goes with --server" >&2
  exit 2
fi
ormid_find_wine || exit 2

if [ -z "$prefix" ]; then
  root=${ORMID_WINE_ROOT:-${TMPDIR:-/tmp}/ormid-wine-$(id -u)}
  mkdir -p "$root"
  prefix=$(mktemp -d "$root/suite.XXXXXX")
  export ORMID_WINE_TEMPLATE=${ORMID_WINE_TEMPLATE:-$root/template}
else
  keep=1  # a prefix the caller named is left for inspection
fi

setup_args=("$prefix")
[ -n "$server" ] && setup_args+=("$server")
[ -n "$typelib_tool" ] && setup_args+=("$typelib_tool")
"$here/setup-prefix.sh" "${setup_args[@]}" || exit 1
WINEPREFIX=$(cd "$prefix" && pwd)
export WINEPREFIX

finish() {
  ormid_stop_server
  if [ "$keep" = 0 ]; then rm -rf "$WINEPREFIX"; fi
}
trap finish EXIT

ormid_log "suite starts: $*"
case $1 in
  *.exe | *.EXE)
    "$here/wine-exec.sh" "$@"
    status=$?
    ;;
  *)
    "$@"
    status=$?
    ;;
esac
ormid_log "suite ended with status $status"
exit $status

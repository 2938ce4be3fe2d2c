#!/usr/bin/env bash
# Makes a fresh Wine prefix for one test suite and, when a COM local server is
# given, registers it as "Word.Application" together with the type library of
# the application events interface.
#
#   setup-prefix.sh <prefix> [<server.exe> [<typelib-tool.exe>]]
#
# The prefix is copied from a template beside it (<dir of prefix>/template, or
# $ORMID_WINE_TEMPLATE), made on first use. On return the prefix's server is
# running (persistent for 60 s) with its helper processes started, so that the
# suite's programs find the session ready; end the suite with
# `wineserver -k` (run-suite.sh does both).
#
# Environment: ORMID_SERVER_CLSID overrides the class identifier registered for
# the server (it must be the one the server registers its class object under).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  echo "usage: $0 <prefix> [<server.exe> [<typelib-tool.exe>]]" >&2
  exit 2
fi
prefix=$(mkdir -p "$1" && cd "$1" && pwd)
server=${2:-}
typelib_tool=${3:-}
if [ -n "$server" ] && [ -z "$typelib_tool" ]; then
  typelib_tool=$(dirname "$server")/ormid-events-typelib.exe
fi
for exe in "$server" "$typelib_tool"; do
  if [ -n "$exe" ] && [ ! -f "$exe" ]; then
    echo "$0: $exe not found" >&2
    exit 2
  fi
done

# The class the stand-in servers register their class object under.
default_clsid='{6F1D2A47-3C5B-4E8A-9D21-7A0B4C3E5F61}'
clsid=${ORMID_SERVER_CLSID:-$default_clsid}
progid=Word.Application

ormid_find_wine
template=${ORMID_WINE_TEMPLATE:-$(dirname "$prefix")/template}
ormid_ensure_template "$template"

export WINEPREFIX=$prefix
# A server of an earlier suite in this prefix must not serve this one.
ormid_stop_server
ormid_copy_template "$template" "$prefix"
ormid_log "prefix copied to $prefix"
ormid_start_server
logs=$prefix/setup
mkdir -p "$logs"

regfile=$logs/registration.reg
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  if [ -n "$server" ]; then
    server_path=$(ormid_windows_path "$server")
    command_line="\"${server_path}\" -Embedding"
    # .reg strings escape backslashes and quotes.
    esc() { local s=${1//\\/\\\\}; echo "${s//\"/\\\"}"; }
    printf '[HKEY_CLASSES_ROOT\\%s]\r\n@="Test automation server"\r\n\r\n' "$progid"
    printf '[HKEY_CLASSES_ROOT\\%s\\CLSID]\r\n@="%s"\r\n\r\n' "$progid" "$clsid"
    printf '[HKEY_CLASSES_ROOT\\CLSID\\%s]\r\n@="Test automation server"\r\n\r\n' "$clsid"
    printf '[HKEY_CLASSES_ROOT\\CLSID\\%s\\LocalServer32]\r\n@="%s"\r\n\r\n' "$clsid" "$(esc "$command_line")"
    printf '[HKEY_CLASSES_ROOT\\CLSID\\%s\\ProgID]\r\n@="%s"\r\n\r\n' "$clsid" "$progid"
  fi
} >"$regfile"
# The first program of the session also starts its helper processes; with its
# output in files they never hold a caller's pipe open.
ormid_wine "$logs/regedit" regedit /S "$(ormid_windows_path "$regfile")"
ormid_log "registry imported"

if [ -n "$server" ]; then
  ormid_wine "$logs/typelib" "$typelib_tool" 'C:\windows\ormid-events.tlb' || {
    echo "$0: the type library could not be registered:" >&2
    cat "$logs/typelib.out" "$logs/typelib.err" >&2
    exit 1
  }
  ormid_log "events type library registered"
fi

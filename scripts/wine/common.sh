# shellcheck shell=bash
# Shared by the Wine scripts (sourced, not run).
#
# Things every script here relies on:
# - Wine starts helper processes (services, the desktop, device drivers) that
#   inherit the standard output and error of the first Wine process of a
#   session and live as long as the session. Wine's output is therefore always
#   sent to files, never to a pipe or a $(...) that waits for the end of it.
# - A prefix is copied from a template made once per build tree; making one
#   from scratch takes several seconds, a copy a fraction of one. The large
#   system directories are shared by hard links: nothing writes into them once
#   the template exists.

export WINEDEBUG=-all
# Wine finds a prefix's running session (its server socket) under $TMPDIR:
# every Wine process of the prefix must see the same one, also when a test
# gives the programs it starts a TMPDIR of their own. Windows programs take
# their temporary directory from TMP and TEMP instead.
export ORMID_WINE_TMPDIR=${ORMID_WINE_TMPDIR:-${TMPDIR:-/tmp}}
export TMPDIR=$ORMID_WINE_TMPDIR
# No download prompts for the .NET and HTML runtimes, which nothing here uses.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

ormid_find_wine() {
  WINE64=${ORMID_WINE64:-}
  if [ -z "$WINE64" ]; then
    if [ -x /usr/lib/wine/wine64 ]; then
      WINE64=/usr/lib/wine/wine64
    else
      WINE64=$(command -v wine64 || command -v wine || true)
    fi
  fi
  # The distribution's wineserver wrapper adds options of its own; the server
  # binary is called directly where it can be found.
  WINESERVER=${ORMID_WINESERVER:-}
  if [ -z "$WINESERVER" ]; then
    if [ -x /usr/lib/wine/wineserver64 ]; then
      WINESERVER=/usr/lib/wine/wineserver64
    else
      WINESERVER=$(command -v wineserver || true)
    fi
  fi
  if [ -z "$WINE64" ] || [ -z "$WINESERVER" ]; then
    echo "wine64 and wineserver are needed (Debian package wine64)" >&2
    return 1
  fi
}

ormid_now_ms() { date +%s%3N; }

# ormid_log <text>: progress on standard error with the time since the script started.
ormid_log() {
  echo "[wine $(($(ormid_now_ms) - ORMID_T0)) ms] $*" >&2
}
ORMID_T0=$(ormid_now_ms)

# ormid_wine <log-stem> <program> [args...]: runs a Windows program in
# $WINEPREFIX with its output in <log-stem>.out and <log-stem>.err.
ormid_wine() {
  local stem=$1
  shift
  "$WINE64" "$@" >"$stem.out" 2>"$stem.err" </dev/null
}

# Keeps the session's server alive between the many short runs of a suite.
# The seconds must be attached to the option. The server outlives the caller:
# it must not hold the caller's output open.
ormid_start_server() {
  "$WINESERVER" -p60 </dev/null >/dev/null 2>&1 || true
}

ormid_stop_server() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
}

# ormid_ensure_template <dir>: makes the template prefix once (under a lock,
# as several suites may start at the same moment).
ormid_ensure_template() {
  local template=$1
  local stamp=$template/.ormid-template
  local version
  version=$("$WINE64" --version 2>/dev/null </dev/null || echo unknown)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
    return 0
  fi
  mkdir -p "$(dirname "$template")"
  (
    flock 9
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
      exit 0
    fi
    rm -rf "$template"
    ormid_log "making the template prefix $template"
    (
      exec 9>&-  # Wine's processes must not keep the lock
      export WINEPREFIX=$template
      ormid_wine "$template.wineboot" wineboot -i
      # Without a graphics driver no window can be created; the null driver
      # needs no display.
      ormid_wine "$template.reg" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
      # COM activation hangs in the session that made the prefix: end it.
      "$WINESERVER" -w
    ) || exit 1
    echo "$version" >"$stamp"
    ormid_log "template ready"
  ) 9>"$template.lock"
}

# ormid_copy_template <template> <prefix>: a fresh prefix from the template.
ormid_copy_template() {
  local template=$1 prefix=$2
  rm -rf "$prefix"
  mkdir -p "$prefix"
  local entry
  for entry in "$template"/* "$template"/.update-timestamp; do
    [ -e "$entry" ] || continue
    case $(basename "$entry") in
      drive_c) ;;
      *) cp -a "$entry" "$prefix/" ;;
    esac
  done
  mkdir -p "$prefix/drive_c"
  for entry in "$template"/drive_c/*; do
    case $(basename "$entry") in
      windows) ;;
      *) cp -a "$entry" "$prefix/drive_c/" ;;
    esac
  done
  mkdir -p "$prefix/drive_c/windows"
  for entry in "$template"/drive_c/windows/*; do
    case $(basename "$entry") in
      system32 | syswow64 | winsxs) cp -al "$entry" "$prefix/drive_c/windows/" ;;
      *) cp -a "$entry" "$prefix/drive_c/windows/" ;;
    esac
  done
}

# ormid_windows_path <unix-path>: the path as a Windows program in the prefix
# sees it through drive Z:.
ormid_windows_path() {
  local path
  path=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  echo "Z:${path//\//\\}"
}

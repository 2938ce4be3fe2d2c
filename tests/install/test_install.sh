#!/usr/bin/env bash
# Runs the manifest installer against a temporary HOME and DESTDIR and checks
# the manifests browsers would read, that what browsers reject is refused, and
# that --check finds each fault a browser would trip over. Given the built host
# and client, also checks that they tell their version and touch nothing.
set -uo pipefail

INSTALLER=${1:?usage: test_install.sh path/to/ormid-install [host client version]}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
unset XDG_CONFIG_HOME XDG_DATA_HOME DESTDIR
export HOME=$WORK/home
mkdir -p "$HOME"
HOST=$WORK/lib/ormid-doc-editor/ormid-doc-editor
mkdir -p "${HOST%/*}"
printf '#!/bin/sh\n' >"$HOST"
chmod 755 "$HOST"
touch "$WORK/not-executable"
ID=nhipdoifmhiejfbjpikpbppgkchfgblj
ID2=abcdefghijklmnopabcdefghijklmnop

passed=0
failed=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}
ok() { passed=$((passed + 1)); }

# Checks one manifest: file, expected allowed key and its values.
check_manifest() {
  local file=$1 key=$2
  shift 2
  if [[ ! -f $file ]]; then
    fail "missing $file"
    return
  fi
  if python3 - "$file" "$HOST" "$key" "$@" <<'PY'; then ok; else fail "bad manifest $file"; fi
import json, sys
path, host, key, *values = sys.argv[1:]
m = json.load(open(path))
other = "allowed_extensions" if key == "allowed_origins" else "allowed_origins"
assert m["name"] == "ormid.doc_editor", m
assert m["description"], m
assert m["path"] == host, m
assert m["type"] == "stdio", m
assert m[key] == values, (m[key], values)
assert other not in m, m
PY
}

# --- manifests written where each browser looks ------------------------------
out=$("$INSTALLER" --host "$HOST" --extension-id "$ID" --extension-id "chrome-extension://$ID2/" \
  --firefox-id ormid@example.org 2>&1) || fail "install: $out"
while read -r dir key; do
  check_manifest "$HOME/$dir/ormid.doc_editor.json" "$key" \
    $([[ $key == allowed_origins ]] && echo "chrome-extension://$ID/ chrome-extension://$ID2/" || echo ormid@example.org)
  [[ $out == *"Wrote $HOME/$dir/ormid.doc_editor.json"* ]] && ok || fail "not reported: $dir"
done <<LIST
.config/google-chrome/NativeMessagingHosts allowed_origins
.config/chromium/NativeMessagingHosts allowed_origins
.config/microsoft-edge/NativeMessagingHosts allowed_origins
.mozilla/native-messaging-hosts allowed_extensions
LIST

out=$("$INSTALLER" uninstall 2>&1) || fail "uninstall: $out"
left=$(find "$HOME" -name '*.json')
[[ -z $left ]] && ok || fail "uninstall left $left"

# --- only the browsers asked for, and the system-wide locations --------------
DESTDIR=$WORK/root "$INSTALLER" --system --browser chromium,firefox --host "$HOST" --extension-id "$ID" \
  --firefox-id '{12345678-1234-1234-1234-123456789abc}' >/dev/null || fail "system install"
check_manifest "$WORK/root/etc/chromium/native-messaging-hosts/ormid.doc_editor.json" allowed_origins "chrome-extension://$ID/"
check_manifest "$WORK/root/usr/lib/mozilla/native-messaging-hosts/ormid.doc_editor.json" allowed_extensions \
  '{12345678-1234-1234-1234-123456789abc}'
[[ ! -e $WORK/root/etc/opt/chrome ]] && ok || fail "chrome written although not asked for"
[[ -z $(find "$HOME" -name '*.json') ]] && ok || fail "--system wrote below HOME"

# --- a browser profile of its own, and the default host path -----------------
"$INSTALLER" --profile-dir "$WORK/profile" --host "$HOST" --extension-id "$ID" >/dev/null || fail "profile install"
check_manifest "$WORK/profile/NativeMessagingHosts/ormid.doc_editor.json" allowed_origins "chrome-extension://$ID/"
"$INSTALLER" --prefix "$WORK" --profile-dir "$WORK/profile2" --extension-id "$ID" >/dev/null || fail "--prefix"
check_manifest "$WORK/profile2/NativeMessagingHosts/ormid.doc_editor.json" allowed_origins "chrome-extension://$ID/"

# --- what browsers would reject is refused, and nothing is written ----------
while IFS='|' read -r expect args; do
  rm -rf "$HOME"
  mkdir -p "$HOME"
  eval "set -- $args"
  out=$("$INSTALLER" "$@" 2>&1)
  rc=$?
  if [[ $rc -eq 0 || $out != *"$expect"* ]]; then
    fail "[$args] gave rc=$rc: $out"
  elif [[ -n $(find "$HOME" -type f) ]]; then
    fail "[$args] wrote a file although it failed"
  else
    ok
  fi
done <<CASES
must be lowercase|--name Ormid.Doc --host $HOST --extension-id $ID
must be lowercase|--name ../evil --host $HOST --extension-id $ID
must be lowercase|--name ormid..doc --host $HOST --extension-id $ID
32 letters|--host $HOST --extension-id abcdefghijklmnopabcdefghijklmnoq
32 letters|--host $HOST --extension-id abcdefghijklmnop
must end with '/'|--host $HOST --extension-id chrome-extension://$ID
not a Firefox extension id|--host $HOST --firefox-id no-at-sign
must be absolute|--host relative/ormid-doc-editor --extension-id $ID
does not exist|--host $WORK/missing --extension-id $ID
not an executable file|--host $WORK/not-executable --extension-id $ID
not an executable file|--host $WORK --extension-id $ID
at least one|--host $HOST
firefox needs --firefox-id|--browser firefox --host $HOST --extension-id $ID
unknown browser|--browser opera --host $HOST --extension-id $ID
description must not be empty|--description '' --host $HOST --extension-id $ID
CASES

# --- a second application's ids join the first one's; --remove-extension -----
rm -rf "$HOME" && mkdir -p "$HOME"
CHROMIUM=$HOME/.config/chromium/NativeMessagingHosts/ormid.doc_editor.json
FIREFOX=$HOME/.mozilla/native-messaging-hosts/ormid.doc_editor.json
"$INSTALLER" --host "$HOST" --extension-id "$ID" --firefox-id one@example.org >/dev/null || fail "first application"
"$INSTALLER" --host "$HOST" --extension-id "$ID2" --extension-id "$ID" >/dev/null || fail "second application"
"$INSTALLER" --host "$HOST" --firefox-id two@example.org >/dev/null || fail "second Firefox application"
check_manifest "$CHROMIUM" allowed_origins "chrome-extension://$ID/" "chrome-extension://$ID2/"
check_manifest "$FIREFOX" allowed_extensions one@example.org two@example.org
"$INSTALLER" --remove-extension "$ID" --remove-extension one@example.org >/dev/null || fail "--remove-extension"
check_manifest "$CHROMIUM" allowed_origins "chrome-extension://$ID2/"
check_manifest "$FIREFOX" allowed_extensions two@example.org
out=$("$INSTALLER" --remove-origin "chrome-extension://$ID2/" 2>&1) || fail "removing the last id: $out"
[[ ! -e $CHROMIUM && $out == *"Removed $CHROMIUM"* ]] && ok || fail "a manifest allowing nobody was kept: $out"
printf '{"name":' >"$FIREFOX"
"$INSTALLER" --host "$HOST" --firefox-id two@example.org >/dev/null 2>&1 || fail "replacing an unreadable manifest"
check_manifest "$FIREFOX" allowed_extensions two@example.org

# --- --check: each fault a browser trips over, planted in a fresh HOME and root
ROOT=$WORK/root
FF=doc-editor-bridge@ormid.example
install_for() { DESTDIR=$ROOT "$INSTALLER" --host "$HOST" --browser "$@" >/dev/null || fail "install_for $*"; }
plant() { mkdir -p "${1%/*}" && printf '%s' "$2" >"$1"; }
while IFS='|' read -r rc expect setup args; do
  rm -rf "$HOME" "$ROOT"
  mkdir -p "$HOME" "$ROOT"
  eval "$setup"
  eval "set -- $args"
  out=$(DESTDIR=$ROOT "$INSTALLER" --check "$@" 2>&1)
  got=$?
  [[ $got -eq $rc && $out == *"$expect"* ]] && ok || fail "check [$setup] gave rc=$got: $out"
done <<CASES
0|ok: $CHROMIUM starts $HOST|install_for chromium --extension-id $ID|
0|No problem found|install_for firefox --firefox-id $FF; install_for chromium --extension-id $ID --system; mkdir -p $ROOT/usr/lib/chromium|
0|No problem found|install_for chrome --extension-id $ID2|--extension-id $ID2
0|No problem found|install_for firefox --firefox-id x@example.org|--firefox-id x@example.org
1|No browser found|:|
1|no manifest where Chromium looks|mkdir -p $ROOT/usr/lib/chromium|
1|no manifest where Firefox looks|install_for chromium --extension-id $ID; mkdir -p $HOME/.mozilla|
1|does not parse|plant $CHROMIUM '{"name": "ormid.doc_editor",'|
1|does not parse|plant $CHROMIUM '["ormid.doc_editor"]'|
1|not read: $ROOT/etc/chromium|plant $CHROMIUM '{'; install_for chromium --extension-id $ID --system|
1|names the host 'other'|install_for chromium --extension-id $ID; sed -i 's/"ormid.doc_editor"/"other"/' $CHROMIUM|
1|$WORK/missing, which does not exist|install_for chromium --extension-id $ID; sed -i 's#"$HOST"#"$WORK/missing"#' $CHROMIUM|
1|which is not an executable file|install_for chromium --extension-id $ID; sed -i 's#"$HOST"#"$WORK/not-executable"#' $CHROMIUM|
1|does not allow chrome-extension://$ID/ in allowed_origins|install_for edge --extension-id $ID2|
1|does not allow chrome-extension://$ID/|install_for chromium --extension-id $ID; sed -i 's#$ID/#$ID#' $CHROMIUM|
1|does not allow $FF in allowed_extensions|install_for firefox --firefox-id x@example.org|
1|Flatpak sandbox cannot start a host|install_for chromium --extension-id $ID; mkdir -p $HOME/.var/app/org.chromium.Chromium|
1|Snap sandbox cannot start a host|mkdir -p $ROOT/snap/firefox|
1|no manifest in $WORK/no-profile/NativeMessagingHosts|install_for chromium --extension-id $ID|--profile-dir $WORK/no-profile
CASES

# --- the programs tell their version and touch nothing else ------------------
if [[ $# -ge 4 ]]; then
  mkdir -p "$WORK/tmp"
  for program in "$2" "$3"; do
    out=$(TMPDIR=$WORK/tmp "$program" --version </dev/null 2>&1)
    rc=$?
    [[ $rc -eq 0 && $out == "${program##*/} $4" ]] && ok || fail "$program --version gave rc=$rc: $out"
  done
  [[ -z $(ls -A "$WORK/tmp") ]] && ok || fail "--version left $(ls -A "$WORK/tmp")"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]

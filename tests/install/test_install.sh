#!/usr/bin/env bash
# Runs the manifest installer against a temporary HOME and DESTDIR and checks
# the manifests browsers would read, and that what browsers reject is refused.
set -uo pipefail

INSTALLER=${1:?usage: test_install.sh path/to/ormid-install}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
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

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]

#!/usr/bin/env bash
# Installs the Windows installers with msiexec in the Wine prefix $WINEPREFIX
# (run-suite.sh gives it a fresh one) and removes them again:
#   1. for every user, with the three policy properties: the files in Program
#      Files, the manifests, the browsers' keys in the 64-bit view of HKLM (the
#      one reg, a 64-bit program, reads, and the one browsers read first), the
#      policy values; the installed host answers a message;
#   2. its removal leaves none of it;
#   3. for every user without properties (no policy value) beside the
#      installation for the current user (its files and HKCU keys);
#   4. removing both leaves nothing.
#
#   test_msi.sh <per-machine.msi> <per-user.msi> <chrome-ids> <firefox-ids>
set -uo pipefail

MACHINE_MSI=${1:?usage: test_msi.sh per-machine.msi per-user.msi chrome-ids firefox-ids}
USER_MSI=$2
IFS=';' read -ra CHROME_IDS <<<"$3"
IFS=';' read -ra FIREFOX_IDS <<<"$4"
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=$here/../../scripts/wine
# shellcheck source=../../scripts/wine/common.sh
. "$wine_dir/common.sh"
ormid_find_wine || exit 1
[[ -n ${WINEPREFIX:-} ]] || { echo "WINEPREFIX must name the test's prefix (run it through run-suite.sh)"; exit 2; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# wine <program> [args...]: in the prefix, its output in $WORK/out (Wine's
# helper processes would hold a pipe open).
wine() { ormid_wine "$WORK/run" "$@"; local status=$?; tr -d '\r' <"$WORK/run.out" >"$WORK/out"; return $status; }
msiexec() {
  wine msiexec "$@" /qn /l*v "$(ormid_windows_path "$WORK/msiexec.log")" ||
    { tr -d '\0\r' <"$WORK/msiexec.log" | tail -20; fail "msiexec $*"; }
}
# reg_value <key> [<name>]: the data of the value (the key's default without a name).
reg_value() {
  local which=(/ve)
  [[ -n ${2:-} ]] && which=(/v "$2")
  # On failure $WORK/out keeps what reg said on its error stream.
  wine reg query "$1" "${which[@]}" || { tail -3 "$WORK/run.err" >>"$WORK/out"; return 1; }
  awk -F'    ' '/ REG_/ {print $NF}' "$WORK/out"
}
unix_path() { local p=${1#[Cc]:\\}; echo "$WINEPREFIX/drive_c/${p//\\//}"; }

wine cmd /c echo '%LOCALAPPDATA%' && user_dir="$(cat "$WORK/out")\\Programs\\OrmidDocEditor"
machine_dir='C:\Program Files\OrmidDocEditor'
BROWSER_KEYS=('Software\Google\Chrome\NativeMessagingHosts\ormid.doc_editor:ormid.doc_editor.json'
  'Software\Microsoft\Edge\NativeMessagingHosts\ormid.doc_editor:ormid.doc_editor.json'
  'Software\Mozilla\NativeMessagingHosts\ormid.doc_editor:ormid.doc_editor.firefox.json')
POLICY='HKLM\Software\Policies\Ormid\DocEditor'
POLICY_VALUES=('allowedWorkingDirectories=C:\docs;D:\shared docs' 'maxDocumentBytes=1048576' 'logLevel=debug')

# check_installed <hive> <windows dir>: the files, the manifests and the keys.
check_installed() {
  local hive=$1 dir=$2 entry key file
  printf '%s\n' ormid-client.exe ormid-doc-editor.exe ormid.doc_editor.firefox.json ormid.doc_editor.json >"$WORK/expected"
  ls "$(unix_path "$dir")" >"$WORK/files" 2>&1
  diff -u "$WORK/expected" "$WORK/files" || fail "files in $dir"
  origins=()
  for id in "${CHROME_IDS[@]}"; do origins+=("chrome-extension://$id/"); done
  python3 - "$(unix_path "$dir")" "${#origins[@]}" "${origins[@]}" "${FIREFOX_IDS[@]}" <<'PY' || fail "manifests in $dir"
import json, sys
folder, count, *ids = sys.argv[1:]
count = int(count)
for file, key, allowed in (("ormid.doc_editor.json", "allowed_origins", ids[:count]),
                           ("ormid.doc_editor.firefox.json", "allowed_extensions", ids[count:])):
    m = json.load(open(f"{folder}/{file}", encoding="utf-8"))
    want = {"name": "ormid.doc_editor", "path": "ormid-doc-editor.exe", "type": "stdio", key: allowed}
    bad = {k: m.get(k) for k, v in want.items() if m.get(k) != v}
    if bad or set(m) != set(want) | {"description"}:
        sys.exit(f"{file}: {m}")
PY
  for entry in "${BROWSER_KEYS[@]}"; do
    key=${entry%%:*} file=${entry#*:}
    [[ $(reg_value "$hive\\$key") == "$dir\\$file" ]] || fail "$hive\\$key: $(cat "$WORK/out")"
  done
}

# check_removed <hive> <windows dir>
check_removed() {
  local hive=$1 dir=$2 entry
  [[ ! -e $(unix_path "$dir") ]] || fail "$dir left: $(ls "$(unix_path "$dir")")"
  for entry in "${BROWSER_KEYS[@]}"; do
    ! wine reg query "$hive\\${entry%%:*}" || fail "$hive\\${entry%%:*} left"
  done
}

# 1. For every user, with the policy.
properties=()
for pair in "${POLICY_VALUES[@]}"; do name=${pair%%=*} && properties+=("${name^^}=${pair#*=}"); done
msiexec /i "$(ormid_windows_path "$MACHINE_MSI")" "${properties[@]}"
check_installed HKLM "$machine_dir"
for pair in "${POLICY_VALUES[@]}"; do
  [[ $(reg_value "$POLICY" "${pair%%=*}") == "${pair#*=}" ]] || fail "policy ${pair%%=*}: $(cat "$WORK/out")"
done

# The installed host answers in the browser's framing, obeys the policy the
# installer wrote (a directory outside it is refused), and logs into its
# temporary directory.
mkdir "$WORK/tmp"
TMP=$(ormid_windows_path "$WORK/tmp") TEMP=$(ormid_windows_path "$WORK/tmp") python3 - \
  "$wine_dir/wine-exec.sh" "$machine_dir\\ormid-doc-editor.exe" <<'PY' || fail "the installed host does not answer"
import json, struct, subprocess, sys
request = json.dumps({"messageId": "1", "contentId": "c", "command": "getDocument", "nameFile": "a.docx",
                      "workingDirectory": "C:\\elsewhere"}).encode()
out = subprocess.run([sys.argv[1], "--stdio", sys.argv[2]], input=struct.pack("<I", len(request)) + request,
                     capture_output=True, timeout=60).stdout
length = struct.unpack("<I", out[:4])[0]
answer = json.loads(out[4:4 + length])
if answer["status"] != {"description": "Working directory not allowed", "result": "error"}:
    sys.exit(f"answer: {answer}")
PY
[[ -s $WORK/tmp/OrmidDocEditor.log ]] || fail "no OrmidDocEditor.log in the host's TEMP: $(ls "$WORK/tmp")"

# 2. Its removal.
msiexec /x "$(ormid_windows_path "$MACHINE_MSI")"
check_removed HKLM "$machine_dir"
! wine reg query "$POLICY" || fail "policy left: $(cat "$WORK/out")"

# 3. For every user without a policy, and for the current user beside it.
msiexec /i "$(ormid_windows_path "$MACHINE_MSI")"
! wine reg query "$POLICY" || fail "policy values without their properties: $(cat "$WORK/out")"
msiexec /i "$(ormid_windows_path "$USER_MSI")"
check_installed HKCU "$user_dir"

# 4. Both removed: the installation for every user outlives the other one.
msiexec /x "$(ormid_windows_path "$USER_MSI")"
check_removed HKCU "$user_dir"
check_installed HKLM "$machine_dir"
msiexec /x "$(ormid_windows_path "$MACHINE_MSI")"
check_removed HKLM "$machine_dir"

((failed == 0)) && echo "MSI test passed"
exit $((failed > 0))

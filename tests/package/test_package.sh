#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a throw-away root and checks its
# files, manifests and control fields; runs the packaged host there; runs
# lintian when installed; installs and removes the package in that root.
# Exits 77 (skipped) without cpack, dpkg-deb or python3.
set -uo pipefail

BUILD=${1:?usage: test_package.sh build-dir cpack bin-dir chrome-ids firefox-ids [policy]}
CPACK=$2 BIN=$3 POLICY=${6:-}
IFS=';' read -ra CHROME_IDS <<<"$4"
IFS=';' read -ra FIREFOX_IDS <<<"$5"
for tool in "$CPACK" dpkg-deb dpkg python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export PATH=$PATH:/usr/sbin:/sbin

failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

"$CPACK" -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" -D CPACK_OUTPUT_FILE_PREFIX="$WORK/out" >"$WORK/cpack.log" 2>&1 ||
  { cat "$WORK/cpack.log"; fail "cpack"; exit 1; }
DEB=$(ls "$WORK"/out/*.deb)
[[ -f $DEB ]] || { fail "no package built"; exit 1; }

# The package's files, exactly.
LIB=usr/lib/ormid-doc-editor
NAME=ormid.doc_editor.json
expected=("$LIB/ormid-doc-editor" usr/bin/ormid-install usr/bin/ormid-client
  "etc/chromium/native-messaging-hosts/$NAME" "etc/opt/chrome/native-messaging-hosts/$NAME"
  "usr/lib/mozilla/native-messaging-hosts/$NAME" usr/share/doc/ormid-doc-editor/copyright
  usr/share/doc/ormid-doc-editor/changelog.gz usr/share/lintian/overrides/ormid-doc-editor)
[[ -f $BIN/libormid_uno.so ]] && expected+=("$LIB/libormid_uno.so")
# The policy the build was given (ORMID_PACKAGE_POLICY), a conffile like the manifests.
conffiles=("etc/chromium/native-messaging-hosts/$NAME" "etc/opt/chrome/native-messaging-hosts/$NAME")
[[ -n $POLICY ]] && conffiles+=(etc/ormid-doc-editor/policy.json) && expected+=(etc/ormid-doc-editor/policy.json)
dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}' | sort >"$WORK/files"
printf '%s\n' "${expected[@]}" | sort >"$WORK/expected"
diff -u "$WORK/expected" "$WORK/files" || fail "package files differ from the expected ones"

ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT"
HOST=/$LIB/ormid-doc-editor
[[ -x $ROOT$HOST ]] || fail "$HOST is not executable"

# Manifests: name, installed host, stdio, the ids configured.
check_manifest() {
  python3 - "$1" "$HOST" "$2" "${@:3}" <<'PY' || fail "manifest $1"
import json, sys
file, host, key, *ids = sys.argv[1:]
m = json.load(open(file))
want = {"name": "ormid.doc_editor", "path": host, "type": "stdio", key: ids}
bad = {k: m.get(k) for k, v in want.items() if m.get(k) != v}
other = "allowed_extensions" if key == "allowed_origins" else "allowed_origins"
if bad or other in m or not m.get("description"):
    sys.exit(f"{file}: {bad or m}")
PY
}
origins=()
for id in "${CHROME_IDS[@]}"; do origins+=("chrome-extension://$id/"); done
check_manifest "$ROOT/etc/chromium/native-messaging-hosts/$NAME" allowed_origins "${origins[@]}"
check_manifest "$ROOT/etc/opt/chrome/native-messaging-hosts/$NAME" allowed_origins "${origins[@]}"
check_manifest "$ROOT/usr/lib/mozilla/native-messaging-hosts/$NAME" allowed_extensions "${FIREFOX_IDS[@]}"

# The packaged host answers a message in the browser's framing.
mkdir "$WORK/tmp"
python3 - "$ROOT$HOST" "$WORK/tmp" <<'PY' || fail "the packaged host does not answer"
import json, os, struct, subprocess, sys
request = json.dumps({"messageId": "1", "contentId": "c", "command": "x"}).encode()
env = dict(os.environ, TMPDIR=sys.argv[2])
out = subprocess.run([sys.argv[1]], input=struct.pack("<I", len(request)) + request,
                     capture_output=True, timeout=20, env=env).stdout
length = struct.unpack("<I", out[:4])[0]
answer = json.loads(out[4:4 + length])
if answer["status"]["description"] != "Unknow request command x":
    sys.exit(f"answer: {answer}")
PY
# The office's module loads from the packaged directory, its libraries found.
if [[ -f $ROOT/$LIB/libormid_uno.so ]]; then
  python3 -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1])' "$ROOT/$LIB/libormid_uno.so" ||
    fail "the packaged office module does not load"
fi

# Control fields.
dpkg-deb -f "$DEB" Package Version Architecture Maintainer Depends Recommends Description >"$WORK/control"
grep -q '^Depends: .*libc6' "$WORK/control" || fail "Depends lacks the shared libraries: $(cat "$WORK/control")"
grep -q '^Recommends: libreoffice-writer' "$WORK/control" || fail "no Recommends: libreoffice-writer"
grep -q '^Maintainer: .*<.*@.*>' "$WORK/control" || fail "no Maintainer"
dpkg-deb --ctrl-tarfile "$DEB" | tar -xO ./conffiles 2>/dev/null | sort >"$WORK/conffiles"
printf '/%s\n' "${conffiles[@]}" | sort | diff -u - "$WORK/conffiles" || fail "the files in /etc are not the conffiles"
[[ -z $POLICY ]] || cmp -s "$POLICY" "$ROOT/etc/ormid-doc-editor/policy.json" || fail "the packaged policy differs"

if command -v lintian >/dev/null; then
  lintian --allow-root "$DEB" >"$WORK/lintian" 2>&1
  cat "$WORK/lintian"
  ! grep -q '^E:' "$WORK/lintian" || fail "lintian errors"
fi

# Install and remove in the throw-away root.
DROOT=$WORK/droot
mkdir -p "$DROOT/var/lib/dpkg/info" "$DROOT/var/lib/dpkg/updates"
touch "$DROOT/var/lib/dpkg/status"
dpkg_root() {
  dpkg --root="$DROOT" --log="$WORK/dpkg.log" --force-not-root --force-script-chrootless \
    --force-depends "$@" >>"$WORK/dpkg.out" 2>&1 || { cat "$WORK/dpkg.out"; fail "dpkg $*"; }
}
left() { find "$DROOT" -mindepth 1 -not -path "$DROOT/var*" -not -type d | sed "s|^$DROOT/||" | sort; }
dpkg_root -i "$DEB"
[[ $(left) == "$(sort "$WORK/files")" ]] || fail "installed files: $(left)"
dpkg_root -r ormid-doc-editor
[[ $(left) == "$(printf '%s\n' "${conffiles[@]}" | sort)" ]] ||
  fail "after removal, other than the conffiles are left: $(left)"
dpkg_root -P ormid-doc-editor
remaining=$(find "$DROOT" -mindepth 1 -not -path "$DROOT/var*")
[[ -z $remaining ]] || fail "after purge: $remaining"

((failed == 0)) && echo "package test passed"
exit $((failed > 0))

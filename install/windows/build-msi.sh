#!/usr/bin/env bash
# Builds the Windows installer from ormid-doc-editor.wxs with wixl and msibuild
# (Debian packages wixl and msitools).
#
#   build-msi.sh <output.msi> <per-machine|per-user> <version> <bin-dir> <manifest-dir>
#
# <bin-dir> holds ormid-doc-editor.exe and ormid-client.exe; <manifest-dir>
# holds chromium/ormid.doc_editor.json and firefox/ormid.doc_editor.json.
set -euo pipefail

if [ $# -ne 5 ]; then
  echo "usage: $0 <output.msi> <per-machine|per-user> <version> <bin-dir> <manifest-dir>" >&2
  exit 2
fi
output=$(realpath -m "$1") scope=$2 version=$3
case $scope in
  per-machine) per_user=0 ;;
  per-user) per_user=1 ;;
  *) echo "$0: scope must be per-machine or per-user" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)

# wixl looks File sources up relative to its working directory only (an
# absolute Source is refused): both directories are linked into one.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
ln -s "$(realpath "$4")" "$stage/bin"
ln -s "$(realpath "$5")" "$stage/manifests"
rm -f "$output"
(cd "$stage" && wixl -a x64 -D Version="$version" -D PerUser="$per_user" -D BinDir=bin -D ManifestDir=manifests \
  -o "$output.tmp" "$here/ormid-doc-editor.wxs")

query() { msibuild "$output.tmp" -q "$1"; }
if [ "$per_user" = 0 ]; then
  # Each policy value only when its property is given (wixl has no component
  # conditions). The condition is evaluated again at removal, where a false one
  # would leave the value behind: removing the product always removes them.
  for pair in PolicyWorkingDirectories:ALLOWEDWORKINGDIRECTORIES PolicyMaxDocumentBytes:MAXDOCUMENTBYTES \
    PolicyLogLevel:LOGLEVEL; do
    query "UPDATE Component SET Condition = '${pair#*:} OR REMOVE~=\"ALL\"' WHERE Component = '${pair%%:*}'"
  done
  # Properties given to a per-machine installation started without elevation
  # reach its elevated part only when they are listed as secure.
  secure=$(msiinfo export "$output.tmp" Property | awk -F'\t' '$1 == "SecureCustomProperties" {print $2}' | tr -d '\r')
  query "UPDATE Property SET Value = '${secure:+$secure;}ALLOWEDWORKINGDIRECTORIES;MAXDOCUMENTBYTES;LOGLEVEL' WHERE Property = 'SecureCustomProperties'"
fi
mv "$output.tmp" "$output"

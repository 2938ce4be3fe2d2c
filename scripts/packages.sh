#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/packages.sh <group>...   groups: build windows office display browser clang package
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev libfmt-dev libutfcpp-dev python3 nodejs"
  # The cross compiler, Wine for the tests, wixl and msitools for the installer.
  [windows]="g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine wixl msitools"
  # The office with its X11 window plugin: the no-GUI build cannot show a window.
  [office]="libreoffice-writer libreoffice-dev zlib1g-dev"
  # A display for tests that act as a person at a window: the X server,
  # keystrokes and window look-ups.
  [display]="xvfb xdotool x11-utils"
  [browser]="chromium firefox-esr openssl"
  # The thread-safety and fuzzing build: libFuzzer and the sanitizer runtimes,
  # llvm-symbolizer for file and line in their reports.
  [clang]="clang libclang-rt-14-dev llvm"
  # The Debian package: dpkg-shlibdeps for its Depends, lintian to check it.
  [package]="dpkg-dev lintian"
)

wanted=()
for group in "$@"; do
  for package in ${groups[$group]}; do wanted+=("$package"); done
done

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null

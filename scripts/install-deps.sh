#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/install-deps.sh [native] [asan] [fuzz] [valgrind] ...
set -euo pipefail

declare -A groups=(
  # e2fsprogs and mount (losetup): the fault case on a damaged file system.
  # pkg-config, libdivsufsort and xxhash: the patch builder.
  [native]="cmake g++ make pkg-config libgtest-dev libssl-dev libdivsufsort-dev libxxhash-dev e2fsprogs mount"
  # GCC's AddressSanitizer and UndefinedBehaviorSanitizer runtimes.
  [asan]="cmake g++ make pkg-config libgtest-dev libssl-dev libdivsufsort-dev libxxhash-dev e2fsprogs mount libasan8 libubsan1"
  # clang with libFuzzer and the sanitizer runtimes it links.
  [fuzz]="cmake make pkg-config libssl-dev libgtest-dev libdivsufsort-dev libxxhash-dev clang-14 libfuzzer-14-dev libclang-rt-14-dev"
  [valgrind]="valgrind"
  # wine32:i386 needs the i386 architecture added first (scripts/ci-windows.sh).
  [windows]="g++-mingw-w64-i686 binutils-mingw-w64-i686 dpkg-dev make perl wine wine32:i386 xvfb xdotool icoutils locales"
)

wanted=()
for group in "${@:-native}"; do
  [[ -n "${groups[$group]:-}" ]] || { echo "unknown package group: $group" >&2; exit 2; }
  wanted+=(${groups[$group]})
done

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
echo "installing: ${missing[*]}" >&2
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

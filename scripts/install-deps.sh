#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/install-deps.sh [native] [windows] [tools] [bench] [fuzz]
set -euo pipefail

declare -A groups=(
  [native]="cmake g++ make pkg-config libgtest-dev libssl-dev libdivsufsort-dev libxxhash-dev"
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

#!/usr/bin/env bash
# The Windows patcher from a bare Debian 12: packages, locales, libcrypto,
# then the windows preset's build and its wine suites. Run as root or with
# sudo at hand. The suites use native test programs, which the windows test
# preset builds in build/native when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)

# wine32 runs the 32-bit patcher; it is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
  "${as_root[@]}" apt-get update -q
fi
scripts/install-deps.sh native windows

# Wine takes the ANSI code page from the locale: 1252 and 936.
for entry in en_US:UTF-8:en_US.utf8 zh_CN:UTF-8:zh_CN.utf8; do
  IFS=: read -r source charset name <<<"$entry"
  locale -a | grep -qx "$name" ||
    "${as_root[@]}" localedef -i "$source" -c -f "$charset" "${name%.utf8}.UTF-8"
done

scripts/build-openssl-mingw.sh >/dev/null
cmake --preset windows
cmake --build --preset windows
ctest --preset windows

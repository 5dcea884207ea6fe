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

# Wine runs the 32-bit patcher as a 32-bit Linux process. A kernel that runs
# 64-bit user code only (IA-32 emulation off) refuses every i386 program with
# ENOEXEC: there only the checks of the image itself can run, and this says so
# loudly. Any other failure of the loader is a broken install and fails.
loader=/lib/ld-linux.so.2
[[ -e $loader ]] || { echo "ci-windows: $loader is missing; is wine32:i386 installed?" >&2; exit 1; }
status=0
probe=$("$loader" --version 2>&1) || status=$?
if [[ $status -eq 0 ]]; then
  ctest --preset windows
elif [[ $status -eq 126 && $probe == *"Exec format error"* ]]; then
  echo "ci-windows: NOTE: this kernel does not run 32-bit programs, so the wine" \
    "suites cannot run on this machine; only the image checks that need no wine run." >&2
  build=$PWD/build/windows
  PATCHER_STUB=$build/patcher.exe \
  PATCHER_RUNNER=$PWD/scripts/wine-run.sh \
  PATCHER_DIALOG_TEXT=$build/tests/windows/dialog_text.exe \
  PATCHER_WINDOWS=1 \
    build/native/tests/windows/wine_tests \
      --gtest_filter='WineImageTest.*-WineImageTest.RunsWithNothingBesideIt'
else
  echo "ci-windows: $loader fails: $probe" >&2
  exit 1
fi

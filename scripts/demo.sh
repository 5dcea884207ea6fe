#!/usr/bin/env bash
# Builds the patcher and patchmaker, applies the bundled example patch to a
# copy of the bundled example file twice (the second run finds it already
# patched), then makes the same kind of patch from the two example files with
# patchmaker and applies that one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target patcher patchmaker -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat build/native/patcher examples/greeting.container > "$work/greeting-patch"
chmod +x "$work/greeting-patch"
cp examples/greeting.txt "$work/greeting.txt"

echo "== before"; cat "$work/greeting.txt"
set +e
"$work/greeting-patch" "$work/greeting.txt"; echo "== first run: exit code $?"
cat "$work/greeting.txt"
"$work/greeting-patch" "$work/greeting.txt"; echo "== second run: exit code $?"
set -e
cmp "$work/greeting.txt" examples/greeting-patched.txt && echo "== result matches examples/greeting-patched.txt"

echo "== patchmaker: a patch from examples/greeting.txt to examples/greeting-patched.txt"
build/native/patchmaker create examples/greeting.txt examples/greeting-patched.txt \
  -o "$work/made-patch" --stub build/native/patcher
build/native/patchmaker inspect "$work/made-patch" --list
cp examples/greeting.txt "$work/greeting2.txt"
set +e
"$work/made-patch" "$work/greeting2.txt"; echo "== made patch: exit code $?"
set -e
cmp "$work/greeting2.txt" examples/greeting-patched.txt && echo "== result matches examples/greeting-patched.txt"

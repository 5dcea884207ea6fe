#!/usr/bin/env bash
# Builds the container fuzzer, replays its corpus (fuzz/corpus: seeds and
# every input that once broke an invariant), then fuzzes for SECONDS.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60; 0 replays only)
# New inputs collect in build/fuzz/work, crashes in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

fuzzer=build/fuzz/fuzz/container_fuzzer
work=build/fuzz/work
artifacts=build/fuzz/artifacts/
log=build/fuzz/fuzz.log
mkdir -p "$work" "$artifacts"
# Writes past the harness's file size limit must fail as on a full disk.
common=(-handle_xfsz=0 -artifact_prefix="$artifacts")

echo "== replaying fuzz/corpus ($(ls fuzz/corpus | wc -l) inputs)"
"$fuzzer" "${common[@]}" -runs=0 fuzz/corpus 2>&1 | grep -E 'INITED|Done|ERROR|invariant' || true
# The pipe hides the fuzzer's status: replay once more for it when it failed.
"$fuzzer" "${common[@]}" -runs=0 fuzz/corpus >/dev/null 2>&1 || {
  "$fuzzer" "${common[@]}" -runs=0 fuzz/corpus 2>&1 | tail -40
  echo "fuzz: corpus replay failed" >&2
  exit 1
}
[[ $seconds -gt 0 ]] || exit 0

echo "== fuzzing for $seconds s (log: $log)"
if ! "$fuzzer" "${common[@]}" -max_total_time="$seconds" -dict=fuzz/container.dict \
    -max_len=70000 -print_final_stats=1 "$work" fuzz/corpus >"$log" 2>&1; then
  tail -60 "$log"
  echo "fuzz: crash found; the input is in $artifacts" >&2
  exit 1
fi
grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log"

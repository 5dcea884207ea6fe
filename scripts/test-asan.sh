#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test suite under them (build/asan).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh asan
cmake --preset asan
cmake --build --preset asan -j2
ctest --preset asan

#!/usr/bin/env bash
# Installs what is missing, builds and runs every test suite: the native
# build, then the Windows patcher under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset native
cmake --build --preset native -j2
ctest --preset native
scripts/ci-windows.sh

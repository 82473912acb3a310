#!/usr/bin/env bash
# Builds Tessaly and runs every test: unit tests, and end-to-end tests in
# network namespaces (those need root; they are skipped otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test
ctest --test-dir build/test --output-on-failure -j2 --timeout 300

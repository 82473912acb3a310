#!/usr/bin/env bash
# Builds Tessaly and runs the hub in the foreground (Ctrl-C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_E2E=OFF >/dev/null
cmake --build build/release --target Tessaly
exec build/release/Tessaly

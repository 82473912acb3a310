#!/usr/bin/env bash
# Builds the Debian packages: build/package/tessaly_<version>_<arch>.deb (the hub and its service) and
# build/package/tessaly-desktop_<version>_<arch>.deb (the desktop front end).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_E2E=OFF -DTESSALY_TESTS=OFF >/dev/null
cmake --build build/package
(cd build/package && cpack -G DEB >/dev/null)
ls build/package/tessaly*.deb

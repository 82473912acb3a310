#!/usr/bin/env bash
# Runs every fuzz target for a short time (FUZZ_SECONDS, default 30) under
# ASan+UBSan. A crash leaves its input in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --fuzz
seconds="${FUZZ_SECONDS:-30}"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_FUZZ=ON >/dev/null
cmake --build build/fuzz
mkdir -p build/fuzz/artifacts
status=0
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  target="build/fuzz/$name"
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  echo "== $name (${seconds}s)"
  if ! "$target" -max_total_time="$seconds" -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 \
      "$corpus" 2>"build/fuzz/$name.log"; then
    tail -40 "build/fuzz/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "build/fuzz/$name.log" | tail -2
  fi
done
exit $status

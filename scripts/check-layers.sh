#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own.
# Layers, bottom-up; folders on one line are peers and may include each other.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(
  "common platform"
  "platform/posix"
  "state"
  "message"
  "transport settings"
  "relay shell"
  "xpl"
  "bridge"
  "app gui"
)
declare -A rank
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

# The layer of a path below src/: its longest folder prefix that has a rank.
layer_of() {
  local path=$1
  while [[ $path == */* ]]; do
    path=${path%/*}
    [[ -n ${rank[$path]+set} ]] && { echo "$path"; return; }
  done
  echo ""
}

status=0
while IFS= read -r file; do
  from=$(layer_of "${file#src/}")
  [[ -z $from ]] && { echo "$file: folder has no layer"; status=1; continue; }
  while IFS= read -r header; do
    to=$(layer_of "$header")
    [[ -z $to ]] && continue
    if ((rank[$to] > rank[$from])); then
      echo "$file includes $header: $to lies above $from"
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find src -name '*.cpp' -o -name '*.h' | grep -v '_test\.cpp$' | sort)
[[ $status == 0 ]] && echo "layers: no upward include"
exit $status

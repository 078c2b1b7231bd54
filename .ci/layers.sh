#!/usr/bin/env bash
# CI: the layout is the architecture. Every #include "..." of a source under
# a layer may name only its own layer or one below it, so that dependencies
# point one way, toward the arm model; and only the daemon's HTTP layer
# knows HTTP (libmicrohttpd), JSON answers and statuses: runs/ and teach/
# work in plain structs. Exits non-zero and names each include that points
# up or across.
set -euo pipefail
cd "$(dirname "$0")/.."

# layer: the folders it may include from, itself first.
declare -A may=(
  [model]="model"
  [state]="state model"
  [motor]="motor model"
  [driver]="driver state motor model"
  [daemon/stores]="daemon/stores state model"
  [daemon/runs]="daemon/runs daemon/stores state model"
  [daemon/teach]="daemon/teach daemon/runs daemon/stores state model"
  [daemon/http]="daemon/http daemon/teach daemon/runs daemon/stores state model"
  [daemon]="daemon/http daemon/runs state model"
)
# What a layer must not include, whatever its folder allows.
declare -A never=(
  [daemon/runs]="nlohmann/json.hpp microhttpd.h daemon/stores/records_json.hpp daemon/stores/history.hpp"
  [daemon/teach]="nlohmann/json.hpp microhttpd.h daemon/stores/records_json.hpp daemon/stores/history.hpp"
  [daemon/stores]="microhttpd.h"
)

layer_of() {
  local f=$1 dir
  dir=$(dirname "$f")
  case $dir in
    daemon/*) echo "$dir" ;;
    daemon) echo daemon ;;
    model | state | motor | driver) echo "$dir" ;;
    *) echo "" ;;
  esac
}

faults=0
checked=0
while IFS= read -r f; do
  layer=$(layer_of "$f")
  [ -n "$layer" ] || continue
  checked=$((checked + 1))
  while IFS= read -r inc; do
    target=$(dirname "$inc")
    ok=no
    for allowed in ${may[$layer]}; do [ "$target" = "$allowed" ] && ok=yes; done
    if [ $ok = no ]; then
      echo "  $f includes \"$inc\": $layer may include only ${may[$layer]}"
      faults=$((faults + 1))
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f")
  for banned in ${never[$layer]:-}; do
    if grep -qE "^#include [<\"]$banned[>\"]" "$f"; then
      echo "  $f includes $banned, which $layer must not know"
      faults=$((faults + 1))
    fi
  done
done < <(git ls-files '*.cpp' '*.hpp')
echo "== layers: $checked sources, $faults includes that point up or across"
[ "$faults" = 0 ]

#!/usr/bin/env bash
# Lists the C++ sources whose layout differs from what clang-format makes of
# them with the checked-in .clang-format, with the number of lines each would
# change. Exits 0 unless given --enforce, then non-zero when any file differs.
# Reformat a file with: clang-format-14 -i FILE
set -euo pipefail
cd "$(dirname "$0")/.."
enforce=no
[ "${1:-}" = --enforce ] && enforce=yes
format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$format" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q clang-format-14
  format=clang-format-14
fi

echo "== format: clang-format (.clang-format) on the C++ sources$([ $enforce = yes ] && echo ', enforced')"
differ=0
total=0
while IFS= read -r f; do
  total=$((total + 1))
  lines=$("$format" --style=file "$f" | diff "$f" - | grep -c '^[<>]' || true)
  if [ "$lines" != 0 ]; then
    differ=$((differ + 1))
    printf '  %-40s %4d lines\n' "$f" "$lines"
  fi
done < <(git ls-files '*.cpp' '*.hpp')
echo "== format: $differ of $total files differ from clang-format's layout"
[ "$enforce" = yes ] && [ "$differ" != 0 ] && exit 1
exit 0

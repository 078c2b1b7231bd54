#!/usr/bin/env bash
# CI: static analysis of the controller, its tools, the benchmark and the
# fuzz targets (the tests are left to the compilers and the sanitizers):
# clang-tidy with the checked-in .clang-tidy and cppcheck with
# .cppcheck-suppressions, both of which must be clean; and of the page:
# ESLint and Prettier, as web/package-lock.json pins them, over web/. The layout is
# .ci/format.sh's, which .ci/run enforces after this. Installs what a fresh
# Debian machine lacks; exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

echo "== static: clang-tidy (.clang-tidy) and cppcheck"

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v clang++-14 >/dev/null || packages+=(clang-14)
command -v clang-tidy-14 >/dev/null || packages+=(clang-tidy-14)
command -v clang-format-14 >/dev/null || packages+=(clang-format-14)
command -v cppcheck >/dev/null || packages+=(cppcheck)
command -v python3 >/dev/null || packages+=(python3)
[ -f /usr/include/apr-1.0/apr_md5.h ] || packages+=(libaprutil1-dev pkg-config)
[ -f /usr/include/nlohmann/json.hpp ] || packages+=(nlohmann-json3-dev)
[ -f /usr/include/microhttpd.h ] || packages+=(libmicrohttpd-dev)
[ -f /usr/include/systemd/sd-daemon.h ] || packages+=(libsystemd-dev)
command -v npm >/dev/null || packages+=(npm)
if [ ${#packages[@]} -gt 0 ]; then
  echo "== static: installing ${packages[*]}"
  apt-get update -q
  apt-get install -y -q "${packages[@]}"
fi

echo "== static: ESLint and Prettier on web/"
(bash web/npm-install.sh >/dev/null && cd web && npx --no-install eslint . &&
  npx --no-install prettier --check .) || { echo "== static: ESLint or Prettier FAILED"; exit 1; }
echo "== static: ESLint and Prettier clean"

# Only configured, never built: clang-tidy needs the compile commands.
cmake -S . -B build/tidy -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DBUILD_TESTING=OFF -DARMCTL_DAEMON=ON -DARMCTL_FRONT_UNITY=OFF -DARMCTL_PORT=sim -DARMCTL_STATE_DIR="$PWD/build/tidy/statedir" >/dev/null
mapfile -t sources < <(python3 -c '
import json, os
entries = json.load(open("build/tidy/compile_commands.json"))
print("\n".join(sorted({os.path.relpath(e["file"]) for e in entries})))')
echo "== static: clang-tidy on ${#sources[@]} files and fuzz/*.cpp"
log=build/tidy/clang-tidy.log
status=0
printf '%s\n' "${sources[@]}" | xargs -P2 -n4 clang-tidy-14 -p build/tidy --quiet >"$log" 2>&1 ||
  status=1
# The fuzz targets are outside the compile commands: their flags are given.
printf '%s\n' fuzz/*.cpp | xargs -P2 -I{} clang-tidy-14 --quiet {} -- -std=c++20 -I. >>"$log" 2>&1 ||
  status=1
if [ "$status" != 0 ] || grep -qE '(warning|error):' "$log"; then
  grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated' "$log"
  echo "== static: clang-tidy FAILED"
  exit 1
fi
echo "== static: clang-tidy clean"

dirs=()
for d in model driver state motor tools bench fuzz daemon web/model_json.cpp; do [ -e "$d" ] && dirs+=("$d"); done
echo "== static: cppcheck on ${dirs[*]}"
cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
  --inline-suppr --suppress=missingIncludeSystem --suppressions-list=.cppcheck-suppressions \
  --error-exitcode=1 --quiet -j2 -I . -i tools/tests "${dirs[@]}" ||
  { echo "== static: cppcheck FAILED"; exit 1; }
echo "== static: cppcheck clean"

echo "== static: all checks passed (${SECONDS} s)"

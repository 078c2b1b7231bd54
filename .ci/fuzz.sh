#!/usr/bin/env bash
# CI: fuzzes the places where outside text enters the controller (an
# option's step count, the state files, the command line as a whole, the
# CGI's web requests) with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, each for a fixed time, starting from the seed
# corpus in fuzz/corpus/<target>. Installs
# what a fresh Debian machine lacks; exits non-zero when a target finds a
# crash, a sanitizer report, a broken property or an input slower than 10 s.
# Optional argument: seconds per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
seconds="${1:-60}"
targets=(step_count position_file options request)

echo "== fuzz: libFuzzer + ASan/UBSan, ${seconds} s each: ${targets[*]}"

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v clang++-14 >/dev/null || packages+=(clang-14)
[ -f /usr/include/nlohmann/json.hpp ] || packages+=(nlohmann-json3-dev)
[ -f /usr/include/apr-1.0/apr_md5.h ] || packages+=(libaprutil1-dev pkg-config)
[ -f /usr/include/microhttpd.h ] || packages+=(libmicrohttpd-dev)
[ -f /usr/include/systemd/sd-daemon.h ] || packages+=(libsystemd-dev)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  packages+=(libclang-rt-14-dev)
if [ ${#packages[@]} -gt 0 ]; then
  echo "== fuzz: installing ${packages[*]}"
  apt-get update -q
  apt-get install -y -q "${packages[@]}"
fi

cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build/fuzz -j2 --target "${targets[@]/%/_fuzzer}"

# The targets run side by side: the machine has two cores, and the fixed time
# is then spent once.
fuzz_one() {
  local t=$1 work="build/fuzz/run/$1"
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/artifacts"
  local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$work/artifacts/")
  [ -f "fuzz/$t.dict" ] && options+=(-dict="fuzz/$t.dict")
  # New inputs go to the scratch corpus; the seeds in the repository stay as they are.
  "build/fuzz/${t}_fuzzer" "${options[@]}" "$work/corpus" "fuzz/corpus/$t" >"$work/log" 2>&1
}
pids=()
for t in "${targets[@]}"; do
  fuzz_one "$t" &
  pids+=($!)
done
failed=()
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  work="build/fuzz/run/$t"
  echo "== fuzz: $t"
  if wait "${pids[$i]}"; then
    grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))' "$work/log" || true
  else
    tail -n 60 "$work/log"
    echo "== fuzz: $t FAILED; the input is in $work/artifacts:"
    ls -l "$work/artifacts"
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzz: FAILED: ${failed[*]}"
  exit 1
fi
echo "== fuzz: all targets ran clean (${SECONDS} s)"

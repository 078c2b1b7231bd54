#!/usr/bin/env bash
# CI: the parallel-port controller on a real Linux kernel under QEMU (software
# emulation). Boots Debian's amd64 kernel (64-bit and 32-bit builds) and its
# 686 kernel (32-bit build) with an initramfs of our own, runs a table of
# callers, worked examples and random option sequences, and compares every
# run with the simulated build on the host: the bytes QEMU traced on the
# port's data register, output, status, both files and their owners.
# Usage: .ci/hil.sh [random runs per table] (default 8). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
runs="${1:-8}"
out="$PWD/build/hil"
cache="$out/cache"
mkdir -p "$cache"

echo "== hil: the parallel-port controller under QEMU, compared with the simulated port"

source .ci/hil/fetch.sh
hil_prepare

echo "== hil: ($SECONDS s) static builds (parallel port for the guest, simulated port for the host)"
for bits in 64 32; do
  toolchain=()
  [ "$bits" = 32 ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/m32.cmake")
  mkdir -p "$out/sim$bits"
  cmake -S .ci/hil -B "$out/b$bits" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DARMCTL_PORT=parport -DARMCTL_STATE_DIR=/state -DARMCTL_DELAY_NS=0 -DARMCTL_WERROR=ON \
    -DBUILD_TESTING=OFF -DARMCTL_DAEMON=OFF -DCMAKE_EXE_LINKER_FLAGS=-static -DHIL_SIM_STATE_DIR="$out/sim$bits" \
    >/dev/null
  cmake --build "$out/b$bits" -j2 --target armctl armctl-sim hil-tool >/dev/null
done

# Three tables: the amd64 kernel runs one per word size, the 686 kernel one.
python3 .ci/hil/cases.py 64 "$runs" > "$out/cases64"
python3 .ci/hil/cases.py 32 "$runs" > "$out/cases32"
python3 .ci/hil/cases.py 686 "$runs" > "$out/cases686"

echo "== hil: ($SECONDS s) the same tables on the simulated controllers (host)"
mkdir -p "$out/bb"
[ -e "$out/bb/od" ] || busybox --install -s "$out/bb"
host_table() {  # bits table
  rm -rf "$out/host-$2" && mkdir -p "$out/host-$2"
  env PATH="$out/bb:$PATH" HOST=1 ARMCTL="$out/b$1/armctl-sim" TOOL="$out/b$1/hil-tool" \
    STATE="$out/sim$1" WORK="$out/host-$2" busybox sh .ci/hil/run.sh "$out/$2" > "$out/host-$2.log"
}
host_table 64 cases64
host_table 32 cases32
host_table 32 cases686

# initramfs NAME BUSYBOX "bits table"...
initramfs() {
  local name=$1 root="$out/root-$1" busybox=$2
  shift 2
  rm -rf "$root" && mkdir -p "$root"/{bin,proc,sys,dev,run,state,hil}
  cp "$busybox" "$root/bin/busybox"
  cp .ci/hil/init "$root/init" && chmod 755 "$root/init"
  cp .ci/hil/run.sh "$root/hil/"
  : > "$root/hil/tables"
  for t in "$@"; do
    set -- $t
    cp "$out/b$1/armctl/armctl" "$root/hil/armctl$1"
    cp "$out/b$1/hil-tool" "$root/hil/hil-tool$1"
    cp "$out/$2" "$root/hil/"
    echo "$1 $2" >> "$root/hil/tables"
  done
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out/initrd-$name.gz"
}
initramfs amd64 /bin/busybox "64 cases64" "32 cases32"
initramfs i386 "$cache/bb32/bin/busybox" "32 cases686"

# boot NAME QEMU KERNEL CPU: quiet serial console, powered off by the guest.
boot() {
  rm -f "$out/trace-$1.log"
  timeout 150 "$2" -cpu "$4" -m 256 -nographic -no-reboot -parallel null \
    -kernel "$3" -initrd "$out/initrd-$1.gz" \
    -append "console=ttyS0 quiet loglevel=0 panic=-1 mitigations=off" \
    -trace "parallel_ioport_write,file=$out/trace-$1.log" < /dev/null > "$out/console-$1.log" 2>&1
}
echo "== hil: ($SECONDS s) booting $k64 (qemu-system-x86_64) and $k32 (qemu-system-i386)"
boot amd64 qemu-system-x86_64 "$vmlinuz64" qemu64 & pid64=$!
boot i386 qemu-system-i386 "$vmlinuz32" n270 & pid32=$!
booted=0
wait "$pid64" && booted=$((booted + 1)) || echo "== hil: the amd64 guest failed (status $?)"
wait "$pid32" && booted=$((booted + 1)) || echo "== hil: the i386 guest failed (status $?)"
echo "== hil: ($SECONDS s) $booted kernels booted and powered off"

status=0
python3 .ci/hil/compare.py "$out/console-amd64.log" "$out/trace-amd64.log" \
  "amd64-kernel/64-bit:$out/cases64:$out/host-cases64.log:$out/host-cases64" \
  "amd64-kernel/32-bit:$out/cases32:$out/host-cases32.log:$out/host-cases32" > "$out/result-amd64" || status=1
python3 .ci/hil/compare.py "$out/console-i386.log" "$out/trace-i386.log" \
  "686-kernel/32-bit:$out/cases686:$out/host-cases686.log:$out/host-cases686" > "$out/result-i386" || status=1
grep -v ' passed, ' "$out/result-amd64" "$out/result-i386" | sed 's/^[^:]*://'
python3 - "$out/result-amd64" "$out/result-i386" <<'PY'
import re, sys
totals = [0, 0]
for path in sys.argv[1:]:
    for line in open(path):
        m = re.fullmatch(r"(\d+) passed, (\d+) failed\n", line)
        if m: totals = [totals[0] + int(m[1]), totals[1] + int(m[2])]
print("%d passed, %d failed" % tuple(totals))
PY
[ "$booted" = 2 ] || status=1
echo "== hil: done in ${SECONDS} s"
exit "$status"

#!/usr/bin/env bash
# Power cuts under QEMU: a guest runs the hardware controller in a loop on an
# ext4 disk image (cache=unsafe: what left the guest survives, its page cache
# does not) and the host kills QEMU outright at random instants; then e2fsck,
# debugfs and a second boot check the state files. A benchmark, not a test.
# Usage: bench/power-cut.sh [cuts] [runs|front] (default 10 runs); prints the
# table row of docs/hacking.md. "front": the guest runs the front end's saves
# (bench/power_cut_front) instead of the controller's loop.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
cuts="${1:-10}"
mode="${2:-runs}"
# The front mode drove the CGI the daemon replaced; it waits to be ported.
if [ "$mode" = front ]; then
  echo "bench/power-cut.sh: the front mode still starts armctl-cgi, which armctld replaced" >&2
  exit 2
fi
out="$PWD/build/powercut"
cache="$PWD/build/hil/cache"
mkdir -p "$out" "$cache"
source .ci/hil/fetch.sh
hil_prepare >&2
mods='./lib/modules/*/kernel/'
fetch "$k64" "$cache/k64mods" "${mods}lib/crc16.ko" "${mods}crypto/crc32c_generic.ko" \
  "${mods}fs/mbcache.ko" "${mods}fs/jbd2/jbd2.ko" "${mods}fs/ext4/ext4.ko" \
  "${mods}drivers/virtio/*.ko" "${mods}drivers/block/virtio_blk.ko" >&2

# The real delay (1 ms) on the guest; the host's simulated copy gives the
# counters that each run of the loop must leave.
cmake -S .ci/hil -B "$out/b64" -DCMAKE_BUILD_TYPE=Release -DARMCTL_PORT=parport \
  -DARMCTL_STATE_DIR=/state -DARMCTL_WERROR=ON -DBUILD_TESTING=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static -DHIL_SIM_STATE_DIR="$out/sim" >/dev/null
cmake --build "$out/b64" -j2 --target armctl armctl-sim >/dev/null

root="$out/root"
rm -rf "$root" && mkdir -p "$root"/{bin,proc,sys,dev,run,state,hil,mods}
cp /bin/busybox "$root/bin/busybox"
cp bench/power_cut_init "$root/init" && chmod 755 "$root/init"
cp "$out/b64/armctl/armctl" "$root/hil/armctl"
for m in crc16 crc32c_generic mbcache jbd2 ext4 virtio_ring virtio virtio_pci_modern_dev \
         virtio_pci_legacy_dev virtio_pci virtio_blk; do
  find "$cache/k64mods" -name "$m.ko" -exec cp {} "$root/mods/" \;
  echo "$m" >> "$root/mods/order"
done
python3 bench/power_cut.py options 40 > "$root/hil/options"

if [ "$mode" = front ]; then
  # The CGI as the guest runs it, with the shared libraries it needs and a
  # password file of one operator; its controller is the one above.
  cmake -S . -B "$out/front" -DCMAKE_BUILD_TYPE=Release -DARMCTL_CGI=ON -DARMCTL_PORT=parport \
    -DARMCTL_STATE_DIR=/state -DBUILD_TESTING=OFF -DCMAKE_INSTALL_BINDIR=/hil \
    -DARMCTL_CGI_HTPASSWD=/hil/htpasswd -DARMCTL_CGI_SETTINGS=/hil/armctl-cgi.conf >/dev/null
  cmake --build "$out/front" -j2 --target armctl-cgi >/dev/null
  cp "$out/front/cgi/armctl-cgi" "$root/hil/armctl-cgi"
  for lib in $(ldd "$root/hil/armctl-cgi" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")" && cp -L "$lib" "$root$lib"
  done
  htpasswd -nbB operator power-cut > "$root/hil/htpasswd"
  printf 'Basic %s' "$(printf 'operator:power-cut' | base64)" > "$root/hil/authorization"
  cp bench/power_cut_front "$root/hil/front" && chmod 755 "$root/hil/front"
fi
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out/initrd.gz"

if [ "$mode" = front ]; then
  python3 bench/power_cut.py front "$cuts" --kernel "$(ls "$cache"/k64/boot/vmlinuz-*)" \
    --initrd "$out/initrd.gz" --work "$out" --run-span "${RUN_SPAN:-12}"
  exit
fi
python3 bench/power_cut.py cut "$cuts" --kernel "$(ls "$cache"/k64/boot/vmlinuz-*)" \
  --initrd "$out/initrd.gz" --options "$root/hil/options" --sim "$out/b64/armctl-sim" \
  --sim-state "$out/sim" --work "$out"

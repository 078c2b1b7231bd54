# Shared by .ci/hil.sh and bench/power-cut.sh (sourced, with $out and $cache
# set): installs what the QEMU runs need and fetches Debian's kernels and the
# i386 busybox with `apt-get download`, unpacking only the files used.
apt_updated=0
apt_update() { [ "$apt_updated" = 1 ] || apt-get update -q; apt_updated=1; }

hil_prepare() {
  local packages=()
  command -v cmake >/dev/null || packages+=(cmake)
  command -v python3 >/dev/null || packages+=(python3)
  command -v qemu-system-x86_64 >/dev/null || packages+=(qemu-system-x86)
  dpkg -s busybox-static >/dev/null 2>&1 || packages+=(busybox-static)
  command -v cpio >/dev/null || packages+=(cpio)
  command -v debugfs >/dev/null || packages+=(e2fsprogs)
  printf 'int main() { return 0; }\n' > "$out/probe.cpp"
  g++ -m32 -static "$out/probe.cpp" -o "$out/probe32" 2>/dev/null ||
    packages+=(gcc-multilib g++-multilib)
  if [ ${#packages[@]} -gt 0 ]; then
    echo "== hil: installing ${packages[*]}"
    apt_update
    apt-get install -y -q --no-install-recommends "${packages[@]}"
  fi
  # The i386 kernel and busybox are fetched, never installed: they need the
  # architecture in apt's lists.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt_updated=0
  fi
  # The whole project is configured, and its CGI links libaprutil: the
  # headers, and the i386 libraries for the 32-bit build.
  local apr=()
  [ -f /usr/include/apr-1.0/apr_md5.h ] || apr+=(libaprutil1-dev)
  [ -f /usr/lib/i386-linux-gnu/libaprutil-1.so.0 ] || apr+=(libaprutil1:i386 libapr1:i386)
  if [ ${#apr[@]} -gt 0 ]; then
    apt_update
    apt-get install -y -q --no-install-recommends "${apr[@]}"
  fi
  k64=$(kernel_of linux-image-amd64)
  [ -n "$k64" ] || { apt_update; k64=$(kernel_of linux-image-amd64); }
  k32=$(kernel_of linux-image-686:i386 || true)
  [ -n "$k32" ] || { apt_update; k32=$(kernel_of linux-image-686:i386); }
  fetch "$k64" "$cache/k64" './boot/vmlinuz-*'
  fetch "${k32%%:*}:i386" "$cache/k32" './boot/vmlinuz-*'
  fetch busybox-static:i386 "$cache/bb32" './bin/busybox'
  vmlinuz64=$(ls "$cache"/k64/boot/vmlinuz-*)
  vmlinuz32=$(ls "$cache"/k32/boot/vmlinuz-*)
}

kernel_of() { apt-cache depends "$1" | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }

# fetch PACKAGE DIR MEMBER...: the package's files matching MEMBER, unpacked
# into DIR once (the .deb stays in the cache; only the few members are read).
fetch() {
  local package=$1 dir=$2 deb
  shift 2
  [ -e "$dir/.done" ] && return
  deb=$(ls "$cache/${package%%:*}"_*.deb 2>/dev/null | head -1 || true)
  if [ -z "$deb" ]; then
    (cd "$cache" && apt-get download -q "$package" >/dev/null 2>&1) ||
      { apt_update; (cd "$cache" && apt-get download -q "$package" >/dev/null); }
    deb=$(ls "$cache/${package%%:*}"_*.deb | head -1)
  fi
  mkdir -p "$dir"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dir" --wildcards "$@"
  touch "$dir/.done"
}

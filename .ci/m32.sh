#!/usr/bin/env bash
# CI: the arm's own platform, 32-bit x86. Builds the whole test suite with
# -m32 (SSE2 arithmetic) and runs it, then runs a 64-bit and a 32-bit
# simulated controller side by side and compares everything they print and
# write. Installs what a fresh Debian machine lacks; exits non-zero on any
# failure. Optional argument: the number of compared runs (default 1500).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
cases="${1:-1500}"

echo "== m32: test suite built for 32-bit x86 (-m32, SSE2), and 64/32-bit controllers compared"

apt_updated=0
apt_install() {
  echo "== m32: installing $*"
  if [ "$apt_updated" = 0 ]; then apt-get update -q; apt_updated=1; fi
  apt-get install -y -q --no-remove "$@"
}

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main() { return 0; }\n' > "$probe/probe.cpp"

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v python3 >/dev/null || packages+=(python3)
command -v g++ >/dev/null || packages+=(g++)
g++ -m32 "$probe/probe.cpp" -o "$probe/probe32" 2>/dev/null || packages+=(gcc-multilib g++-multilib)
if [ ! -f /usr/lib/i386-linux-gnu/libgtest.a ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt_updated=0
  fi
  packages+=(libgtest-dev:i386)
fi
# The daemon links libaprutil, libmicrohttpd, GnuTLS and libsystemd: the host's
# headers and the i386 libraries.
[ -f /usr/include/apr-1.0/apr_md5.h ] || packages+=(libaprutil1-dev)
[ -f /usr/include/microhttpd.h ] || packages+=(libmicrohttpd-dev)
[ -f /usr/include/systemd/sd-daemon.h ] || packages+=(libsystemd-dev)
for lib in libaprutil-1.so.0:libaprutil1 libapr-1.so.0:libapr1 libmicrohttpd.so.12:libmicrohttpd12 \
           libgnutls.so.30:libgnutls30 libsystemd.so.0:libsystemd0; do
  if [ ! -f "/usr/lib/i386-linux-gnu/${lib%%:*}" ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || { dpkg --add-architecture i386; apt_updated=0; }
    packages+=("${lib#*:}:i386")
  fi
done
if [ ${#packages[@]} -gt 0 ]; then apt_install "${packages[@]}"; fi
g++ -m32 "$probe/probe.cpp" -o "$probe/probe32"

# Some kernels (virtual machines among them) cannot run 32-bit x86 programs.
# There QEMU's user-mode emulator runs them, registered with binfmt_misc so
# that the tests can start 32-bit controllers like any program: flag F opens
# the emulator now, C keeps a setuid program's credentials (the privilege
# tests install one).
binfmt=/proc/sys/fs/binfmt_misc
register_qemu() {
  [ -x /usr/bin/qemu-i386-static ] || apt_install qemu-user-static
  mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ -e "$binfmt/qemu-i386" ] && ! grep -q '^flags: .*C' "$binfmt/qemu-i386"; then
    echo -1 > "$binfmt/qemu-i386"
  fi
  [ -e "$binfmt/qemu-i386" ] || printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FC' > "$binfmt/register"
  echo 1 > "$binfmt/qemu-i386"
}
# An emulator registered earlier would hide whether the kernel runs them.
native=no
if [ -e "$binfmt/qemu-i386" ]; then
  echo 0 > "$binfmt/qemu-i386"
  "$probe/probe32" 2>/dev/null && native=yes
  echo 1 > "$binfmt/qemu-i386"
else
  "$probe/probe32" 2>/dev/null && native=yes
fi
if [ "$native" = yes ]; then
  runner="natively"
else
  register_qemu
  "$probe/probe32" || { echo "== m32: FAILED: cannot run 32-bit x86 programs"; exit 1; }
  runner="under QEMU user-mode emulation (this kernel does not run them itself)"
fi
echo "== m32: 32-bit x86 programs run $runner"

echo "== m32: whole test suite, 32-bit build (cmake --preset m32)"
cmake --preset m32
cmake --build --preset m32 -j2
ctest --preset m32

echo "== m32: 64-bit and 32-bit simulated controllers without delays, compared byte for byte"
# The test suites' own controllers without delays, the 64-bit one from the
# tests preset (tools/test) and the 32-bit one from the build above: nothing
# is compiled again for the comparison. Their state directories are emptied
# first, so that nothing an end-to-end test left there is compared.
cmake --preset tests >/dev/null
cmake --build --preset tests -j2 --target armctl-e2e >/dev/null
for bits in tests m32; do find "build/$bits/tests/e2e/fast" -mindepth 1 -delete; done
python3 .ci/m32_compare.py build/tests/tests/armctl-e2e build/tests/tests/e2e/fast \
  build/m32/tests/armctl-e2e build/m32/tests/e2e/fast --cases "$cases"

echo "== m32: all checks passed (${SECONDS} s)"

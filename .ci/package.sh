#!/usr/bin/env bash
# CI: builds the Debian packages (amd64, and i386 through the m32 toolchain)
# into build/packages/, checks them with lintian, then installs the amd64
# package on this machine with dpkg and takes it through one table of steps
# (install, a run as the web server's account, reinstall, upgrade, removal,
# purge), checking the account, owners, modes, capability and the arm's
# position after each. Runs as root; leaves the machine as it found it.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

state_dir=/home/robot/public_html
page_dir=/usr/share/armctl/web
log=build/packages/install-test.log

[ "$(id -u)" = 0 ] || { echo "== package: FAILED: dpkg -i needs root"; exit 1; }

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main() { return 0; }\n' > "$probe/probe.cpp"
packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v g++ >/dev/null || packages+=(g++)
command -v lintian >/dev/null || packages+=(lintian)
command -v setcap >/dev/null || packages+=(libcap2-bin)
g++ -m32 "$probe/probe.cpp" -o "$probe/probe32" 2>/dev/null || packages+=(gcc-multilib g++-multilib)
if [ ${#packages[@]} -gt 0 ]; then
  echo "== package: installing ${packages[*]}"
  apt-get update -q
  apt-get install -y -q --no-remove "${packages[@]}"
fi

echo "== package: building the amd64 and i386 packages (cmake --workflow)"
rm -rf build/packages
cmake --workflow --preset deb >"$probe/build.log" 2>&1 || { cat "$probe/build.log"; exit 1; }
cmake --workflow --preset deb-i386 >"$probe/build.log" 2>&1 || { cat "$probe/build.log"; exit 1; }
amd64=$(ls build/packages/armctl_*-1_amd64.deb)
i386=$(ls build/packages/armctl_*-1_i386.deb)
# The upgrade: the same build packed again with a higher Debian revision.
cpack --config build/deb/amd64/CPackConfig.cmake -D CPACK_DEBIAN_PACKAGE_RELEASE=2 \
      -B build/packages/upgrade >"$probe/build.log" 2>&1 || { cat "$probe/build.log"; exit 1; }
rm -rf build/packages/_CPack_Packages build/packages/upgrade/_CPack_Packages
upgrade=$(ls build/packages/upgrade/armctl_*-2_amd64.deb)
ls -l "$amd64" "$i386" "$upgrade"

echo "== package: lintian (every warning kept is overridden, with its reason)"
lint_status=0
lintian --fail-on error,warning "$amd64" "$i386" >"$probe/lintian.log" 2>&1 || lint_status=$?
grep -v 'running with root privileges' "$probe/lintian.log" || true
[ "$lint_status" = 0 ] || { echo "== package: FAILED: lintian"; exit 1; }
echo "   no errors, and no warnings but the overridden ones"

echo "== package: contents (all that cmake --install puts under /usr and /etc, and the page)"
for deb in "$amd64" "$i386"; do
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$probe/packaged"
  build_dir=build/deb/$(dpkg-deb -f "$deb" Architecture)
  rm -rf "$probe/root"
  DESTDIR="$probe/root" cmake --install "$build_dir" >/dev/null
  # The package's manual pages are compressed.
  (cd "$probe/root" && find . ! -type d | sed 's/^\.//; s|^\(/usr/share/man/.*\)$|\1.gz|') | sort \
    >"$probe/installed"
  missing=$(comm -23 "$probe/installed" "$probe/packaged")
  [ -z "$missing" ] || { echo "== package: FAILED: ${deb##*/} lacks: $missing"; exit 1; }
  for file in /usr/bin/armctl /usr/bin/armctl-trace /usr/share/man/man1/armctl.1.gz \
              /usr/share/armctl/web/index.html /usr/share/doc/armctl/copyright; do
    grep -qx "$file" "$probe/packaged" || { echo "== package: FAILED: ${deb##*/} lacks $file"; exit 1; }
  done
done

# The test writes a position and purges the package: it never runs where the
# arm's state already exists.
if dpkg-query -W -f='${Status}' armctl 2>/dev/null | grep -qv 'not-installed'; then
  echo "== package: FAILED: armctl is installed here; the install test would replace it"
  exit 1
fi
for file in lock.dat robot_position.dat; do
  if [ -e "$state_dir/$file" ] || [ -L "$state_dir/$file" ]; then
    echo "== package: FAILED: $state_dir/$file exists; the install test would touch the arm's state"
    exit 1
  fi
done
had_account=no; getent passwd robot >/dev/null && had_account=yes
had_home=no; [ -e /home/robot ] && had_home=yes
had_dir=no; [ -e "$state_dir" ] && had_dir=yes

cleanup() {
  rm -rf "$probe"
  if dpkg-query -W -f='${Status}' armctl 2>/dev/null | grep -qv 'not-installed'; then
    dpkg -P armctl >/dev/null
  fi
  # The state files never existed before the test (checked above).
  rm -f "$state_dir/lock.dat" "$state_dir/robot_position.dat" "$state_dir/.robot_position.dat.tmp"
  if [ "$had_dir" = no ]; then rm -rf "$state_dir"; fi
  if [ "$had_home" = no ]; then rm -rf /home/robot; fi
  if [ "$had_account" = no ] && getent passwd robot >/dev/null; then userdel robot; fi
}
trap cleanup EXIT

# ---- what the checks look at
# A check reports every fault it finds, then the step is marked failed.
fail() { echo "    $*"; faults=$((faults + 1)); }
owner_mode() { stat -c '%U:%G %a' "$1"; }
fingerprint() { stat -c '%i %Y %U:%G %a' "$1" && od -c "$1"; }
expect() { # <what> <expected> <actual>
  [ "$2" = "$3" ] || fail "$1: expected '$2', found '$3'"
}
holds() { # <file> <its whole content, as printf's format>
  cmp -s <(printf "$2") "$1" || fail "${1##*/}: expected '$2', found '$(od -An -c "$1" | tr -s ' ')'"
}

check_account() {
  local entry uid
  entry=$(getent passwd robot) || fail "no account robot"
  uid=$(echo "$entry" | cut -d: -f3)
  [ "$had_account" = yes ] || [ "$uid" -lt 1000 ] || fail "robot is not a system account: uid $uid"
  expect "robot's home and shell" "/home/robot:/usr/sbin/nologin" "$(echo "$entry" | cut -d: -f6,7)"
}
check_modes() {
  [ "$had_home" = yes ] || expect /home/robot "robot:robot 711" "$(owner_mode /home/robot)"
  [ "$had_dir" = yes ] || expect "$state_dir" "robot:www-data 2775" "$(owner_mode "$state_dir")"
  expect lock.dat "robot:www-data 660" "$(owner_mode "$state_dir/lock.dat")"
  expect robot_position.dat "www-data:www-data 664" "$(owner_mode "$state_dir/robot_position.dat")"
}
check_fresh_files() {
  holds "$state_dir/lock.dat" '0\n'
  holds "$state_dir/robot_position.dat" '0 0 0 0 0 0 \n'
}
check_page() {
  local source
  for source in "$page_dir"/*; do
    cmp -s "$source" "$state_dir/${source##*/}" || fail "no copy of ${source##*/} beside the state files"
    expect "${source##*/}" "root:root 644" "$(owner_mode "$state_dir/${source##*/}")"
  done
  [ -f "$page_dir/index.html" ] || fail "no $page_dir/index.html"
}
check_capability() {
  expect "getcap" "/usr/bin/armctl cap_sys_rawio=ep" "$(getcap /usr/bin/armctl)"
}
# This kernel grants no port access to anyone (ENOSYS): the run must get as
# far as the grant, fail there, release the lock and leave the counters alone.
# That it holds the capability is seen while it waits out a lock taken by
# another program ("1" without the run's mark): CAP_SYS_RAWIO (bit 17) is in
# its permitted set.
run_as_web_server() {
  before=$(fingerprint "$state_dir/robot_position.dat")
  printf '1\n' >"$state_dir/lock.dat"
  setpriv --reuid=www-data --regid=www-data --init-groups -- /usr/bin/armctl -H 10 \
    >"$probe/out" 2>"$probe/err" &
  local pid=$!
  sleep 0.5
  permitted=$(awk '/^CapPrm:/ { print $2 }' "/proc/$pid/status")
  printf '0\n' >"$state_dir/lock.dat"
  run_status=0
  wait "$pid" || run_status=$?
}
check_port_refused() {
  [ $((0x${permitted:-0} >> 17 & 1)) = 1 ] || fail "the run lacks cap_sys_rawio: CapPrm ${permitted:-?}"
  expect "status" 1 "$run_status"
  grep -q '^ioperm: ' "$probe/err" || fail "no 'ioperm:' on stderr: $(cat "$probe/err")"
  expect "stdout" "" "$(cat "$probe/out")"
  holds "$state_dir/lock.dat" '0\n'
  expect "robot_position.dat after the run" "$before" "$(fingerprint "$state_dir/robot_position.dat")"
}
write_position() {
  runuser -u www-data -- sh -c "printf '12 -34 56 0 100 7 \n' > $state_dir/robot_position.dat"
  position=$(fingerprint "$state_dir/robot_position.dat")
  lock=$(fingerprint "$state_dir/lock.dat")
}
check_kept() {
  expect "robot_position.dat" "$position" "$(fingerprint "$state_dir/robot_position.dat")"
  holds "$state_dir/robot_position.dat" '12 -34 56 0 100 7 \n'
  expect "lock.dat" "$lock" "$(fingerprint "$state_dir/lock.dat")"
}
check_version_2() {
  expect "installed version" "1.0-2" "$(dpkg-query -W -f='${Version}' armctl)"
}
check_removed() {
  [ ! -e /usr/bin/armctl ] || fail "/usr/bin/armctl is still there"
  [ ! -e "$state_dir/index.html" ] || fail "the page's copy is still there"
  getent passwd robot >/dev/null || fail "the account robot went away"
}
check_purged() {
  # Without conffiles left, dpkg forgets the package already at its removal.
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' armctl 2>/dev/null || echo not-installed)
  expect "dpkg status" "not-installed" "$status"
  getent passwd robot >/dev/null || fail "the account robot went away"
}

# ---- one row per step: what it does | what must hold afterwards
steps=(
  "install the package        | dpkg -i $amd64     | account modes fresh_files page capability"
  "run as www-data            | run_as_web_server  | port_refused modes"
  "write a position           | write_position     | kept"
  "reinstall the same version | dpkg -i $amd64     | kept modes account page capability"
  "upgrade to a higher version| dpkg -i $upgrade   | version_2 kept modes page capability"
  "remove                     | dpkg -r armctl     | removed kept modes"
  "purge                      | dpkg -P armctl     | purged kept modes"
)

echo "== package: install test (dpkg output in $log)"
: >"$log"
failed=0
for row in "${steps[@]}"; do
  IFS='|' read -r name action checks <<<"$row"
  name=$(echo $name)
  start=$SECONDS
  if ! eval "$action" >>"$log" 2>&1; then
    echo "FAIL  $name: '$(echo $action)' failed (see $log)"
    tail -5 "$log"
    exit 1
  fi
  bad=()
  for check in $checks; do
    faults=0
    "check_$check" || faults=$((faults + 1))
    [ "$faults" = 0 ] || bad+=("$check")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    echo "FAIL  $name: ${bad[*]}"
    failed=1
  else
    printf 'ok    %-28s %s (%d s)\n' "$name" "$checks" $((SECONDS - start))
  fi
done
[ "$failed" = 0 ] || { echo "== package: FAILED"; exit 1; }
echo "== package: all checks passed (${SECONDS} s)"

#!/usr/bin/env bash
# CI: builds the Debian packages (amd64, and i386 through the m32 toolchain)
# into build/packages/, and the last 1.0 and 1.1 packages from their commits,
# checks them with lintian, then installs the amd64 package on this machine
# with dpkg and takes it through one table of steps (fresh install, the
# systemd units verified, upgrades from 1.0 and 1.1, armctld started by its
# init script and under socket activation, what other accounts are refused,
# requests through Debian's Apache and its proxy on the arm's HTTPS origin
# (headers, redirect, denied files, password
# guessing), reinstall against a link-planting loop, upgrade, removal,
# purge), checking the account, owners, modes, capability, the socket,
# Apache's enabled modules and the arm's state files after each. Runs as
# root; leaves the machine as it found it.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

state_dir=/home/robot/public_html
page_dir=/usr/share/armctl/web
log=build/packages/install-test.log
# The last commits of armctl 1.0 and 1.1, whose packages the upgrades start from.
last_1_0=bb2d9bc
last_1_1=55ed55e
socket=/run/armctl/armctl.sock
units=(/lib/systemd/system/armctl.socket /lib/systemd/system/armctl.service)

[ "$(id -u)" = 0 ] || { echo "== package: FAILED: dpkg -i needs root"; exit 1; }

probe=$(mktemp -d)
# No service starts while the test runs (installing apache2, or the package
# enabling its modules): Apache runs only as the test's own instance on the
# loopback. invoke-rc.d and deb-systemd-invoke honour policy-rc.d.
policy=/usr/sbin/policy-rc.d
made_policy=no
if [ ! -e $policy ]; then
  printf '#!/bin/sh\nexit 101\n' >$policy && chmod 755 $policy && made_policy=yes
fi
leave() {
  rm -rf "$probe"
  if [ "$made_policy" = yes ]; then rm -f $policy; fi
}
trap leave EXIT
printf 'int main() { return 0; }\n' > "$probe/probe.cpp"
packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v g++ >/dev/null || packages+=(g++)
command -v lintian >/dev/null || packages+=(lintian)
command -v setcap >/dev/null || packages+=(libcap2-bin)
g++ -m32 "$probe/probe.cpp" -o "$probe/probe32" 2>/dev/null || packages+=(gcc-multilib g++-multilib)
[ -f /usr/include/apr-1.0/apr_md5.h ] || packages+=(libaprutil1-dev)
[ -f /usr/lib/i386-linux-gnu/libaprutil-1.so.0 ] || packages+=(libaprutil1:i386 libapr1:i386)
pkg-config --exists libmicrohttpd 2>/dev/null || packages+=(libmicrohttpd-dev)
pkg-config --exists libsystemd 2>/dev/null || packages+=(libsystemd-dev)
[ -f /usr/lib/i386-linux-gnu/libmicrohttpd.so.12 ] || packages+=(libmicrohttpd12:i386)
[ -f /usr/lib/i386-linux-gnu/libsystemd.so.0 ] || packages+=(libsystemd0:i386)
command -v apache2 >/dev/null || packages+=(apache2)
command -v htpasswd >/dev/null || packages+=(apache2-utils)
# systemd-socket-activate and systemd-analyze; no systemd runs as PID 1 here.
command -v systemd-socket-activate >/dev/null || packages+=(systemd)
command -v curl >/dev/null || packages+=(curl)
command -v python3 >/dev/null || packages+=(python3)
[ -x /usr/sbin/make-ssl-cert ] || packages+=(ssl-cert)
if [ ${#packages[@]} -gt 0 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
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
# build_old <commit> <version>: the old release's package, built once from
# its last commit and kept in build/packages-<version>/.
build_old() {
  local dir=build/packages-$2
  [ -e "$dir/armctl_$2-1_amd64.deb" ] && return 0
  echo "== package: building the $2 package from $1 (kept in $dir)"
  rm -rf "$dir" && mkdir -p "$dir/src"
  git archive "$1" | tar -x -C "$dir/src"
  # Only its files and maintainer scripts matter to the upgrade: -O1 builds it in
  # about two thirds of the time of the package's own -O2.
  (cd "$dir/src" && cmake --preset deb -DCMAKE_CXX_FLAGS_RELEASE='-O1 -DNDEBUG' &&
     cmake --build --preset deb && cpack --preset deb) >"$probe/build.log" 2>&1 ||
    { cat "$probe/build.log"; exit 1; }
  mv "$dir/src/build/packages/armctl_$2-1_amd64.deb" "$dir/" && rm -rf "$dir/src"
}
build_old $last_1_0 1.0
build_old $last_1_1 1.1
old_1_0=build/packages-1.0/armctl_1.0-1_amd64.deb
old_1_1=build/packages-1.1/armctl_1.1-1_amd64.deb
ls -l "$amd64" "$i386" "$upgrade" "$old_1_0" "$old_1_1"

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
              /usr/share/armctl/web/index.html /usr/share/doc/armctl/copyright \
              /usr/sbin/armctld /usr/share/man/man8/armctld.8.gz "${units[@]}" /etc/init.d/armctl \
              /etc/armctl/htpasswd /etc/armctl/armctld.conf /etc/apache2/conf-available/armctl.conf; do
    grep -qx "$file" "$probe/packaged" || { echo "== package: FAILED: ${deb##*/} lacks $file"; exit 1; }
  done
done

# The test writes a position and purges the package: it never runs where the
# arm's state already exists.
if dpkg-query -W -f='${Status}' armctl 2>/dev/null | grep -qv 'not-installed'; then
  echo "== package: FAILED: armctl is installed here; the install test would replace it"
  exit 1
fi
# The controller's files, and those the front end writes beside them (1.1's too).
state_files="lock.dat robot_position.dat .robot_position.dat.tmp stop-latch.json wait-queue.dat
  unlock-record.log poses.dat .poses.dat.tmp history.dat .history.dat.tmp history-older.dat
  goto-lock.dat run-progress.dat login-failures.dat"
for file in $state_files; do
  if [ -e "$state_dir/$file" ] || [ -L "$state_dir/$file" ]; then
    echo "== package: FAILED: $state_dir/$file exists; the install test would touch the arm's state"
    exit 1
  fi
done
had_account=no; getent passwd robot >/dev/null && had_account=yes
had_home=no; [ -e /home/robot ] && had_home=yes
had_dir=no; [ -e "$state_dir" ] && had_dir=yes
# Debian's self-signed certificate, which the package makes where missing.
snakeoil=/etc/ssl/certs/ssl-cert-snakeoil.pem
had_snakeoil=no; [ -e $snakeoil ] && had_snakeoil=yes
# Apache's enabled modules and confs before the test: removal must bring
# back exactly these.
apache_enabled() { ls /etc/apache2/mods-enabled /etc/apache2/conf-enabled; }
apache_before=$(apache_enabled)
apache_pid=""
# armctld's socket directory, the init script's pid file, and a daemon the
# test started under socket activation.
had_run_dir=no; [ -e "${socket%/*}" ] && had_run_dir=yes
pid_file=/run/armctld.pid
daemon_pid=""

cleanup() {
  [ -z "$apache_pid" ] || kill "$apache_pid" 2>/dev/null || true
  [ -z "${planter:-}" ] || kill "$planter" 2>/dev/null || true
  [ -z "$daemon_pid" ] || kill "$daemon_pid" 2>/dev/null || true
  if [ -e $pid_file ] && [ -x /etc/init.d/armctl ]; then /etc/init.d/armctl stop >/dev/null || true; fi
  if [ "$had_run_dir" = no ]; then rm -rf "${socket%/*}"; fi
  if dpkg-query -W -f='${Status}' armctl 2>/dev/null | grep -qv 'not-installed'; then
    dpkg -P armctl >/dev/null
  fi
  forget_state
  forget_snakeoil
  leave
}
# The state files never existed before the test (checked above).
forget_state() {
  for file in $state_files; do rm -f "$state_dir/$file"; done
  if [ "$had_dir" = no ]; then rm -rf "$state_dir"; fi
  if [ "$had_home" = no ]; then rm -rf /home/robot; fi
  if [ "$had_account" = no ] && getent passwd robot >/dev/null; then userdel robot; fi
}
trap cleanup EXIT

forget_snakeoil() {
  [ "$had_snakeoil" = no ] || return 0
  find /etc/ssl/certs -maxdepth 1 -lname ssl-cert-snakeoil.pem -delete
  rm -f $snakeoil /etc/ssl/private/ssl-cert-snakeoil.key
}

# ---- what the checks look at
# A check reports every fault it finds, then the step is marked failed.
fail() { echo "    $*"; faults=$((faults + 1)); }
owner_mode() { stat -c '%U:%G %a' "$1"; }
# A file's identity, modification time and content (owners and modes are
# checked on their own: the upgrade from 1.0 changes them).
fingerprint() { stat -c '%i %Y' "$1" && od -c "$1"; }
expect() { # <what> <expected> <actual>
  [ "$2" = "$3" ] || fail "$1: expected '$2', found '$3'"
}
holds() { # <file> <its whole content, as printf's format>
  cmp -s <(printf "$2") "$1" || fail "${1##*/}: expected '$2', found '$(od -An -c "$1" | tr -s ' ')'"
}
as() { local user=$1; shift; setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups -- "$@"; }

check_account() {
  local entry uid
  entry=$(getent passwd robot) || fail "no account robot"
  uid=$(echo "$entry" | cut -d: -f3)
  [ "$had_account" = yes ] || [ "$uid" -lt 1000 ] || fail "robot is not a system account: uid $uid"
  expect "robot's home and shell" "/home/robot:/usr/sbin/nologin" "$(echo "$entry" | cut -d: -f6,7)"
}
check_modes() {
  [ "$had_home" = yes ] || expect /home/robot "robot:robot 711" "$(owner_mode /home/robot)"
  expect "$state_dir" "robot:robot 755" "$(owner_mode "$state_dir")"
  expect lock.dat "robot:robot 600" "$(owner_mode "$state_dir/lock.dat")"
  expect robot_position.dat "robot:robot 644" "$(owner_mode "$state_dir/robot_position.dat")"
  expect /usr/bin/armctl "root:robot 750" "$(owner_mode /usr/bin/armctl)"
  expect htpasswd "root:robot 640" "$(owner_mode /etc/armctl/htpasswd)"
  expect armctld.conf "root:robot 640" "$(owner_mode /etc/armctl/armctld.conf)"
}
check_modes_1_0() {
  expect "$state_dir" "robot:www-data 2775" "$(owner_mode "$state_dir")"
  expect lock.dat "robot:www-data 660" "$(owner_mode "$state_dir/lock.dat")"
  expect robot_position.dat "www-data:www-data 664" "$(owner_mode "$state_dir/robot_position.dat")"
}
check_modes_1_1() {
  expect "$state_dir" "robot:robot 755" "$(owner_mode "$state_dir")"
  expect armctl-cgi "robot:robot 750" "$(owner_mode "$state_dir/armctl-cgi")"
  expect armctl-cgi.conf "root:robot 640" "$(owner_mode /etc/armctl/armctl-cgi.conf)"
}
check_fresh_files() {
  holds "$state_dir/lock.dat" '0\n'
  holds "$state_dir/robot_position.dat" '0 0 0 0 0 0 \n'
}
check_page() {
  local source
  for source in "$page_dir"/*; do
    cmp -s "$source" "$state_dir/${source##*/}" || fail "no copy of ${source##*/} in the UserDir"
    expect "${source##*/}" "robot:robot 644" "$(owner_mode "$state_dir/${source##*/}")"
  done
  [ ! -e "$state_dir/armctl-cgi" ] || fail "1.x's CGI is still in the UserDir"
}
check_capability() {
  expect "getcap" "/usr/bin/armctl cap_sys_rawio=ep" "$(getcap /usr/bin/armctl)"
}
check_apache_enabled() {
  local module
  for module in proxy proxy_http userdir headers ssl; do a2query -q -m $module || fail "module $module not enabled"; done
  [ -e $snakeoil ] || fail "no certificate for the arm's origin"
  a2query -q -c armctl || fail "conf armctl not enabled"
}
# What 1.1 enabled for its CGI goes, unless it was enabled before the test.
check_cgi_gone() {
  local module
  for module in cgid suexec; do
    grep -qx "mod $module" /var/lib/armctl/apache2-enabled && fail "the record still holds mod $module"
    grep -qx "$module.load" <<<"$apache_before" || ! a2query -q -m $module || fail "module $module is still enabled"
  done
  [ ! -e /usr/lib/armctl/armctl-cgi ] || fail "/usr/lib/armctl/armctl-cgi is still there"
}
# The package starts armctld at boot: armctl.socket wanted by sockets.target
# (deb-systemd-helper) and the init script in the runlevels (update-rc.d).
daemon_links() {
  ls /etc/systemd/system/sockets.target.wants/armctl.socket /etc/rc[0-6S].d/[SK][0-9][0-9]armctl \
    /var/lib/systemd/deb-systemd-helper-enabled/armctl.socket.dsh-also 2>/dev/null || true
}
check_daemon_links() {
  local links
  links=$(daemon_links)
  grep -q 'sockets.target.wants/armctl.socket$' <<<"$links" || fail "armctl.socket is not enabled"
  grep -q '^/etc/rc2.d/S[0-9][0-9]armctl$' <<<"$links" || fail "the init script is not started in runlevel 2"
  grep -q '^/etc/rc0.d/K[0-9][0-9]armctl$' <<<"$links" || fail "the init script is not stopped in runlevel 0"
}
check_daemon_links_gone() {
  expect "links that start armctld" "" "$(daemon_links)"
}
check_apache_as_before() {
  expect "Apache's enabled modules and confs" "$apache_before" "$(apache_enabled)"
}
# This kernel grants no port access to anyone (ENOSYS): a run as the arm's
# account must get as far as the grant, fail there, release the lock and
# leave the counters alone. That it holds the capability is seen while it
# waits out a lock taken by another program ("1" without the run's mark):
# CAP_SYS_RAWIO (bit 17) is in its permitted set.
run_as_robot() {
  before=$(fingerprint "$state_dir/robot_position.dat")
  printf '1\n' >"$state_dir/lock.dat"
  as robot /usr/bin/armctl -H 10 >"$probe/out" 2>"$probe/err" &
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
# 1.0 let the web server's account write the position.
write_position_1_0() {
  runuser -u www-data -- sh -c "printf '12 -34 56 0 100 7 \n' > $state_dir/robot_position.dat"
  touch -d '2026-01-02 03:04:05' "$state_dir/robot_position.dat"
  position=$(fingerprint "$state_dir/robot_position.dat")
  lock=$(fingerprint "$state_dir/lock.dat")
}
check_kept() {
  expect "robot_position.dat" "$position" "$(fingerprint "$state_dir/robot_position.dat")"
  holds "$state_dir/robot_position.dat" '12 -34 56 0 100 7 \n'
  expect "lock.dat" "$lock" "$(fingerprint "$state_dir/lock.dat")"
}
# 1.1's front end kept the taught poses and sequences and the history beside
# the position, as the arm's account's 0600 files; an administrator changed
# the settings.
front_files="poses.dat history.dat"
write_state_1_1() {
  as robot sh -ec 'cd "$1"; umask 077
    printf "12 -34 56 0 100 7 \n" >robot_position.dat
    printf "%s\n" "{\"poses\": {\"rest\": [1,2,3,4,5,6]}, \"sequences\": {\"wave\": {\"steps\": [{\"pose\": \"rest\", \"pause_ms\": 0}], \"repeat\": 2}}}" >poses.dat
    printf "%s\n" "{\"at\":\"2026-12-10T09:00:00Z\",\"user\":\"operator\",\"request\":\"-H 10\",\"status\":0}" >history.dat
    touch -d "2026-01-02 03:04:05" robot_position.dat poses.dat history.dat' sh "$state_dir"
  position=$(fingerprint "$state_dir/robot_position.dat")
  lock=$(fingerprint "$state_dir/lock.dat")
  front=$(for file in $front_files; do fingerprint "$state_dir/$file"; done)
  front_poses=$(cat "$state_dir/poses.dat")
  front_history="$(stat -c %i "$state_dir/history.dat") $(head -n 1 "$state_dir/history.dat")"
  echo 'wait_ms = 9000 # the administrator waits longer' >>/etc/armctl/armctl-cgi.conf
}
check_front_kept() {
  expect "poses.dat and history.dat" "$front" "$(for file in $front_files; do fingerprint "$state_dir/$file"; done)"
}
# Once armctld has run moves, the history has grown by their entries: the
# poses stay whole, and the history file keeps 1.1's entry first.
check_front_grown() {
  expect "poses.dat" "$(head -n 1 <<<"$front")" "$(fingerprint "$state_dir/poses.dat" | head -n 1)"
  expect "poses.dat's content" "${front_poses}" "$(cat "$state_dir/poses.dat")"
  expect "history.dat's inode and first line" "$front_history" \
    "$(stat -c %i "$state_dir/history.dat") $(head -n 1 "$state_dir/history.dat")"
}
check_settings_moved() {
  [ ! -e /etc/armctl/armctl-cgi.conf ] || fail "armctl-cgi.conf is still there"
  grep -qx 'wait_ms = 9000 # the administrator waits longer' /etc/armctl/armctld.conf ||
    fail "armctld.conf lacks the administrator's change"
  dpkg-statoverride --list /etc/armctl/armctl-cgi.conf >/dev/null && fail "armctl-cgi.conf keeps its override"
  dpkg-query -W -f='${Conffiles}' armctl | grep -q ' /etc/armctl/armctld.conf ' ||
    fail "armctld.conf is not a conffile"
}
# systemd-analyze verify of the installed units: every key known, the
# program and the manual page there, nothing said.
verify_units() {
  units_status=0
  systemd-analyze verify "${units[@]}" >"$probe/verify" 2>&1 || units_status=$?
}
check_units_verified() {
  expect "systemd-analyze verify" "0 " "$units_status $(cat "$probe/verify")"
}
check_version() {
  expect "installed version" "$1" "$(dpkg-query -W -f='${Version}' armctl)"
}
check_version_1_1() { check_version 1.1-1; }
check_version_2() { check_version 2.1-1; }
check_version_2_2() { check_version 2.1-2; }
check_removed() {
  [ ! -e /usr/bin/armctl ] || fail "/usr/bin/armctl is still there"
  [ ! -e /usr/sbin/armctld ] || fail "/usr/sbin/armctld is still there"
  [ ! -e "$state_dir/index.html" ] || fail "the page's copy is still there"
  getent passwd robot >/dev/null || fail "the account robot went away"
}
check_purged() {
  # Without conffiles left, dpkg forgets the package already at its removal.
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' armctl 2>/dev/null || echo not-installed)
  expect "dpkg status" "not-installed" "$status"
  expect "dpkg-statoverride" "" "$(dpkg-statoverride --list | grep armctl || true)"
  getent passwd robot >/dev/null || fail "the account robot went away"
}
purge_and_forget() { dpkg -P armctl && forget_state; }

# ---- an account robot in the people's range (uid 1500) is not adopted:
# the configure fails with what to do, and leaves the account, /home and
# the machine's settings as they were. Then the package and the account go.
install_over_person() {
  person=skipped
  [ "$had_account" = no ] || return 0
  useradd --uid 1500 --user-group --home-dir /home/robot --no-create-home --shell /bin/sh robot
  person=$(getent passwd robot)
  person_status=0
  dpkg -i "$amd64" 2>"$probe/person.err" || person_status=$?
  cat "$probe/person.err"
  # shellcheck disable=SC2046 # one line of words
  person_after=$(echo "$(getent passwd robot)" "home:$([ -e /home/robot ] && echo made)" \
    $(dpkg-statoverride --list | grep armctl) $(daemon_links) $(ls -A /var/lib/armctl 2>/dev/null))
  person_apache=$(apache_enabled)
  # Purged while the account is there: what a wrongly adopted robot got is its.
  dpkg -P armctl && forget_state
}
check_person_refused() {
  if [ "$person" = skipped ]; then echo "    (not tried: an account robot was there before the test)"; return 0; fi
  expect "dpkg's status" 1 "$person_status"
  grep -q '^armctl: the account robot exists with uid 1500,' "$probe/person.err" || fail "no refusal: $(cat "$probe/person.err")"
  grep -q 'sudo useradd --system ' "$probe/person.err" || fail "the refusal does not say what to do"
  [ "$had_home" = no ] || person_after=${person_after/home:made/home:}
  expect "the account, its home, overrides, links, records" "$person home:" "$person_after"
  expect "Apache's enabled modules and confs" "$apache_before" "$person_apache"
}

# ---- what other accounts are refused: each try must fail for want of the
# right ("Permission denied"), and change nothing. The step notes what it
# finds; check_all_refused reports it. runuser, not setpriv: setpriv keeps
# root's file access for its own exec, so the controller's mode would not
# be what refused it.
refused() { # <user> <what> <command...>
  local user=$1 what=$2
  shift 2
  if runuser -u "$user" -- "$@" >"$probe/out" 2>"$probe/err"; then
    echo "$user could $what" >>"$probe/refusals"
  elif ! grep -q 'Permission denied' "$probe/err"; then
    echo "$user: '$what' failed, but not for want of the right: $(cat "$probe/err")" >>"$probe/refusals"
  fi
}
connect=(/usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' "$socket")
try_as_others() {
  local user
  : >"$probe/refusals"
  listing=$(ls -la --time-style=full-iso "$state_dir")
  for user in www-data nobody; do
    refused $user "create a file in the state directory" touch "$state_dir/planted"
    refused $user "rename a state file" mv -T "$state_dir/robot_position.dat" "$state_dir/moved"
    refused $user "remove lock.dat" rm -f "$state_dir/lock.dat"
    refused $user "write lock.dat" sh -c "printf 1 >>$state_dir/lock.dat"
    refused $user "write robot_position.dat" sh -c "printf 1 >>$state_dir/robot_position.dat"
    refused $user "open lock.dat" cat "$state_dir/lock.dat"
    refused $user "execute the controller" /usr/bin/armctl -Q
    refused $user "read the settings" cat /etc/armctl/armctld.conf
  done
  refused nobody "connect to armctld's socket" "${connect[@]}"
  # The web server's account reaches armctld, whose own login check holds:
  # without credentials a move answers 401 and starts nothing.
  # (curl writes only to the shell's descriptors: the probe is root's.)
  as www-data curl -s --unix-socket "$socket" -D - -o /dev/null -w '%{http_code}\n' \
    -H 'Content-Type: application/json' -d "$move_body" http://armctld/ 2>&1 | tr -d '\r' >"$probe/direct" || true
}
check_all_refused() {
  local finding
  while read -r finding; do fail "$finding"; done <"$probe/refusals"
  expect "www-data's move on the socket without credentials" 401 "$(tail -1 "$probe/direct")"
  grep -q '^WWW-Authenticate: Basic realm="armctl"' "$probe/direct" || fail "no Basic challenge: $(cat "$probe/direct")"
  expect "the state directory" "$listing" "$(ls -la --time-style=full-iso "$state_dir")"
}

# ---- armctld, started as the package starts it: by the init script
# (`service`, as an administrator would), or under socket activation as
# armctl.socket and armctl.service do (systemd-socket-activate makes the
# socket, owner and mode as the unit's Socket* lines say, and execs the
# daemon as the unit's User and Group with the socket in LISTEN_FDS).
start_by_init_script() {
  service armctl start
  start_apache
}
unit_setting() { sed -n "s/^$1=//p" "${units[@]}"; }
start_socket_activated() {
  rm -rf "${socket%/*}"
  install -d -m "$(unit_setting DirectoryMode)" "${socket%/*}"
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin systemd-socket-activate -l "$socket" \
    setpriv --reuid="$(unit_setting User)" --regid="$(unit_setting Group)" --init-groups -- \
    "$(unit_setting ExecStart)" &
  daemon_pid=$!
  for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
  chown "$(unit_setting SocketUser):$(unit_setting SocketGroup)" "$socket"
  chmod "$(unit_setting SocketMode)" "$socket"
  # The first connection starts armctld, as under systemd.
  as www-data curl -s -o /dev/null -w '%{http_code}' --unix-socket "$socket" http://armctld/ >"$probe/first"
  start_apache
}
check_first_answer() {
  expect "the first request on the socket" 200 "$(cat "$probe/first")"
}
# Without an init that reaps them, ended daemons stay as zombies: not counted.
daemon_pids() { ps -u robot -o pid=,stat=,comm= | awk '$2 !~ /^Z/ && $3 == "armctld" { print $1 }'; }
check_socket() {
  expect "armctld's socket" "robot:www-data 660 socket" "$(stat -c '%U:%G %a %F' "$socket")"
  [ -n "$(daemon_pids)" ] || fail "no armctld runs"
  expect "armctld's account" robot "$(ps -o user= -p "$(daemon_pids | head -1)")"
}
# A stop sends SIGTERM; armctld exits 0 and takes its runs with it.
stop_by_init_script() {
  stop_apache
  service armctl stop
  forget_failures
}
stop_socket_activated() {
  stop_apache
  kill -TERM "$daemon_pid"
  daemon_status=0
  wait "$daemon_pid" || daemon_status=$?
  daemon_pid=""
  forget_failures
}
# A run of the controller, as the arm's account.
controller_waits() { pgrep -u robot -x armctl >/dev/null; }
# armctld reads the failed logins at its start: the guessing step's go with it.
forget_failures() { rm -f "$state_dir/login-failures.dat"; }
check_stopped() {
  expect "armctld processes" "" "$(daemon_pids)"
  controller_waits && fail "a run outlived armctld"
  [ -z "${daemon_status:-}" ] || expect "armctld's status after SIGTERM" 0 "$daemon_status"
  daemon_status=""
}

# ---- a request through Debian's Apache with the package's configuration:
# a copy of /etc/apache2 listening on the loopback only, its proxy to
# armctld's socket and all.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
start_apache() {
  local conf=$probe/apache
  rm -rf "$conf"
  cp -a /etc/apache2 "$conf"
  rm -f "$conf"/sites-enabled/*
  port=$(free_port)
  echo "Listen 127.0.0.1:$port" >"$conf/ports.conf"
  # The arm's origin on a free port of the loopback: the snippet's one port
  # setting, and its listener bound to the loopback.
  https_port=$(free_port)
  sed -i -e "s/^Define armctl_https_port .*/Define armctl_https_port $https_port/" \
    -e 's/^\( *Listen \)\(${armctl_https_port} https\)$/\1127.0.0.1:\2/' "$conf/conf-available/armctl.conf"
  grep -q "^ *Listen 127.0.0.1:\${armctl_https_port} https$" "$conf/conf-available/armctl.conf" ||
    { echo "armctl.conf: no Listen of the arm's port to bind to the loopback"; return 1; }
  arm=https://127.0.0.1:$https_port/~robot
  mkdir -p "$conf/run/socks" "$conf/log" && chmod 755 "$probe" "$conf"
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin APACHE_RUN_USER=www-data APACHE_RUN_GROUP=www-data \
    APACHE_PID_FILE="$conf/run/pid" APACHE_RUN_DIR="$conf/run" APACHE_LOCK_DIR="$conf/run" \
    APACHE_LOG_DIR="$conf/log" apache2 -d "$conf" -f "$conf/apache2.conf" -C 'ServerName 127.0.0.1' \
    -DFOREGROUND &
  apache_pid=$!
  curl -skf --retry 20 --retry-connrefused --retry-delay 1 -o /dev/null "$arm/"
}
# The arm's origin has Debian's self-signed certificate: -k, and a check of
# its own that it is the one served.
http() { curl -sk -o "$probe/body" -D "$probe/head" -w '%{http_code}' "$@"; }
move_body='{"options":["-H","10"]}'
run_through_apache() {
  grep -q '^operator:' /etc/armctl/htpasswd || htpasswd -bB /etc/armctl/htpasswd operator arm-test-password
  page=$(http "$arm/")$(cmp -s "$probe/body" "$page_dir/index.html" && echo ' the page')
  state=$(http "$arm/api")$(cat "$probe/body")
  poses=$(http "$arm/api?poses")$(cat "$probe/body")
  raw=$(http "$arm/lock.dat")
  # Another account's UserDir: www-data's, made for the moment where it has none.
  local other_dir
  other_dir=$(getent passwd www-data | cut -d: -f6)/public_html
  other=none made_other=no
  if mkdir "$other_dir" 2>/dev/null; then
    made_other=yes
    echo other >"$other_dir/index.html"
    other=$(http "http://127.0.0.1:$port/~www-data/")
  fi
  ask_origin
  [ "$made_other" = no ] || rm -r "$other_dir"
  anonymous=$(http -H 'Content-Type: application/json' -d "$move_body" "$arm/api")
  wrong=$(http -u operator:wrong -H 'Content-Type: application/json' -d "$move_body" "$arm/api")
  # From the arm's own origin, with a server name of the client's making:
  # Apache's Armctl-Server must replace it, or the Origin would be refused.
  moved=$(http -u operator:arm-test-password -H 'Content-Type: application/json' \
    -H "Origin: https://127.0.0.1:$https_port" -H 'Armctl-Server: https evil.example 443' \
    -d "$move_body" "$arm/api")$(cat "$probe/body")
  lock=$(fingerprint "$state_dir/lock.dat") # the run took and released the lock
}
stop_apache() {
  kill "$apache_pid" && wait "$apache_pid" || true
  apache_pid=""
}
check_answers() {
  expect "the page at /~robot/" '200 the page' "$page"
  # The answer's fields come in name order: the counters' are looked for among them.
  expect "GET" '200 "counters":[12,-34,56,0,100,7]' \
    "${state:0:3} $(grep -o '"counters":\[[^]]*\]' <<<"$state" | head -n 1)"
  [[ "$state" == *'"lock":{"held":false},'* ]] || fail "GET: the lock is not free: $state"
  [[ "$poses" == 200*'"counters":[1,2,3,4,5,6],"name":"rest"'* ]] || fail "GET ?poses lacks 1.1's pose: $poses"
  expect "lock.dat over HTTP" 403 "$raw"
  # Where the package enabled mod_userdir, it serves the arm's account only.
  if grep -qx 'mod userdir' /var/lib/armctl/apache2-enabled && [ "$other" != none ]; then
    expect "another account's UserDir" 404 "$other"
  fi
  expect "a move without credentials" 401 "$anonymous"
  expect "a move with a wrong password" 401 "$wrong"
  # The controller ran as robot and stopped at the port grant.
  expect "a move with credentials" 200 "${moved:0:3}"
  holds "$state_dir/lock.dat" '0\n'
  [[ "$moved" == *'"status":1}' ]] || fail "the run's answer: $moved"
}
# Ten more wrong passwords for the name within the minute: the next try is
# not checked, right password or not.
guess_passwords() {
  for _ in $(seq 10); do
    http -u operator:guess -H 'Content-Type: application/json' -d "$move_body" "$arm/api" >/dev/null
  done
  guessed=$(http -u operator:arm-test-password -H 'Content-Type: application/json' -d "$move_body" \
    "$arm/api")$(grep -ci '^retry-after: [1-9]' "$probe/head" || true)
}
check_guessing_stopped() {
  expect "a login after ten failures within the minute" 4291 "$guessed"
}

# ---- the arm's origin: one row per request (scheme, path, and curl's
# options if any), its status and the header lines it must carry (a rule
# below) or must not (!rule). No answer binds the host name to HTTPS
# (!hsts): http://HOST/ must keep reaching the arm. The state files and a
# file and a directory of the account's own are planted readable by anyone,
# so that only the server's rules can refuse them.
framing="csp_self csp_frames no_inline xfo nosniff referrer"
origin_rows=(
  "the page                   | https /~robot/                  | 200 | $framing !hsts"
  "the page's script          | https /~robot/page.js           | 200 | $framing !hsts"
  "an API answer              | https /~robot/api               | 200 | $framing !hsts"
  "an API refusal             | https /~robot/api?nosuch        | 400 | $framing !hsts"
  "an API login challenge     | https /~robot/api?history       | 401 | $framing !hsts"
  "the page over plain HTTP   | http  /~robot/                  | 301 | to_origin !hsts"
  "the API over plain HTTP    | http  /~robot/api?poses         | 301 | to_origin_poses !hsts"
  "plain HTTP, redirect taken | http  /~robot/ -L               | 200 | to_origin $framing !hsts"
  "TRACE on the arm's origin  | https /~robot/ -X TRACE         | 405 |"
  "TRACE over plain HTTP      | http  /~robot/ -X TRACE         | 405 |"
  "lock.dat                   | https /~robot/lock.dat          | 403 |"
  "robot_position.dat         | https /~robot/robot_position.dat | 403 |"
  "stop-latch.json            | https /~robot/stop-latch.json   | 403 |"
  "unlock-record.log          | https /~robot/unlock-record.log | 403 |"
  "history.dat                | https /~robot/history.dat       | 403 |"
  "poses.dat                  | https /~robot/poses.dat         | 403 |"
  "wait-queue.dat             | https /~robot/wait-queue.dat    | 403 |"
  "a file the account made    | https /~robot/notes.txt         | 403 |"
  "1.x's CGI                  | https /~robot/armctl-cgi        | 403 |"
  "a page in a subdirectory   | https /~robot/sub/index.html    | 403 |"
  "the state file over HTTP   | http  /~robot/robot_position.dat | 403 | !to_origin"
  "another account's UserDir  | https /~www-data/               | 403 |"
  "the site's own content     | https /index.html               | 403 |"
)
# The protocols the arm's origin speaks: one row per client's offer
# (openssl s_client's options), and the protocol agreed or "refused" (the
# server's protocol alert). TLS 1.1 is offered at security level 0, where
# this OpenSSL would still speak it, so that only the server refuses it.
tls_rows=(
  "TLS 1.1 | -tls1_1 -cipher DEFAULT@SECLEVEL=0 | refused"
  "TLS 1.2 | -tls1_2                            | TLSv1.2"
  "TLS 1.3 | -tls1_3                            | TLSv1.3"
)
tls_outcome() { # <s_client options...>
  local out
  out=$(openssl s_client -brief -connect "127.0.0.1:$https_port" "$@" </dev/null 2>&1) || true
  if grep -q 'alert protocol version' <<<"$out"; then echo refused; else sed -n 's/^Protocol version: //p' <<<"$out"; fi
}
planted="stop-latch.json unlock-record.log history.dat poses.dat wait-queue.dat notes.txt sub/index.html"
header_rule() { # <rule>: the extended regular expression of its header line
  case $1 in
    csp_self) echo "^Content-Security-Policy: (.*; *)?default-src 'self' *(;|$)" ;;
    csp_frames) echo "^Content-Security-Policy: (.*; *)?frame-ancestors 'none' *(;|$)" ;;
    no_inline) echo "^Content-Security-Policy: .*'unsafe-" ;;
    xfo) echo '^X-Frame-Options: DENY$' ;;
    nosniff) echo '^X-Content-Type-Options: nosniff$' ;;
    referrer) echo '^Referrer-Policy: same-origin$' ;;
    hsts) echo '^Strict-Transport-Security: max-age=[1-9][0-9]*' ;;
    to_origin) echo "^Location: https://127\.0\.0\.1:$https_port/~robot/$" ;;
    to_origin_poses) echo "^Location: https://127\.0\.0\.1:$https_port/~robot/api\?poses$" ;;
    *) return 1 ;;
  esac
}
ask_origin() {
  local row i=0 what scheme_path scheme path options code rules url offer
  # The account's own files of those names are set aside meanwhile (a rename
  # keeps their inode, time and content).
  as robot sh -c 'cd "$1" && shift && mkdir sub && for f in "$@"; do
      [ ! -e "$f" ] || mv "$f" ".aside.$f"; echo planted >"$f"; chmod 644 "$f"; done' \
    sh "$state_dir" $planted
  for row in "${origin_rows[@]}"; do
    IFS='|' read -r what scheme_path code rules <<<"$row"
    read -r scheme path options <<<"$scheme_path"
    url=https://127.0.0.1:$https_port$path
    [ "$scheme" = https ] || url=http://127.0.0.1:$port$path
    # shellcheck disable=SC2086 # the row's options, one word each
    http $options "$url" >"$probe/origin.$i.code"
    tr -d '\r' <"$probe/head" >"$probe/origin.$i.head"
    i=$((i + 1))
  done
  as robot sh -c 'cd "$1" && shift && rm -r "$@" sub && for f in "$@"; do
      [ ! -e ".aside.$f" ] || mv ".aside.$f" "$f"; done' sh "$state_dir" $planted
  served_cert=$(openssl s_client -connect "127.0.0.1:$https_port" </dev/null 2>/dev/null | openssl x509 -noout -fingerprint)
  i=0
  for row in "${tls_rows[@]}"; do
    IFS='|' read -r _ offer _ <<<"$row"
    # shellcheck disable=SC2086 # the row's options, one word each
    tls_outcome $offer >"$probe/tls.$i"
    i=$((i + 1))
  done
}
check_origin() {
  local row i=0 what code rules rule pattern outcome
  for row in "${origin_rows[@]}"; do
    IFS='|' read -r what _ code rules <<<"$row"
    what=$(echo $what)
    expect "$what: status" "$(echo $code)" "$(cat "$probe/origin.$i.code")"
    for rule in $rules; do
      pattern=$(header_rule "${rule#!}") || { fail "$what: no header rule ${rule#!}"; continue; }
      # no_inline is a rule of what must be absent, as a !rule is.
      if [ "${rule#!}" != "$rule" ] || [ "$rule" = no_inline ]; then
        ! grep -Eq "$pattern" "$probe/origin.$i.head" || fail "$what: a header matches ${rule#!}"
      else
        grep -Eq "$pattern" "$probe/origin.$i.head" || fail "$what: no header matches $rule"
      fi
    done
    i=$((i + 1))
  done
  expect "the arm's certificate" "$(openssl x509 -noout -fingerprint -in $snakeoil)" "$served_cert"
  i=0
  for row in "${tls_rows[@]}"; do
    IFS='|' read -r what _ outcome <<<"$row"
    expect "$(echo $what) offered" "$(echo $outcome)" "$(cat "$probe/tls.$i")"
    i=$((i + 1))
  done
}

# ---- reinstall while the arm's account plants links: a loop running as
# robot swaps the UserDir for a link to a directory of root's files named as
# the state files, the page and 1.x's CGI, and replaces the page and the CGI
# by links to those files. None of them may change.
canaries=(lock.dat robot_position.dat index.html armctl-cgi)
reinstall_under_attack() {
  local name
  mkdir -m 0755 "$probe/canary"
  for name in "${canaries[@]}"; do printf 'root only\n' >"$probe/canary/$name"; chmod 600 "$probe/canary/$name"; done
  canary=$(cd "$probe/canary" && stat -c '%n %U:%G %a %Y %s' * && cat *)
  touch "$probe/planting"
  as robot sh -c '
    cd /home/robot
    while [ -e "$1" ]; do
      for name in index.html armctl-cgi page.js; do ln -sfn "$2/$name" public_html/$name 2>/dev/null; done
      mv -T public_html public_html.real || continue
      ln -s "$2" public_html 2>/dev/null
      sleep 0.2 # the link stands most of the time, the real directory briefly
      # A directory that the configure made meanwhile is put aside.
      n=$((n + 1))
      if [ -L public_html ]; then rm public_html; else mv -T public_html "public_html.made.$n"; fi
      mv -T public_html.real public_html
    done' sh "$probe/planting" "$probe/canary" &
  planter=$!
  dpkg -i "$amd64" || echo "(the reinstall under attack failed)"
  rm "$probe/planting" && wait "$planter"
  planter=""
  dpkg -i "$amd64"
}
check_canary() {
  expect "root's files" "$canary" "$(cd "$probe/canary" && stat -c '%n %U:%G %a %Y %s' * && cat *)"
}

# ---- one row per step: what it does | what must hold afterwards
steps=(
  "install on a fresh machine  | dpkg -i $amd64         | account modes fresh_files page capability apache_enabled daemon_links"
  "verify the systemd units    | verify_units           | units_verified"
  "run as robot                | run_as_robot           | port_refused modes"
  "purge, forget the state     | purge_and_forget       | apache_as_before daemon_links_gone"
  "a person's robot refused    | install_over_person    | person_refused apache_as_before daemon_links_gone"
  "install 1.0                 | dpkg -i $old_1_0       | modes_1_0"
  "write a position, as 1.0 did| write_position_1_0     | kept"
  "upgrade from 1.0            | dpkg -i $amd64         | version_2 kept modes page capability apache_enabled"
  "purge, forget the state     | purge_and_forget       | apache_as_before"
  "install 1.1                 | dpkg -i $old_1_1       | version_1_1 modes_1_1"
  "write the state, as 1.1 did | write_state_1_1        | kept"
  "upgrade from 1.1            | dpkg -i $amd64         | version_2 kept front_kept settings_moved modes page cgi_gone capability apache_enabled daemon_links"
  "start armctld: init script  | start_by_init_script   | socket"
  "refuse other accounts       | try_as_others          | all_refused kept"
  "request through Apache      | run_through_apache     | answers origin kept front_grown"
  "ten wrong passwords         | guess_passwords        | guessing_stopped"
  "stop armctld: init script   | stop_by_init_script    | stopped kept"
  "start armctld: socket       | start_socket_activated | first_answer socket"
  "request through Apache      | run_through_apache     | answers origin kept front_grown"
  "stop armctld: SIGTERM       | stop_socket_activated  | stopped kept"
  "reinstall, links planted    | reinstall_under_attack | canary kept modes page capability"
  "upgrade to a higher revision| dpkg -i $upgrade       | version_2_2 kept front_grown modes page capability"
  "remove                      | dpkg -r armctl         | removed kept front_grown apache_as_before"
  "purge                       | dpkg -P armctl         | purged kept front_grown apache_as_before daemon_links_gone"
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

# The table of hardware runs, for busybox sh: in the guest on the parallel-port
# controller, on the host on the simulated one with the same settings. Prints
# one block per run (status, output, the state files with owners and modes,
# the directory's entries); the guest marks each run on the port's control
# register, the host keeps each run's port.log instead.
# Usage: run.sh CASES   with ARMCTL, TOOL, STATE, WORK set; HOST=1 on the host.
set -u
cases=$1
www=33 robot=1001 user=1000

# The three installs of the same executable: plain, cap_sys_rawio, setuid root.
cp "$ARMCTL" "$WORK/armctl" && chmod 755 "$WORK/armctl"
cp "$ARMCTL" "$WORK/armctl-cap" && chmod 755 "$WORK/armctl-cap" &&
  "$TOOL" setcap-rawio "$WORK/armctl-cap"
cp "$ARMCTL" "$WORK/armctl-suid" && chown 0:0 "$WORK/armctl-suid" && chmod 4755 "$WORK/armctl-suid"
cp "$TOOL" "$WORK/hil-tool" && chmod 755 "$WORK/hil-tool"

# mode -> caller uid gid, executable, directory owner and mode, lock and position owners
setup() {
  case $1 in
    root) set -- 0 0 armctl 0:0 755 0:0 0:0 ;;
    user) set -- $user $user armctl $user:$user 755 $user:$user $user:$user ;;
    cap) set -- $www $www armctl-cap $robot:$www 2775 $robot:$www $www:$www ;;
    suid) set -- $www $www armctl-suid $robot:$robot 755 $robot:$robot $robot:$robot ;;
  esac
  caller="$1 $2" exe=$WORK/$3
  chown "$4" "$STATE" && chmod "$5" "$STATE"
  printf '0\n' > "$STATE/lock.dat" && chown "$6" "$STATE/lock.dat" && chmod 664 "$STATE/lock.dat"
  if [ "$start" != none ]; then
    printf '%s\n' "$start" > "$STATE/robot_position.dat"
    chown "$7" "$STATE/robot_position.dat" && chmod 664 "$STATE/robot_position.dat"
  fi
}

show() {
  [ -e "$1" ] || { echo "$2 missing"; return; }
  echo "$2 $(stat -c '%u:%g %a' "$1") $(od -An -tx1 -v "$1" | tr -s ' \n' '  ')"
}

[ "${HOST:-}" = 1 ] || { "$WORK/hil-tool" mark 0x5a && "$WORK/hil-tool" mark 0xa5; }
while IFS='|' read -r id mode start options; do
  rm -rf "$STATE"/* "$STATE"/.[!.]* 2>/dev/null
  setup "$mode"
  if [ "${HOST:-}" = 1 ]; then rm -f "$STATE/port.log"; else "$WORK/hil-tool" mark "$id"; fi
  # shellcheck disable=SC2086 # the options are words
  "$WORK/hil-tool" as $caller "$exe" $options > "$WORK/out" 2> "$WORK/err"
  status=$?
  if [ "${HOST:-}" = 1 ]; then
    if [ -e "$STATE/port.log" ]; then mv "$STATE/port.log" "$WORK/bytes.$id"; else : > "$WORK/bytes.$id"; fi
  fi
  echo "== case $id $mode"
  echo "status $status"
  echo "stdout:"; cat "$WORK/out"
  echo "stderr:"; cat "$WORK/err"
  show "$STATE/lock.dat" lock
  show "$STATE/robot_position.dat" position
  echo "dir $(stat -c '%u:%g %a' "$STATE") $(ls -A "$STATE" | tr '\n' ' ')"
done < "$cases"
[ "${HOST:-}" = 1 ] || "$WORK/hil-tool" mark 255
echo "== end"

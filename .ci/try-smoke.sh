#!/usr/bin/env bash
# CI: the README's first command, as a newcomer runs it. Starts tools/try
# from zeros, loads the page, makes one logged-in jog with the login it
# printed, sent as a browser at http://localhost would send it, then presses
# Ctrl-C and finds the port closed and nothing of Apache or armctld (nor a
# run of theirs) left running.
set -euo pipefail
cd "$(dirname "$0")/.."

out=$(mktemp) err=$(mktemp)
# Job control puts it in a process group of its own, which Ctrl-C reaches as
# a terminal's would (without it, a background job ignores SIGINT).
set -m
tools/try --reset >"$out" 2>"$err" &
try=$!
fail() {
  echo "== try: FAILED: $*"
  cat "$out" "$err"
  kill -INT -- "-$try" 2>/dev/null || true
  exit 1
}

for _ in $(seq 1800); do
  grep -q '^password: ' "$out" && break
  kill -0 "$try" 2>/dev/null || fail "tools/try ended before it printed its login"
  sleep 0.5
done
field() { sed -n "s/^$1: //p" "$out"; }
url=$(field url) user=$(field user) password=$(field password)
[ -n "$password" ] || fail "no login printed within 15 minutes"
[[ $url =~ ^http://127\.0\.0\.1:([0-9]+)/~robot/$ ]] || fail "unexpected url '$url'"
port=${BASH_REMATCH[1]}
local_url=http://localhost:$port/~robot/
echo "== try: serving at $url (also as $local_url)"

# Read whole before it is searched: grep -q would leave curl a closed pipe.
page=$(curl -fsS "$url") || fail "the page did not load at $url"
grep -q '<meta name="armctl-api"' <<<"$page" || fail "no arm page at $url"
answer=$(curl -sS -u "$user:$password" -H 'Content-Type: application/json' \
  -H "Origin: http://localhost:$port" --data '{"options": ["-G", "10"]}' \
  -w '\nhttp %{http_code}\n' "${local_url}api")
grep -qx 'http 200' <<<"$answer" || fail "the jog was not answered 200: $answer"
grep -q '"counters":\[10,0,0,0,0,0\]' <<<"$answer" || fail "the jog did not move counter 0 by 10: $answer"
state=$(curl -fsS "${url}api")
grep -q '"counters":\[10,0,0,0,0,0\]' <<<"$state" || fail "the saved counters are not the jog's: $state"
echo "== try: the page loaded, and a jog by the printed login moved counter 0 to 10"
# The logs name failed logins and their addresses: their owner's only. TRACE echoes nothing.
logs=$(sed -n 's/.*; logs: \(.*\) and \(.*\)\. Ctrl-C stops it\.$/\1 \2/p' "$err")
[ -n "$logs" ] || fail "tools/try did not name its logs"
for log in $logs; do [ "$(stat -c %a "$log")" = 600 ] || fail "$log is mode $(stat -c %a "$log"), not 600"; done
trace=$(curl -s -o /dev/null -w '%{http_code}' -X TRACE "$url")
[ "$trace" = 405 ] || fail "TRACE $url answered $trace, not 405"
echo "== try: its logs are mode 600, and TRACE answers 405"

kill -INT -- "-$try"
rc=0
wait "$try" || rc=$?
[ "$rc" = 0 ] || fail "tools/try ended with $rc after Ctrl-C"
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then fail "port $port still open after Ctrl-C"; fi
# Apache, armctld and any run of theirs all run from tools/try's directory.
left=$(pgrep -f 'armctl-try/|/build/try/run/' || true)
[ -z "$left" ] || fail "processes left after Ctrl-C: $(ps -o pid,args -p "${left//$'\n'/,}")"
echo "== try: Ctrl-C closed port $port and left nothing running"
rm -f "$out" "$err"

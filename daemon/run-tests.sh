#!/usr/bin/env bash
# The daemon's end-to-end tests: Debian's apache2 (mod_proxy_http) on a
# loopback port in front of armctld and a simulated controller with real step
# delays, over HTTP and then with the page in headless Chromium.
# Usage: daemon/run-tests.sh <build directory of the tests preset>
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 <build directory, e.g. build/tests>" >&2
  exit 2
fi
build=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/daemon/test-env.sh"
for f in "$ARMCTL_DAEMON" "$ARMCTL_TRACE" "$ARMCTL_MODEL_JSON" /usr/sbin/apache2 "$CHROMIUM"; do
  [ -e "$f" ] || { echo "$0: $f is missing (build the tests preset; apt-get install apache2 chromium)" >&2; exit 1; }
done
# The state directory is scratch: the tests rewrite its files.
mkdir -p "$ARMCTL_DAEMON_STATE_DIR" "$(dirname "$ARMCTL_DAEMON_SETTINGS")"
# One file at a time: all use the one state directory.
node --test "$root/tests/api_apache.test.js"
node --test "$root/tests/api_daemon.test.js"
node --test "$root/tests/api_driver.test.js"
node --test "$root/tests/api_teach.test.js"
node --test "$root/tests/api_hostile.test.js"
node --test "$root/tests/api_jog.test.js"
cd "$root/web"
bash npm-install.sh
node --test tests/page.api.e2e.test.js

#!/usr/bin/env bash
# The CGI's end-to-end tests: Debian's apache2 (mod_cgid) on a loopback port
# in front of armctl-cgi and a simulated controller with real step delays,
# over HTTP and then with the page in headless Chromium.
# Usage: cgi/run-tests.sh <build directory of the tests preset>
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 <build directory, e.g. build/tests>" >&2
  exit 2
fi
build=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/cgi/test-env.sh"
for f in "$ARMCTL_CGI" "$ARMCTL_TRACE" "$ARMCTL_MODEL_JSON" /usr/sbin/apache2 "$CHROMIUM"; do
  [ -e "$f" ] || { echo "$0: $f is missing (build the tests preset; apt-get install apache2 chromium)" >&2; exit 1; }
done
# The state directory is scratch: the tests rewrite its files (and, run as
# root, give it to www-data, the user of the server's children).
mkdir -p "$ARMCTL_CGI_STATE_DIR"
mkdir -p "$(dirname "$ARMCTL_CGI_SETTINGS")"
# One file at a time: both use the one state directory.
node --test "$root/tests/cgi_apache.test.js"
node --test "$root/tests/cgi_teach.test.js"
cd "$root/web"
bash npm-install.sh
node --test tests/page.cgi.e2e.test.js

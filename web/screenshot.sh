#!/usr/bin/env bash
# Regenerates the README's picture of the page (docs/screenshot.png): the page
# in headless Chromium through Apache and the CGI of the tests preset's build,
# in front of its simulated controller, as cgi/run-tests.sh runs them.
# Usage: web/screenshot.sh <build directory of the tests preset> [out.png]
# Build first: cmake --build build/tests --target armctl-cgi-test arm-model-json
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 <build directory, e.g. build/tests> [out.png]" >&2
  exit 2
fi
build=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${2:-$root/docs/screenshot.png}")
# The CGI's state directory, password and settings files are compiled into
# the test CGI; the script writes them.
export ARMCTL_CGI="$build/tests/armctl-cgi-test"
export ARMCTL_CGI_STATE_DIR="$build/tests/e2e/cgi"
export ARMCTL_CGI_HTPASSWD="$build/tests/e2e/cgi-front/htpasswd"
export ARMCTL_CGI_SETTINGS="$build/tests/e2e/cgi-front/armctl-cgi.conf"
export ARMCTL_MODEL_JSON="$build/web/arm-model.json"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
export CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"
mkdir -p "$ARMCTL_CGI_STATE_DIR" "$(dirname "$ARMCTL_CGI_SETTINGS")"
cd "$root/web"
npm ci --no-audit --no-fund --ignore-scripts
node tests/screenshot.js "$out"

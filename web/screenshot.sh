#!/usr/bin/env bash
# Regenerates the README's picture of the page (docs/screenshot.png): the page
# in headless Chromium through Apache and the armctld of the tests preset's
# build, in front of its simulated controller, as daemon/run-tests.sh runs them.
# Usage: web/screenshot.sh <build directory of the tests preset> [out.png]
# Build first: cmake --build build/tests --target armctld-test arm-model-json
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 <build directory, e.g. build/tests> [out.png]" >&2
  exit 2
fi
build=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${2:-$root/docs/screenshot.png}")
# The daemon's state directory, password and settings files are compiled
# into the test daemon; the script writes them.
. "$root/daemon/test-env.sh"
mkdir -p "$ARMCTL_DAEMON_STATE_DIR" "$(dirname "$ARMCTL_DAEMON_SETTINGS")"
cd "$root/web"
npm ci --no-audit --no-fund --ignore-scripts
node tests/screenshot.js "$out"

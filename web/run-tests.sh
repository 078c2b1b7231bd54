#!/usr/bin/env bash
# Installs the live page's test packages and runs its tests: the geometry
# against a simulated controller, then the page in headless Chromium.
# Usage: web/run-tests.sh <simulated armctl> <its state directory> <the built arm-model.json>
# The state directory is scratch: both state files and the page are written there.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 <simulated armctl> <its state directory> <the built arm-model.json>" >&2
  exit 2
fi
ARMCTL=$(realpath "$1")
ARMCTL_STATE_DIR=$(realpath "$2")
ARMCTL_MODEL_JSON=$(realpath "$3")
export ARMCTL ARMCTL_STATE_DIR ARMCTL_MODEL_JSON
# The browser is Debian's; nothing may fetch one of its own.
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
export CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"
[ -x "$ARMCTL" ] || { echo "$0: $ARMCTL is not executable" >&2; exit 1; }
[ -d "$ARMCTL_STATE_DIR" ] || { echo "$0: $ARMCTL_STATE_DIR is not a directory" >&2; exit 1; }
[ -x "$CHROMIUM" ] || { echo "$0: no Chromium at $CHROMIUM (apt-get install chromium)" >&2; exit 1; }

cd "$(dirname "$0")"
bash npm-install.sh
# One after the other: both use the controller's state directory.
node --test tests/files.test.js tests/pose.test.js
node --test tests/page.e2e.test.js
node --test tests/panel.e2e.test.js

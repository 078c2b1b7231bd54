#!/usr/bin/env bash
# The page's npm packages as package-lock.json pins them, installed once:
# the page's tests, the CGI's and the static stage all call this, and the
# static stage runs beside the others, so a second `npm ci` would pull
# node_modules away from under a running test. A stamp of the lock file
# says whether what is installed is what it pins.
set -euo pipefail
cd "$(dirname "$0")"
stamp=node_modules/.armctl-lock.sha256
want=$(sha256sum package-lock.json | cut -d' ' -f1)
[ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && exit 0
npm ci --no-audit --no-fund --ignore-scripts
echo "$want" >"$stamp"

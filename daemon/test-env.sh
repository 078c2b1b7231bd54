# Sourced by the scripts that put the tests preset's armctld behind Apache:
# the paths compiled into armctld-test and its simulated controller, under
# the build directory in $build.
export ARMCTL_DAEMON="$build/tests/armctld-test"
export ARMCTL_DAEMON_STATE_DIR="$build/tests/e2e/daemon"
# The password and settings files compiled into that daemon; the tests write them.
export ARMCTL_DAEMON_HTPASSWD="$build/tests/e2e/daemon-etc/htpasswd"
export ARMCTL_DAEMON_SETTINGS="$build/tests/e2e/daemon-etc/armctld.conf"
export ARMCTL_TRACE="$build/tools/armctl-trace"
export ARMCTL_MODEL_JSON="$build/web/arm-model.json"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
export CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"

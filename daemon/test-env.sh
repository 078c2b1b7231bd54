# Sourced by the scripts that put the tests preset's CGI behind Apache: the
# paths compiled into armctl-cgi-test and its simulated controller, under
# the build directory in $build.
export ARMCTL_CGI="$build/tests/armctl-cgi-test"
export ARMCTL_CGI_STATE_DIR="$build/tests/e2e/cgi"
# The password and settings files compiled into that CGI; the tests write them.
export ARMCTL_CGI_HTPASSWD="$build/tests/e2e/cgi-front/htpasswd"
export ARMCTL_CGI_SETTINGS="$build/tests/e2e/cgi-front/armctl-cgi.conf"
export ARMCTL_TRACE="$build/tools/armctl-trace"
export ARMCTL_MODEL_JSON="$build/web/arm-model.json"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
export CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"

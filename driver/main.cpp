// armctl: moves the arm's joints as the options say, within its limits, and
// reports its pose. The state directory, the delay and the port backend are
// compiled in.
#include "driver/privileges.hpp"
#include "driver/run.hpp"
#include "driver/signals.hpp"

int main(int argc, char** argv) {
  // Before anything else: no file is touched with more than the rights of
  // the state directory's owner.
  armctl::privileges priv = armctl::privileges::adopt(ARMCTL_STATE_DIR);
  armctl::install_stop_handlers();
  const auto backend = armctl::make_port(ARMCTL_STATE_DIR);
  armctl::privileged_port port(*backend, priv);
  return armctl::run(argc, argv, {ARMCTL_STATE_DIR, ARMCTL_DELAY_NS}, port);
}

// armctl: moves the arm's joints as the options say, within its limits, and
// reports its pose. The state directory, the delay and the port backend are
// compiled in.
#include <cstdio>

#include "driver/hygiene.hpp"
#include "driver/privileges.hpp"
#include "driver/run.hpp"
#include "driver/signals.hpp"

int main(int argc, char** argv) {
  // Before anything else: a process fit to hold privilege, then no file is
  // touched with more than the rights of the state directory's owner.
  armctl::sanitize_process();
  // Each report line leaves as it is printed, so that a caller reading the
  // pipe sees an option's pose report before that option moves.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  armctl::install_stop_handlers();
  armctl::state_dir dir(ARMCTL_STATE_DIR);
  armctl::privileges priv = armctl::privileges::adopt(dir);
  if (!priv.ok()) armctl::privilege_failure();
  const auto backend = armctl::make_port(ARMCTL_STATE_DIR);
  armctl::privileged_port port(*backend, priv);
  return armctl::run(argc, argv, {ARMCTL_STATE_DIR, ARMCTL_DELAY_NS}, dir, port, &priv);
}

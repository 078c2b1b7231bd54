// armctl: moves the arm's joints as the options say, within its limits, and
// reports its pose. The state directory, the delay and the port backend are
// compiled in.
#include "driver/run.hpp"
#include "driver/signals.hpp"

int main(int argc, char** argv) {
  armctl::install_stop_handlers();
  const auto port = armctl::make_port(ARMCTL_STATE_DIR);
  return armctl::run(argc, argv, {ARMCTL_STATE_DIR, ARMCTL_DELAY_NS}, *port);
}

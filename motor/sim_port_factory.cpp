// The simulated backend of an executable built with ARMCTL_PORT=sim.
#include "motor/sim_port.hpp"

namespace armctl {

std::unique_ptr<port> make_port(const char* state_dir) {
  return std::make_unique<sim_port>(std::string(state_dir) + "/" + port_log_name);
}

}  // namespace armctl

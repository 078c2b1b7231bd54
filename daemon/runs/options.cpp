// The controller's argument vector.
#include "daemon/runs/options.hpp"

namespace armctl::front {

std::vector<std::string> argument_vector(const move_query& q) {
  std::vector<std::string> argv{"armctl"};
  for (const option& o : q.options) {
    argv.push_back(std::string{'-', o.letter});
    if (o.count) argv.push_back(std::to_string(*o.count));
  }
  return argv;
}

}  // namespace armctl::front

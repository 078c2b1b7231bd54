// Words for an exit status.
#include "model/status.hpp"

namespace armctl {

std::string meaning_of(int status) {
  for (const status_meaning& s : statuses)
    if (s.code == status) return s.meaning;
  if (status > exit_code::signal_base)
    return "stopped by signal " + std::to_string(status - exit_code::signal_base);
  return status < 0 ? "the controller could not be run" : "unknown status";
}

}  // namespace armctl

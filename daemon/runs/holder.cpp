// Releasing a dead run's lock on an operator's request, and recording it.
#include "daemon/runs/holder.hpp"

#include "daemon/stores/unlock_record.hpp"

namespace armctl::front {

unlock_report unlock_dead_run(const char* state_dir, const std::string& by) {
  const armctl::state_dir dir(state_dir);
  unlock_report r = release_dead_run(dir);
  if (r.outcome == unlock_outcome::unlocked) record_unlock(dir, by, r.found->text);
  return r;
}

}  // namespace armctl::front

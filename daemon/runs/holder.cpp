// Releasing a dead run's lock on an operator's request, and recording it.
#include "daemon/runs/holder.hpp"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "daemon/runs/latch.hpp"
#include "state/durable.hpp"

namespace armctl::front {

void record_unlock(const state_dir& dir, const std::string& by, const std::string& mark) {
  const nlohmann::json line{{"at", utc_now()}, {"by", by}, {"mark", mark}};
  // The lock is free either way: the answer says so, and the server's log
  // says that the record misses this release.
  if (!append_line(dir, unlock_record_name,
                   line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                   front_file_mode))
    std::fputs("armctld: the unlock record could not be written\n", stderr);
}

unlock_report unlock_dead_run(const char* state_dir, const std::string& by) {
  const armctl::state_dir dir(state_dir);
  unlock_report r = release_dead_run(dir);
  if (r.outcome == unlock_outcome::unlocked) record_unlock(dir, by, r.found->text);
  return r;
}

}  // namespace armctl::front

// Releasing a dead run's lock on an operator's request, and recording it.
#include "daemon/runs/holder.hpp"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "daemon/runs/latch.hpp"
#include "state/durable.hpp"

namespace armctl::front {

unlock_report unlock_dead_run(const char* state_dir, const std::string& by) {
  const armctl::state_dir dir(state_dir);
  unlock_report r = release_dead_run(dir);
  if (r.outcome != unlock_outcome::unlocked) return r;
  const nlohmann::json line{{"at", utc_now()}, {"by", by}, {"mark", r.found->text}};
  // The lock is free either way: the answer says so, and the server's error
  // log says that the record misses this release.
  if (!append_line(dir, unlock_record_name, line.dump() + "\n", front_file_mode))
    std::fputs("armctl-cgi: the unlock record could not be written\n", stderr);
  return r;
}

}  // namespace armctl::front

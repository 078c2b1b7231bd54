// One line per release, appended whole.
#include "daemon/stores/unlock_record.hpp"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "daemon/stores/front_files.hpp"
#include "daemon/stores/latch.hpp"
#include "daemon/stores/records_json.hpp"
#include "state/durable.hpp"

namespace armctl::front {

void record_unlock(const state_dir& dir, const std::string& by, const std::string& mark) {
  const nlohmann::json line{{"at", utc_now()}, {"by", by}, {"mark", mark}};
  // The lock is free either way: the answer says so, and the server's log
  // says that the record misses this release.
  if (!append_line(dir, unlock_record_name, line_text(line) + "\n", front_file_mode))
    std::fputs("armctld: the unlock record could not be written\n", stderr);
}

}  // namespace armctl::front

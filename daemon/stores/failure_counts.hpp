// The recent failures of named keys (an address, a user name), counted in
// memory and kept in one small file of the state directory, so that they
// outlive a restart of the daemon, within a fixed number of slots.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "state/state_dir.hpp"

namespace armctl {

// The table's bound: this many keys, each cut to key_bytes; the key whose
// newest failure is oldest gives its slot up to a new one.
inline constexpr std::size_t failure_slots = 256;
inline constexpr std::size_t failure_key_bytes = 64;

// `limit` failures within the last `window` seconds stop a key.
struct failure_rule {
  std::size_t limit;
  long long window_s;
};

// Not thread-safe: its owner holds a lock around each use.
class failure_table {
 public:
  explicit failure_table(failure_rule rule) : rule_(rule) {}

  // Seconds until none of `keys` is stopped at `now` (seconds since the
  // epoch); 0 when none is.
  [[nodiscard]] long long seconds_stopped(const std::vector<std::string>& keys,
                                          long long now) const;
  // Records one failure of each of `keys` at `now`, keeping the newest
  // `limit` times of a key and none older than the window.
  void record(const std::vector<std::string>& keys, long long now);

  // The file's counts, added to these; false when it cannot be read (a
  // missing file is none).
  [[nodiscard]] bool load(const state_dir& dir);
  // Replaces the file with these counts; false when it could not be written.
  [[nodiscard]] bool save(const state_dir& dir) const;

 private:
  using times = std::vector<long long>;
  failure_rule rule_;
  std::map<std::string, times> table_;  // by key, in hex
};

}  // namespace armctl

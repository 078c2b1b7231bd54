// The recent failures of named keys (an address, a user name), kept in one
// small file of the state directory so that they outlive the process that
// saw them, within a fixed number of slots.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "state/state_dir.hpp"

namespace armctl {

// The file's bound: this many keys, each cut to key_bytes; the key whose
// newest failure is oldest gives its slot up to a new one.
inline constexpr std::size_t failure_slots = 256;
inline constexpr std::size_t failure_key_bytes = 64;

// `limit` failures within the last `window` seconds stop a key.
struct failure_rule {
  std::size_t limit;
  long long window_s;
};

// Seconds until none of `keys` is stopped by `rule` at `now` (seconds since
// the epoch); 0 when none is. A file that cannot be read counts as empty.
[[nodiscard]] long long seconds_stopped(const state_dir& dir, const std::vector<std::string>& keys,
                                        long long now, failure_rule rule);

// Records one failure of each of `keys` at `now` under the file's lock,
// waiting at most `wait`, keeping the newest `rule.limit` times of a key and
// none older than the window. False when the file could not be replaced.
[[nodiscard]] bool record_failure(const state_dir& dir, const std::vector<std::string>& keys,
                                  long long now, failure_rule rule, std::chrono::milliseconds wait);

}  // namespace armctl

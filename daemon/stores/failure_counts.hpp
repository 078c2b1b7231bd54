// The recent failures of named keys (an address, a user name, a device),
// counted in memory and kept in one small file of the state directory, so
// that they outlive a restart of the daemon, within a fixed number of slots.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "state/state_dir.hpp"

namespace armctl {

// The table's bound: this many keys of devices, and as many of the rest
// (addresses and names), each cut to key_bytes. No key ever gives its slot
// up to another before its failures are older than the window: a guesser
// could otherwise reset a name's count by failing for many others.
inline constexpr std::size_t failure_slots = 256;
inline constexpr std::size_t failure_key_bytes = 64;
// The keys of devices, which only a device given a cookie at a login can
// make, and so no guesser: a table full of guessers' keys leaves them room.
inline constexpr std::string_view device_key_prefix = "device ";

// The bytes of `text` as lower-case hex digits: any byte a name may hold,
// kept off the structure of a line or a cookie.
std::string hex_text(std::string_view text);

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
  // `limit` times of a key and none older than the window. False, and
  // nothing recorded, when a key that is not in the table finds no free
  // slot.
  [[nodiscard]] bool record(const std::vector<std::string>& keys, long long now);
  // Takes back one failure at `now` of each of `keys`: one that record
  // counted before its outcome was known, and that turned out no failure.
  void withdraw(const std::vector<std::string>& keys, long long now);

  // The file's counts, added to these; false when it cannot be read (a
  // missing file is none).
  [[nodiscard]] bool load(const state_dir& dir);
  // Replaces the file with these counts; false when it could not be written.
  [[nodiscard]] bool save(const state_dir& dir) const;

 private:
  using times = std::vector<long long>;
  void forget_expired(long long now);
  [[nodiscard]] bool has_room(const std::vector<std::string>& keys) const;
  failure_rule rule_;
  std::map<std::string, times> table_;  // by key, in hex
};

}  // namespace armctl

// The STOP latch: once an operator stops the arm, the front end moves
// nothing until an operator clears it. It is a file in the state directory,
// so it outlives the process and a reboot; the controller never reads it (a
// person at the shell is not held by it).
#pragma once

#include <optional>
#include <string>

#include "state/state_dir.hpp"

namespace armctl::front {

struct latch {
  std::string by;      // the operator who stopped the arm, or not_logged_in
  std::string at;      // when, wall-clock UTC (ISO 8601): stored data, no clock reading
  std::string from{};  // the client's address as the server saw it
};

// Who a stop without valid credentials was made by: a stop can only make the
// arm safer, so it needs no login, but the latch says that none was given.
inline constexpr const char* not_logged_in = "not logged in";

// The latch as stored, or nullopt when the arm is not latched. A latch file
// that cannot be read counts as latched by nobody known: stopped is safer.
std::optional<latch> read_latch(const state_dir& dir);

// What a STOP's latching came to: the latch in place once it latched, and
// whether this STOP put it there or found one (the first stop is kept).
struct latching {
  bool ok = false;  // false: it could not be written
  bool found = false;
  latch in_place;
};
// Latches, unless a latch is already in place: the file is written aside
// and renamed into place, so a reader sees it whole or not at all. Readable
// by the front end's account only: who stopped the arm is for operators.
[[nodiscard]] latching set_latch(const state_dir& dir, const std::string& by,
                                 const std::string& from);
// Makes the latch durable (the file, then the directory). Apart from
// set_latch so that a STOP signals the runs before it waits for the disk; a
// latch file that a power cut leaves empty or torn still reads as latched.
// A latch cleared in between is no failure: that clear came later, and
// holds.
[[nodiscard]] bool sync_latch(const state_dir& dir);

// Clears the latch; false when it is there and cannot be removed.
[[nodiscard]] bool clear_latch(const state_dir& dir);

// Now as wall-clock UTC in ISO 8601, for stored records.
std::string utc_now();

}  // namespace armctl::front

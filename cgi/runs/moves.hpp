// The run path that a move of options and a go-to share, and the handlers
// of the requests that estimate or make a move of options.
#pragma once

#include <chrono>
#include <optional>

#include "cgi/http/handler.hpp"
#include "state/queue_file.hpp"

namespace armctl::cgi {

// The latch's 409 when the arm is latched.
std::optional<reply> held_by_latch(const context& c);
// The motion estimate's fields for those options.
json estimate_fields(const move_query& q, const context& c);
// The 422 of a move over the motion bound, with the estimate.
std::optional<reply> over_the_bound(const move_query& q, const context& c);

// Runs the options as one controller run from `start` (read before the run,
// for the replay), waiting at most `wait` for the lock: the answer of a move
// (503 when the lock stayed held or a stop came meanwhile).
reply run_move(const move_query& q, const context& c, const queue_place& place,
               const counters& start, std::chrono::milliseconds wait);

reply answer_estimate(const estimate_query& q, const context& c);
reply answer_move(const move_query& q, const context& c);

}  // namespace armctl::cgi

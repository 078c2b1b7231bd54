// The run path that a move of options and a go-to share, and the handlers
// of the requests that estimate or make a move of options.
#pragma once

#include <chrono>
#include <optional>
#include <variant>

#include "daemon/http/handler.hpp"
#include "daemon/runs/arm.hpp"
#include "daemon/runs/replay.hpp"

namespace armctl::front {

// The latch's 409 when the arm is latched.
std::optional<reply> held_by_latch(const context& c);
// The motion estimate's fields for those options.
json estimate_fields(const move_query& q, const context& c);
// The 422 of a move over the motion bound, with the estimate.
std::optional<reply> over_the_bound(const move_query& q, const context& c);

// The arm's turn for a request: a place in the queue, waited on until the
// request's wait bound; the reply that refuses it when the queue is full,
// the wait ran out, a STOP came or the caller went away.
std::variant<reply, place> take_turn(const context& c, const char* what);

// Runs the options as one controller run, believed to start from
// `believed` (read before the run) where they print `expected`: the answer
// of a move (503 when the lock stayed held for the request's wait, 409 when
// a stop came meanwhile), with the counters the run started from and ended
// at for the history. The request must have the arm's turn.
reply run_move(const move_query& q, const context& c, const counters& believed,
               const replay& expected);

reply answer_estimate(const estimate_query& q, const context& c);
reply answer_move(const move_query& q, const context& c);

}  // namespace armctl::front

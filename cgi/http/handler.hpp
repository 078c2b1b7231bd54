// What the request handlers share: what a request came to (main.cpp gives
// each its one HTTP status) and the request's context. The handlers are in
// runs/ (moves, stop) and teach/ (teach).
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cgi/http/answer.hpp"
#include "cgi/http/request.hpp"
#include "cgi/http/settings.hpp"
#include "model/joints.hpp"
#include "state/queue_file.hpp"

namespace armctl::cgi {

using json = nlohmann::json;

enum class verdict {
  done,
  unauthorized,
  stopped,
  not_permitted,
  not_left_by_a_dead_run,
  held_by_a_live_run,
  over_the_bound,
  queue_full,
  busy,
  failed,
  no_password_file,  // a login was needed, and the password file could not be read
  not_found,         // no pose or sequence of that name
  builtin_pose,      // home cannot be replaced or deleted
  store_full,        // the bound of stored poses or sequences
  store_damaged,     // the poses file cannot be read as poses: it is kept as it is
  nothing_to_undo,   // back: no move in the history to go back from
  plan_not_allowed,  // no order of the moves passes its guards, or the tip is out of reach
  unknown_poses,     // a sequence names a pose that is not taught
  lookalike_name,    // a new name differs from a stored one only in case or spacing
  logins_stopped,    // too many failed logins from the address or for the user
};

// A handler's answer. `before` and `after` are the counters the history
// records when the handler knows them better than the position file does
// (the counters a run started from and ended at).
struct reply {
  verdict v;
  json body;
  std::optional<counters> before{}, after{};
};

// Where the front end finds the arm, fixed at build time (main.cpp).
struct front_paths {
  const char* state_dir;
  const char* controller;
  std::int64_t controller_delay_ns;  // for the motion estimate
};

struct context {
  front_settings settings;
  std::string user;  // the authenticated operator, for requests that need a login
  front_paths paths;
};

// The position file's counters, or nothing when it cannot be read.
std::optional<counters> read_counters(const char* state_dir);

}  // namespace armctl::cgi

// What the request handlers share: what a request came to (front.cpp gives
// each its one HTTP status) and the request's context. The handlers are
// moves, stop, teach and transfer, beside this file.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "daemon/http/answer.hpp"
#include "daemon/http/control.hpp"
#include "daemon/http/request.hpp"
#include "daemon/http/settings.hpp"
#include "daemon/runs/arm.hpp"
#include "model/joints.hpp"

namespace armctl::front {

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
  caller_gone,  // the request's connection closed while it waited; nothing moved
  failed,
  no_password_file,  // a login was needed, and the password file could not be read
  not_found,         // no pose or sequence of that name
  builtin_pose,      // home cannot be replaced or deleted
  store_full,        // the bound of stored poses or sequences
  store_damaged,     // the poses file cannot be read as poses: it is kept as it is
  nothing_to_undo,   // back: no move in the history to go back from
  start_unknown,     // back: the newest move's start was not known
  plan_not_allowed,  // no order of the moves passes its guards, or the tip is out of reach
  unknown_poses,     // a sequence names a pose that is not taught
  lookalike_name,    // a new name differs from a stored one only in case or spacing
  logins_stopped,    // too many failed logins from the address or for the user
  driven_by_other,   // another operator drives the arm: the answer names them
  asked,             // the driver is asked to hand over
  player_busy,       // a sequence is playing already
};

// A handler's answer. `before` and `after` are the counters the history
// records when the handler knows them better than the position file does.
// A handler that ran the controller sets `ran`: the history then records
// the counters the run started from and ended at, or why either is
// unknown, and never the position file read around the request.
struct reply {
  verdict v;
  json body;
  std::optional<counters> before{}, after{};
  bool ran = false;
  std::string before_unknown{}, after_unknown{};
  bool repeat = false;  // a STOP that found the arm latched already
};

// Where the front end finds the arm, fixed at build time (main.cpp).
struct front_paths {
  const char* state_dir;
  const char* controller;
  std::int64_t controller_delay_ns;  // for the motion estimate
};

class player;

struct context {
  front_settings settings;
  std::string user;  // the authenticated operator; empty without a valid login
  front_paths paths;
  arm* runs = nullptr;
  std::string client_address{};         // for the latch
  std::function<bool()> caller_gone{};  // whether the request's connection closed
  steady::time_point arrived = steady::now();
  drive* control = nullptr;     // who drives the arm
  player* sequences = nullptr;  // the sequence the daemon plays
};

// The position file's counters, or nothing when it cannot be read.
std::optional<counters> read_counters(const char* state_dir);

}  // namespace armctl::front

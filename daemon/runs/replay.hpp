// The reasons behind a run's refusals: the options judged by the arm model
// from the counters read before the run, and accepted only when they print
// what the run printed (another run may have moved the arm in between).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "daemon/runs/options.hpp"
#include "model/judge.hpp"
#include "model/plan.hpp"

namespace armctl::front {

// Why one option was refused.
struct refusal_reason {
  std::size_t counter;
  std::string guard;  // "range", "32-bit range", or the quantity of a geometry guard
  std::string rule;   // "<= 800", "< 10", ...
  double value;       // the would-be counter, or the quantity
  double limit;
  double beyond;
  std::optional<long long> at;  // geometry: the counter value of the breaking pose
  bool on_the_way = false;
};

struct replayed_option {
  std::vector<std::string> report;  // five "x,y,r,theta" lines
  bool refused = false;
  std::optional<refusal_reason> reason;
};

struct replay {
  std::vector<replayed_option> options;
  counters final{};
};

// The reason of one breach of a letter's guard.
refusal_reason reason_of(const command& c, const breach& b);

replay replay_options(const move_query& q, counters start);

// The replay of an allowed plan, which its judgement has already made: each
// move in full, reported as the judge reports it (the pose before a
// position letter, the pose reached by a geometry letter).
replay replay_of(const plan& p);

// The lines the run would print: five per option, then the counters.
std::vector<std::string> printed_lines(const replay& r);

}  // namespace armctl::front

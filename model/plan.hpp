// Planning a move to target counters: one motion letter per counter that
// differs, in an order whose every move its guard allows, judged exactly as
// the controller judges a run of those options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/judge.hpp"

namespace armctl {

struct planned_move {
  const command* letter;  // the motion letter that takes its counter to the target
  std::int32_t count;     // steps, the whole difference
};

// One order that fails: its letters, and the first of them the guard refuses.
struct refused_order {
  std::string order;  // the letters in the order tried, e.g. "HVE"
  std::size_t index;  // the refused letter's place in `order`
  breach why;
};

struct plan {
  counters start{};
  counters target{};
  bool allowed = false;
  std::vector<planned_move> moves;      // the order chosen; empty when refused or nothing differs
  std::vector<refused_order> refusals;  // every order, when none is allowed
  // Steps the wrist motors fall behind their counter: a wrist letter moves
  // whole chunks only, while its counter changes by the whole count.
  std::vector<planned_move> wrist_lag;  // count = the steps not made, per wrist letter
};

// The orders are the permutations of the differing counters in ascending
// counter index, tried in lexicographic order; the first whose every move
// is allowed is chosen. A difference beyond one option's 32-bit count is
// refused in every order.
plan plan_moves(const counters& start, const counters& target);

// The moves of a plan to `target`, one per differing counter in counter
// order, unjudged: what any order of them would ask of the motors.
std::vector<planned_move> moves_between(const counters& start, const counters& target);

// The option letters of a move: "-H", then its count as decimal text.
std::vector<std::string> option_words(const std::vector<planned_move>& moves);

}  // namespace armctl

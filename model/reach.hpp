// Where the hand tip can go: the shoulder and elbow counters that put the
// tip at a point of the arm's plane, found by the inverse kinematics of the
// two equal links, for both elbow branches.
#pragma once

#include <optional>
#include <vector>

#include "model/joints.hpp"

namespace armctl {

// The plane's coordinates: origin at the shoulder pivot, x out, y up, in the
// segments' length unit; the tip is the end of the pose's total.
struct point {
  double x;
  double y;
};

struct tip_solution {
  counters c;       // the start's counters with shoulder, elbow (and wrist) solved
  point reached;    // the tip those counters give, by calc
  double distance;  // from the target
};

// Every whole-count solution that puts the tip at `target`, keeping every
// counter but the shoulder's and the elbow's; the wrist keeps its absolute
// angle unless `wrist_degrees` is given, then its counter is the one
// nearest that angle. Each branch gives the whole counts nearest the exact
// angles, taken at the turn nearest the start's counters, and among the
// neighbouring counts the one whose tip lies nearest the target. Empty when
// the point lies beyond the links' reach.
std::vector<tip_solution> tip_solutions(const counters& start, point target,
                                        std::optional<double> wrist_degrees = std::nullopt);

// The farthest a solved tip may lie from its target.
inline constexpr double tip_tolerance = 0.02;

}  // namespace armctl

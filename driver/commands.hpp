// The run's arm: its counters and the five pose records, and what one
// option letter does to them: judge, drive the motors, apply.
#pragma once

#include "model/commands.hpp"
#include "model/pose.hpp"
#include "motor/bus.hpp"

namespace armctl {

enum class outcome { done, refused };

// The state of one run: `data`, loaded at the start and saved at the end,
// and the records of the last calc().
struct arm {
  counters data{};
  segment base{}, shoulder{}, elbow{}, wrist{}, total{};
};

// Stores a pose in the five records and prints the five report lines.
void report(arm& a, const pose& p);
// Computes the pose from the run's counters and reports it.
void calc(arm& a);

// Carries out one letter's row with its argument. With a bus, an allowed
// move drives the motors and the counter takes the steps made (all of them
// unless a stop request cut the motion short); without one (a run that may
// not move), nothing is driven and the counter takes the whole count.
outcome run_command(arm& a, const command& c, const char* arg, bus* b);

}  // namespace armctl

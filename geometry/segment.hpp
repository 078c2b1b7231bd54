// The arm's pose in its vertical plane: one planar vector per segment, in
// polar and rectangular form, computed from the joint counters by calc().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "state/counters.hpp"

namespace armctl {

struct segment {
  double r;      // length
  double theta;  // angle from the horizontal, degrees
  double x;
  double y;
};

// NOTE: each angle is absolute, taken straight from its own counter; it is
// not added to the angle of the segment before it.
inline constexpr double shoulder_degrees_per_count = 0.0407;
inline constexpr double elbow_degrees_per_count = 0.0324;
inline constexpr double wrist_degrees_per_count = 0.0402;
inline constexpr double base_length = 9.5;
inline constexpr double shoulder_length = 7.5;
inline constexpr double elbow_length = 7.5;
inline constexpr double wrist_length = 4.5;
// NOTE: the arm's calibration uses this rounded pi and the matching
// radians-to-degrees factor, not the full-precision values; the reported
// digits depend on it.
inline constexpr double pi = 3.14159265359;
inline constexpr double degrees_per_radian = 57.29577951307855;

// The pose of the last calc(); `base` stands upright under the shoulder
// pivot and does not enter `total`, which runs from the pivot to the hand tip.
extern segment base, shoulder, elbow, wrist, total;

struct pose {
  segment base, shoulder, elbow, wrist, total;
};

// Length and angle (degrees) to components.
void rect(double r, double theta, double& x, double& y);
// Components to length and angle; the angle lies within [-90, 90].
void polar(double x, double y, double& r, double& theta);

// The pose for the given counters of shoulder (4), elbow (1) and wrist (2).
// Counts are 64-bit so that a would-be counter beyond the 32-bit range can
// still be shown.
pose pose_at(std::int64_t shoulder_count, std::int64_t elbow_count, std::int64_t wrist_count);

// The pose with counter `index` at `value` and the others as in `c`.
pose pose_with(const counters& c, std::size_t index, std::int64_t value);

// Stores a pose in the five records and prints the five report lines.
void report(const pose& p);
// Computes the pose from `data` and reports it.
void calc();

// One report line: "x,y,r,theta" in C's %lg form.
void print_segment(std::FILE* out, const segment& s);

}  // namespace armctl

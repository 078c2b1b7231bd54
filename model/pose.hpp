// The arm's pose in its vertical plane: one planar vector per segment, in
// polar and rectangular form, computed from the joint counters by calc().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/joints.hpp"

namespace armctl {

struct segment {
  double r;      // length
  double theta;  // angle from the horizontal, degrees
  double x;
  double y;
};

// `base` stands upright under the shoulder pivot and does not enter `total`,
// which runs from the pivot to the hand tip: total.y is the tip's height.
struct pose {
  segment base, shoulder, elbow, wrist, total;
};

// Length and angle (degrees) to components.
void rect(double r, double theta, double& x, double& y);
// Components to length and angle; the angle lies within [-90, 90].
void polar(double x, double y, double& r, double& theta);

// The pose the counters give (counters 0, 3 and 5 do not enter it).
pose calc(const counters& c);
// The pose with counter `index` at `value` and the others as in `c`; the
// value is 64-bit so that a would-be counter beyond the 32-bit range can
// still be shown.
pose calc_with(const counters& c, std::size_t index, std::int64_t value);

// One report line, "x,y,r,theta" in C's %lg form, without the newline.
std::string report_line(const segment& s);

}  // namespace armctl

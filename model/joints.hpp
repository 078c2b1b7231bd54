// The arm's six joints: the counter of each, the letters that grow and
// shrink it, and how it enters the pose in the arm's vertical plane.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace armctl {

inline constexpr std::size_t joint_count = 6;
// The six joint step counters, index 0 to 5.
using counters = std::array<std::int32_t, joint_count>;

struct joint {
  char grow;                 // the letter that adds its count
  char shrink;               // the letter that takes it away
  const char* motors;        // the motors it turns, for people
  const char* segment;       // the segment it turns, or nullptr: not in the pose
  double degrees_per_count;  // the segment's angle per counter unit
  double length;             // the segment's length, in the arm's length unit
};

// NOTE: each segment's angle is absolute, taken straight from its own
// counter; it is not added to the angle of the segment before it.
inline constexpr std::array<joint, joint_count> joints{{
    {'G', 'B', "5", nullptr, 0, 0},
    {'V', 'F', "4", "elbow", 0.0324, 7.5},
    {'E', 'W', "1, 3 opposed", "wrist", 0.0402, 4.5},
    {'T', 'R', "1, 3 together", nullptr, 0, 0},
    {'H', 'N', "6", "shoulder", 0.0407, 7.5},
    {'S', 'X', "2", nullptr, 0, 0},
}};

inline constexpr std::size_t shoulder_joint = 4;
inline constexpr std::size_t elbow_joint = 1;
inline constexpr std::size_t wrist_joint = 2;
// The segments from the shoulder pivot to the hand tip.
inline constexpr std::array<std::size_t, 3> chain{shoulder_joint, elbow_joint, wrist_joint};

// The base stands upright under the shoulder pivot and is not in the total.
inline constexpr double base_length = 9.5;

// NOTE: the arm's calibration uses this rounded pi and the matching
// radians-to-degrees factor, not the full-precision values; the reported
// digits depend on it.
inline constexpr double pi = 3.14159265359;
inline constexpr double degrees_per_radian = 57.29577951307855;

}  // namespace armctl

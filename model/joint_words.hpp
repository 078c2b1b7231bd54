// What people call each joint and each of its two directions, derived from
// the joint and command tables so that the words match the arm's picture.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace armctl {

struct joint_words {
  std::string name;
  std::string plus, minus;  // the counter growing, shrinking
  char plus_letter, minus_letter;
};

// A joint that is a segment of the pose is named by it; the others by their
// counter and motors ("counter 3 (motors 1, 3 together)").
std::string default_joint_name(std::size_t counter);

// The words of counter `counter` under `name`: a segment whose angle grows
// with its counter goes "up" as the counter grows (the picture draws the
// arm's plane with its height upwards); a joint outside the pose goes "+"
// and "-".
joint_words words_of(std::size_t counter, std::string_view name);

}  // namespace armctl

// Naming the joints from the model's own tables.
#include "model/joint_words.hpp"

#include "model/commands.hpp"
#include "model/joints.hpp"

namespace armctl {
namespace {

char letter_for(std::size_t counter, int sign) {
  for (const command& c : commands)
    if (c.kind != command_kind::report && c.counter == counter && c.sign == sign) return c.letter;
  return '?';
}

}  // namespace

std::string default_joint_name(std::size_t counter) {
  const joint& j = joints.at(counter);
  if (j.segment != nullptr) return j.segment;
  const std::string motors(j.motors);
  const bool several = motors.find(',') != std::string::npos;
  return "counter " + std::to_string(counter) + (several ? " (motors " : " (motor ") + motors + ")";
}

joint_words words_of(std::size_t counter, std::string_view name) {
  const joint& j = joints.at(counter);
  const std::string n(name);
  joint_words w{n, n + " +", n + " -", letter_for(counter, +1), letter_for(counter, -1)};
  if (j.segment != nullptr) {
    const bool rises = j.degrees_per_count > 0;
    w.plus = n + (rises ? " up" : " down");
    w.minus = n + (rises ? " down" : " up");
  }
  return w;
}

}  // namespace armctl

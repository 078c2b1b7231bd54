// What the front end stores and its requests carry alike: names and taught
// sequences, and the rule of names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/joints.hpp"

namespace armctl::front {

struct sequence_step {
  std::string pose;
  std::int64_t pause_ms;
};
struct sequence {
  std::string name;
  std::vector<sequence_step> steps;
  std::int64_t repeat;
};
struct named_pose {
  std::string name;
  counters c;
};

// Whether `name` is a valid pose or sequence name to refer to: names stored
// by earlier releases included.
bool is_name(std::string_view name);
// Whether `name` may be given to a pose or sequence now: a valid name that
// neither starts nor ends with a space (so it is not all spaces either).
bool is_new_name(std::string_view name);
std::string name_rule();

// A login name as the latch, the history and the answers hold it: valid
// UTF-8 as it is, and each byte that is not part of a valid UTF-8
// character as the four characters \xNN, so that any name an operator has
// can be stored and shown.
std::string escaped_name(std::string_view name);

}  // namespace armctl::front

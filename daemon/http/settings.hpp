// The front end's settings: one file of "key = value" lines that the
// administrator keeps, read at every request.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "model/joints.hpp"

namespace armctl::front {

// The most requests that can wait for the arm at once, whatever the settings say.
inline constexpr std::size_t max_waiting_places = 256;

struct front_settings {
  std::chrono::milliseconds lock_wait{10000};  // key wait_ms
  std::vector<std::string> origins;            // key origins: space-separated list
  std::vector<std::string> instructors;        // key instructors: who takes over at once
  std::size_t max_waiting = 8;                 // key max_waiting
  std::chrono::seconds max_motion{60};         // key max_motion_s
  std::chrono::seconds login_memory{300};      // key login_memory_s: how long a login is remembered
  // key joint_names: "0:base, 3:grip, 5:turntable", for the joints outside
  // the pose only; empty: the model's default name
  std::array<std::string, joint_count> joint_names{};
};

// Reads `path`: lines "key = value", '#' comments and blank lines ignored; an unknown key,
// a bad value or an unreadable file keeps the defaults for what it could not read.
front_settings load_settings(const char* path);
// The same over other defaults (the build's or the server's wait bound).
front_settings load_settings(const char* path, front_settings defaults);

// A line of the settings file that load_settings passes over, and why.
struct ignored_setting {
  std::size_t line;  // counted from 1
  std::string text;
  std::string why;
};
// What load_settings ignores in `path`, for the administrator's check.
std::vector<ignored_setting> ignored_settings(const char* path);

}  // namespace armctl::front

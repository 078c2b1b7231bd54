// The taught poses and sequences: one file in the state directory, read
// whole, checked, and replaced atomically under its lock. A file that is not
// what this program writes is reported as damaged and never taken as poses,
// nor written over.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/stores/records.hpp"
#include "model/joints.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {

inline constexpr std::size_t max_poses = 200;  // stored, besides home
inline constexpr std::size_t max_sequences = 50;
// The built-in pose: all counters zero, never stored.
inline constexpr const char* home_pose = "home";

struct taught {
  std::map<std::string, counters> poses;  // in name order
  std::map<std::string, sequence> sequences;
};

struct taught_read {
  taught t;
  std::string damage;  // empty: the file is whole (or missing: nothing taught)
};
taught_read read_taught(const state_dir& dir);

// The counters of a taught pose or home; nothing when there is none (or the
// file is damaged).
std::optional<counters> pose_counters(const state_dir& dir, const std::string& name);

// Whether `name` differs from `other` only in letter case or spacing, so
// that a reader would take one for the other (the same name is no lookalike).
bool looks_like(std::string_view name, std::string_view other);

// Whether `name` looks like home or one of the names in `stored`; a name
// stored as it is replaces that one, whatever else looks like it.
template <typename T>
bool looks_like_one_of(const std::map<std::string, T>& stored, const std::string& name) {
  if (stored.contains(name)) return false;
  if (looks_like(name, home_pose)) return true;
  for (const auto& kept : stored)
    if (looks_like(name, kept.first)) return true;
  return false;
}

enum class edit_outcome {
  done,
  not_found,
  builtin,
  full,
  unknown_poses,
  lookalike,
  damaged,
  busy,
  unsafe_file,  // the poses file's name leads to no plain file of its own
  failed
};
// Reads the file under its lock, applies `edit` and, when it answers done,
// replaces the file. A damaged file is left as it is.
edit_outcome edit_taught(const state_dir& dir, std::chrono::milliseconds wait,
                         const std::function<edit_outcome(taught&)>& edit);

}  // namespace armctl::front

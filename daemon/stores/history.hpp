// The history of what operators did through the front end: one JSON line
// per request that moves or stops the arm, clears a stop, re-references it,
// or changes the taught poses and sequences. It lives in the state
// directory's two history files (history_file), bounded to the newest
// entries, and `back` reads it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "model/joints.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {

inline constexpr std::size_t history_bound = 1000;  // entries kept, at most
inline constexpr std::size_t history_shown = 50;    // entries GET ?history gives
// The share of a file's entries that requests without a login may take, so
// that a crowd of STOPs never pushes the moves out that back looks for.
inline constexpr std::size_t anonymous_share = 10;  // one in this many

struct history_entry {
  std::string time;  // UTC, ISO 8601
  std::string user;
  nlohmann::json request;  // the body as sent
  int status;              // the HTTP status answered
  std::optional<counters> before, after;
  std::string before_unknown{}, after_unknown{};  // why, when a run's counter is unknown
  std::optional<int> run_status{};                // the controller's exit status, when it ran
  bool repeat = false;  // a STOP that found the arm latched: counted on the STOP that latched it
  // A re-reference's: how far each counter counted was from the one the
  // operator gave (before minus after).
  std::optional<std::array<long long, joint_count>> drift{};
};

nlohmann::json entry_json(const history_entry& e);

// Appends one entry under the file's lock; each of the two files holds half
// of `bound`, so that the newest half at least and `bound` at most are kept.
// A repeated STOP, and an entry without a login once such entries hold
// their share of the file, are counted on the newest entry of their kind
// instead ("repeats", and the "last" time), when the newer file has one.
[[nodiscard]] bool append_history(const state_dir& dir, const history_entry& e,
                                  std::chrono::milliseconds wait,
                                  std::size_t bound = history_bound);

// The newest `n` entries, newest first (lines that are not whole entries are skipped).
[[nodiscard]] std::vector<nlohmann::json> newest_history(const state_dir& dir, std::size_t n);

// Where `back` goes: the counters before the newest move of the front end
// (options, goto or back) that moved the arm, or may have: when its start is
// unknown, `to` is empty and `unknown` says why. Nothing: no such move.
struct back_point {
  std::optional<counters> to;
  std::string unknown;
};
[[nodiscard]] std::optional<back_point> back_target(const state_dir& dir);

// An entry by its id, among both files; nothing when none has it.
[[nodiscard]] std::optional<nlohmann::json> history_entry_of(const state_dir& dir, long long id);
// Where a go-to to entry `e` leads: its "before" counters when it moved the
// arm from a known start; `unknown` says why not otherwise.
[[nodiscard]] back_point start_of(const nlohmann::json& e);

// The newest re-reference's drift and its time; nothing before the first.
struct drift_point {
  nlohmann::json counters;  // six integers
  std::string time;
};
[[nodiscard]] std::optional<drift_point> last_drift(const state_dir& dir);

}  // namespace armctl::front

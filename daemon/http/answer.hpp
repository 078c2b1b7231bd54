// The JSON answers: the arm's state, a run's outcome, an error.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "daemon/http/request.hpp"
#include "daemon/http/settings.hpp"
#include "daemon/runs/controller.hpp"
#include "daemon/runs/lock_holder.hpp"
#include "daemon/runs/replay.hpp"
#include "daemon/stores/latch.hpp"
#include "model/joints.hpp"
#include "model/pose.hpp"

namespace armctl::front {

using json = nlohmann::json;

// One "x,y,r,theta" line as four numbers (null where a field is not one).
json report_numbers(const std::string& line);

// The open GET: counters, pose report, whether the lock is held (and left
// by a dead run, with its mark's state but no pid), and the STOP latch.
json state_answer(const std::optional<counters>& c, const lock_state& lock,
                  const std::optional<latch>& stop);

// The latch's fields: "stopped", and when latched who stopped it, from
// where and when.
json latch_fields(const std::optional<latch>& stop);

// The holder mark's fields for an operator: pid, state, boot.
json holder_fields(const holder& h);

// The run's own output, option by option, with the reasons of the replay
// when the replay printed exactly what the run printed.
json run_answer(const move_query& q, const run_output& run, const replay& r);

// A refusal's reason: counter, guard, rule, value, limit, beyond, and for a
// geometry guard the counter value `at` the breaking pose and `on_the_way`.
json reason_json(const refusal_reason& r);

// The six joints' names, the settings' over the model's defaults, and the
// words of their directions under those names: [{"plus", "minus"}].
json joint_names_of(const front_settings& s);
json joint_words_of(const front_settings& s);

json error_answer(const std::string& message);
// `fields` with an "error" added.
json with_error(json fields, const std::string& message);

// The five report lines of a pose as numbers [x, y, r, theta].
json report_json(const pose& p);

}  // namespace armctl::front

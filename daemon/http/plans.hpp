// The PLAN object of the plan and go-to answers (docs/http-api.md).
#pragma once

#include <nlohmann/json.hpp>

#include "daemon/teach/planner.hpp"

namespace armctl::front {

nlohmann::json plan_json(const target_plan& tp, const plan_bounds& b);

}  // namespace armctl::front

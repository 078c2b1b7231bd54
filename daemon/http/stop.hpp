// The handlers that stop the arm and free it again: STOP and its latch, the
// clearing of the latch, the release of a dead run's lock, and the arm's
// state as the open GET shows it.
#pragma once

#include "daemon/http/handler.hpp"

namespace armctl::front {

reply answer_state(const context& c);
reply answer_stop(const context& c);
reply answer_clear(const context& c);
reply answer_unlock(const context& c);

}  // namespace armctl::front

// A held jog: its POST starts one run of one joint's letter and answers at
// once; holds keep it moving, a release ends it, and so does the dead-man
// when the holds stop coming. The run goes on in a thread of the daemon
// that holds the arm's turn until the run ends, then writes its history.
#pragma once

#include <chrono>

#include "daemon/http/handler.hpp"

namespace armctl::front {

// A jog that no hold has kept moving for this long is ended (the page
// holds every 80 ms).
inline constexpr std::chrono::milliseconds jog_dead_man{300};

reply answer_jog(const jog_query& q, const context& c);
reply answer_hold(const hold_query& q, const context& c);
reply answer_release(const release_query& q, const context& c);

}  // namespace armctl::front

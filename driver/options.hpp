// The option loop: every option latches the shoulder's hold pattern, then
// runs its command-table row.
#pragma once

#include <csignal>

#include "driver/commands.hpp"
#include "driver/status.hpp"
#include "motor/bus.hpp"

namespace armctl {

inline constexpr const char* option_string = "S:F:G:H:N:B:V:X:W:E:R:T:Q";

// Carries out the options in command-line order, each to the end before the
// next is scanned; a refused move sets 88. Stops before the next option once
// `stop` is raised. Without a bus (a run that may not move) the options
// print their reports and change only `a`, and nothing reaches the port.
void run_options(int argc, char** argv, arm& a, bus* b, run_status& status,
                 const volatile std::sig_atomic_t& stop);

}  // namespace armctl

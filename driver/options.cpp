// Scanning the command line with getopt and dispatching each letter.
#include "driver/options.hpp"

#include <unistd.h>

#include "driver/commands.hpp"

namespace armctl {

void run_options(int argc, char** argv, bus& b, run_status& status) {
  optind = 0;  // glibc: start a fresh scan, also for a second run in one process
  for (int letter; !b.stop_requested() && (letter = ::getopt(argc, argv, option_string)) != -1;) {
    lock_shoulder(b);
    const command* c = find_command(letter);
    if (c != nullptr && c->run(*c, optarg, b) == outcome::refused)
      status.fail(exit_code::move_refused);
  }
}

}  // namespace armctl

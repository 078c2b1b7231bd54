// Scanning the command line with getopt and dispatching each letter.
#include "driver/options.hpp"

#include <unistd.h>

namespace armctl {

void run_options(int argc, char** argv, arm& a, bus* b, run_status& status,
                 const volatile std::sig_atomic_t& stop) {
  optind = 0;  // glibc: start a fresh scan, also for a second run in one process
  for (int letter; stop == 0 && (letter = ::getopt(argc, argv, option_string)) != -1;) {
    if (b != nullptr) lock_shoulder(*b);
    const command* c = find_command(letter);
    if (c != nullptr && run_command(a, *c, optarg, b) == outcome::refused)
      status.fail(exit_code::move_refused);
  }
}

}  // namespace armctl

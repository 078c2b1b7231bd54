// SIGTERM, SIGINT, SIGHUP, and SIGXCPU (a CPU-time limit reached). Until the run holds the lock
// there is nothing to clean up, so they end it at once; after that they only raise `stop_signal`,
// which stops the motion at the next step, skips the remaining options and lets the run finish
// through its normal end.
#pragma once

#include <csignal>

namespace armctl {

// 0, or the number of the first termination signal received.
extern volatile std::sig_atomic_t stop_signal;

// Installs the handlers (without SA_RESTART, so a blocked lock wait is
// interrupted) and ignores SIGPIPE and SIGXFSZ, so that neither a caller
// who stops reading nor a file-size limit can kill the run half-way.
void install_stop_handlers();

// Called once the run is about to take the lock: from here on a signal no
// longer ends the process.
void begin_locked_phase();

}  // namespace armctl

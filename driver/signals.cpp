// Termination signal handling.
#include "driver/signals.hpp"

#include <initializer_list>
#include <unistd.h>

#include "driver/status.hpp"

namespace armctl {

volatile std::sig_atomic_t stop_signal = 0;

namespace {

volatile std::sig_atomic_t waiting_for_lock = 1;

extern "C" void on_stop_signal(int sig) {
  if (waiting_for_lock != 0) ::_exit(exit_code::signal_base + sig);
  if (stop_signal == 0) stop_signal = sig;
}

}  // namespace

void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigfillset(&action.sa_mask);
  action.sa_flags = 0;
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGXCPU}) ::sigaction(sig, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  // A write past a file-size limit then fails and is reported like any
  // failed write, instead of killing the run between the motion and the save.
  ::signal(SIGXFSZ, SIG_IGN);
}

void begin_locked_phase() { waiting_for_lock = 0; }

}  // namespace armctl

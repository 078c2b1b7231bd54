// inotify on the state directory, read by one thread; a burst of events
// (a run's take, save and release) counts as one change.
#include "daemon/runs/state_watch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>

namespace armctl::front {
namespace {

// Events that come this close together are one change.
constexpr int settle_ms = 10;
constexpr std::uint32_t watched =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE;

void drain(int fd) {
  char buf[4096];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

}  // namespace

state_watch::state_watch(const char* state_dir, arm& a) : arm_(a) {
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0 || ::inotify_add_watch(inotify_, state_dir, watched) < 0 ||
      ::pipe2(stop_, O_CLOEXEC) != 0) {
    // The state still shows every change the daemon makes itself; a
    // person's run at the shell shows at the next one.
    std::fprintf(stderr, "armctld: cannot watch %s for changes\n", state_dir);
    return;
  }
  thread_ = std::thread([this] { run(); });
}

state_watch::~state_watch() {
  if (thread_.joinable()) {
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
  }
  for (const int fd : {inotify_, stop_[0], stop_[1]})
    if (fd >= 0) ::close(fd);
}

void state_watch::run() {
  for (;;) {
    pollfd p[2] = {{inotify_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents != 0) return;
    ::poll(nullptr, 0, settle_ms);
    drain(inotify_);
    arm_.changed();
  }
}

}  // namespace armctl::front

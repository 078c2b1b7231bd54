// Reading lock.dat and its mark; releasing a dead run's lock.
#include "daemon/runs/lock_holder.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "state/state_dir.hpp"

namespace armctl {
namespace {

constexpr std::size_t max_lock_bytes = 4096;

std::optional<holder> mark_of(int fd) {
  char buf[256];
  const ssize_t n = ::fgetxattr(fd, holder_mark_name, buf, sizeof buf);
  if (n <= 0) return std::nullopt;
  // Filled in place: GCC 12 at -O3 took the aggregate's moved-in string for
  // an uninitialised one and failed the -Werror builds.
  holder h;
  h.text.assign(buf, static_cast<std::size_t>(n));
  if (!parse_mark(h.text, h.mark)) return std::nullopt;
  return h;
}

std::optional<bool> content_held(int fd) {
  std::string text(max_lock_bytes + 1, '\0');
  const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
  if (got <= 0) return std::nullopt;
  const auto size = static_cast<std::size_t>(got);
  text.resize(std::min(size, max_lock_bytes));
  return !content_reads_free(text, size > max_lock_bytes);
}

bool alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Whether the marked run is still alive: its pid names a live process that
// started when the run did. The pid alone (an older release's mark, or a
// process whose start /proc hides) counts as the run, as it did before.
bool run_alive(const holder_mark& mark) {
  if (!alive(mark.pid)) return false;
  if (!mark.start) return true;
  const auto start = process_start_time(mark.pid);
  return !start || *start == *mark.start;
}

// A run of this boot that is gone can never write its "0" any more.
bool left_by_dead_run(const std::optional<holder>& h) {
  return h && !boot_id().empty() && h->mark.boot == boot_id() && !run_alive(h->mark);
}

bool lock_whole_file(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// "0\n" on disk before the mark goes, as a run's release does.
bool write_free(int fd) {
  if (::pwrite(fd, "0\n", 2, 0) != 2 || ::ftruncate(fd, 2) != 0 || ::fsync(fd) != 0) return false;
  // A mark left on a "0" is harmless: the "0" reads free whatever it says.
  (void)::fremovexattr(fd, holder_mark_name);
  return true;
}

unlock_report unlock_locked(int fd, pid_t only = 0) {
  const std::optional<holder> h = mark_of(fd);
  if (content_held(fd) != true || !left_by_dead_run(h) || (only != 0 && h->mark.pid != only))
    return {unlock_outcome::not_left_by_a_dead_run, h};
  if (!write_free(fd)) return {unlock_outcome::failed, h};
  return {unlock_outcome::unlocked, h};
}

}  // namespace

std::optional<holder> lock_holder(const char* state_dir) {
  const armctl::state_dir dir(state_dir);
  const int fd = dir.open_regular(lock_file_name, O_RDONLY);
  if (fd < 0) return std::nullopt;
  std::optional<holder> h = mark_of(fd);
  ::close(fd);
  return h;
}

lock_state read_lock_state(const char* state_dir) {
  const armctl::state_dir dir(state_dir);
  lock_state s;
  const int fd = dir.open_regular(lock_file_name, O_RDONLY);
  if (fd < 0) return s;
  s.held = content_held(fd);
  if (s.held == true) {
    std::optional<holder> h = mark_of(fd);
    if (left_by_dead_run(h)) s.dead = std::move(h);
  }
  ::close(fd);
  return s;
}

namespace {

unlock_report release_dead(const state_dir& dir, pid_t only) {
  const int fd = dir.open_regular(lock_file_name, O_RDWR);
  if (fd < 0) return {unlock_outcome::failed, std::nullopt};
  // A live run of ours, waiting or holding, has the kernel lock.
  unlock_report r = lock_whole_file(fd)
                        ? unlock_locked(fd, only)
                        : unlock_report{unlock_outcome::held_by_a_live_run, mark_of(fd)};
  ::close(fd);
  return r;
}

}  // namespace

unlock_report release_dead_run(const state_dir& dir) { return release_dead(dir, 0); }

unlock_report release_own_dead_run(const state_dir& dir, pid_t run) {
  return release_dead(dir, run);
}

}  // namespace armctl

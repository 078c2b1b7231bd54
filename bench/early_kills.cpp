// armctl-early-kills: whether a controller run killed outright early in its
// life leaves a lock that no later run takes over. Each kill is judged as the
// next run would judge the lock file, and every lock judged taken over is
// handed to a real run, which must take it, say so on standard error and
// free it. Exits 1 when any lock stays stuck, so that it also serves as a
// test; the share of kills that land in the take depends on the machine.
// Usage: armctl-early-kills <simulated controller> <its state directory> [kills] [window us |
// write] "write" kills each run right after its "1" reaches the lock file, before it claims it with
// its held mark: the instant that random kills seldom hit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "state/lock_file.hpp"
#include "state/state_dir.hpp"

namespace {

constexpr const char* mark_name = "user.armctl.holder";
// The exit status when runs cannot be traced here (ptrace refused): the
// check did not take place.
constexpr int cannot_trace = 77;
// What the controller says on standard error when it takes a dead run's lock.
constexpr std::string_view takeover_line = "armctl: took over the lock left by run ";

struct tally {
  int kills = 0, free = 0, taken_over = 0, taken_from_taking = 0, stuck = 0, stuck_taking = 0;
  long long widest_gap_us = 0;  // from a taking mark's time to its "1"'s mtime
};

std::string read_text(const std::string& path, std::size_t limit) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    if (!armctl::read_all(fd, text, limit)) text.clear();
    ::close(fd);
  }
  return text;
}

std::string boot_id() {
  std::string id = read_text("/proc/sys/kernel/random/boot_id", 64);
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

void reset(const std::string& lock_path) {
  const int fd = ::open(lock_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0 || ::write(fd, "0\n", 2) != 2) std::exit(2);
  ::fremovexattr(fd, mark_name);
  ::fsync(fd);
  ::close(fd);
}

// Starts the controller with `option`; its standard output goes nowhere, its
// standard error to `err_fd` (nowhere when -1).
pid_t start_run(const char* controller, const char* option, int err_fd) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  ::dup2(err_fd >= 0 ? err_fd : null, 2);
  char* argv[] = {const_cast<char*>("armctl"), const_cast<char*>(option),
                  const_cast<char*>(option[1] == 'G' ? "1" : nullptr), nullptr};
  char* env[] = {nullptr};
  ::execve(controller, argv, env);
  ::_exit(127);
}

// A `-G 1` run killed with SIGKILL `after_ns` after the fork.
pid_t kill_after(const char* controller, long long after_ns) {
  const pid_t pid = start_run(controller, "-G", -1);
  const timespec ts{static_cast<time_t>(after_ns / 1000000000),
                    static_cast<long>(after_ns % 1000000000)};
  ::nanosleep(&ts, nullptr);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// A `-G 1` run killed at the end of the write that puts its "1" in the lock
// file, before it can claim it: the run is traced, stopped at each system
// call's entry and exit, and killed at the first stop that finds the "1".
pid_t kill_at_write(const char* controller, const std::string& lock_path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    char* argv[] = {const_cast<char*>("armctl"), const_cast<char*>("-G"), const_cast<char*>("1"),
                    nullptr};
    char* env[] = {nullptr};
    ::execve(controller, argv, env);  // stops at once, for the tracer
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD);
  while (WIFSTOPPED(status)) {
    if (read_text(lock_path, 16) == "1\n") {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    // A signal that stopped the run is passed on, as if it were not traced.
    const int sig = WSTOPSIG(status);
    const long pass = sig == (SIGTRAP | 0x80) || sig == SIGTRAP ? 0 : sig;
    ::ptrace(PTRACE_SYSCALL, pid, nullptr, pass);
    if (::waitpid(pid, &status, 0) != pid) break;
  }
  return pid;
}

// How the next run judges the lock file: free, taken over from a dead run
// of ours, or stuck (waited out for ever).
armctl::stale_verdict judge(const std::string& lock_path, const std::string& boot, bool& taking,
                            long long& gap_us) {
  char buf[160];
  const ssize_t got = ::getxattr(lock_path.c_str(), mark_name, buf, sizeof buf);
  armctl::holder_mark mark;
  const bool marked =
      got > 0 && armctl::parse_mark(std::string(buf, static_cast<std::size_t>(got)), mark);
  taking = marked && !mark.held;
  struct stat st {};
  ::stat(lock_path.c_str(), &st);
  if (taking && mark.marked_at)
    gap_us = (st.st_mtim.tv_sec - mark.marked_at->s) * 1000000 +
             (st.st_mtim.tv_nsec - mark.marked_at->ns) / 1000;
  return armctl::judge_stale(marked ? &mark : nullptr, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, boot);
}

// What a run writes on `fd` until it closes it; a run still waiting after
// `patience_s` is ended (a run that takes a dead run's lock goes on at once,
// one that honours it would wait for ever).
std::string said_on(int fd, pid_t pid, int patience_s) {
  std::string said;
  timespec start{}, now{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= patience_s) {
      ::kill(pid, SIGTERM);
      return said;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return said;
    said.append(buf, static_cast<std::size_t>(n));
  }
}

// A real `-Q` run takes the lock that `dead` left: it ends well, leaves the
// lock free and names the dead run on standard error.
bool next_run_takes_over(const char* controller, const std::string& lock_path, pid_t dead) {
  constexpr int patience_s = 10;  // some hundred times what the run takes
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) return false;
  const pid_t pid = start_run(controller, "-Q", err[1]);
  ::close(err[1]);
  const std::string said = said_on(err[0], pid, patience_s);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const std::string expected = std::string(takeover_line) + std::to_string(dead) + " (";
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                  read_text(lock_path, 16) == "0\n" && said.find(expected) != std::string::npos;
  if (!ok)
    std::fprintf(stderr, "the run after %d did not take its lock over; it said: %s\n", dead,
                 said.c_str());
  return ok;
}

bool number(const char* text, long long& out) {
  const std::string_view v(text);
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  return ec == std::errc{} && end == v.data() + v.size() && out > 0;
}

}  // namespace

int main(int argc, char** argv) {
  long long kills = 300, window_us = 4000;
  const bool at_write = argc > 4 && std::string_view(argv[4]) == "write";
  if (argc < 3 || argc > 5 || (argc > 3 && !number(argv[3], kills)) ||
      (argc > 4 && !at_write && !number(argv[4], window_us))) {
    std::fputs("usage: armctl-early-kills <controller> <state dir> [kills] [window us | write]\n",
               stderr);
    return 2;
  }
  const std::string lock_path = std::string(argv[2]) + "/" + armctl::lock_file_name;
  const std::string boot = boot_id();
  std::mt19937_64 rng(std::random_device{}());
  std::uniform_int_distribution<long long> instant(0, window_us * 1000);
  tally t;
  for (; t.kills < kills; ++t.kills) {
    reset(lock_path);
    const pid_t dead =
        at_write ? kill_at_write(argv[1], lock_path) : kill_after(argv[1], instant(rng));
    if (armctl::content_reads_free(read_text(lock_path, 4096), false)) {
      if (at_write) {
        std::fputs("armctl-early-kills: the run could not be traced to its write\n", stderr);
        return cannot_trace;
      }
      ++t.free;
      continue;
    }
    bool taking = false;
    long long gap_us = 0;
    if (judge(lock_path, boot, taking, gap_us) == armctl::stale_verdict::take_over &&
        next_run_takes_over(argv[1], lock_path, dead)) {
      ++t.taken_over;
      if (taking) ++t.taken_from_taking;
      t.widest_gap_us = std::max(t.widest_gap_us, gap_us);
      continue;
    }
    ++t.stuck;
    if (taking) ++t.stuck_taking;
  }
  reset(lock_path);
  std::printf("%-12s %-10s %-6s %-12s %-20s %-7s %-26s %s\n", "early kills", "window us", "free",
              "taken over", "from a taking mark", "stuck", "stuck with a taking mark",
              "widest mark to 1 us");
  const std::string window = at_write ? "write" : std::to_string(window_us);
  std::printf("%-12d %-10s %-6d %-12d %-20d %-7d %-26d %lld\n", t.kills, window.c_str(), t.free,
              t.taken_over, t.taken_from_taking, t.stuck, t.stuck_taking, t.widest_gap_us);
  return t.stuck == 0 ? 0 : 1;
}

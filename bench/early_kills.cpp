// armctl-early-kills: how often a controller run killed outright early in its
// life leaves a lock that no later run takes over. A program to run by hand,
// never a test: the figure depends on the machine and its disk.
// Usage: armctl-early-kills <simulated controller> <its state directory> [kills] [window us]
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "state/lock_file.hpp"
#include "state/state_dir.hpp"

namespace {

constexpr const char* mark_name = "user.armctl.holder";

struct tally {
  int kills = 0, free = 0, taken_over = 0, stuck = 0, stuck_taking = 0;
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

// Judges the lock file as the next run would: free, taken over from a dead
// run of ours, or stuck (waited out for ever).
void judge(const std::string& lock_path, const std::string& boot, tally& t) {
  if (armctl::content_reads_free(read_text(lock_path, 4096), false)) {
    ++t.free;
    return;
  }
  char buf[160];
  const ssize_t got = ::getxattr(lock_path.c_str(), mark_name, buf, sizeof buf);
  armctl::holder_mark mark;
  const bool marked =
      got > 0 && armctl::parse_mark(std::string(buf, static_cast<std::size_t>(got)), mark);
  struct stat st {};
  ::stat(lock_path.c_str(), &st);
  if (armctl::judge_stale(marked ? &mark : nullptr, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, boot) ==
      armctl::stale_verdict::take_over) {
    ++t.taken_over;
    return;
  }
  ++t.stuck;
  if (marked && !mark.held) ++t.stuck_taking;
}

// One run of `-G 1`, killed with SIGKILL `after_ns` after the fork.
void kill_one_run(const char* controller, long long after_ns) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    char* argv[] = {const_cast<char*>("armctl"), const_cast<char*>("-G"), const_cast<char*>("1"),
                    nullptr};
    char* env[] = {nullptr};
    ::execve(controller, argv, env);
    ::_exit(127);
  }
  const timespec ts{static_cast<time_t>(after_ns / 1000000000),
                    static_cast<long>(after_ns % 1000000000)};
  ::nanosleep(&ts, nullptr);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

bool number(const char* text, long long& out) {
  const std::string_view v(text);
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  return ec == std::errc{} && end == v.data() + v.size() && out > 0;
}

}  // namespace

int main(int argc, char** argv) {
  long long kills = 300, window_us = 4000;
  if (argc < 3 || argc > 5 || (argc > 3 && !number(argv[3], kills)) ||
      (argc > 4 && !number(argv[4], window_us))) {
    std::fputs("usage: armctl-early-kills <controller> <state dir> [kills] [window us]\n", stderr);
    return 2;
  }
  const std::string lock_path = std::string(argv[2]) + "/" + armctl::lock_file_name;
  const std::string boot = boot_id();
  std::mt19937_64 rng(std::random_device{}());
  std::uniform_int_distribution<long long> instant(0, window_us * 1000);
  tally t;
  for (; t.kills < kills; ++t.kills) {
    reset(lock_path);
    kill_one_run(argv[1], instant(rng));
    judge(lock_path, boot, t);
  }
  reset(lock_path);
  std::printf("%-12s %-10s %-6s %-12s %-7s %s\n", "early kills", "window us", "free", "taken over",
              "stuck", "stuck with a taking mark");
  std::printf("%-12d %-10lld %-6d %-12d %-7d %d\n", t.kills, window_us, t.free, t.taken_over,
              t.stuck, t.stuck_taking);
  return 0;
}

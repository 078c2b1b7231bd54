// armctl-bench: the controller's own step timing and lock hand-off, side by
// side with the ways a delay could naively be spent. Prints one table; the
// figures depend on the machine, so this is never run as a test.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "motor/bus.hpp"
#include "motor/pacer.hpp"
#include "motor/port.hpp"
#include "state/lock_file.hpp"
#include "state/state_dir.hpp"
#include "tools/trace_timing.hpp"

namespace {

using armctl::trace::timing;
using armctl::trace::write_record;

struct settings {
  long long delay_ns = ARMCTL_BENCH_DEFAULT_DELAY;
  long cycles = 2000;
  int handoffs = 200;
  int poll_handoffs = 50;
};

// What the simulated port does on a write: note the time, keep the byte.
class recording_port final : public armctl::port {
 public:
  explicit recording_port(std::size_t expected) { writes_.reserve(expected); }
  bool grant() override { return true; }
  bool drop() override { return true; }
  void write(std::uint8_t value) override { writes_.push_back({armctl::monotonic_ns(), value}); }
  const std::vector<write_record>& writes() const { return writes_; }

 private:
  std::vector<write_record> writes_;
};

// A forward run of motor 5, as `move` would latch it.
std::uint8_t pattern_of(long cycle) {
  return armctl::step_pattern(5, static_cast<int>((cycle + 1) % 4));
}

double cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct row {
  timing t;
  double cpu_share = 0;
};

// Runs `cycles` write cycles, each write followed by `delay`, in a child
// process of its own so that no row inherits another's timer slack, caches
// or schedule, and reports the figures over a pipe.
row measure(const settings& s, const std::function<void(recording_port&)>& run) {
  int fds[2];
  if (::pipe(fds) != 0) std::exit(2);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    recording_port p(static_cast<std::size_t>(2 * s.cycles));
    const double cpu0 = cpu_seconds();
    const long long wall0 = armctl::monotonic_ns();
    run(p);
    row r;
    r.cpu_share =
        (cpu_seconds() - cpu0) / (static_cast<double>(armctl::monotonic_ns() - wall0) * 1e-9);
    r.t = armctl::trace::time_writes(p.writes(), s.delay_ns);
    const bool ok = ::write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    ::_exit(ok ? 0 : 1);
  }
  ::close(fds[1]);
  row r;
  const bool got = ::read(fds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!got) std::exit(2);
  return r;
}

// The same write cycle as the bus, with some other way of spending a delay.
void cycle_with(recording_port& p, long cycles, const std::function<void()>& delay) {
  for (long c = 0; c < cycles; ++c) {
    p.write(pattern_of(c));
    delay();
    p.write(static_cast<std::uint8_t>(pattern_of(c) | armctl::strobe));
    delay();
  }
}

void counting_loop() {
  // volatile: every count is a real store, as in an unoptimised build.
  volatile long i = 0;
  while (i < armctl::delay_loops) i = i + 1;
}

timespec to_timespec(long long ns) {
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void print_row(const char* name, const row& r) {
  std::printf("%-26s %8.1f %8.1f %9.1f %9.2f %+10.0f %7.1f\n", name, r.t.p50_us, r.t.p99_us,
              r.t.max_us, r.t.shortest, r.t.drift_ppm, 100 * r.cpu_share);
}

// ---- lock hand-off ----------------------------------------------------------

struct handoff_stats {
  std::size_t n = 0;
  double p50_ms = 0, p99_ms = 0, max_ms = 0;
};

handoff_stats stats_of(std::vector<double> ms) {
  handoff_stats h;
  h.n = ms.size();
  h.p50_ms = armctl::trace::percentile(ms, 50);
  h.p99_ms = armctl::trace::percentile(ms, 99);
  h.max_ms = ms.empty() ? 0 : ms.back();
  return h;
}

std::string make_scratch_dir() {
  char templ[] = "/tmp/armctl-bench-XXXXXX";
  if (!::mkdtemp(templ)) std::exit(2);
  return templ;
}

// Sets the lock file's content the way another program would: no flock.
void put_content(const std::string& dir, const char* text) {
  const std::string path = dir + "/" + armctl::lock_file_name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0 || ::write(fd, text, std::strlen(text)) < 0) std::exit(2);
  ::close(fd);
}

void remove_scratch_dir(const std::string& dir) {
  for (const char* name : {armctl::lock_file_name, armctl::position_file_name})
    ::unlink((dir + "/" + name).c_str());
  ::rmdir(dir.c_str());
}

struct lock_times {
  long long taken = 0, released = 0;
};

// One run's use of the lock: wait, take, hold for `hold_ns`, release. Reports
// the take on `taken_fd` at once and both times on `times_fd` at the end.
[[noreturn]] void lock_run(const std::string& dir, long long hold_ns, int taken_fd, int times_fd) {
  const armctl::state_dir d(dir.c_str());
  armctl::lock_file lock(d);
  bool ok = lock.wait() && lock.take();
  lock_times t;
  t.taken = armctl::monotonic_ns();
  const char one = 1;
  ok = ::write(taken_fd, &one, 1) == 1 && ok;
  const timespec hold = to_timespec(hold_ns);
  ::nanosleep(&hold, nullptr);
  t.released = armctl::monotonic_ns();
  ok = lock.release() && ok;
  ok = ::write(times_fd, &t, sizeof t) == static_cast<ssize_t>(sizeof t) && ok;
  ::_exit(ok ? 0 : 1);
}

// Queued runs as separate processes: each next run is started while the one
// before it holds the lock, so it is already waiting when the lock comes free;
// the hold is long enough for it to get there even on a busy machine.
std::vector<double> queued_handoffs(int count) {
  constexpr long long hold_ns = 20000000;
  const std::string dir = make_scratch_dir();
  put_content(dir, "0\n");
  std::vector<lock_times> times;
  int times_pipe[2];
  if (::pipe(times_pipe) != 0) std::exit(2);
  std::vector<pid_t> pids;
  for (int i = 0; i <= count; ++i) {
    int taken_pipe[2];
    if (::pipe(taken_pipe) != 0) std::exit(2);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(taken_pipe[0]);
      ::close(times_pipe[0]);
      lock_run(dir, hold_ns, taken_pipe[1], times_pipe[1]);
    }
    pids.push_back(pid);
    ::close(taken_pipe[1]);
    // Start the next run only once this one holds the lock; it then queues.
    char c;
    if (::read(taken_pipe[0], &c, 1) != 1) std::exit(2);
    ::close(taken_pipe[0]);
  }
  ::close(times_pipe[1]);
  lock_times t;
  while (::read(times_pipe[0], &t, sizeof t) == static_cast<ssize_t>(sizeof t)) times.push_back(t);
  ::close(times_pipe[0]);
  for (const pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  remove_scratch_dir(dir);
  // In take order, each hand-off is from one run's release to the next take.
  std::sort(times.begin(), times.end(),
            [](const lock_times& a, const lock_times& b) { return a.taken < b.taken; });
  std::vector<double> ms;
  for (std::size_t i = 1; i < times.size(); ++i)
    ms.push_back(static_cast<double>(times[i].taken - times[i - 1].released) * 1e-6);
  return ms;
}

// The content poll alone: another program holds the lock by writing 1 and
// frees it at a random moment; the waiting run only finds out at its next
// one-second poll. Several lock files are watched at once to save time.
std::vector<double> content_poll_handoffs(int count) {
  constexpr int lanes = 10;
  std::vector<std::vector<double>> per_lane(lanes);
  std::vector<std::thread> threads;
  for (int lane = 0; lane < lanes; ++lane) {
    const int rounds = count / lanes + (lane < count % lanes ? 1 : 0);
    threads.emplace_back([lane, rounds, &per_lane] {
      std::mt19937 rng(static_cast<unsigned>(lane) * 7919u + 1u);
      std::uniform_int_distribution<long long> free_after(200000000, 1200000000);
      const std::string dir = make_scratch_dir();
      for (int r = 0; r < rounds; ++r) {
        put_content(dir, "1\n");
        long long taken = 0;
        std::thread waiter([&dir, &taken] {
          const armctl::state_dir d(dir.c_str());
          armctl::lock_file lock(d);
          // A failed take leaves `taken` at 0: a hand-off far below zero,
          // which the report's minimum makes plain.
          if (lock.wait() && lock.take()) taken = armctl::monotonic_ns();
          (void)lock.release();
        });
        const timespec ts = to_timespec(free_after(rng));
        ::nanosleep(&ts, nullptr);
        const long long released = armctl::monotonic_ns();
        put_content(dir, "0\n");
        waiter.join();
        per_lane[static_cast<std::size_t>(lane)].push_back(static_cast<double>(taken - released) *
                                                           1e-6);
      }
      remove_scratch_dir(dir);
    });
  }
  for (auto& t : threads) t.join();
  std::vector<double> ms;
  for (const auto& v : per_lane) ms.insert(ms.end(), v.begin(), v.end());
  return ms;
}

void print_handoff(const char* name, const handoff_stats& h) {
  std::printf("%-40s %4zu %9.3f %9.3f %9.3f\n", name, h.n, h.p50_ms, h.p99_ms, h.max_ms);
}

// ---- the verdict -------------------------------------------------------------

bool report_targets(const row& own, const handoff_stats& lock) {
  struct target {
    const char* what;
    bool met;
  };
  const target targets[] = {
      {"|interval error| p50 <= 2 us", own.t.p50_us <= 2},
      {"|interval error| p99 <= 100 us", own.t.p99_us <= 100},
      {"no interval shorter than the delay", own.t.shortest >= 1.0},
      {"drift within 1% (10000 ppm)", std::abs(own.t.drift_ppm) <= 10000},
      {"CPU <= 15% of wall time", own.cpu_share <= 0.15},
      {"lock hand-off p99 < 5 ms", lock.n > 0 && lock.p99_ms < 5},
  };
  bool all = true;
  std::printf("\ntargets for the controller's own pacer:\n");
  for (const target& t : targets) {
    std::printf("  %-40s %s\n", t.what, t.met ? "met" : "MISSED");
    all = all && t.met;
  }
  return all;
}

bool parse_number(const char* text, long long& out, long long min) {
  const std::string_view v(text);
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  return ec == std::errc{} && end == v.data() + v.size() && out >= min;
}

bool parse_arguments(int argc, char** argv, settings& s) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    long long v = 0;
    if (flag == "--delay-ns" && parse_number(argv[i + 1], v, 1))
      s.delay_ns = v;
    else if (flag == "--cycles" && parse_number(argv[i + 1], v, 2000))
      s.cycles = static_cast<long>(v);
    else if (flag == "--handoffs" && parse_number(argv[i + 1], v, 50))
      s.handoffs = static_cast<int>(v);
    else if (flag == "--poll-handoffs" && parse_number(argv[i + 1], v, 0))
      s.poll_handoffs = static_cast<int>(v);
    else
      return false;
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  settings s;
  if (!parse_arguments(argc, argv, s)) {
    std::fputs(
        "usage: armctl-bench [--delay-ns N] [--cycles N>=2000] [--handoffs N>=50]"
        " [--poll-handoffs N]\n",
        stderr);
    return 2;
  }
  const int policy = ::sched_getscheduler(0);
  std::printf("armctl-bench: %ld write cycles (%ld writes) per row, delay %lld ns, %u CPUs, %s\n",
              s.cycles, 2 * s.cycles, s.delay_ns, std::thread::hardware_concurrency(),
              policy == SCHED_OTHER ? "normal scheduling (SCHED_OTHER)" : "REAL-TIME POLICY SET");
  std::printf("\n%-26s %8s %8s %9s %9s %10s %7s\n", "delay method", "p50 us", "p99 us", "max us",
              "shortest", "drift ppm", "CPU %");
  std::printf("%-26s %8s %8s %9s %9s %10s %7s\n", "", "|error|", "|error|", "|error|", "x delay",
              "", "of wall");
  std::fflush(stdout);

  const row own = measure(s, [&](recording_port& p) {
    armctl::bus b(p, s.delay_ns);
    for (long c = 0; c < s.cycles; ++c) b.cycle(pattern_of(c));
  });
  print_row("armctl pacer (kill_time)", own);
  std::fflush(stdout);
  print_row("counting loop to 500000",
            measure(s, [&](recording_port& p) { cycle_with(p, s.cycles, counting_loop); }));
  std::fflush(stdout);
  print_row("relative nanosleep", measure(s, [&](recording_port& p) {
              const timespec ts = to_timespec(s.delay_ns);
              cycle_with(p, s.cycles, [&] { ::nanosleep(&ts, nullptr); });
            }));
  std::fflush(stdout);
  print_row("absolute deadline sleep", measure(s, [&](recording_port& p) {
              long long due = armctl::monotonic_ns();
              cycle_with(p, s.cycles, [&] {
                due += s.delay_ns;
                const timespec ts = to_timespec(due);
                ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
              });
            }));

  std::printf("\n%-40s %4s %9s %9s %9s\n", "lock hand-off, release to next take", "n", "p50 ms",
              "p99 ms", "max ms");
  std::fflush(stdout);
  const handoff_stats lock = stats_of(queued_handoffs(s.handoffs));
  print_handoff("armctl lock_file (OFD lock + content)", lock);
  std::fflush(stdout);
  if (s.poll_handoffs > 0)
    print_handoff("one-second content poll alone",
                  stats_of(content_poll_handoffs(s.poll_handoffs)));

  report_targets(own, lock);
  return 0;
}

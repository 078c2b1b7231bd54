// The simulated controller started by a hostile or careless caller: limits,
// closed streams, a file-creation mask, environment, ignored and blocked
// signals, squatting readers, leftovers. Whatever the caller does, the lock
// ends free, the position file holds exactly the steps the port log shows,
// and only the state files are touched.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "e2e_fixture.hpp"
#include "motor/sim_port.hpp"

namespace armctl::testing {
namespace {

using namespace std::chrono_literals;

// What the caller does to the process it starts, between fork and exec.
struct caller_setup {
  rlim_t nofile = RLIM_INFINITY, nofile_hard = RLIM_INFINITY;
  rlim_t fsize = RLIM_INFINITY;
  bool close_streams = false;
  mode_t mask = 022;
  const char* env = nullptr;  // one NAME=value
  bool ignore_and_block_termination = false;
  uid_t user = 0;     // 0: stay; else run as this account (needs root)
  int extra_fds = 0;  // descriptors left open beyond the standard streams
};

struct hostile_case {
  const char* name;
  caller_setup caller;
  std::vector<std::string> args;
  int status;
  bool moves;    // whether any byte may reach the port
  bool summary;  // whether standard output ends with the counters
  const char* lock_after = "0\n";
  // Prepares the state directory; may hold a descriptor for the run's length.
  std::function<int(const std::string& dir)> before = nullptr;
  // Acts on the running controller (by pid), then the test waits for it.
  std::function<void(pid_t, const std::string& dir)> during = nullptr;
  bool timed = false;
};
void PrintTo(const hostile_case& c, std::ostream* os) { *os << c.name; }

void set_limit(int resource, rlim_t soft, rlim_t hard) {
  const rlimit lim{soft, hard};
  if (::setrlimit(resource, &lim) != 0) ::_exit(97);
}

[[noreturn]] void become_caller(const caller_setup& c, const std::string& exe,
                                const std::vector<std::string>& args, const std::string& out) {
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ::dup2(fd, 1);
  ::close(fd);
  if (c.user != 0) {
    const gid_t g = c.user;
    if (::setgroups(1, &g) != 0 || ::setresgid(g, g, g) != 0 ||
        ::setresuid(c.user, c.user, c.user) != 0)
      ::_exit(99);
  }
  ::close_range(3, ~0U, 0);  // nothing of the test's own
  for (int i = 0; i < c.extra_fds; ++i) ::open("/dev/null", O_RDONLY);
  if (c.close_streams)
    for (int s = 0; s <= 2; ++s) ::close(s);
  ::umask(c.mask);
  if (c.ignore_and_block_termination) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) ::signal(sig, SIG_IGN);
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
  }
  set_limit(RLIMIT_FSIZE, c.fsize, c.fsize);
  if (c.nofile != RLIM_INFINITY) set_limit(RLIMIT_NOFILE, c.nofile, c.nofile_hard);
  std::vector<std::string> all{exe};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string env = c.env != nullptr ? c.env : "";
  // The leak checker cannot stop a process run as another account.
  std::string sanitizer = "ASAN_OPTIONS=detect_leaks=0";
  char* envp[] = {sanitizer.data(), env.empty() ? nullptr : env.data(), nullptr};
  ::execve(exe.c_str(), argv.data(), envp);
  ::_exit(98);
}

class HostileCaller : public E2E, public ::testing::WithParamInterface<hostile_case> {
 protected:
  HostileCaller() : E2E(GetParam().timed ? timed : fast) {}

  void SetUp() override {
    if (GetParam().caller.user != 0 && ::geteuid() != 0)
      GTEST_SKIP() << "needs root to run the controller as another account";
#ifdef ARMCTL_SANITIZED
    // The sanitizers' own checks need descriptors (a pipe to probe memory).
    if (GetParam().caller.nofile != RLIM_INFINITY)
      GTEST_SKIP() << "the sanitizer runtime cannot work within an open-file limit";
#endif
    E2E::SetUp();
    ::chmod(dir.c_str(), 0777);  // others may create files in the state directory
  }
  void TearDown() override { ::chmod(dir.c_str(), 0755); }

  // The counters that the start and the motors' steps on the port add up to.
  counters from_the_port(counters c) const {
    if (!exists(log_path)) return c;
    const trace::decoded d = motion();
    const auto net = [&](int m) {
      return static_cast<std::int32_t>(d.motors[static_cast<std::size_t>(m)].forward -
                                       d.motors[static_cast<std::size_t>(m)].backward);
    };
    c[0] += net(5);
    c[1] -= net(4);  // the elbow motor turns backward as counter 1 grows
    c[4] += net(6);
    c[5] += net(2);
    return c;
  }
};

TEST_P(HostileCaller, LockFreeFileEqualsPortAndNothingElseTouched) {
  const hostile_case& c = GetParam();
  const counters start{10, 20, 0, 0, 30, 40};
  write_file(position_path, position_text(start));
  const int held = c.before ? c.before(dir) : -1;
  const counters begins = exists(position_path) ? start : counters{};
  const std::string out_path = dir + "/../" + c.name + ".out";

  const pid_t pid = ::fork();
  if (pid == 0) become_caller(c.caller, build.exe, c.args, out_path);
  if (c.during) c.during(pid, dir);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  if (held >= 0) ::close(held);
  const std::string out = read_file(out_path);
  std::remove(out_path.c_str());

  EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), c.status);
  EXPECT_EQ(read_file(lock_path), c.lock_after);
  const counters after = saved();
  EXPECT_EQ(after, from_the_port(begins)) << "the position file is not what the port shows";
  if (!c.moves) {
    EXPECT_FALSE(exists(log_path)) << read_file(log_path);
  }
  if (!c.caller.close_streams) {
    const std::string summary = summary_line(after);
    EXPECT_EQ(out.size() >= summary.size() && out.ends_with(summary), c.summary) << out;
  }
  for (const std::string& name : list_dir(dir))
    EXPECT_TRUE(name == lock_file_name || name == position_file_name || name == port_log_name)
        << "left behind: " << name;
}

// Holds the kernel lock as a writer would, for the run's whole length.
int hold_write_lock(const std::string& dir) {
  const int fd = ::open((dir + "/lock.dat").c_str(), O_RDWR);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  EXPECT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  return fd;
}

int hold_read_lock(const std::string& dir) {
  const int fd = ::open((dir + "/lock.dat").c_str(), O_RDONLY);
  struct flock fl {};
  fl.l_type = F_RDLCK;
  EXPECT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  return fd;
}

int hold_shared_flock(const std::string& dir) {
  const int fd = ::open((dir + "/lock.dat").c_str(), O_RDONLY);
  EXPECT_EQ(::flock(fd, LOCK_SH), 0);
  return fd;
}

int lock_file_owned_by_root(const std::string& dir) {
  EXPECT_EQ(::chmod((dir + "/lock.dat").c_str(), 0644), 0);
  EXPECT_EQ(::chmod((dir + "/robot_position.dat").c_str(), 0666), 0);
  return -1;
}

int leftover_temp_file(const std::string& dir) {
  write_file(dir + "/" + position_temp_name, "junk from a run killed before its rename");
  return -1;
}

int no_position_file(const std::string& dir) {
  std::remove((dir + "/robot_position.dat").c_str());
  return -1;
}

// Signals a run that the caller left ignoring and blocking them, while it
// waits behind the test's write lock: it must end at once all the same.
void terminate_while_waiting(pid_t pid, const std::string&) {
  std::this_thread::sleep_for(200ms);
  ::kill(pid, SIGTERM);
}

// A CPU-time limit reached during a move stops it like SIGTERM.
void cpu_limit_during_move(pid_t pid, const std::string& dir) {
  for (int i = 0; i < 1000 && read_file(dir + "/lock.dat") != "1\n"; ++i)
    std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(30ms);
  ::kill(pid, SIGXCPU);
}

const std::vector<std::string> two_moves{"-G", "5", "-H", "3"};

INSTANTIATE_TEST_SUITE_P(
    Callers, HostileCaller,
    ::testing::Values(
        hostile_case{"plain", {}, two_moves, 0, true, true},
        // the standard streams and the directory fit (the loader needs one at
        // start): no lock, no motion
        hostile_case{"open_files_4", {.nofile = 4, .nofile_hard = 4}, two_moves, 15, false, false},
        // lock and directory, but neither the counters nor the save fit
        hostile_case{"open_files_5", {.nofile = 5, .nofile_hard = 5}, two_moves, 17, false, false},
        // the save is prepared, but the port's log no longer fits: no grant
        hostile_case{"open_files_6", {.nofile = 6, .nofile_hard = 6}, two_moves, 1, false, false},
        hostile_case{
            "open_files_soft_4", {.nofile = 4, .nofile_hard = 1024}, two_moves, 0, true, true},
        // the loader needs one descriptor; the run closes the rest itself
        hostile_case{"descriptors_left_open",
                     {.nofile = 24, .nofile_hard = 24, .extra_fds = 20},
                     two_moves,
                     0,
                     true,
                     true},
        hostile_case{"file_size_1", {.fsize = 1}, two_moves, 15, false, false},
        hostile_case{"file_size_40", {.fsize = 40}, two_moves, 17, false, false},
        hostile_case{"streams_closed", {.close_streams = true}, two_moves, 0, true, true},
        hostile_case{
            "umask_0777", {.mask = 0777}, two_moves, 16, true, true, "0\n", no_position_file},
        hostile_case{"posixly_correct",
                     {.env = "POSIXLY_CORRECT=1"},
                     {"stray", "-G", "5", "-H", "3"},
                     0,
                     true,
                     true},
        hostile_case{"termination_ignored_and_blocked",
                     {.ignore_and_block_termination = true},
                     two_moves,
                     128 + SIGTERM,
                     false,
                     false,
                     "0\n",
                     hold_write_lock,
                     terminate_while_waiting},
        hostile_case{"reader_read_lock", {}, two_moves, 15, false, false, "0\n", hold_read_lock},
        hostile_case{"reader_shared_flock", {}, two_moves, 0, true, true, "0\n", hold_shared_flock},
        hostile_case{"lock_file_not_writable",
                     {.user = 65534},
                     two_moves,
                     15,
                     false,
                     false,
                     "0\n",
                     lock_file_owned_by_root},
        hostile_case{
            "temp_file_left_behind", {}, two_moves, 0, true, true, "0\n", leftover_temp_file},
        hostile_case{"cpu_limit_during_a_move",
                     {},
                     {"-G", "700", "-H", "3"},
                     128 + SIGXCPU,
                     true,
                     true,
                     "0\n",
                     nullptr,
                     cpu_limit_during_move,
                     true}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A new position file is created with a fixed mode, whatever mask the caller
// set: a mask of 0777 would otherwise make it unreadable to every later run.
TEST_F(E2E, ANewPositionFileIsReadableWhateverTheCallersMask) {
  std::remove(position_path.c_str());
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::umask(0777);
    become_caller({.mask = 0777}, build.exe, {"-G", "1"}, "/dev/null");
  }
  ::waitpid(pid, nullptr, 0);
  struct stat st {};
  ASSERT_EQ(::stat(position_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(run({"-G", "1"}).status, 0);
  EXPECT_EQ(saved()[0], 2);
}

}  // namespace
}  // namespace armctl::testing

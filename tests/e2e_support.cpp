// Spawning controller processes for the end-to-end tests.
#include "e2e_support.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "support.hpp"

extern char** environ;

namespace armctl::testing {
namespace {

std::string temp_path(const char* what) {
  static int serial = 0;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr ? tmp : "/tmp") + "/armctl-e2e-" + std::to_string(::getpid()) +
         "-" + std::to_string(++serial) + "." + what;
}

}  // namespace

controller::controller(const std::string& exe, const std::vector<std::string>& args,
                       bool close_stdout_reader)
    : out_path_(temp_path("out")), err_path_(temp_path("err")) {
  std::vector<std::string> all{exe};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipe_fds[2] = {-1, -1};
  if (close_stdout_reader) {
    // Standard output is a pipe that nobody reads: writes get EPIPE/SIGPIPE.
    if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  // The controller starts with default signal dispositions, as from a shell.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all_signals;
  sigfillset(&all_signals);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all_signals);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (close_stdout_reader) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
  }
  if (rc != 0) throw std::runtime_error("cannot start " + exe);
}

controller::~controller() {
  if (!waited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::unlink(out_path_.c_str());
  ::unlink(err_path_.c_str());
}

void controller::signal(int sig) const { ::kill(pid_, sig); }

bool controller::running() const {
  // The child stays a zombie until wait(), so probe its state instead.
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

outcome_of_run controller::wait() {
  int raw = 0;
  while (::waitpid(pid_, &raw, 0) < 0) {
  }
  waited_ = true;
  outcome_of_run r{};
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = read_file(out_path_);
  r.err = read_file(err_path_);
  if (r.out == "<missing>") r.out.clear();
  return r;
}

outcome_of_run run_controller(const std::string& exe, const std::vector<std::string>& args) {
  controller c(exe, args);
  return c.wait();
}

}  // namespace armctl::testing

// armctld: the daemon that owns the arm's runs. It answers the web page's
// JSON API on one socket (its own with --listen, or the one systemd hands
// it), starts the controller once per move, and pushes the arm's state to
// every page that follows its event stream. Started with --check, it checks
// its own configuration instead.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/http/check.hpp"
#include "daemon/http/front.hpp"
#include "daemon/http/server.hpp"
#include "daemon/runs/arm.hpp"
#include "daemon/runs/state_watch.hpp"

namespace {

using namespace armctl::front;

constexpr armctl::front::front_config config{
    ARMCTL_STATE_DIR, ARMCTL_DAEMON_CONTROLLER, ARMCTL_DAEMON_DELAY_NS,
    ARMCTL_SETTINGS,  ARMCTL_HTPASSWD,          std::chrono::milliseconds(ARMCTL_WAIT_MS)};

constexpr int listen_backlog = 128;

int usage() {
  std::fputs(
      "usage: armctld [--listen PATH | --listen 127.0.0.1:PORT]\n"
      "       armctld --check [--origin https://HOST:PORT]\n"
      "Without --listen, the socket is the one systemd passes (armctl.socket).\n",
      stderr);
  return 2;
}

int fail(const char* what, const std::string& where) {
  std::fprintf(stderr, "armctld: %s %s: %s\n", what, where.c_str(), std::strerror(errno));
  return -1;
}

// A UNIX socket at `path`, readable and writable by the daemon's account
// and its group only; a socket left by an earlier daemon is replaced.
int unix_listener(const std::string& path) {
  sockaddr_un a{};
  if (path.size() >= sizeof a.sun_path) {
    errno = ENAMETOOLONG;
    return fail("cannot listen on", path);
  }
  a.sun_family = AF_UNIX;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("cannot make a socket for", path);
  const mode_t old = ::umask(0117);
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::umask(old);
  if (!bound || ::listen(fd, listen_backlog) != 0) {
    ::close(fd);
    return fail("cannot listen on", path);
  }
  return fd;
}

// "127.0.0.1:PORT" (any IPv4 address, but the tests and the trial use the loopback).
int tcp_listener(const std::string& where, listener& l) {
  const std::size_t colon = where.rfind(':');
  sockaddr_in a{};
  a.sin_family = AF_INET;
  unsigned port = 0;
  const std::string host = where.substr(0, colon == std::string::npos ? 0 : colon);
  const std::string_view digits =
      colon == std::string::npos ? std::string_view() : std::string_view(where).substr(colon + 1);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (colon == std::string::npos || ec != std::errc{} || end != digits.data() + digits.size() ||
      port == 0 || port > 65535 || ::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
    std::fprintf(stderr, "armctld: --listen takes a path or ADDRESS:PORT, not '%s'\n",
                 where.c_str());
    return -1;
  }
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd, listen_backlog) != 0) {
    if (fd >= 0) ::close(fd);
    return fail("cannot listen on", where);
  }
  l.own_name = host;
  l.own_port = std::string(digits);
  return fd;
}

// The one socket systemd passes (armctl.socket).
int systemd_listener() {
  const int n = sd_listen_fds(1);
  if (n != 1 || sd_is_socket(SD_LISTEN_FDS_START, AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
    std::fputs(
        "armctld: no socket from systemd (start it through armctl.socket, or give "
        "--listen)\n",
        stderr);
    return -1;
  }
  return SD_LISTEN_FDS_START;
}

bool is_unix_socket(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.ss_family == AF_UNIX;
}

// The origin's parts from "https://HOST:PORT", for the check's origin finding.
server_identity identity_of(std::string_view origin, std::string& name, std::string& port) {
  server_identity s;
  const std::size_t sep = origin.find("://");
  if (sep == std::string_view::npos) return s;
  s.https = origin.substr(0, sep) == "https";
  const std::string_view rest = origin.substr(sep + 3);
  const std::size_t colon = rest.rfind(':');
  name = std::string(rest.substr(0, colon));
  port = colon == std::string_view::npos ? std::string(s.https ? "443" : "80")
                                         : std::string(rest.substr(colon + 1));
  s.name = name;
  s.port = port;
  return s;
}

int check(std::string_view origin) {
  const check_paths paths{config.settings, config.htpasswd, config.state_dir, config.controller};
  std::string name, port;
  return print_findings(check_configuration(paths, identity_of(origin, name, port)), stdout);
}

// The signals that end the daemon are taken by the main thread alone:
// blocked before any other thread starts, so every thread inherits that.
sigset_t ending_signals() {
  sigset_t s;
  sigemptyset(&s);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&s, sig);
  ::pthread_sigmask(SIG_BLOCK, &s, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return s;
}

int serve(int fd, const std::string& shown, const std::string& own_socket, listener l) {
  const sigset_t ends = ending_signals();
  l.fd = fd;
  l.behind_proxy = is_unix_socket(fd);
  arm runs;
  front_end front(config, runs);
  state_watch watch(config.state_dir, runs);
  http_server server(front, l);
  if (!server.start()) {
    std::fputs("armctld: the HTTP server could not start\n", stderr);
    return 1;
  }
  sd_notify(0, "READY=1");
  std::fprintf(stderr, "armctld: listening on %s\n", shown.c_str());
  int sig = 0;
  while (sigwait(&ends, &sig) != 0) {
  }
  sd_notify(0, "STOPPING=1");
  std::fprintf(stderr, "armctld: stopping (signal %d): ending the runs\n", sig);
  // Waiting requests end touching nothing; a moving run stops at its next
  // step and saves the steps it made; then the connections close.
  runs.shut_down();
  server.stop();
  if (!own_socket.empty()) ::unlink(own_socket.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--check") {
    if (args.size() == 1) return check({});
    if (args.size() == 3 && args[1] == "--origin") return check(args[2]);
    return usage();
  }
  listener l;
  if (args.empty()) {
    const int fd = systemd_listener();
    return fd < 0 ? 1 : serve(fd, "the socket systemd passed", {}, l);
  }
  if (args.size() != 2 || args[0] != "--listen") return usage();
  const std::string where(args[1]);
  const bool path = where.starts_with('/');
  const int fd = path ? unix_listener(where) : tcp_listener(where, l);
  return fd < 0 ? 1 : serve(fd, where, path ? where : std::string(), l);
}

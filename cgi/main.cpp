// armctl-cgi: the web server's way to the arm (CGI/1.1). GET answers the
// state; POST with a JSON body runs the controller or stops the running move.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "cgi/answer.hpp"
#include "cgi/auth.hpp"
#include "cgi/controller.hpp"
#include "cgi/replay.hpp"
#include "cgi/request.hpp"
#include "cgi/settings.hpp"
#include "state/position_file.hpp"
#include "state/scan.hpp"
#include "state/state_dir.hpp"

namespace {

using namespace armctl::cgi;

const char* const state_dir_path = ARMCTL_STATE_DIR;
const char* const controller_path = ARMCTL_CGI_CONTROLLER;
const char* const htpasswd_path = ARMCTL_CGI_HTPASSWD;
const char* const settings_path = ARMCTL_CGI_SETTINGS;

std::optional<std::string_view> env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string_view(v);
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 415:
      return "Unsupported Media Type";
    case 503:
      return "Service Unavailable";
    default:
      return "Internal Server Error";
  }
}

// A refused request's body is read and dropped (within a bound) before the
// answer: the server may still be writing it, and would wait on a CGI that
// never reads.
void drain_input() {
  char buf[4096];
  for (std::size_t total = 0; total < (1u << 20);) {
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return;
    const ssize_t n = ::read(0, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    total += static_cast<std::size_t>(n);
  }
}

int emit(int status, const json& body);

int refuse(int status, const std::string& message) {
  drain_input();
  return emit(status, error_answer(message));
}

int emit(int status, const json& body) {
  std::printf("Status: %d %s\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n",
              status, reason_phrase(status));
  if (status == 405) std::printf("Allow: GET, HEAD, POST\r\n");
  if (status == 401) std::printf("WWW-Authenticate: Basic realm=\"%s\"\r\n", auth_realm);
  std::printf("\r\n%s\n", body.dump().c_str());
  return 0;
}

// The bound on the wait for the lock, from the settings file (suEXEC passes
// the CGI no variable of the server's configuration).
std::chrono::milliseconds wait_bound() {
  const auto ms = load_settings(settings_path).lock_wait.count();
  return std::chrono::milliseconds(std::clamp<long long>(ms, 100, 120000));
}

std::optional<armctl::counters> read_counters() {
  const armctl::state_dir dir(state_dir_path);
  armctl::counters c{};
  if (!armctl::load_counters(dir, c)) return std::nullopt;
  return c;
}

lock_view read_lock() {
  lock_view v;
  const armctl::state_dir dir(state_dir_path);
  const int fd = dir.open_regular(armctl::lock_file_name, O_RDONLY);
  if (fd >= 0) {
    std::string text;
    if (armctl::read_all(fd, text, 64)) {
      std::string_view t(text);
      const armctl::scan_result r = armctl::scan_int(t);
      if (r.kind != armctl::scanned::no_number)
        v.held = r.kind == armctl::scanned::out_of_range || r.value != 0;
    }
    ::close(fd);
  }
  return v;
}

bool read_body(std::size_t length, std::string& body) {
  body.resize(length);
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(0, body.data() + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  body.resize(got);
  return got == length;
}

int answer_stop(long long received_ns) {
  pid_t pid = 0;
  const stop_outcome o = stop_holder(state_dir_path, controller_path, &pid);
  switch (o) {
    case stop_outcome::signalled:
      return emit(200, {{"stopped", true}, {"pid", pid}, {"received_ns", received_ns}});
    case stop_outcome::no_run:
      return emit(409, error_answer("no run of the controller holds the lock"));
    case stop_outcome::not_permitted:
      return emit(
          403,
          error_answer("the run holding the lock was not started by this web server's account"));
    default:
      return emit(500, error_answer("the stop could not be sent"));
  }
}

int answer_move(const move_query& q) {
  // The position before the run, for the replay that explains refusals.
  const armctl::counters start = read_counters().value_or(armctl::counters{});
  const run_output run =
      run_controller(controller_path, argument_vector(q), state_dir_path, wait_bound());
  if (run.status < 0) return emit(500, error_answer("the controller could not be run"));
  if (run.gave_up_waiting && run.out.empty())
    return emit(503, error_answer("the arm is busy: the lock stayed held; nothing moved"));
  return emit(200, run_answer(q, run, replay_options(q, start)));
}

long long monotonic_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

int main() {
  const long long received_ns = monotonic_ns();
  const request_meta meta{env("REQUEST_METHOD").value_or(""),
                          env("CONTENT_TYPE"),
                          env("CONTENT_LENGTH"),
                          env("HTTP_ORIGIN"),
                          env("HTTP_HOST"),
                          env("HTTPS").value_or("") == "on"};
  const auto checked = check_meta(meta);
  if (const auto* r = std::get_if<refusal>(&checked)) return refuse(r->http_status, r->message);
  if (std::holds_alternative<state_query>(checked))
    return emit(200, state_answer(read_counters(), read_lock()));
  // A move or a stop: the login first, before the body is read or anything starts.
  if (!credentials_valid(env("HTTP_AUTHORIZATION"), htpasswd_path))
    return refuse(401, "a move or a stop needs a login");
  std::string body;
  if (!read_body(std::get<std::size_t>(checked), body))
    return emit(400, error_answer("the body is shorter than Content-Length"));
  const query q = parse_body(body);
  if (const auto* r = std::get_if<refusal>(&q))
    return emit(r->http_status, error_answer(r->message));
  if (std::holds_alternative<stop_query>(q)) return answer_stop(received_ns);
  return answer_move(std::get<move_query>(q));
}

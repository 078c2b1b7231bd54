// armctl-cgi: the web server's way to the arm (CGI/1.1). GET answers the
// state; POST with a JSON body runs the controller, estimates a move, stops
// everything and latches, clears the latch, or frees a dead run's lock.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cgi/answer.hpp"
#include "cgi/auth.hpp"
#include "cgi/controller.hpp"
#include "cgi/estimate.hpp"
#include "cgi/holder.hpp"
#include "cgi/latch.hpp"
#include "cgi/queue.hpp"
#include "cgi/replay.hpp"
#include "cgi/request.hpp"
#include "cgi/settings.hpp"
#include "state/position_file.hpp"
#include "state/state_dir.hpp"

namespace {

using namespace armctl::cgi;

const char* const state_dir_path = ARMCTL_STATE_DIR;
const char* const controller_path = ARMCTL_CGI_CONTROLLER;
const char* const settings_path = ARMCTL_CGI_SETTINGS;
const char* const htpasswd_path = ARMCTL_CGI_HTPASSWD;
// The delay the controller was built with, for the motion estimate.
constexpr std::int64_t controller_delay_ns = ARMCTL_CGI_DELAY_NS;

std::optional<std::string_view> env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string_view(v);
}

// What a request came to. Each has its one HTTP status, here and nowhere else
// (the request rules' own refusals carry theirs).
enum class verdict {
  done,
  unauthorized,
  stopped,
  not_permitted,
  not_left_by_a_dead_run,
  held_by_a_live_run,
  over_the_bound,
  queue_full,
  busy,
  failed
};

struct http_status {
  verdict v;
  int code;
};
constexpr http_status statuses[] = {
    {verdict::done, 200},
    {verdict::unauthorized, 401},  // with the Basic challenge
    {verdict::stopped, 409},       // latched: an operator must clear it
    {verdict::not_permitted, 403},
    {verdict::not_left_by_a_dead_run, 409},
    {verdict::held_by_a_live_run, 409},
    {verdict::over_the_bound, 422},  // well-formed, but longer than the arm may move unwatched
    {verdict::queue_full, 503},
    {verdict::busy, 503},
    {verdict::failed, 500},
};

int code_of(verdict v) {
  for (const http_status& s : statuses)
    if (s.v == v) return s.code;
  return 500;
}

const char* reason_phrase(int status) {
  struct phrase {
    int code;
    const char* text;
  };
  static constexpr phrase phrases[] = {
      {200, "OK"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {403, "Forbidden"},
      {405, "Method Not Allowed"},
      {409, "Conflict"},
      {411, "Length Required"},
      {413, "Content Too Large"},
      {415, "Unsupported Media Type"},
      {422, "Unprocessable Content"},
      {503, "Service Unavailable"},
  };
  for (const phrase& p : phrases)
    if (p.code == status) return p.text;
  return "Internal Server Error";
}

struct reply {
  verdict v;
  json body;
};

// What every handler needs: the settings of this request and who sent it
// (the authenticated user; another front end may feed it from elsewhere).
struct context {
  front_settings settings;
  std::string user;
};

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

int emit(int status, const json& body) {
  std::printf("Status: %d %s\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n",
              status, reason_phrase(status));
  if (status == 405) std::printf("Allow: GET, HEAD, POST\r\n");
  if (status == 401) std::printf("WWW-Authenticate: Basic realm=\"%s\"\r\n", auth_realm);
  std::printf("\r\n%s\n", body.dump().c_str());
  return 0;
}

int refuse(int status, const std::string& message) {
  drain_input();
  return emit(status, error_answer(message));
}

// The settings file over the build's wait bound: suEXEC passes the CGI no
// variable of the server's configuration, so nothing else can set them.
front_settings current_settings() {
  front_settings defaults;
  defaults.lock_wait = std::chrono::milliseconds(ARMCTL_CGI_WAIT_MS);
  return load_settings(settings_path, defaults);
}

// Reading the state and estimating a move change nothing and are open to
// everyone; everything else moves or stops the arm or changes what is stored.
bool needs_login(const query& q) {
  return !std::holds_alternative<state_query>(q) && !std::holds_alternative<estimate_query>(q);
}

std::optional<armctl::counters> read_counters() {
  const armctl::state_dir dir(state_dir_path);
  armctl::counters c{};
  if (!armctl::load_counters(dir, c)) return std::nullopt;
  return c;
}

std::optional<latch> current_latch() {
  const armctl::state_dir dir(state_dir_path);
  return read_latch(dir);
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

json with_error(json fields, const std::string& message) {
  fields["error"] = message;
  return fields;
}

double seconds(std::chrono::nanoseconds t) { return static_cast<double>(t.count()) * 1e-9; }

json estimate_fields(const move_query& q, const context& c) {
  const auto t = motion_time(q, controller_delay_ns);
  return {{"estimate_s", seconds(t)},
          {"bound_s", c.settings.max_motion.count()},
          {"over_the_bound", t > c.settings.max_motion}};
}

// ---- one handler per request kind ---------------------------------------

reply answer(const state_query&, const context&) {
  return {verdict::done,
          state_answer(read_counters(), read_lock_state(state_dir_path), current_latch())};
}

// Latches first, so that no run starts after the runs are ended; then ends
// every waiting run of ours and stops the one that holds the lock; only then
// waits for the latch to reach the disk.
reply answer(const stop_query&, const context& c) {
  const armctl::state_dir dir(state_dir_path);
  bool latched = set_latch(dir, c.user);
  const stop_report r = stop_everything(state_dir_path, controller_path);
  latched = sync_latch(dir) && latched;
  json body = latch_fields(read_latch(dir));
  body["waiting_ended"] = r.waiting_ended;
  body["run_stopped"] = r.holder == stop_outcome::signalled;
  if (r.holder == stop_outcome::not_permitted)
    return {verdict::not_permitted,
            with_error(body,
                       "the run holding the lock was not started by this web server's "
                       "account and goes on; the front end is latched")};
  if (!latched || r.holder == stop_outcome::failed)
    return {verdict::failed, with_error(body, "the stop could not be completed")};
  return {verdict::done, body};
}

reply answer(const clear_query&, const context&) {
  const armctl::state_dir dir(state_dir_path);
  if (!clear_latch(dir)) return {verdict::failed, error_answer("the latch could not be cleared")};
  return {verdict::done, latch_fields(std::nullopt)};
}

reply answer(const unlock_query&, const context& c) {
  const unlock_report r = unlock_dead_run(state_dir_path, c.user);
  json body{{"unlocked", r.outcome == unlock_outcome::unlocked}};
  if (r.found) body["holder"] = holder_fields(*r.found);
  struct meaning {
    unlock_outcome o;
    verdict v;
    const char* error;
  };
  static constexpr meaning meanings[] = {
      {unlock_outcome::unlocked, verdict::done, nullptr},
      {unlock_outcome::not_left_by_a_dead_run, verdict::not_left_by_a_dead_run,
       "the lock is free, or not left by a run of this boot that has ended"},
      {unlock_outcome::held_by_a_live_run, verdict::held_by_a_live_run,
       "a live run of the controller holds the lock or waits for it"},
      {unlock_outcome::failed, verdict::failed, "the lock file could not be written"},
  };
  for (const meaning& m : meanings)
    if (m.o == r.outcome) return {m.v, m.error ? with_error(body, m.error) : body};
  return {verdict::failed, body};
}

reply answer(const estimate_query& q, const context& c) {
  return {verdict::done, estimate_fields(q.move, c)};
}

reply answer(const move_query& q, const context& c) {
  if (const auto stop = current_latch())
    return {verdict::stopped, with_error(latch_fields(stop),
                                         "the arm is stopped until an "
                                         "operator clears the stop")};
  const json estimate = estimate_fields(q, c);
  if (estimate["over_the_bound"] == true)
    return {verdict::over_the_bound,
            with_error(estimate, "the move would take longer than the bound; nothing moved")};
  const armctl::state_dir dir(state_dir_path);
  const auto place = queue_place::take(dir, c.settings.max_waiting);
  if (!place)
    return {verdict::queue_full, error_answer("too many requests already wait for the arm; "
                                              "nothing moved")};
  // The position before the run, for the replay that explains refusals.
  const armctl::counters start = read_counters().value_or(armctl::counters{});
  const run_output run = run_controller(
      {controller_path, argument_vector(q), state_dir_path, c.settings.lock_wait}, *place);
  if (run.status < 0) return {verdict::failed, error_answer("the controller could not be run")};
  if (run.gave_up_waiting) {
    if (const auto stop = current_latch())
      return {verdict::stopped, with_error(latch_fields(stop),
                                           "stopped while it waited for the "
                                           "lock; nothing moved")};
    return {verdict::busy, error_answer("the arm is busy: the lock stayed held; nothing moved")};
  }
  return {verdict::done, run_answer(q, run, replay_options(q, start))};
}

reply answer(const refusal& r, const context&) {
  return {verdict::failed, error_answer(r.message)};  // never reached: refused before
}

int handle_request() {
  context c{current_settings(), {}};
  const request_meta meta{env("REQUEST_METHOD").value_or(""),
                          env("CONTENT_TYPE"),
                          env("CONTENT_LENGTH"),
                          env("HTTP_ORIGIN"),
                          env("SERVER_NAME").value_or(""),
                          env("SERVER_PORT").value_or(""),
                          env("HTTPS").value_or("") == "on",
                          &c.settings.origins};
  const auto checked = check_meta(meta);
  if (const auto* r = std::get_if<refusal>(&checked)) return refuse(r->http_status, r->message);
  query q = state_query{};
  if (!std::holds_alternative<state_query>(checked)) {
    std::string body;
    if (!read_body(std::get<std::size_t>(checked), body))
      return emit(400, error_answer("the body is shorter than Content-Length"));
    q = parse_body(body);
  }
  if (const auto* r = std::get_if<refusal>(&q))
    return emit(r->http_status, error_answer(r->message));
  // Any process of the web server's account can start this program with any
  // environment: the login is checked here, never taken from the server.
  if (needs_login(q)) {
    const auto user = authenticated_user(env("HTTP_AUTHORIZATION"), htpasswd_path);
    if (!user) return emit(code_of(verdict::unauthorized), error_answer("this needs a login"));
    c.user = *user;
  }
  const reply r = std::visit([&](const auto& kind) { return answer(kind, c); }, q);
  return emit(code_of(r.v), r.body);
}

}  // namespace

// Anything thrown (memory exhausted, a body nlohmann cannot hold) is a 500,
// never a crash without an answer.
int main() {
  try {
    return handle_request();
  } catch (...) {
    std::fputs(
        "Status: 500 Internal Server Error\r\nContent-Type: application/json\r\n\r\n"
        "{\"error\":\"internal error\"}\n",
        stdout);
    return 0;
  }
}

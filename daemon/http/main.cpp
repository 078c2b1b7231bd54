// armctl-cgi: the web server's way to the arm (CGI/1.1). GET answers the
// state, the taught poses and sequences, or the history; POST with a JSON
// body runs the controller, estimates or plans a move, goes to a target,
// stops everything and latches, clears the latch, frees a dead run's lock,
// re-references the arm, or teaches poses and sequences. Started by hand
// with --check (never by the web server), it checks its own configuration.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/http/answer.hpp"
#include "daemon/http/auth.hpp"
#include "daemon/http/check.hpp"
#include "daemon/http/handler.hpp"
#include "daemon/http/request.hpp"
#include "daemon/http/settings.hpp"
#include "daemon/runs/latch.hpp"
#include "daemon/runs/moves.hpp"
#include "daemon/runs/stop.hpp"
#include "daemon/teach/history.hpp"
#include "daemon/teach/teach.hpp"
#include "daemon/teach/transfer.hpp"
#include "state/state_dir.hpp"

namespace {

using namespace armctl;
using namespace armctl::front;

const char* const state_dir_path = ARMCTL_STATE_DIR;
const char* const controller_path = ARMCTL_CGI_CONTROLLER;
const char* const settings_path = ARMCTL_SETTINGS;
const char* const htpasswd_path = ARMCTL_HTPASSWD;
// The delay the controller was built with, for the motion estimate.
constexpr std::int64_t controller_delay_ns = ARMCTL_CGI_DELAY_NS;

std::optional<std::string_view> env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string_view(v);
}

// Each verdict's one HTTP status, here and nowhere else (the request rules'
// own refusals carry theirs).
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
    {verdict::no_password_file, 500},  // the server's fault: the error log says why
    {verdict::not_found, 404},
    {verdict::builtin_pose, 409},
    {verdict::store_full, 409},
    {verdict::store_damaged, 409},  // kept for a person to look at, never written over
    {verdict::nothing_to_undo, 409},
    {verdict::start_unknown, 409},
    {verdict::plan_not_allowed, 422},  // well-formed, but the guards allow no way there
    {verdict::unknown_poses, 422},
    {verdict::lookalike_name, 409},
    {verdict::logins_stopped, 429},  // with Retry-After; the password is not checked
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
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {409, "Conflict"},
      {411, "Length Required"},
      {413, "Content Too Large"},
      {415, "Unsupported Media Type"},
      {422, "Unprocessable Content"},
      {429, "Too Many Requests"},
      {503, "Service Unavailable"},
  };
  for (const phrase& p : phrases)
    if (p.code == status) return p.text;
  return "Internal Server Error";
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

int emit(int status, const json& body, long long retry_after_s = 0) {
  std::printf("Status: %d %s\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n",
              status, reason_phrase(status));
  if (status == 405) std::printf("Allow: GET, HEAD, POST\r\n");
  if (status == 401) std::printf("WWW-Authenticate: Basic realm=\"%s\"\r\n", auth_realm);
  if (retry_after_s > 0) std::printf("Retry-After: %lld\r\n", retry_after_s);
  std::printf("\r\n%s\n", body.dump().c_str());
  return 0;
}

// A refusal's answer; a foreign Origin's names the origins that are accepted.
json refusal_answer(const refusal& r) {
  json body = error_answer(r.message);
  if (r.accepted_origins) body["accepted_origins"] = *r.accepted_origins;
  return body;
}

int refuse(const refusal& r) {
  drain_input();
  return emit(r.http_status, refusal_answer(r));
}

// The settings file over the build's wait bound: suEXEC passes the CGI no
// variable of the server's configuration, so nothing else can set them.
front_settings current_settings() {
  front_settings defaults;
  defaults.lock_wait = std::chrono::milliseconds(ARMCTL_WAIT_MS);
  return load_settings(settings_path, defaults);
}

// What a request asks of the login. Reading the state, the taught poses and
// sequences, estimating and planning change nothing, and STOP can only make
// the arm safer: they are open to everyone, but the state shows operators
// who stopped the arm, and the latch records who stopped it, when the
// credentials sent are valid. Everything else moves the arm or changes what
// is stored, or reads what names operators (the history, the export).
enum class login_rule {
  open,      // credentials are not read
  optional,  // read when sent; wrong ones count as none
  asked,     // whoami: read when sent; wrong ones are a 401
  required,
};

login_rule rule_of(const query& q) {
  if (const auto* v = std::get_if<state_query>(&q)) {
    struct view_rule {
      view what;
      login_rule rule;
    };
    static constexpr view_rule views[] = {
        {view::state, login_rule::optional}, {view::poses, login_rule::open},
        {view::sequences, login_rule::open}, {view::history, login_rule::required},
        {view::whoami, login_rule::asked},   {view::export_taught, login_rule::required},
    };
    for (const view_rule& r : views)
      if (r.what == v->what) return r.rule;
    return login_rule::required;
  }
  if (std::holds_alternative<stop_query>(q)) return login_rule::optional;
  if (std::holds_alternative<estimate_query>(q) || std::holds_alternative<plan_query>(q))
    return login_rule::open;
  return login_rule::required;
}

bool needs_login(const query& q) { return rule_of(q) == login_rule::required; }

// The requests the history records: every one that needs a login, but the
// reading of the history or the export and the release of a dead run's
// lock; and STOP, with or without a login, since an operator must find who
// stopped the arm.
bool recorded(const query& q) {
  if (std::holds_alternative<stop_query>(q)) return true;
  if (const auto* i = std::get_if<import_query>(&q)) return i->apply;  // a preview stores nothing
  return needs_login(q) && !std::holds_alternative<state_query>(q) &&
         !std::holds_alternative<unlock_query>(q);
}

// A request turned away by the queue's bound did nothing and is not kept:
// a crowd of them would push the real moves, which back looks for, out of
// the bounded history.
bool kept(const query& q, const reply& r) { return recorded(q) && r.v != verdict::queue_full; }

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

// ---- one handler per request kind ---------------------------------------

// whoami answers only requests whose credentials passed, or sent none.
reply answer_whoami(const context& c) {
  return {verdict::done, {{"user", c.user.empty() ? json(nullptr) : json(c.user)}}};
}

reply answer(const state_query& q, const context& c) {
  switch (q.what) {
    case view::state:
      return answer_state(c);
    case view::whoami:
      return answer_whoami(c);
    case view::export_taught:
      return answer_export(c);
    default:
      return answer_view(q, c);
  }
}
reply answer(const stop_query&, const context& c) { return answer_stop(c); }
reply answer(const clear_query&, const context& c) { return answer_clear(c); }
reply answer(const unlock_query&, const context& c) { return answer_unlock(c); }
reply answer(const estimate_query& q, const context& c) { return answer_estimate(q, c); }
reply answer(const move_query& q, const context& c) { return answer_move(q, c); }
reply answer(const reference_query& q, const context& c) { return answer_reference(q, c); }
reply answer(const save_pose_query& q, const context& c) { return answer_save_pose(q, c); }
reply answer(const delete_pose_query& q, const context& c) { return answer_delete_pose(q, c); }
reply answer(const plan_query& q, const context& c) { return answer_plan(q, c); }
reply answer(const goto_query& q, const context& c) { return answer_goto(q, c); }
reply answer(const back_query& q, const context& c) { return answer_back(q, c); }
reply answer(const save_sequence_query& q, const context& c) { return answer_save_sequence(q, c); }
reply answer(const delete_sequence_query& q, const context& c) {
  return answer_delete_sequence(q, c);
}

reply answer(const import_query& q, const context& c) { return answer_import(q, c); }

reply answer(const refusal& r, const context&) {
  return {verdict::failed, error_answer(r.message)};  // never reached: refused before
}

// The request as the history shows it: the body as sent, but an import's
// size alone, since its body can be far longer than a line of history.
json recorded_request(const query& q, const std::string& body) {
  if (const auto* i = std::get_if<import_query>(&q)) return import_summary(*i);
  return json::parse(body, nullptr, false);
}

// One line of history for a request an operator made; the counters the
// handler knows, else the position file's before and after. False when the
// line could not be written.
bool record(const query& q, const std::string& body, const context& c, const reply& r, int status,
            const std::optional<armctl::counters>& before_file) {
  const armctl::state_dir dir(state_dir_path);
  history_entry e{utc_now(),
                  c.user.empty() ? not_logged_in : c.user,
                  recorded_request(q, body),
                  status,
                  r.before,
                  r.after};
  if (r.ran) {
    e.before_unknown = r.before_unknown;
    e.after_unknown = r.after_unknown;
    e.run_status = r.body.value("status", -1);
  } else {
    if (!e.before) e.before = before_file;
    if (!e.after) e.after = read_counters(state_dir_path);
  }
  return append_history(dir, e, c.settings.lock_wait);
}

// The password file cannot be read: no credentials could pass, so asking for
// others would only hide the fault; the server's error log gets the reason.
int no_login_possible(const login& l) {
  std::fprintf(stderr, "armctl-cgi: cannot read the password file %s: %s\n", htpasswd_path,
               std::strerror(l.error));
  return emit(code_of(verdict::no_password_file),
              error_answer("the login cannot be checked: the server cannot read its password "
                           "file (its error log says why; armctl-cgi --check tells more)"));
}

// Any process of the web server's account can start this program with any
// environment: the login is checked here, never taken from the server. The
// 401 says whether credentials were missing or wrong, so that the page can
// tell a wrong password from none. The emitted answer when the request ends
// here.
std::optional<int> check_login(const query& q, context& c) {
  const login_rule rule = rule_of(q);
  const auto header = env("HTTP_AUTHORIZATION");
  if (rule == login_rule::open || (rule != login_rule::required && !header)) return std::nullopt;
  const armctl::state_dir dir(state_dir_path);
  const login l = guarded_login(header, htpasswd_path, dir, env("REMOTE_ADDR").value_or(""),
                                c.settings.lock_wait);
  if (l.result == login::outcome::accepted) {
    c.user = l.user;
    return std::nullopt;
  }
  // A STOP and the state's read go on without a login, stopped or not.
  if (rule == login_rule::optional) return std::nullopt;
  if (l.result == login::outcome::file_unreadable) return no_login_possible(l);
  if (l.result == login::outcome::too_many_failures)
    return emit(code_of(verdict::logins_stopped),
                error_answer("too many failed logins of late; try again later"), l.retry_after_s);
  json body = error_answer(header ? "the login is wrong" : "this needs a login");
  body["login"] = header ? "wrong" : "missing";
  return emit(code_of(verdict::unauthorized), body);
}

int handle_request() {
  context c{current_settings(),
            {},
            {state_dir_path, controller_path, controller_delay_ns},
            std::string(env("REMOTE_ADDR").value_or("")),
            caller_of(env("REMOTE_ADDR").value_or(""), env("REMOTE_PORT").value_or(""))};
  const request_meta meta{env("REQUEST_METHOD").value_or(""),
                          env("CONTENT_TYPE"),
                          env("CONTENT_LENGTH"),
                          env("HTTP_ORIGIN"),
                          env("SERVER_NAME").value_or(""),
                          env("SERVER_PORT").value_or(""),
                          env("HTTPS").value_or("") == "on",
                          &c.settings.origins,
                          env("QUERY_STRING").value_or("")};
  const auto checked = check_meta(meta);
  if (const auto* r = std::get_if<refusal>(&checked)) return refuse(*r);
  std::string body;
  const auto* get = std::get_if<state_query>(&checked);
  if (get == nullptr && !read_body(std::get<std::size_t>(checked), body))
    return emit(400, error_answer("the body is shorter than Content-Length"));
  const query q = get != nullptr ? query{*get} : parse_body(body);
  if (const auto* r = std::get_if<refusal>(&q)) return emit(r->http_status, refusal_answer(*r));
  if (const auto refused = check_login(q, c)) return *refused;
  const auto before = recorded(q) ? read_counters(state_dir_path) : std::nullopt;
  reply r = std::visit([&](const auto& kind) { return answer(kind, c); }, q);
  // Recorded before the answer, so that a client that has its answer finds
  // the line; one that finds none is told, since back cannot undo that move.
  if (kept(q, r) && !record(q, body, c, r, code_of(r.v), before))
    r.body["history_error"] = "the history line could not be written";
  return emit(code_of(r.v), r.body);
}

// The check, for the administrator, as the CGI's own account.
int check() {
  const check_paths paths{settings_path, htpasswd_path, state_dir_path, controller_path};
  const server_identity server{env("SERVER_NAME").value_or(""), env("SERVER_PORT").value_or(""),
                               env("HTTPS").value_or("") == "on"};
  return print_findings(check_configuration(paths, server), stdout);
}

}  // namespace

// Anything thrown (memory exhausted, a body nlohmann cannot hold) is a 500,
// never a crash without an answer.
int main(int argc, char** argv) {
  if (check_requested(argc, argv, std::getenv("GATEWAY_INTERFACE"))) return check();
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

// The daemon's handling of one request: the rules before the body, the
// login, the handler of its kind, the line of history, the status.
#include "daemon/http/front.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "daemon/http/answer.hpp"
#include "daemon/http/handler.hpp"
#include "daemon/http/jog.hpp"
#include "daemon/http/moves.hpp"
#include "daemon/http/player.hpp"
#include "daemon/http/settings.hpp"
#include "daemon/http/stop.hpp"
#include "daemon/http/teach.hpp"
#include "daemon/http/transfer.hpp"
#include "daemon/stores/failure_counts.hpp"
#include "daemon/stores/history.hpp"
#include "daemon/stores/latch.hpp"
#include "daemon/stores/records.hpp"
#include "daemon/stores/records_json.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {
namespace {

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
    {verdict::caller_gone, 503},
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
    {verdict::player_busy, 409},
    {verdict::driven_by_other, 409},
    {verdict::asked, 202},  // the state tells whether the driver hands over
};

int code_of(verdict v) {
  for (const http_status& s : statuses)
    if (s.v == v) return s.code;
  return 500;
}

// A refusal's answer; a foreign Origin's names the origins that are accepted.
json refusal_answer(const refusal& r) {
  json body = error_answer(r.message);
  if (r.accepted_origins) body["accepted_origins"] = *r.accepted_origins;
  return body;
}

http_answer answer_of(int status, const json& body, long long retry_after_s = 0) {
  return {status, wire_text(body), retry_after_s};
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
        {view::state, login_rule::optional},  {view::poses, login_rule::open},
        {view::sequences, login_rule::open},  {view::history, login_rule::required},
        {view::whoami, login_rule::asked},    {view::export_taught, login_rule::required},
        {view::events, login_rule::optional},
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
  // A jog's run writes its own line when it ends; its holds and release none.
  if (std::holds_alternative<hold_query>(q) || std::holds_alternative<release_query>(q))
    return false;
  if (const auto* i = std::get_if<import_query>(&q)) return i->apply;  // a preview stores nothing
  return needs_login(q) && !std::holds_alternative<state_query>(q) &&
         !std::holds_alternative<unlock_query>(q);
}

// A request turned away by the queue's bound, by a busy arm or by its
// caller's leaving did nothing and is not kept: a crowd of them would push
// the real moves, which back looks for, out of the bounded history.
bool kept(const query& q, const reply& r) {
  if (std::holds_alternative<jog_query>(q) && r.v == verdict::done) return false;
  return recorded(q) && r.v != verdict::queue_full && r.v != verdict::caller_gone &&
         r.v != verdict::busy;
}

// ---- one handler per request kind ---------------------------------------

// whoami answers only requests whose credentials passed, or sent none.
reply answer_whoami(const context& c) {
  return {verdict::done, {{"user", c.user.empty() ? json(nullptr) : json(c.user)}}};
}

// The state with who drives, as the reader may see it.
reply state_with_control(const context& c) {
  reply r = answer_state(c);
  r.body["control"] = c.control->view(c.user, steady::now());
  return r;
}

reply handle(const state_query& q, const context& c) {
  switch (q.what) {
    case view::state:
      return state_with_control(c);
    case view::whoami:
      return answer_whoami(c);
    case view::export_taught:
      return answer_export(c);
    default:
      return answer_view(q, c);
  }
}
reply handle(const stop_query&, const context& c) { return answer_stop(c); }
reply handle(const clear_query&, const context& c) { return answer_clear(c); }
reply handle(const unlock_query&, const context& c) { return answer_unlock(c); }
reply handle(const estimate_query& q, const context& c) { return answer_estimate(q, c); }
reply handle(const move_query& q, const context& c) { return answer_move(q, c); }
reply handle(const reference_query& q, const context& c) { return answer_reference(q, c); }
reply handle(const save_pose_query& q, const context& c) { return answer_save_pose(q, c); }
reply handle(const delete_pose_query& q, const context& c) { return answer_delete_pose(q, c); }
reply handle(const plan_query& q, const context& c) { return answer_plan(q, c); }
reply handle(const goto_query& q, const context& c) { return answer_goto(q, c); }
reply handle(const back_query& q, const context& c) { return answer_back(q, c); }
reply handle(const save_sequence_query& q, const context& c) { return answer_save_sequence(q, c); }
reply handle(const delete_sequence_query& q, const context& c) {
  return answer_delete_sequence(q, c);
}

reply handle(const import_query& q, const context& c) { return answer_import(q, c); }
reply handle(const jog_query& q, const context& c) { return answer_jog(q, c); }
reply handle(const hold_query& q, const context& c) { return answer_hold(q, c); }
reply handle(const release_query& q, const context& c) { return answer_release(q, c); }
reply handle(const play_query& q, const context& c) { return answer_play(q, c); }
reply handle(const pause_query& q, const context& c) { return answer_pause(q, c); }
reply handle(const resume_query& q, const context& c) { return answer_resume(q, c); }

reply handle(const control_query& q, const context& c) {
  struct meaning {
    control_outcome o;
    verdict v;
  };
  static constexpr meaning meanings[] = {
      {control_outcome::done, verdict::done},
      {control_outcome::asked, verdict::asked},
      {control_outcome::refused, verdict::driven_by_other},
  };
  control_answer a = c.control->apply(q, c.user, c.settings.instructors, steady::now());
  for (const meaning& m : meanings)
    if (m.o == a.outcome) return {m.v, std::move(a.body)};
  return {verdict::failed, std::move(a.body)};
}

// A request the drive holds, from an operator who does not drive.
std::optional<reply> held_back(const query& q, const context& c) {
  const char* kind = held_by_drive(q);
  if (kind == nullptr) return std::nullopt;
  const auto driver = c.control->held_from(c.user, steady::now());
  if (!driver) return std::nullopt;
  return reply{verdict::driven_by_other,
               {{"error", *driver + " drives the arm: " + kind + " waits for their drive"},
                {"driver", *driver}}};
}

reply handle(const refusal& r, const context&) {
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
  const armctl::state_dir dir(c.paths.state_dir);
  history_entry e{utc_now(),
                  c.user.empty() ? not_logged_in : c.user,
                  recorded_request(q, body),
                  status,
                  r.before,
                  r.after};
  e.repeat = r.repeat;
  if (std::holds_alternative<reference_query>(q) && status == 200 && r.before && r.after) {
    e.drift.emplace();
    for (std::size_t i = 0; i < joint_count; ++i)
      (*e.drift)[i] = static_cast<long long>((*r.before)[i]) - (*r.after)[i];
  }
  if (r.ran) {
    e.before_unknown = r.before_unknown;
    e.after_unknown = r.after_unknown;
    e.run_status = r.body.value("status", -1);
  } else {
    if (!e.before) e.before = before_file;
    if (!e.after) e.after = read_counters(c.paths.state_dir);
  }
  return append_history(dir, e, c.settings.lock_wait);
}

// The password file cannot be read: no credentials could pass, so asking for
// others would only hide the fault; the server's log gets the reason.
http_answer no_login_possible(const login& l, const char* htpasswd) {
  std::fprintf(stderr, "armctld: cannot read the password file %s: %s\n", htpasswd,
               std::strerror(l.error));
  return answer_of(code_of(verdict::no_password_file),
                   error_answer("the login cannot be checked: the server cannot read its password "
                                "file (its log says why; armctld --check tells more)"));
}

// What a login's failures count towards: those of requests that need it,
// and of whoami, which the page asks to learn who is logged in.
login_use use_of(login_rule rule) {
  return rule == login_rule::required ? login_use::sign_in : login_use::peek;
}

// Every login is checked here, never taken from the web server: the socket
// is the web server's to reach, not a boundary. The 401 says whether
// credentials were missing or wrong, so that the page can tell a wrong
// password from none. A login that passes without the device cookie of its
// name gets one (`cookie`). The answer when the request ends here.
std::optional<http_answer> check_login(const query& q, const http_request& r, logins& ls,
                                       const device_signer& devices, const char* htpasswd,
                                       context& c, std::string& cookie) {
  const login_rule rule = rule_of(q);
  if (rule == login_rule::open || (rule != login_rule::required && !r.authorization))
    return std::nullopt;
  const std::optional<device> known =
      r.device_cookie ? devices.verified(*r.device_cookie) : std::nullopt;
  const login l = ls.check(r.authorization, {r.remote_addr, known ? &*known : nullptr},
                           use_of(rule), c.settings.login_memory);
  if (l.result == login::outcome::accepted) {
    c.user = escaped_name(l.user);
    if (!known || known->user_hex != hex_text(l.user)) cookie = devices.cookie_for(l.user);
    return std::nullopt;
  }
  // A STOP and the state's read go on without a login, stopped or not.
  if (rule == login_rule::optional) return std::nullopt;
  if (l.result == login::outcome::file_unreadable) return no_login_possible(l, htpasswd);
  if (l.result == login::outcome::too_many_failures)
    return answer_of(code_of(verdict::logins_stopped),
                     error_answer("too many failed logins of late; try again later"),
                     l.retry_after_s);
  json body = error_answer(r.authorization ? "the login is wrong" : "this needs a login");
  body["login"] = r.authorization ? "wrong" : "missing";
  return answer_of(code_of(verdict::unauthorized), body);
}

request_meta meta_of(const http_request& r, const front_settings& s) {
  return {r.method,      r.content_type, r.content_length, r.origin,      r.server_name,
          r.server_port, r.https,        &s.origins,       r.query_string};
}

}  // namespace

std::string wire_text(const json& j) { return line_text(j); }

namespace {

// The settings file over the build's wait bound, read at every request so
// that an administrator's change holds at once.
front_settings current_settings(const front_config& config) {
  front_settings defaults;
  defaults.lock_wait = config.default_wait;
  return load_settings(config.settings, defaults);
}

}  // namespace

front_end::front_end(const front_config& config, arm& a)
    : config_(config),
      arm_(a),
      logins_(config.htpasswd, config.state_dir),
      devices_(config.state_dir),
      player_(std::make_unique<player>(
          [this](const std::string& user) { return step_context(user); },
          [this](const goto_query& q, const context& c, const reply& r) { record_step(q, c, r); },
          [this] { arm_.changed(); })) {}

front_end::~front_end() = default;

// A step of a sequence the daemon plays, as its operator's request now.
context front_end::step_context(const std::string& user) {
  context c{current_settings(config_),
            user,
            {config_.state_dir, config_.controller, config_.controller_delay_ns},
            &arm_};
  c.caller_gone = [] { return false; };
  c.sequences = player_.get();
  return c;
}

void front_end::record_step(const goto_query& q, const context& c, const reply& r) {
  const std::string body = wire_text(json{{"goto", {{"pose", std::get<pose_target>(q.to).name}}}});
  if (kept(query{q}, r)) (void)record(query{q}, body, c, r, code_of(r.v), std::nullopt);
  arm_.changed();
}

std::variant<http_answer, std::size_t> front_end::admit(const http_request& r,
                                                        const std::function<bool()>& caller_gone) {
  const front_settings settings = current_settings(config_);
  const auto checked = check_meta(meta_of(r, settings));
  if (const auto* refused = std::get_if<refusal>(&checked))
    return answer_of(refused->http_status, refusal_answer(*refused));
  if (const auto* get = std::get_if<state_query>(&checked))
    return respond(r, query{*get}, {}, caller_gone);
  return std::get<std::size_t>(checked);
}

http_answer front_end::answer(const http_request& r, std::string_view body,
                              const std::function<bool()>& caller_gone) {
  const query q = parse_body(body);
  if (const auto* refused = std::get_if<refusal>(&q))
    return answer_of(refused->http_status, refusal_answer(*refused));
  return respond(r, q, body, caller_gone);
}

http_answer front_end::respond(const http_request& r, const query& q, std::string_view body,
                               const std::function<bool()>& caller_gone) {
  context c{current_settings(config_),
            {},
            {config_.state_dir, config_.controller, config_.controller_delay_ns},
            &arm_,
            std::string(r.remote_addr),
            caller_gone};
  c.sequences = player_.get();
  c.control = &drive_;
  std::string cookie;
  if (auto refused = check_login(q, r, logins_, devices_, config_.htpasswd, c, cookie))
    return *refused;
  if (!c.user.empty()) drive_.seen(c.user, c.arrived);
  http_answer a = answer_to(q, body, c);
  if (!cookie.empty()) a.set_cookie = set_cookie_value(cookie, r.https);
  return a;
}

http_answer front_end::answer_to(const query& q, std::string_view body, context& c) {
  if (const auto* get = std::get_if<state_query>(&q); get && get->what == view::events) {
    http_answer open{200, {}, 0, {}, c.user};
    return open;
  }
  // STOP ends a sequence as it ends runs, before it signals the step's run.
  if (std::holds_alternative<stop_query>(q)) player_->end("ended by STOP");
  const auto before = recorded(q) ? read_counters(config_.state_dir) : std::nullopt;
  std::optional<reply> held = held_back(q, c);
  reply rep =
      held ? std::move(*held) : std::visit([&](const auto& kind) { return handle(kind, c); }, q);
  // Recorded before the answer, so that a client that has its answer finds
  // the line; one that finds none is told, since back cannot undo that move.
  if (kept(q, rep) && !record(q, std::string(body), c, rep, code_of(rep.v), before))
    rep.body["history_error"] = "the history line could not be written";
  if (recorded(q)) arm_.changed();
  return answer_of(code_of(rep.v), rep.body);
}

std::string front_end::state_json(const std::string& user) {
  context c{current_settings(config_),
            user,
            {config_.state_dir, config_.controller, config_.controller_delay_ns},
            &arm_};
  c.sequences = player_.get();
  c.control = &drive_;
  return wire_text(state_with_control(c).body);
}

}  // namespace armctl::front

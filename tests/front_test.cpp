// The CGI's request rules (one table of requests and what each must get) and
// its JSON answers: refusal reasons from the replay, and the replay's trust;
// the login's outcome, and the administrator's configuration check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "daemon/http/answer.hpp"
#include "daemon/http/auth.hpp"
#include "daemon/http/check.hpp"
#include "daemon/http/handler.hpp"
#include "daemon/http/moves.hpp"
#include "daemon/http/request.hpp"
#include "daemon/http/settings.hpp"
#include "daemon/http/teach.hpp"
#include "daemon/runs/replay.hpp"
#include "daemon/stores/front_files.hpp"
#include "daemon/stores/history.hpp"
#include "daemon/stores/taught.hpp"
#include "daemon/teach/planner.hpp"
#include "support.hpp"

namespace armctl::front {
namespace {

struct request_case {
  const char* name;
  const char* method;
  const char* type;    // null: absent
  const char* origin;  // null: absent
  std::string body;
  int status;  // 0: accepted as a move; 1: a stop; 2: the state; 3: a clear; 4: an unlock; 5: an
               // estimate
  std::vector<std::string> argv{};
};
void PrintTo(const request_case& c, std::ostream* os) { *os << c.name; }

constexpr int move = 0, stop = 1, state = 2, clear = 3, unlock = 4, estimate = 5;
const char* const json_type = "application/json";

const request_case request_cases[] = {
    {"get_is_the_state", "GET", nullptr, nullptr, "", state},
    {"head_is_the_state", "HEAD", nullptr, nullptr, "", state},
    {"one_move",
     "POST",
     json_type,
     nullptr,
     R"({"options": ["-H", "200", "-Q"]})",
     move,
     {"armctl", "-H", "200", "-Q"}},
    {"charset_and_same_origin",
     "POST",
     "Application/JSON; charset=UTF-8",
     "http://arm.local:8080",
     R"({"options": ["-G", "0", "-B", "99999"]})",
     move,
     {"armctl", "-G", "0", "-B", "99999"}},
    {"stop", "POST", json_type, nullptr, R"({"stop": true})", stop},
    {"clear", "POST", json_type, nullptr, R"({"clear": true})", clear},
    {"unlock", "POST", json_type, nullptr, R"({"unlock": true})", unlock},
    {"estimate", "POST", json_type, nullptr, R"({"estimate": ["-E", "20"]})", estimate},
    {"clear_false", "POST", json_type, nullptr, R"({"clear": 1})", 400},
    {"estimate_bad_option", "POST", json_type, nullptr, R"({"estimate": ["-E", "020"]})", 400},
    {"duplicate_key", "POST", json_type, nullptr, R"({"options": ["-Q"], "options": ["-G", "2"]})",
     400},
    {"duplicate_stop", "POST", json_type, nullptr, R"({"stop": true, "stop": true})", 400},
    {"duplicate_key_nested", "POST", json_type, nullptr,
     R"({"options": ["-Q"], "x": {"a": 1, "a": 2}})", 400},
    // the Host header is the client's: only the server's own name and port count
    {"origin_of_the_host_header", "POST", json_type, "http://arm.local", R"({"options": ["-Q"]})",
     403},
    {"put", "PUT", json_type, nullptr, R"({"options": ["-Q"]})", 405},
    {"delete", "DELETE", nullptr, nullptr, "", 405},
    {"form_type", "POST", "application/x-www-form-urlencoded", nullptr, R"({"options": ["-Q"]})",
     415},
    {"text_type", "POST", "text/plain", nullptr, R"({"options": ["-Q"]})", 415},
    {"no_type", "POST", nullptr, nullptr, R"({"options": ["-Q"]})", 415},
    {"other_charset", "POST", "application/json; charset=latin1", nullptr, R"({"options": ["-Q"]})",
     415},
    {"other_origin", "POST", json_type, "http://evil.example", R"({"options": ["-Q"]})", 403},
    {"null_origin", "POST", json_type, "null", R"({"options": ["-Q"]})", 403},
    {"bad_json", "POST", json_type, nullptr, R"({"options": ["-Q")", 400},
    {"not_an_object", "POST", json_type, nullptr, R"(["-Q"])", 400},
    {"unknown_field", "POST", json_type, nullptr, R"({"options": ["-Q"], "env": {}})", 400},
    {"only_unknown_field", "POST", json_type, nullptr, R"({"argv": ["-Q"]})", 400},
    {"stop_false", "POST", json_type, nullptr, R"({"stop": false})", 400},
    {"options_not_array", "POST", json_type, nullptr, R"({"options": "-H 200"})", 400},
    {"no_options", "POST", json_type, nullptr, R"({"options": []})", 400},
    {"not_a_string", "POST", json_type, nullptr, R"({"options": ["-H", 200]})", 400},
    {"unknown_letter", "POST", json_type, nullptr, R"({"options": ["-Z", "1"]})", 400},
    {"lower_case", "POST", json_type, nullptr, R"({"options": ["-h", "1"]})", 400},
    {"grouped", "POST", json_type, nullptr, R"({"options": ["-QQ"]})", 400},
    {"attached_count", "POST", json_type, nullptr, R"({"options": ["-H200"]})", 400},
    {"missing_count", "POST", json_type, nullptr, R"({"options": ["-H"]})", 400},
    {"count_for_q", "POST", json_type, nullptr, R"({"options": ["-Q", "5"]})", 400},
    {"stray_count", "POST", json_type, nullptr, R"({"options": ["5"]})", 400},
    {"semicolon", "POST", json_type, nullptr, R"({"options": ["-H", "1;reboot"]})", 400},
    {"command_substitution", "POST", json_type, nullptr, R"j({"options": ["-H", "$(id)"]})j", 400},
    {"backquote", "POST", json_type, nullptr, R"({"options": ["-Q", "`id`"]})", 400},
    {"pipe", "POST", json_type, nullptr, R"({"options": ["-Q|ls"]})", 400},
    {"space", "POST", json_type, nullptr, R"({"options": ["-H", "1 -G 5"]})", 400},
    {"newline", "POST", json_type, nullptr, R"({"options": ["-H", "1\n"]})", 400},
    {"sign", "POST", json_type, nullptr, R"({"options": ["-H", "+5"]})", 400},
    {"negative", "POST", json_type, nullptr, R"({"options": ["-H", "-5"]})", 400},
    {"octal", "POST", json_type, nullptr, R"({"options": ["-H", "010"]})", 400},
    {"hex", "POST", json_type, nullptr, R"({"options": ["-H", "0x10"]})", 400},
    {"too_long_count", "POST", json_type, nullptr, R"({"options": ["-H", "100000"]})", 400},
    {"seventeen_options", "POST", json_type, nullptr,
     R"({"options": ["-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q","-Q"]})",
     400},
    {"oversize", "POST", json_type, nullptr, std::string(max_body_bytes + 1, ' '), 413},
};

class Requests : public ::testing::TestWithParam<request_case> {};

TEST_P(Requests, AreJudgedBeforeAnythingStarts) {
  const request_case& c = GetParam();
  const std::string length = std::to_string(c.body.size());
  request_meta meta{c.method, std::nullopt, length, std::nullopt, "arm.local", "8080", false};
  if (c.type) meta.content_type = c.type;
  if (c.origin) meta.origin = c.origin;
  const query q = classify(meta, c.body);
  if (c.status == move) {
    ASSERT_TRUE(std::holds_alternative<move_query>(q));
    EXPECT_EQ(argument_vector(std::get<move_query>(q)), c.argv);
  } else if (c.status == stop) {
    EXPECT_TRUE(std::holds_alternative<stop_query>(q));
  } else if (c.status == state) {
    EXPECT_TRUE(std::holds_alternative<state_query>(q));
  } else if (c.status == clear) {
    EXPECT_TRUE(std::holds_alternative<clear_query>(q));
  } else if (c.status == unlock) {
    EXPECT_TRUE(std::holds_alternative<unlock_query>(q));
  } else if (c.status == estimate) {
    EXPECT_TRUE(std::holds_alternative<estimate_query>(q));
  } else {
    ASSERT_TRUE(std::holds_alternative<refusal>(q));
    EXPECT_EQ(std::get<refusal>(q).http_status, c.status) << std::get<refusal>(q).message;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Requests, ::testing::ValuesIn(request_cases),
                         [](const auto& tc) { return std::string(tc.param.name); });

move_query options_of(const std::string& body) { return std::get<move_query>(parse_body(body)); }

TEST(RequestMeta, NeedsALengthWithinTheBound) {
  request_meta meta{"POST", json_type, std::nullopt, std::nullopt, "h", "443", false};
  EXPECT_EQ(std::get<refusal>(check_meta(meta)).http_status, 411);
  for (const char* len : {"262145", "99999999999999999999"}) {
    meta.content_length = len;
    EXPECT_EQ(std::get<refusal>(check_meta(meta)).http_status, 413) << len;
  }
  meta.content_length = "12x";
  EXPECT_EQ(std::get<refusal>(check_meta(meta)).http_status, 400);
  meta.content_length = "4096";
  EXPECT_EQ(std::get<std::size_t>(check_meta(meta)), 4096u);
  meta.origin = "https://h";  // a plain-HTTP server is not an https origin
  EXPECT_EQ(std::get<refusal>(check_meta(meta)).http_status, 403);
  meta.https = true;
  EXPECT_TRUE(std::holds_alternative<std::size_t>(check_meta(meta)));
  // Listed origins replace the server's own.
  const std::vector<std::string> listed{"https://arm.example", "http://10.0.0.5:8080"};
  meta.origins = &listed;
  EXPECT_EQ(std::get<refusal>(check_meta(meta)).http_status, 403);
  EXPECT_EQ(std::get<refusal>(check_meta(meta)).accepted_origins, listed);
  meta.origin = "http://10.0.0.5:8080";
  EXPECT_TRUE(std::holds_alternative<std::size_t>(check_meta(meta)));
  meta.origins = nullptr;  // without a list, a foreign Origin is told the server's own
  EXPECT_EQ(std::get<refusal>(check_meta(meta)).accepted_origins,
            std::vector<std::string>{"https://h"});
}

// The motion time by the rules of docs/http-api.md: a step is one write cycle of two
// delays, a move adds a release cycle, a wrist move makes 22 cycles per whole
// chunk of ten, and each option latches the shoulder (one cycle) before it,
// the run releases it (one cycle) at the end.
struct estimate_case {
  const char* body;
  std::int64_t cycles;
};
TEST(Estimate, CountsTheWriteCyclesOfARun) {
  const estimate_case cases[] = {
      {R"({"options": ["-Q"]})", 1 + 1},
      {R"({"options": ["-G", "100"]})", 1 + 101 + 1},
      {R"({"options": ["-N", "7"]})", 1 + 8 + 1},
      {R"({"options": ["-T", "9"]})", 1 + 0 + 1},
      {R"({"options": ["-E", "25"]})", 1 + 44 + 1},
      {R"({"options": ["-H", "200", "-W", "99999"]})", 1 + 201 + 1 + 9999 * 22 + 1},
  };
  for (const estimate_case& c : cases)
    EXPECT_EQ(motion_time(options_of(c.body), 1000), std::chrono::nanoseconds(2000 * c.cycles))
        << c.body;
}

TEST(Settings, ReadWhatTheyCanAndKeepTheDefaultsForTheRest) {
  testing::scratch_dir tmp;
  const std::string path = tmp.file("armctl-cgi.conf");
  testing::write_file(path,
                      "# the front end\n\n  wait_ms = 2500\norigins = http://a.example "
                      "https://b.example:8443  # two\nmax_waiting=3\nmax_motion_s = 9x\n"
                      "max_motion_s\nno_such_key = 5\n");
  const front_settings s = load_settings(path.c_str());
  EXPECT_EQ(s.lock_wait, std::chrono::milliseconds(2500));
  EXPECT_EQ(s.origins, (std::vector<std::string>{"http://a.example", "https://b.example:8443"}));
  EXPECT_EQ(s.max_waiting, 3u);
  EXPECT_EQ(s.max_motion, std::chrono::seconds(60));
  const front_settings none = load_settings(tmp.file("missing").c_str());
  EXPECT_EQ(none.lock_wait, std::chrono::milliseconds(10000));
  EXPECT_EQ(none.max_waiting, 8u);
  EXPECT_TRUE(none.origins.empty());
}

// The administrator's check, on a good configuration in a scratch directory
// with one thing broken per row; the row names the one problem it must find.
struct check_case {
  const char* name;
  std::function<void(const check_paths&)> spoil;
  const char* problem;  // null: every finding is ok
};
void PrintTo(const check_case& c, std::ostream* os) { *os << c.name; }

const check_case check_cases[] = {
    {"good", [](const check_paths&) {}, nullptr},
    // Run as root, modes stop no read: a directory stands for an unreadable file.
    {"password_file_unreadable",
     [](const check_paths& p) {
       ::unlink(p.htpasswd);
       ::mkdir(p.htpasswd, 0700);
     },
     "password file"},
    {"no_operator", [](const check_paths& p) { testing::write_file(p.htpasswd, "# none\n"); },
     "sudo htpasswd -B"},
    {"bad_settings_line",
     [](const check_paths& p) {
       testing::write_file(p.settings, "wait_ms = 2500\nmax_waiting = 0\n");
     },
     "line 2"},
    {"origin_with_a_path",
     [](const check_paths& p) { testing::write_file(p.settings, "origins = http://arm.local/\n"); },
     "has a path"},
};

class Check : public ::testing::TestWithParam<check_case> {};

TEST_P(Check, FindsTheOneProblemOfTheRow) {
  testing::scratch_dir tmp;
  const std::string settings = tmp.file("armctl-cgi.conf"), htpasswd = tmp.file("htpasswd"),
                    controller = tmp.file("armctl"), dir = tmp.file("state");
  testing::write_file(settings, "wait_ms = 2500\norigins = http://arm.local:8080\n");
  testing::write_file(htpasswd, "operator:{SHA}5otQEmDN5s/D71Rd5uhAsBLry3k=\n");
  testing::write_file(controller, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(controller.c_str(), 0750), 0);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  testing::write_file(dir + "/lock.dat", "0\n");
  testing::write_file(dir + "/robot_position.dat", "0 0 0 0 0 0 \n");
  const check_paths paths{settings.c_str(), htpasswd.c_str(), dir.c_str(), controller.c_str()};
  GetParam().spoil(paths);
  const std::vector<finding> found = check_configuration(paths, {"arm.local", "8080", false});
  std::vector<std::string> problems;
  for (const finding& f : found)
    if (!f.ok) problems.push_back(f.text);
  const char* want = GetParam().problem;
  ASSERT_EQ(problems.size(), want ? 1u : 0u) << ::testing::PrintToString(problems);
  if (want) {
    EXPECT_NE(problems[0].find(want), std::string::npos) << problems[0];
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), std::fclose);
  EXPECT_EQ(print_findings(found, out.get()), want ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Table, Check, ::testing::ValuesIn(check_cases),
                         [](const auto& tc) { return std::string(tc.param.name); });

// A password file that cannot be read is told apart from a wrong login:
// the daemon answers the former 500. "{SHA}5otQ..." is "arm-test-password".
TEST(Login, AnUnreadablePasswordFileIsNoWrongPassword) {
  testing::scratch_dir tmp;
  const std::string file = tmp.file("htpasswd");
  const std::string basic =
      "Basic b3BlcmF0b3I6YXJtLXRlc3QtcGFzc3dvcmQ=";  // operator:arm-test-password
  EXPECT_EQ(authenticated_user(basic, file.c_str()).error, ENOENT);
  testing::write_file(file, "other:{SHA}5otQEmDN5s/D71Rd5uhAsBLry3k=\n");
  EXPECT_EQ(authenticated_user(basic, file.c_str()).result, login::outcome::refused);
  testing::write_file(file, "operator:{SHA}5otQEmDN5s/D71Rd5uhAsBLry3k=\n");
  EXPECT_EQ(authenticated_user(basic, file.c_str()).user, "operator");
  ::unlink(file.c_str());
  ::mkdir(file.c_str(), 0700);
  const login dir = authenticated_user(basic, file.c_str());
  EXPECT_EQ(dir.result, login::outcome::file_unreadable);
  EXPECT_EQ(dir.error, EISDIR);
}

// The reasons of the guards, in the manual page's terms: G stops at counter 0 =
// 800; V needs the elbow bend (counter 1 x 0.0324 degrees less the shoulder's
// angle) below 50; H needs the tip below 10 at every pose on the way.
struct reason_case {
  const char* name;
  counters start;
  const char* body;
  const char* guard;
  const char* rule;
  double value, beyond;
  bool on_the_way;
};
void PrintTo(const reason_case& c, std::ostream* os) { *os << c.name; }

const reason_case reason_cases[] = {
    {"base_past_its_range",
     {0, 0, 0, 0, 0, 0},
     R"({"options": ["-G", "900"]})",
     "range",
     "<= 800",
     900,
     100,
     false},
    {"slide_past_its_range",
     {0, 0, 0, 0, 0, -1990},
     R"({"options": ["-X", "11"]})",
     "range",
     ">= -2000",
     -2001,
     1,
     false},
    {"elbow_bend",
     {0, 0, 0, 0, 0, 0},
     R"({"options": ["-V", "1600"]})",
     "elbow bend",
     "< 50",
     51.84,
     1.84,
     false},
    // Elbow and wrist at 40 degrees: the tip is at 7.71 with the shoulder level
    // and half a turn round, but at 15.2 with it upright on the way.
    {"tip_on_the_way",
     {0, 1235, 995, 0, 0, 0},
     R"({"options": ["-H", "4423"]})",
     "tip height",
     "< 10",
     10,
     0,
     true},
};

class Reasons : public ::testing::TestWithParam<reason_case> {};

TEST_P(Reasons, NameTheGuardAndTheMargin) {
  const reason_case& c = GetParam();
  const replay r = replay_options(options_of(c.body), c.start);
  ASSERT_EQ(r.options.size(), 1u);
  ASSERT_TRUE(r.options[0].refused);
  ASSERT_TRUE(r.options[0].reason);
  const refusal_reason& why = *r.options[0].reason;
  EXPECT_EQ(why.guard, c.guard);
  EXPECT_EQ(why.rule, c.rule);
  EXPECT_EQ(why.on_the_way, c.on_the_way);
  if (c.on_the_way) {
    // The first pose beyond: the shoulder near 18 degrees, 7.5 sin(18) + 7.71 > 10.
    EXPECT_GT(why.value, 10);
    EXPECT_LT(why.value, 10.05);
    ASSERT_TRUE(why.at);
    EXPECT_GT(*why.at, 400);
    EXPECT_LT(*why.at, 480);
  } else {
    EXPECT_NEAR(why.value, c.value, 1e-9);
    EXPECT_NEAR(why.beyond, c.beyond, 1e-9);
  }
  EXPECT_EQ(r.final, c.start);  // a refused move moves nothing
}

INSTANTIATE_TEST_SUITE_P(Table, Reasons, ::testing::ValuesIn(reason_cases),
                         [](const auto& tc) { return std::string(tc.param.name); });

// A go-to's replay comes from its plan, unjudged: it must print what the
// judge's replay of the plan's options prints, line for line.
TEST(Replay, OfAnAllowedPlanIsTheJudgesReplayOfItsOptions) {
  const std::pair<counters, counters> ways[] = {
      {{0, 0, 0, 0, 0, 0}, {5, 0, 0, 0, 0, 0}},
      {{0, 0, 0, 0, 0, 0}, {-300, 200, 137, -20, 400, 1200}},  // 137: the wrist lags
      {{800, 1235, 995, 2000, 0, -2000}, {0, 0, 0, 0, 0, 0}},
      {{10, 0, 0, 0, 700, 3}, {10, 420, -90, 15, 100, 3}},
  };
  for (const auto& [from, to] : ways) {
    const plan p = plan_moves(from, to);
    ASSERT_TRUE(p.allowed) << ::testing::PrintToString(to);
    const replay judged = replay_options(moves_of(p), from);
    const replay made = replay_of(p);
    EXPECT_EQ(printed_lines(made), printed_lines(judged)) << ::testing::PrintToString(to);
    EXPECT_EQ(made.final, to);
  }
}

// armctl -Q with all counters at 0, as the controller prints it.
const char* const zero_report =
    "0,9.5,9.5,0\n7.5,0,7.5,0\n7.5,0,7.5,0\n4.5,0,4.5,0\n19.5,0,19.5,0\n";

TEST(RunAnswer, TrustsTheReplayOnlyWhenItPrintsWhatTheRunPrinted) {
  const move_query q = options_of(R"({"options": ["-Q", "-G", "900"]})");
  const replay r = replay_options(q, counters{});
  const std::string run_out = std::string(zero_report) + zero_report + "0,0,0,0,0,0\n";
  const json same = run_answer(q, {88, run_out, false, {}}, r);
  EXPECT_EQ(same["status"], 88);
  EXPECT_EQ(same["meaning"], "a move was refused by its guard");
  EXPECT_EQ(same["counters"], json::array({0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(same["reasons_known"]);
  EXPECT_EQ(same["options"][0]["refused"], false);
  EXPECT_EQ(same["options"][1]["refused"], true);
  EXPECT_EQ(same["options"][1]["reason"]["beyond"], 100.0);
  EXPECT_EQ(same["options"][1]["report"][4], json::array({19.5, 0, 19.5, 0}));

  // Another run moved counter 4 in between: the run's own lines differ.
  const std::string moved =
      "0,9.5,9.5,0\n7.49,0.1,7.5,1\n7.5,0,7.5,0\n4.5,0,4.5,0\n19.49,0.1,19.5,0.3\n";
  const json other = run_answer(q, {88, moved + moved + "0,0,0,0,30,0\n", false, {}}, r);
  EXPECT_FALSE(other["reasons_known"]);
  EXPECT_FALSE(other["options"][1].contains("reason"));
  EXPECT_TRUE(other.contains("reasons_note"));
  EXPECT_EQ(other["counters"][4], 30);
}

TEST(RunAnswer, AStoppedRunHasNoReasonsAndAFailedSaveNoCounters) {
  const move_query q = options_of(R"({"options": ["-G", "800"]})");
  const json stopped = run_answer(q, {143, std::string(zero_report) + "312,0,0,0,0,0\n", false, {}},
                                  replay_options(q, counters{}));
  EXPECT_EQ(stopped["counters"][0], 312);
  EXPECT_FALSE(stopped["reasons_known"]);
  const json unsaved = run_answer(q, {17, zero_report, false, {}}, replay_options(q, counters{}));
  EXPECT_TRUE(unsaved["counters"].is_null());
  EXPECT_EQ(unsaved["options"].size(), 1u);
}

TEST(StateAnswer, GivesTheCountersTheReportTheLockAndTheLatch) {
  holder dead{{4242, false, "boot-b", 0, 0, {}, {}}, "4242 taking boot-b"};
  const json j =
      state_answer(counters{0, 0, 0, 0, 0, 0}, {true, dead}, latch{"ann", "2026-12-09T05:00:00Z"});
  EXPECT_EQ(j["report"][0], json::array({0, 9.5, 9.5, 0}));
  EXPECT_EQ(j["report"][4], json::array({19.5, 0, 19.5, 0}));
  EXPECT_EQ(j["lock"]["held"], true);
  EXPECT_EQ(j["lock"]["left_by_dead_run"]["state"], "taking");
  EXPECT_EQ(j.dump().find("4242"), std::string::npos) << "the open state shows a pid";
  EXPECT_EQ(j["stopped"], true);
  EXPECT_EQ(j["stopped_by"], "ann");
  const json free = state_answer(std::nullopt, {}, std::nullopt);
  EXPECT_TRUE(free.at("counters").is_null());
  EXPECT_EQ(free["stopped"], false);
}

// The history keeps the newest entries only, half the bound in each of its
// two files, and back goes to the counters before the newest request that
// moved the arm, in whichever file it lies.
TEST(History, KeepsTheNewestAndBackFindsTheLastMove) {
  testing::scratch_dir tmp;
  const state_dir dir(tmp.path().c_str());
  const auto entry = [](const char* kind, int status, int from, int to) {
    return history_entry{"2026-12-09T07:00:00Z",
                         "ann",
                         json{{kind, true}},
                         status,
                         counters{from, 0, 0, 0, 0, 0},
                         counters{to, 0, 0, 0, 0, 0}};
  };
  for (int i = 1; i <= 5; ++i)
    ASSERT_TRUE(append_history(dir, entry("goto", 200, i, i + 1), std::chrono::seconds(1), 4));
  ASSERT_TRUE(append_history(dir, entry("goto", 409, 9, 9), std::chrono::seconds(1), 4));
  // Two files of two: {3, 4} in the older one, {5, the 409} in the newer.
  const std::vector<json> kept = newest_history(dir, 10);
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(kept[0]["status"], 409);
  EXPECT_EQ(kept[3]["before"][0], 3);
  EXPECT_EQ(back_target(dir)->to, (counters{5, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(append_history(dir, entry("reference", 200, 9, 9), std::chrono::seconds(1), 4));
  ASSERT_TRUE(append_history(dir, entry("goto", 409, 9, 9), std::chrono::seconds(1), 4));
  EXPECT_EQ(back_target(dir)->to, (counters{5, 0, 0, 0, 0, 0})) << "the move is in the older file";
  // A newer move whose start is unknown stops back there: it may have moved.
  history_entry unknown = entry("options", 200, 0, 7);
  unknown.before.reset();
  unknown.before_unknown = "not read under its lock";
  ASSERT_TRUE(append_history(dir, unknown, std::chrono::seconds(1), 4));
  const auto point = back_target(dir);
  ASSERT_TRUE(point);
  EXPECT_FALSE(point->to);
  EXPECT_EQ(point->unknown, "not read under its lock");
}

// A new name with spaces around it, or of spaces only, is refused (400); one
// a reader would take for a stored name of its kind or for home (letter
// case, runs of spaces) is refused (409); the same name replaces as before.
enum class name_answer { stored, bad_request, lookalike };
struct name_case {
  const char* name;
  bool sequence;
  name_answer answer;
};
void PrintTo(const name_case& c, std::ostream* os) { *os << '"' << c.name << '"'; }

class NewName : public ::testing::TestWithParam<name_case> {
 protected:
  testing::scratch_dir tmp;
  context c{front_settings{}, "ann", {tmp.path().c_str(), "/bin/false", 0}};

  name_answer save(const name_case& n) {
    const json body = n.sequence ? json{{"save_sequence",
                                         {{"name", n.name},
                                          {"steps", {{{"pose", "arm"}, {"pause_ms", 0}}}},
                                          {"repeat", 1}}}}
                                 : json{{"save_pose", n.name}};
    const query q = parse_body(body.dump());
    if (const auto* r = std::get_if<refusal>(&q)) {
      EXPECT_EQ(r->http_status, 400);
      return name_answer::bad_request;
    }
    const reply r = n.sequence ? answer_save_sequence(std::get<save_sequence_query>(q), c)
                               : answer_save_pose(std::get<save_pose_query>(q), c);
    EXPECT_TRUE(r.v == verdict::done || r.v == verdict::lookalike_name) << r.body.dump();
    return r.v == verdict::done ? name_answer::stored : name_answer::lookalike;
  }
};

TEST_P(NewName, IsStoredOnlyWhenNoReaderCouldMistakeIt) {
  testing::write_file(tmp.file(position_file_name), "0 0 0 0 0 0 \n");
  for (const name_case& kept : {name_case{"arm", false, name_answer::stored},
                                name_case{"Left Wing", false, name_answer::stored},
                                name_case{"Pick Up", true, name_answer::stored}})
    ASSERT_EQ(save(kept), name_answer::stored) << kept.name;
  EXPECT_EQ(save(GetParam()), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(Names, NewName,
                         ::testing::Values(name_case{"arm", false, name_answer::stored},
                                           name_case{"arms", false, name_answer::stored},
                                           name_case{"Left Wing 2", false, name_answer::stored},
                                           name_case{"a  b", false, name_answer::stored},
                                           name_case{"Arm", false, name_answer::lookalike},
                                           name_case{"LEFT WING", false, name_answer::lookalike},
                                           name_case{"Left   Wing", false, name_answer::lookalike},
                                           name_case{"Home", false, name_answer::lookalike},
                                           name_case{"h o m e", false, name_answer::stored},
                                           name_case{"home ", false, name_answer::bad_request},
                                           name_case{" home", false, name_answer::bad_request},
                                           name_case{"   ", false, name_answer::bad_request},
                                           name_case{" ", true, name_answer::bad_request},
                                           name_case{"Pick Up", true, name_answer::stored},
                                           name_case{"pick  up", true, name_answer::lookalike},
                                           name_case{"HOME", true, name_answer::lookalike},
                                           name_case{"Arm", true, name_answer::stored}));

// Names an earlier release stored with spaces around them still read, and
// can still be deleted.
TEST(NewName, NamesStoredEarlierStillRead) {
  testing::scratch_dir tmp;
  testing::write_file(tmp.file(poses_file_name),
                      R"({"poses": {"home ": [1, 0, 0, 0, 0, 0]}, "sequences": {" s": )"
                      R"({"steps": [{"pose": "home ", "pause_ms": 0}], "repeat": 1}}})");
  const state_dir dir(tmp.path().c_str());
  const taught_read r = read_taught(dir);
  EXPECT_EQ(r.damage, "");
  EXPECT_EQ(r.t.sequences.count(" s"), 1u);
  EXPECT_TRUE(std::holds_alternative<delete_pose_query>(parse_body(R"({"delete_pose": "home "})")));
}

}  // namespace
}  // namespace armctl::front

// Fuzzes the daemon's request handling: the first byte picks the method, the
// type, the Origin and the starting counters from small tables, the rest is
// the body. An accepted move must give an argument vector of the grammar
// alone, and its replay must explain itself: answering with the replay's own
// lines as the run's output must trust the replay. A plan of counters or a
// tip must end where it was asked to, within the tip's tolerance.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "daemon/http/answer.hpp"
#include "daemon/http/plans.hpp"
#include "daemon/http/request.hpp"
#include "daemon/runs/replay.hpp"
#include "daemon/teach/planner.hpp"
#include "model/reach.hpp"

namespace {

using namespace armctl::front;

constexpr std::array<const char*, 4> methods{"POST", "GET", "PUT", "POST"};
constexpr std::array<const char*, 4> types{"application/json", "application/json; charset=utf-8",
                                           "text/plain", "application/json"};
constexpr std::array<const char*, 2> origins{"http://arm.local", "http://evil.example"};
constexpr std::array<armctl::counters, 2> starts{
    {{0, 0, 0, 0, 0, 0}, {790, 1235, 995, -1990, 2000, 1600}}};

void check_argument(const std::string& a, bool& expect_count) {
  const std::string_view letters = "GBSXTRHNVFEWQ";
  if (expect_count) {
    if (a.empty() || a.size() > armctl::max_count_digits || (a.size() > 1 && a[0] == '0'))
      std::abort();
    for (char c : a)
      if (c < '0' || c > '9') std::abort();
    expect_count = false;
    return;
  }
  if (a.size() != 2 || a[0] != '-' || letters.find(a[1]) == std::string_view::npos) std::abort();
  expect_count = a[1] != 'Q';
}

// The delay of the daemon's test build and the default bound: a target far
// beyond it must answer at once, unjudged.
void check_plan(const target& to, const armctl::counters& start) {
  const plan_bounds bounds{250000, std::chrono::seconds(60)};
  if (const auto* c = std::get_if<armctl::counters>(&to)) {
    const target_plan tp = plan_to(start, *c, bounds);
    if (tp.allowed() && tp.chosen->target != *c) std::abort();
    (void)plan_json(tp, bounds).dump();
  }
  if (const auto* tip = std::get_if<tip_target>(&to)) {
    const target_plan tp = plan_to_tip(start, *tip, bounds);
    if (tp.allowed() && !(tp.reached && tp.reached->distance <= armctl::tip_tolerance))
      std::abort();
    (void)plan_json(tp, bounds).dump();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t pick = data[0];
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string length = std::to_string(body.size());
  request_meta meta{
      methods[pick & 3], types[(pick >> 2) & 3], length, std::nullopt, "arm.local", "80", false};
  if (pick & 16) meta.origin = origins[(pick >> 5) & 1];
  const query q = classify(meta, body);
  if (const auto* p = std::get_if<plan_query>(&q)) check_plan(p->to, starts[(pick >> 6) & 1]);
  const auto* move = std::get_if<move_query>(&q);
  if (move == nullptr) return 0;
  const std::vector<std::string> argv = argument_vector(*move);
  if (argv.empty() || argv[0] != "armctl" || move->options.empty() ||
      move->options.size() > max_options)
    std::abort();
  bool expect_count = false;
  for (std::size_t i = 1; i < argv.size(); ++i) check_argument(argv[i], expect_count);
  if (expect_count) std::abort();
  const replay r = replay_options(*move, starts[(pick >> 6) & 1]);
  std::string out;
  for (const std::string& line : printed_lines(r)) out += line + "\n";
  const json answer = run_answer(*move, {0, out, false, {}}, r);
  if (answer["reasons_known"] != true) std::abort();
  (void)answer.dump();
  return 0;
}

// The arm model: each condition at its limit, the exact bend, the poses on
// the way, and the judgement of single moves against the verdicts of the
// independent model (tests/data/judgements.txt, from tests/model/run_model.py),
// which also names the condition each letter's guard breaks first; and the
// exit statuses, whose meanings the manual page gives word for word.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "model/judge.hpp"
#include "model/plan.hpp"
#include "model/reach.hpp"
#include "model/status.hpp"

namespace armctl {
namespace {

double below(double v) { return std::nextafter(v, -INFINITY); }
double above(double v) { return std::nextafter(v, INFINITY); }

const condition& named(std::string_view name) {
  for (const condition& c : conditions)
    if (name == c.name) return c;
  throw std::invalid_argument(std::string(name));
}

// A pose whose compared quantity is `v` (a bend with the shoulder or elbow at 0).
pose with_value(quantity q, double v) {
  pose p{};
  if (q == quantity::tip_height) p.total.y = v;
  if (q == quantity::shoulder_angle) p.shoulder.theta = v;
  if (q == quantity::elbow_bend) p.elbow.theta = v;
  if (q == quantity::wrist_bend) p.wrist.theta = v;
  return p;
}

// Every comparison is strict, and each limit is the documented one: the
// limit itself breaks the condition, the double next to it inside holds.
TEST(Conditions, HoldStrictlyInsideTheirLimits) {
  const std::tuple<const char*, double, double> cases[] = {
      {"tip_height_below", 10, below(10)},           {"tip_height_above", -10, above(-10)},
      {"tip_height_above_far", -10.5, above(-10.5)}, {"shoulder_angle_above", -40, above(-40)},
      {"elbow_bend_below", 50, below(50)},           {"wrist_bend_below", 80, below(80)}};
  for (const auto& [name, limit, inside] : cases) {
    const condition& k = named(name);
    EXPECT_FALSE(holds(k, with_value(k.what, limit))) << name;
    EXPECT_TRUE(holds(k, with_value(k.what, inside))) << name;
  }
}

struct difference_case {
  double a, b, limit;
  bool below;
};

TEST(Conditions, BendsCompareTheUnroundedDifference) {
  const difference_case cases[] = {
      // clang-format off
      // The stored angles after -N 844 then -V 483: their difference is 50
      // less about 1.8e-15 and rounds to 50 (the judgement table holds the move).
      {483 * 0.0324, -844 * 0.0407, 50, true}, {50, 0, 50, false}, {25, -25, 50, false},
      {above(50), 0, 50, false}, {below(50), 0, 50, true},
      // Rounds to the limit from above: exact difference 50 + 2^-60; and from below.
      {50, -0x1p-60, 50, false}, {50, 0x1p-60, 50, true}, {80, 0x1p-1074, 80, true},
      {-10, -90, 80, false}, {0, 0, 80, true}};
  // clang-format on
  for (const difference_case& c : cases)
    EXPECT_EQ(difference_below(c.a, c.b, c.limit), c.below)
        << std::hexfloat << c.a << " - " << c.b << " < " << c.limit;
}

// Counts per full turn: 360 / 0.0407 = 8845.2 for the shoulder.
constexpr std::int64_t shoulder_turn = 8845;

struct way_case {
  const char* name;
  counters start;
  char letter;
  std::int64_t end;
  bool refused_on_the_way;
};

const way_case way_cases[] = {
    // Wrist straight up: a full shoulder turn ends low but passes the top.
    {"full_turn_through_the_top", {0, 0, 2239, 0, 0, 0}, 'H', shoulder_turn, true},
    {"short_raise", {0, 0, 2239, 0, 0, 0}, 'H', 200, false},
    // Tip 12 above the pivot: a condition broken at the start is left to the end.
    {"broken_at_the_start", {0, 0, 2239, 0, 2211, 0}, 'E', 2239 + 2700, false},
    {"wrist_up_through_the_top", {0, 0, -746, 0, 2211, 0}, 'E', 4975, true},
    // Moves that cannot reach a limit end without visiting two billion poses.
    {"huge_wrist_up", {}, 'E', 2000000000, false},
    {"huge_wrist_down", {}, 'W', -2000000000, false},
    {"huge_elbow_down", {}, 'V', -2000000000, false},
    {"shoulder_angle_at_the_ends", {}, 'N', -982, false},
};

TEST(Judgement, ChecksThePosesOnTheWay) {
  for (const way_case& c : way_cases) {
    const command& cmd = *find_command(c.letter);
    const std::optional<breach> b = first_breach(cmd, c.start, c.end);
    EXPECT_EQ(b.has_value(), c.refused_on_the_way) << c.name;
    if (b) {
      EXPECT_TRUE(b->on_the_way) << c.name;
    }
  }
}

const char* verdict_of(const judgement& j) {
  if (j.allowed()) return "allowed";
  switch (j.refusal->kind) {
    case breach_kind::negative_count:
      return "negative_count";
    case breach_kind::range:
      return "range";
    case breach_kind::int32_range:
      return "int32_range";
    case breach_kind::condition:
      break;
  }
  return j.refusal->broken->name;
}

TEST(Judgement, AgreesWithTheIndependentModel) {
  std::ifstream in(ARMCTL_TEST_DATA_DIR "/judgements.txt");
  int rows = 0;
  for (std::string line; std::getline(in, line); ++rows) {
    std::istringstream row(line);
    counters start{}, after{};
    char letter = 0;
    std::int32_t n = 0;
    std::string verdict;
    std::int64_t at = 0;
    int on_the_way = 0;
    double value = 0;
    for (std::int32_t& c : start) row >> c;
    row >> letter >> n >> verdict >> at >> on_the_way >> value;
    const command& c = *find_command(letter);
    const judgement j = judge(start, c, n);
    ASSERT_EQ(verdict_of(j), verdict) << line;
    after = start;
    if (j.allowed()) after[c.counter] = static_cast<std::int32_t>(at);
    EXPECT_EQ(j.after, after) << line;
    if (j.allowed()) continue;
    EXPECT_EQ(j.refusal->at, at) << line;
    EXPECT_EQ(j.refusal->on_the_way, on_the_way != 0) << line;
    EXPECT_EQ(j.refusal->value, value) << line;
  }
  EXPECT_GE(rows, 200);
}

// The manual page's EXIT STATUS section: each tag (".TP", then ".B code")
// with the source lines after it joined by spaces.
std::map<std::string, std::string> manual_exit_statuses() {
  std::ifstream in(ARMCTL_MANUAL_PAGE);
  std::map<std::string, std::string> entries;
  std::string line, tag;
  bool in_section = false, tag_next = false;
  while (std::getline(in, line)) {
    if (line.rfind(".SH", 0) == 0) {
      in_section = line == ".SH EXIT STATUS";
      tag.clear();
    } else if (in_section && line == ".TP") {
      tag_next = true;
    } else if (in_section && tag_next) {
      tag = line.rfind(".B ", 0) == 0 ? line.substr(3) : line;
      tag_next = false;
    } else if (in_section && !tag.empty()) {
      std::string& text = entries[tag];
      text += (text.empty() ? "" : " ") + line;
    }
  }
  return entries;
}

// The page and the front end show the table's meanings; the manual page
// must open each status's entry with the same words.
TEST(Statuses, EachOpensItsManualPageEntryWithItsMeaning) {
  const auto entries = manual_exit_statuses();
  ASSERT_FALSE(entries.empty()) << ARMCTL_MANUAL_PAGE;
  for (const status_meaning& s : statuses) {
    const auto entry = entries.find(std::to_string(s.code));
    ASSERT_NE(entry, entries.end()) << "no entry for status " << s.code;
    EXPECT_EQ(entry->second.substr(0, std::string_view(s.meaning).size()), s.meaning)
        << "status " << s.code;
  }
}

}  // namespace
}  // namespace armctl

namespace armctl {
namespace {

// Plans to targets near the guards, against the independent model's: the
// order chosen, or every order and the place of its refused letter.
TEST(Plan, AgreesWithTheIndependentModel) {
  std::ifstream in(ARMCTL_TEST_DATA_DIR "/plans.txt");
  int rows = 0;
  for (std::string line; std::getline(in, line); ++rows) {
    std::istringstream row(line);
    counters start{}, target{};
    int allowed = 0;
    std::string chosen, refused;
    for (std::int32_t& c : start) row >> c;
    for (std::int32_t& c : target) row >> c;
    row >> allowed >> chosen >> refused;
    const plan p = plan_moves(start, target);
    std::string letters, orders;
    for (const planned_move& m : p.moves) letters += m.letter->letter;
    for (const refused_order& r : p.refusals)
      orders += (orders.empty() ? "" : ",") + r.order + ":" + std::to_string(r.index);
    EXPECT_EQ(p.allowed, allowed != 0) << line;
    EXPECT_EQ(letters.empty() ? "-" : letters, chosen) << line;
    EXPECT_EQ(orders.empty() ? "-" : orders, refused) << line;
  }
  EXPECT_GE(rows, 150);
}

// The solved counters, put through the forward pose, land within the
// tolerance of every target in reach, for both branches, at any wrist
// angle; only the shoulder and elbow counters (and a given wrist) change.
TEST(Reach, SolvedCountersPutTheTipOnTheTarget) {
  const counters start{120, -700, -900, 300, 1100, -150};
  std::size_t targets = 0;
  for (const std::optional<double> wrist : {std::optional<double>{}, std::optional<double>{-30.0}})
    for (double x = -12; x <= 20; x += 1.6)
      for (double y = -16; y <= 16; y += 1.6) {
        const auto found = tip_solutions(start, {x, y}, wrist);
        const counters kept = wrist ? counters{120, 0, -746, 300, 0, -150} : start;
        const segment w = calc(kept).wrist;
        const double from_elbow_end = std::hypot(x - w.x, y - w.y);
        if (from_elbow_end > 14.99 || from_elbow_end < 0.01) continue;
        ++targets;
        ASSERT_EQ(found.size(), 2u) << x << "," << y;
        for (const tip_solution& s : found) {
          const pose p = calc(s.c);
          EXPECT_LE(std::hypot(p.total.x - x, p.total.y - y), tip_tolerance) << x << "," << y;
          for (const std::size_t i : {0, 2, 3, 5}) EXPECT_EQ(s.c[i], kept[i]) << i;
        }
        EXPECT_NE(found[0].c[elbow_joint], found[1].c[elbow_joint]);
      }
  EXPECT_GT(targets, 300u);
}

TEST(Reach, NothingBeyondTheLinks) {
  const counters start{};
  const point out_of_reach[] = {{19.6, 0}, {4.5, 15.01}, {4.5, -15.01}, {-10.6, 0},
                                {30, 30},  {NAN, 0},     {0, INFINITY}};
  for (const point t : out_of_reach)
    EXPECT_TRUE(tip_solutions(start, t).empty()) << t.x << "," << t.y;
  EXPECT_TRUE(tip_solutions(start, {10, 0}, 1e12).empty());
}

}  // namespace
}  // namespace armctl

// The operator's panel in the front end: the progress of a run against the
// replay of its options, the joints' names and words against the pose, the
// settings' joint names, and an import's preview against the store.
#include <gtest/gtest.h>

#include "daemon/http/moves.hpp"
#include "daemon/http/settings.hpp"
#include "daemon/http/transfer.hpp"
#include "daemon/runs/progress.hpp"
#include "daemon/runs/replay.hpp"
#include "model/joint_words.hpp"
#include "model/pose.hpp"
#include "support.hpp"

namespace armctl::front {
namespace {

move_query options_of(const std::string& body) { return std::get<move_query>(parse_body(body)); }

// A cycle of the controller built with a delay of 1000 ns takes 2000 ns.
constexpr std::int64_t delay = 1000, cycle_ns = 2 * delay;

struct progress_case {
  const char* body;
  std::size_t option;
  std::int64_t cycles;  // since the option's report
  counters expected;    // worked out by hand: a step per cycle, a wrist chunk per 22
};
const progress_case progress_cases[] = {
    {R"({"options": ["-G", "500", "-S", "300"]})", 1, 0, {0, 0, 0, 0, 0, 0}},
    {R"({"options": ["-G", "500", "-S", "300"]})", 1, 101, {100, 0, 0, 0, 0, 0}},
    {R"({"options": ["-G", "500", "-S", "300"]})", 1, 90000, {500, 0, 0, 0, 0, 0}},
    {R"({"options": ["-G", "500", "-S", "300"]})", 2, 51, {500, 0, 0, 0, 0, 50}},
    {R"({"options": ["-G", "900", "-X", "10"]})", 1, 500, {0, 0, 0, 0, 0, 0}},  // refused
    {R"({"options": ["-G", "900", "-X", "10"]})", 2, 500, {0, 0, 0, 0, 0, -10}},
    {R"({"options": ["-Q", "-E", "25"]})", 2, 21, {0, 0, 0, 0, 0, 0}},
    {R"({"options": ["-Q", "-E", "25"]})", 2, 22, {0, 0, 10, 0, 0, 0}},
    {R"({"options": ["-Q", "-E", "25"]})", 2, 44, {0, 0, 25, 0, 0, 0}},
};

TEST(Progress, ExpectsTheStepsMadeAtTheStepRateWithinTheOption) {
  for (const progress_case& c : progress_cases) {
    const move_query q = options_of(c.body);
    EXPECT_EQ(progress_at(q, counters{}, c.option, c.cycles * cycle_ns, delay).expected, c.expected)
        << c.body << " option " << c.option << " after " << c.cycles << " cycles";
  }
}

// The replay of the options up to the one running is where it ends, however
// long it has run; the replay of those before it, where it starts.
TEST(Progress, StartsAndEndsWhereTheReplaySays) {
  const counters start{700, -100, 300, 0, -200, 1500};
  const move_query q =
      options_of(R"({"options": ["-G", "300", "-V", "400", "-S", "200", "-W", "37", "-N", "50"]})");
  for (std::size_t k = 1; k <= q.options.size(); ++k) {
    move_query before{{q.options.begin(), q.options.begin() + static_cast<long>(k) - 1}};
    move_query through{{q.options.begin(), q.options.begin() + static_cast<long>(k)}};
    EXPECT_EQ(progress_at(q, start, k, 0, delay).expected, replay_options(before, start).final)
        << k;
    EXPECT_EQ(progress_at(q, start, k, std::int64_t{1} << 40, delay).expected,
              replay_options(through, start).final)
        << k;
  }
}

TEST(Progress, EstimatesTheRunAsTheEstimateDoesAndLeavesNothingAtTheEnd) {
  const move_query q = options_of(R"({"options": ["-H", "200", "-E", "25", "-Q"]})");
  const progress_point first = progress_at(q, counters{}, 1, 0, delay);
  EXPECT_EQ(std::chrono::nanoseconds(first.total_cycles * cycle_ns), motion_time(q, delay));
  const progress_point last = progress_at(q, counters{}, 3, 0, delay);
  EXPECT_EQ(last.total_cycles - last.done_cycles, 1);  // the shoulder's release
  // A refused option does not count its motion.
  const move_query refused = options_of(R"({"options": ["-G", "900"]})");
  EXPECT_EQ(progress_at(refused, counters{}, 1, 0, delay).total_cycles, 2);
}

// "up" is the way the segment's own end rises in the pose; each letter moves
// its counter the way its word says.
TEST(JointWords, MatchThePoseAndTheLetters) {
  for (std::size_t i = 0; i < joint_count; ++i) {
    const joint_words w = words_of(i, default_joint_name(i));
    EXPECT_EQ(judge(counters{}, *find_command(w.plus_letter), 10).after[i], 10) << i;
    EXPECT_EQ(judge(counters{}, *find_command(w.minus_letter), 10).after[i], -10) << i;
    if (joints[i].segment == nullptr) continue;
    const pose raised = calc_with(counters{}, i, 100);
    const double rise = i == shoulder_joint ? raised.shoulder.y
                        : i == elbow_joint  ? raised.elbow.y
                                            : raised.wrist.y;
    EXPECT_EQ(w.plus, w.name + (rise > 0 ? " up" : " down")) << i;
    EXPECT_EQ(w.name, joints[i].segment);
  }
}

struct names_case {
  const char* line;
  std::array<std::string, joint_count> names;  // empty: the default
  bool ignored;
};
TEST(Settings, NameOnlyTheJointsOutsideThePose) {
  const names_case cases[] = {
      {"joint_names = 0:base, 3:grip, 5:turntable",
       {"base", "", "", "grip", "", "turntable"},
       false},
      {"joint_names = 5 : turn table", {"", "", "", "", "", "turn table"}, false},
      {"joint_names = 1:upper arm", {}, true},  // a segment of the pose
      {"joint_names = 0:a, 0:b", {}, true},
      {"joint_names = 6:a", {}, true},
      {"joint_names = 0:", {}, true},
      {"joint_names = 0:base,", {}, true},
      {"joint_names = 0:grip/claw", {}, true},
  };
  testing::scratch_dir tmp;
  const std::string path = tmp.file("armctl-cgi.conf");
  for (const names_case& c : cases) {
    testing::write_file(path, std::string(c.line) + "\n");
    EXPECT_EQ(load_settings(path.c_str()).joint_names, c.names) << c.line;
    EXPECT_EQ(ignored_settings(path.c_str()).size(), c.ignored ? 1u : 0u) << c.line;
  }
}

import_query import_of(const std::string& body) {
  const query q = parse_body(body);
  EXPECT_TRUE(std::holds_alternative<import_query>(q)) << body;
  return std::holds_alternative<import_query>(q) ? std::get<import_query>(q) : import_query{};
}

std::string import_body(const std::string& poses, const std::string& sequences) {
  return R"({"import": {"format": "armctl-taught", "version": 1, "poses": [)" + poses +
         R"(], "sequences": [)" + sequences + "]}}";
}

taught sample_store() {
  taught t;
  t.poses["a"] = {1, 2, 3, 4, 5, 6};
  t.poses["b"] = {0, 0, 0, 0, 9, 0};
  t.sequences["s"] = sequence{"s", {{"a", 100}, {"home", 0}}, 2};
  return t;
}

struct preview_case {
  const char* name;
  std::string poses, sequences;
  edit_outcome outcome;
  std::vector<std::string> adds, replaces, unchanged;  // poses, then sequences, by name
};
TEST(Import, PreviewsWhatItAddsAndReplacesUnderTheRulesOfSaving) {
  const preview_case cases[] = {
      {"adds_replaces_keeps",
       R"({"name": "a", "counters": [1, 2, 3, 4, 5, 6]}, {"name": "b", "counters": [0, 0, 0, 0, 8, 0]},
          {"name": "c", "counters": [0, 0, 0, 0, 0, 0]})",
       R"({"name": "t", "steps": [{"pose": "c", "pause_ms": 0}], "repeat": 1})",
       edit_outcome::done,
       {"c", "t"},
       {"b"},
       {"a"}},
      {"a_changed_sequence",
       "",
       R"({"name": "s", "steps": [{"pose": "a", "pause_ms": 100}], "repeat": 2})",
       edit_outcome::done,
       {},
       {"s"},
       {}},
      {"home",
       R"({"name": "home", "counters": [0, 0, 0, 0, 0, 1]})",
       "",
       edit_outcome::builtin,
       {"home"},
       {},
       {}},
      {"untaught_pose",
       "",
       R"({"name": "t", "steps": [{"pose": "zz", "pause_ms": 0}], "repeat": 1})",
       edit_outcome::unknown_poses,
       {"t"},
       {},
       {}},
  };
  for (const preview_case& c : cases) {
    const import_preview p =
        preview_import(sample_store(), import_of(import_body(c.poses, c.sequences)));
    EXPECT_EQ(p.outcome, c.outcome) << c.name;
    std::vector<std::string> adds = p.pose_adds, replaces = p.pose_replaces,
                             unchanged = p.pose_unchanged;
    adds.insert(adds.end(), p.sequence_adds.begin(), p.sequence_adds.end());
    replaces.insert(replaces.end(), p.sequence_replaces.begin(), p.sequence_replaces.end());
    unchanged.insert(unchanged.end(), p.sequence_unchanged.begin(), p.sequence_unchanged.end());
    EXPECT_EQ(adds, c.adds) << c.name;
    EXPECT_EQ(replaces, c.replaces) << c.name;
    EXPECT_EQ(unchanged, c.unchanged) << c.name;
  }
}

TEST(Import, RefusesWhatSavingWouldAndTakesBackItsOwnExport) {
  std::string many;
  for (std::size_t i = 0; i <= max_poses; ++i)
    many += (i ? "," : "") + std::string(R"({"name": "p)") + std::to_string(i) +
            R"(", "counters": [0, 0, 0, 0, 0, 0]})";
  EXPECT_EQ(preview_import(taught{}, import_of(import_body(many, ""))).outcome, edit_outcome::full);
  for (
      const std::string& bad :
      {import_body(
           R"({"name": "a", "counters": [0,0,0,0,0,0]}, {"name": "a", "counters": [0,0,0,0,0,1]})",
           ""),
       import_body(R"({"name": "a", "counters": [0,0,0,0,0,0], "x": 1})", ""),
       import_body(R"({"name": "a/b", "counters": [0,0,0,0,0,0]})", ""),
       std::string(
           R"({"import": {"format": "other", "version": 1, "poses": [], "sequences": []}})"),
       std::string(
           R"({"import": {"format": "armctl-taught", "version": 1, "poses": [], "sequences": []}, "x": 1})"),
       std::string(R"({"import": {}, "apply": 1})")}) {
    const query q = parse_body(bad);
    ASSERT_TRUE(std::holds_alternative<refusal>(q)) << bad;
    EXPECT_EQ(std::get<refusal>(q).http_status, 400) << bad;
  }
  const taught store = sample_store();
  json exported = export_json(store);
  const import_preview p =
      preview_import(taught{}, import_of(json{{"import", exported}, {"apply", true}}.dump()));
  EXPECT_EQ(p.outcome, edit_outcome::done);
  EXPECT_EQ(p.merged.poses, store.poses);
  EXPECT_EQ(export_json(p.merged), exported);
}

}  // namespace
}  // namespace armctl::front

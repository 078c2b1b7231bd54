// Interval statistics and the cutting of a log into runs, on synthetic
// timestamps whose figures are worked out by hand.
#include "tools/trace_timing.hpp"

#include <gtest/gtest.h>

#include <initializer_list>

namespace armctl::trace {
namespace {

constexpr long long delay = 1000000;  // 1 ms

// Writes spaced by the given intervals, starting at an arbitrary clock value.
std::vector<write_record> spaced(const std::vector<long long>& intervals) {
  std::vector<write_record> w{{5000000000LL, 0x34}};
  for (const long long i : intervals) w.push_back({w.back().ns + i, 0x35});
  return w;
}

TEST(Percentile, NearestRank) {
  std::vector<double> v{10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(percentile(v, 50), 5);
  EXPECT_EQ(percentile(v, 99), 10);
  EXPECT_EQ(percentile(v, 10), 1);
  EXPECT_EQ(percentile(v, 11), 2);
  EXPECT_EQ(percentile(v, 100), 10);
  std::vector<double> one{7};
  EXPECT_EQ(percentile(one, 50), 7);
  std::vector<double> none;
  EXPECT_EQ(percentile(none, 50), 0);
}

TEST(TimeWrites, ExactScheduleHasNoError) {
  const auto w = spaced(std::vector<long long>(99, delay));
  const timing t = time_writes(w, delay);
  EXPECT_EQ(t.writes, 100u);
  EXPECT_EQ(t.p50_us, 0);
  EXPECT_EQ(t.p99_us, 0);
  EXPECT_EQ(t.max_us, 0);
  EXPECT_EQ(t.shortest, 1);
  EXPECT_EQ(t.drift_ppm, 0);
}

// 100 intervals: 97 exact, one 0.5 us long, one 0.6 us short, one 2 us long.
// Sorted errors: 97 zeros, 0.5, 0.6, 2; p50 is the 50th, p99 the 99th.
TEST(TimeWrites, FewOutliers) {
  std::vector<long long> iv(97, 1000);
  iv.insert(iv.begin() + 10, 1500);
  iv.insert(iv.begin() + 50, 400);
  iv.push_back(3000);
  const timing t = time_writes(spaced(iv), 1000);
  EXPECT_EQ(t.writes, 101u);
  EXPECT_DOUBLE_EQ(t.p50_us, 0);
  EXPECT_DOUBLE_EQ(t.p99_us, 0.6);
  EXPECT_DOUBLE_EQ(t.max_us, 2);
  EXPECT_DOUBLE_EQ(t.shortest, 0.4);
  // 101900 ns against 100000 ns nominal.
  EXPECT_NEAR(t.drift_ppm, 19000, 1e-6);
}

// A relative sleep that is 100 us late every time: the error adds up to 10%.
TEST(TimeWrites, ConstantLatenessDrifts) {
  const timing t = time_writes(spaced(std::vector<long long>(4000, delay + 100000)), delay);
  EXPECT_DOUBLE_EQ(t.p50_us, 100);
  EXPECT_DOUBLE_EQ(t.p99_us, 100);
  EXPECT_DOUBLE_EQ(t.max_us, 100);
  EXPECT_DOUBLE_EQ(t.shortest, 1.1);
  EXPECT_NEAR(t.drift_ppm, 100000, 1e-6);
}

// A late write made up by the next one: errors on both sides, no drift.
TEST(TimeWrites, CaughtUpLatenessDoesNotDrift) {
  const timing t = time_writes(spaced({delay, delay + 300000, delay - 300000, delay}), delay);
  EXPECT_DOUBLE_EQ(t.p50_us, 0);  // errors 0, 0, 300, 300
  EXPECT_DOUBLE_EQ(t.p99_us, 300);
  EXPECT_DOUBLE_EQ(t.max_us, 300);
  EXPECT_DOUBLE_EQ(t.shortest, 0.7);
  EXPECT_NEAR(t.drift_ppm, 0, 1e-9);
}

TEST(TimeWrites, TooFewWritesOrNoDelayGiveZeros) {
  for (const auto& [w, d] : {std::pair{spaced({}), delay}, std::pair{spaced({delay}), 0LL}}) {
    const timing t = time_writes(w, d);
    EXPECT_EQ(t.writes, w.size());
    EXPECT_EQ(t.p99_us, 0);
    EXPECT_EQ(t.shortest, 0);
    EXPECT_EQ(t.drift_ppm, 0);
  }
}

// Appends `bytes` one delay apart (the first `gap` after the last write).
void append(std::vector<write_record>& w, long long gap, std::initializer_list<int> bytes) {
  long long at = w.empty() ? 0 : w.back().ns;
  bool first = true;
  for (const int b : bytes) {
    at += first ? gap : delay;
    first = false;
    w.push_back({at, static_cast<std::uint8_t>(b)});
  }
}

std::vector<std::size_t> run_sizes(const std::vector<write_record>& w, long long d) {
  std::vector<std::size_t> sizes;
  for (const auto& run : split_runs(w, d)) sizes.push_back(run.size());
  return sizes;
}

TEST(SplitRuns, QueuedRunsAreCutAtTheShoulderSeam) {
  std::vector<write_record> w;
  // -G 2 -H 1, then a run without options, then -G 2.
  append(w, 0, {0x34, 0x35, 0xA2, 0xA3, 0x2A, 0x2B, 0xEE, 0xEF});
  append(w, delay, {0x34, 0x35, 0xB0, 0xB1, 0xFC, 0xFD, 0xFC, 0xFD});
  append(w, 3 * delay, {0xFC, 0xFD});
  append(w, 1600000, {0x34, 0x35, 0xA2, 0xA3, 0x2A, 0x2B, 0xEE, 0xEF, 0xFC, 0xFD});
  EXPECT_EQ(run_sizes(w, delay), (std::vector<std::size_t>{16, 2, 10}));
}

TEST(SplitRuns, StallsInsideARunDoNotCutIt) {
  std::vector<write_record> w;
  append(w, 0, {0x34, 0x35, 0xB0, 0xB1});
  append(w, 9 * delay, {0x38, 0x39, 0xFC, 0xFD});  // stalled mid-move
  append(w, 1400000, {0x34, 0x35, 0xFC, 0xFD});    // next option, a little late
  EXPECT_EQ(run_sizes(w, delay), (std::vector<std::size_t>{12}));
}

TEST(SplitRuns, WithoutDelayTheLogIsOneRun) {
  std::vector<write_record> w;
  append(w, 0, {0x34, 0x35, 0xFC, 0xFD});
  append(w, 5 * delay, {0xFC, 0xFD});
  EXPECT_EQ(run_sizes(w, 0), (std::vector<std::size_t>{6}));
  EXPECT_TRUE(split_runs({}, delay).empty());
}

}  // namespace
}  // namespace armctl::trace

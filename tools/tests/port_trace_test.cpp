// The port-log decoder against the byte sequences worked out by hand for the
// arm's moves, and against logs that break the write cycle.
#include "tools/port_trace.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace armctl::trace {
namespace {

// Each pattern as a full write cycle: the byte, then the byte with the strobe.
std::vector<write_record> cycles_of(std::initializer_list<int> patterns) {
  std::vector<write_record> out;
  long long ns = 1000;
  for (const int p : patterns) {
    out.push_back({ns += 1000, static_cast<std::uint8_t>(p)});
    out.push_back({ns += 1000, static_cast<std::uint8_t>(p | 1)});
  }
  return out;
}

std::vector<write_record> writes_of(std::initializer_list<int> bytes) {
  std::vector<write_record> out;
  long long ns = 0;
  for (const int b : bytes) out.push_back({ns += 1000, static_cast<std::uint8_t>(b)});
  return out;
}

void expect_motor(const decoded& d, int m, long fwd, long bwd, long rel, long holds, int last) {
  SCOPED_TRACE("motor " + std::to_string(m));
  const motor_summary& s = d.motors[static_cast<std::size_t>(m)];
  EXPECT_EQ(s.forward, fwd);
  EXPECT_EQ(s.backward, bwd);
  EXPECT_EQ(s.releases, rel);
  EXPECT_EQ(s.holds, holds);
  EXPECT_EQ(s.last_pattern, last);
}

void expect_untouched_except(const decoded& d, std::initializer_list<int> used) {
  for (int m = 0; m < 8; ++m) {
    bool is_used = false;
    for (const int u : used) is_used = is_used || u == m;
    if (!is_used) expect_motor(d, m, 0, 0, 0, 0, -1);
  }
}

TEST(Decode, TwoForwardStepsOfMotor5ThenRelease) {
  const decoded d = decode(writes_of({0xA2, 0xA3, 0x2A, 0x2B, 0xEE, 0xEF}));
  EXPECT_TRUE(d.faults.empty());
  EXPECT_EQ(d.writes, 6u);
  EXPECT_EQ(d.cycles, 3u);
  expect_motor(d, 5, 2, 0, 1, 0, 0xEE);
  expect_untouched_except(d, {5});
}

TEST(Decode, OneBackwardStepOfMotor5) {
  const decoded d = decode(writes_of({0x62, 0x63, 0xEE, 0xEF}));
  EXPECT_TRUE(d.faults.empty());
  expect_motor(d, 5, 0, 1, 1, 0, 0xEE);
}

TEST(Decode, FourBackwardStepsOfMotor2) {
  const decoded d = decode(writes_of({0x50, 0x51, 0x18, 0x19, 0x90, 0x91, 0x14, 0x15, 0xDC, 0xDD}));
  EXPECT_TRUE(d.faults.empty());
  EXPECT_EQ(d.cycles, 5u);
  expect_motor(d, 2, 0, 4, 1, 0, 0xDC);
  expect_untouched_except(d, {2});
}

TEST(Decode, WristChunkTurnsMotor1BackAndMotor3Forward) {
  const decoded d =
      decode(cycles_of({0x42, 0x0A, 0x82, 0x06, 0x42, 0x0A, 0x82, 0x06, 0x42, 0x0A,
                        0xCE,  //
                        0x92, 0x1A, 0x52, 0x16, 0x92, 0x1A, 0x52, 0x16, 0x92, 0x1A, 0xDE}));
  EXPECT_TRUE(d.faults.empty());
  EXPECT_EQ(d.writes, 44u);
  EXPECT_EQ(d.cycles, 22u);
  expect_motor(d, 1, 0, 10, 1, 0, 0xCE);
  expect_motor(d, 3, 10, 0, 1, 0, 0xDE);
  expect_untouched_except(d, {1, 3});
}

// -G 2 from counter 0: shoulder hold, two steps of motor 5, its release, and
// the shoulder's release after the option loop.
TEST(Decode, WholeRunOfTwoGSteps) {
  const decoded d = decode(writes_of({0x34, 0x35, 0xA2, 0xA3, 0x2A, 0x2B, 0xEE, 0xEF, 0xFC, 0xFD}));
  EXPECT_TRUE(d.faults.empty());
  EXPECT_EQ(d.writes, 10u);
  EXPECT_EQ(d.cycles, 5u);
  expect_motor(d, 6, 0, 0, 1, 1, 0xFC);
  expect_motor(d, 5, 2, 0, 1, 0, 0xEE);
  expect_untouched_except(d, {5, 6});
}

// The shoulder's own move: after the hold, phase 0 (0x34) comes back as the
// fourth forward step, not as a hold.
TEST(Decode, ShoulderMoveCountsPhaseZeroAsAStep) {
  std::vector<write_record> w = cycles_of({0x34});
  for (int i = 0; i < 50; ++i)
    for (const int p : {0xB0, 0x38, 0x70, 0x34}) {
      w.push_back({0, static_cast<std::uint8_t>(p)});
      w.push_back({0, static_cast<std::uint8_t>(p | 1)});
    }
  for (const int p : {0xFC, 0xFC}) {
    w.push_back({0, static_cast<std::uint8_t>(p)});
    w.push_back({0, static_cast<std::uint8_t>(p | 1)});
  }
  const decoded d = decode(w);
  EXPECT_TRUE(d.faults.empty());
  EXPECT_EQ(d.cycles, 203u);
  expect_motor(d, 6, 200, 0, 2, 1, 0xFC);
}

// A new move after a release starts from phase 0 again.
TEST(Decode, ReleaseResetsThePhase) {
  const decoded d = decode(cycles_of({0xA2, 0x2A, 0xEE, 0xA2, 0xEE, 0x62, 0xEE}));
  EXPECT_TRUE(d.faults.empty());
  expect_motor(d, 5, 3, 1, 3, 0, 0xEE);
}

TEST(Decode, EmptyLogHasNothing) {
  const decoded d = decode({});
  EXPECT_TRUE(d.faults.empty());
  EXPECT_EQ(d.writes, 0u);
  EXPECT_EQ(d.cycles, 0u);
  expect_untouched_except(d, {});
}

struct fault_case {
  const char* name;
  std::vector<int> bytes;
  std::size_t cycles;
  const char* fault;  // the one fault expected, as its text starts
};
void PrintTo(const fault_case& c, std::ostream* os) { *os << c.name; }

class DecodeFault : public testing::TestWithParam<fault_case> {};

TEST_P(DecodeFault, ReportsExactlyOneFault) {
  const fault_case& c = GetParam();
  std::vector<write_record> w;
  for (const int b : c.bytes) w.push_back({0, static_cast<std::uint8_t>(b)});
  const decoded d = decode(w);
  ASSERT_EQ(d.faults.size(), 1u) << (d.faults.empty() ? "" : d.faults[0]);
  EXPECT_EQ(d.faults[0].rfind(c.fault, 0), 0u) << d.faults[0];
  EXPECT_EQ(d.cycles, c.cycles);
}

INSTANTIATE_TEST_SUITE_P(
    BrokenCycles, DecodeFault,
    testing::Values(
        fault_case{
            "StrobeMissingOnSecondWrite", {0xA2, 0xA2, 0xA3}, 1, "write 2 (0xa2): strobe not set"},
        fault_case{"StrobeSetOnFirstWrite",
                   {0xA3, 0xA2, 0xA3},
                   1,
                   "write 1 (0xa3): strobe set on the first"},
        fault_case{"OtherBitsDiffer",
                   {0xA2, 0xA3, 0x2A, 0xEF},
                   2,
                   "write 4 (0xef): differs from the first write"},
        fault_case{"PhaseJumpsByTwo",
                   {0x2A, 0x2B},
                   1,
                   "write 2 (0x2a): illegal phase jump on motor 5 from phase 0 to 2"},
        fault_case{"Motor0Addressed", {0x04, 0x05}, 1, "write 2 (0x04): motor 0 addressed"},
        fault_case{"Motor7Addressed", {0x36, 0x37}, 1, "write 2 (0x36): motor 7 addressed"},
        fault_case{"TwoPhaseLines", {0x86, 0x87}, 1, "write 2 (0x86): 2 phase lines on motor 1"},
        fault_case{"NoPhaseLine", {0x22, 0x23}, 1, "write 2 (0x22): 0 phase lines on motor 5"},
        fault_case{"LastCycleCutShort",
                   {0xA2, 0xA3, 0x2A},
                   1,
                   "write 3 (0x2a): cycle left without its strobe write"}),
    [](const testing::TestParamInfo<fault_case>& p) { return p.param.name; });

TEST(ParseLog, ReadsLinesWithAndWithoutFinalNewline) {
  std::vector<write_record> w;
  ASSERT_TRUE(parse_log("123 0xa2\n4560000000123 0xA3\n7 0x00", w));
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0].ns, 123);
  EXPECT_EQ(w[0].byte, 0xA2);
  EXPECT_EQ(w[1].ns, 4560000000123LL);
  EXPECT_EQ(w[1].byte, 0xA3);
  EXPECT_EQ(w[2].ns, 7);
  EXPECT_EQ(w[2].byte, 0x00);
}

TEST(ParseLog, EmptyTextIsAnEmptyLog) {
  std::vector<write_record> w;
  EXPECT_TRUE(parse_log("", w));
  EXPECT_TRUE(w.empty());
}

class ParseLogBadLine : public testing::TestWithParam<const char*> {};

TEST_P(ParseLogBadLine, StopsAtTheSecondLine) {
  std::vector<write_record> w;
  std::size_t bad = 0;
  const std::string text = std::string("10 0x34\n") + GetParam() + "\n30 0x35\n";
  EXPECT_FALSE(parse_log(text, w, &bad));
  EXPECT_EQ(bad, 2u);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].byte, 0x34);
}

INSTANTIATE_TEST_SUITE_P(Malformed, ParseLogBadLine,
                         testing::Values("", "20", "20 0x3", "20 0x345", "20 34", "20 0xg4",
                                         "x 0x34", "-20 0x34", "+20 0x34", "20  0x34", "20 0x34 ",
                                         "20 0x34\r", "20\t0x34", "99999999999999999999 0x34"));

}  // namespace
}  // namespace armctl::trace

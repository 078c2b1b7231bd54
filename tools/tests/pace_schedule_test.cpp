// The step schedule's arithmetic, with the clock readings given by hand: a
// late step is made up gently, the schedule never drifts while it can be
// kept, and a long stall starts it afresh.
#include "motor/pacer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace armctl {
namespace {

constexpr std::int64_t span = 1200;      // divisible by 12
constexpr std::int64_t shortest = 1100;  // a twelfth less
constexpr std::int64_t start = 1000000;

TEST(PaceSchedule, FirstDelayStartsFromNow) {
  pace_schedule s;
  EXPECT_EQ(s.next(start, span), start + span);
}

TEST(PaceSchedule, OnTimeCallerGetsWholeSpans) {
  pace_schedule s;
  std::int64_t now = start;
  for (int i = 1; i <= 100; ++i) {
    now = s.next(now, span);
    ASSERT_EQ(now, start + i * span);
  }
}

// Late by 250: the next delays are 1100, 1100, 1150 long, then the schedule
// is back to whole spans from the start.
TEST(PaceSchedule, LateWriteIsMadeUpATwelfthAtATime) {
  pace_schedule s;
  std::int64_t now = s.next(start, span) + 250;
  const std::vector<std::int64_t> expected{shortest, shortest, 1150, span, span};
  for (const std::int64_t length : expected) {
    const std::int64_t deadline = s.next(now, span);
    EXPECT_EQ(deadline - now, length);
    now = deadline;
  }
  EXPECT_EQ(now, start + 6 * span);
}

// A pause between two moves is not made up: after a restart the first delay
// is a whole span from now, however far behind the old schedule is.
TEST(PaceSchedule, EachMoveStartsOnAFreshSchedule) {
  for (const std::int64_t pause : {std::int64_t{250}, 3 * span, 50 * span}) {
    pace_schedule s;
    const std::int64_t end_of_move = s.next(start, span);
    s.restart();
    const std::int64_t now = end_of_move + pause;
    EXPECT_EQ(s.next(now, span), now + span) << "pause " << pause;
    EXPECT_EQ(s.next(now + span, span), now + 2 * span) << "pause " << pause;
  }
}

// A short lateness is made up within the one delay.
TEST(PaceSchedule, SmallLatenessIsMadeUpAtOnce) {
  pace_schedule s;
  const std::int64_t now = s.next(start, span) + 60;
  EXPECT_EQ(s.next(now, span), start + 2 * span);
}

// A late step every seventh delay, never so late in all that the schedule
// restarts: no delay shorter than eleven twelfths of a span, and once the
// caller is on time again the original schedule returns.
class PaceScheduleLateness : public testing::TestWithParam<std::int64_t> {};

TEST_P(PaceScheduleLateness, NeverShortAndNoDrift) {
  pace_schedule s;
  std::int64_t now = s.next(start, span);
  for (int i = 0; i < 50; ++i) {
    now += (i % 7 == 3) ? GetParam() : 0;
    const std::int64_t deadline = s.next(now, span);
    ASSERT_GE(deadline - now, shortest);
    now = deadline;
  }
  for (int i = 0; i < 2000; ++i) now = s.next(now, span);
  EXPECT_EQ((now - start) % span, 0);
}

INSTANTIATE_TEST_SUITE_P(Lateness, PaceScheduleLateness,
                         testing::Values(1, 99, 100, 101, 600, 1199, 1300));

TEST(PaceSchedule, TenSpansBehindIsStillMadeUp) {
  pace_schedule s;
  const std::int64_t now = s.next(start, span) + 10 * span;
  EXPECT_EQ(s.next(now, span), now + shortest);
}

TEST(PaceSchedule, LongStallStartsAfresh) {
  pace_schedule s;
  const std::int64_t resumed = s.next(start, span) + 10 * span + 1;
  std::int64_t now = s.next(resumed, span);
  EXPECT_EQ(now, resumed + span);
  for (int i = 2; i <= 5; ++i) {
    now = s.next(now, span);
    EXPECT_EQ(now, resumed + i * span);
  }
}

}  // namespace
}  // namespace armctl

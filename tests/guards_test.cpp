// Geometry guard conditions at their limits, the exact bend, and the poses
// passed on the way.
#include <gtest/gtest.h>

#include <cmath>

#include "driver/guards.hpp"

namespace armctl {
namespace {

pose with_tip_height(double y) {
  pose p{};
  p.total.y = y;
  return p;
}

pose with_angles(double shoulder_deg, double elbow_deg, double wrist_deg) {
  pose p{};
  p.shoulder.theta = shoulder_deg;
  p.elbow.theta = elbow_deg;
  p.wrist.theta = wrist_deg;
  return p;
}

double below(double v) { return std::nextafter(v, -INFINITY); }
double above(double v) { return std::nextafter(v, INFINITY); }

TEST(Conditions, HeightLimitsAreStrict) {
  EXPECT_FALSE(tip_below_10(with_tip_height(10)));
  EXPECT_TRUE(tip_below_10(with_tip_height(below(10))));
  EXPECT_FALSE(tip_above_minus_10(with_tip_height(-10)));
  EXPECT_TRUE(tip_above_minus_10(with_tip_height(above(-10))));
  EXPECT_FALSE(tip_above_minus_10_5(with_tip_height(-10.5)));
  EXPECT_TRUE(tip_above_minus_10_5(with_tip_height(above(-10.5))));
  EXPECT_TRUE(tip_above_minus_10_5(with_tip_height(-10.25)));
  EXPECT_FALSE(tip_above_minus_10(with_tip_height(-10.25)));
}

TEST(Conditions, ShoulderAngleLimitIsStrict) {
  EXPECT_FALSE(shoulder_above_minus_40(with_angles(-40, 0, 0)));
  EXPECT_TRUE(shoulder_above_minus_40(with_angles(above(-40), 0, 0)));
}

struct difference_case {
  double a, b, limit;
  bool below;
};
void PrintTo(const difference_case& c, std::ostream* os) {
  *os << c.a << " - " << c.b << " < " << c.limit;
}

class ExactDifference : public ::testing::TestWithParam<difference_case> {};

TEST_P(ExactDifference, ComparesTheUnroundedDifference) {
  const difference_case& c = GetParam();
  EXPECT_EQ(difference_below(c.a, c.b, c.limit), c.below)
      << std::hexfloat << c.a << " - " << c.b << " < " << c.limit;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExactDifference,
    ::testing::Values(
        // The stored angles after -N 844 then -V 483: their difference is 50
        // less about 1.8e-15 and rounds to 50.
        difference_case{483 * 0.0324, -844 * 0.0407, 50, true}, difference_case{50, 0, 50, false},
        difference_case{25, -25, 50, false}, difference_case{above(50), 0, 50, false},
        difference_case{below(50), 0, 50, true},
        // Rounds to the limit from above: exact difference 50 + 2^-60.
        difference_case{50, -0x1p-60, 50, false},
        // Rounds to the limit from below.
        difference_case{50, 0x1p-60, 50, true}, difference_case{80, 0x1p-1074, 80, true},
        difference_case{-10, -90, 80, false}, difference_case{0, 0, 80, true}));

TEST(Conditions, TheBendJustBelowFiftyAllowsTheMove) {
  const double shoulder_deg = -844 * 0.0407;
  const double elbow_deg = 483 * 0.0324;
  ASSERT_EQ(elbow_deg - shoulder_deg, 50.0);  // a rounded subtraction would refuse
  EXPECT_TRUE(elbow_bend_below_50(with_angles(shoulder_deg, elbow_deg, 0)));
  EXPECT_FALSE(elbow_bend_below_50(with_angles(-10, 40, 0)));
  EXPECT_FALSE(wrist_bend_below_80(with_angles(0, -30, 50)));
  EXPECT_TRUE(wrist_bend_below_80(with_angles(0, -30, below(50))));
}

TEST(Allows, EveryConditionMustHold) {
  const geometry_guard guard{height_below_10, elbow_bend_under_50, {}};
  pose p = with_angles(0, 10, 0);
  p.total.y = 5;
  EXPECT_TRUE(allows(guard, p));
  p.total.y = 10;
  EXPECT_FALSE(allows(guard, p));
  p.total.y = 5;
  p.elbow.theta = 60;
  EXPECT_FALSE(allows(guard, p));
  EXPECT_TRUE(allows(geometry_guard{}, p));
}

constexpr std::size_t shoulder_counter = 4;
constexpr std::size_t wrist_counter = 2;
// Counts per full turn: 360 / 0.0407 = 8845.2 for the shoulder.
constexpr std::int64_t shoulder_turn = 8845;

TEST(PathAllows, AFullTurnThroughTheForbiddenRegionIsRefused) {
  const geometry_guard height{height_below_10};
  counters start{};
  start[2] = 2239;  // wrist straight up: the tip is 4.5 above the pivot
  // One full turn ends about where it began, well below the limit ...
  ASSERT_LT(pose_at(shoulder_turn, 0, 2239).total.y, 10);
  // ... but the tip rises above 10 on the way.
  EXPECT_FALSE(path_allows(height, start, shoulder_counter, shoulder_turn));
  // A short raise stays below the limit all the way.
  EXPECT_TRUE(path_allows(height, start, shoulder_counter, 200));
  EXPECT_TRUE(path_allows(height, start, shoulder_counter, 0));
}

TEST(PathAllows, ConditionsBrokenAtTheStartAreLeftToTheEndPose) {
  const geometry_guard height{height_below_10};
  // Shoulder straight up, wrist straight up: the tip is 12 above the pivot.
  counters start{};
  start[4] = 2211;  // 89.99 degrees
  start[2] = 2239;  // 90.0 degrees
  ASSERT_GE(pose_at(start[4], start[1], start[2]).total.y, 10);
  // Turning the wrist on down passes nothing that held at the start.
  EXPECT_TRUE(path_allows(height, start, wrist_counter, 2239 + 2700));
  // From a low wrist, turning it up through the top breaks the limit on the way.
  start[2] = -746;  // -30 degrees: the tip is 5.25 above the pivot
  ASSERT_LT(pose_at(start[4], start[1], start[2]).total.y, 10);
  ASSERT_LT(pose_at(start[4], start[1], 4975).total.y, 10);  // 200 degrees
  EXPECT_FALSE(path_allows(height, start, wrist_counter, 4975));
}

TEST(PathAllows, ChecksEveryUnitOnTheWay) {
  // With the wrist raised 33.8 degrees the tip tops 10 by 0.0016, for a few
  // dozen counts around the top of the shoulder's arc: no count may be skipped.
  const geometry_guard height{height_below_10};
  counters start{};
  start[2] = 840;
  std::int64_t above_count = 0;
  for (std::int64_t k = 0; k <= 4500; ++k)
    if (!tip_below_10(pose_at(k, start[1], start[2]))) ++above_count;
  ASSERT_GT(above_count, 0);
  ASSERT_LT(above_count, 100);
  EXPECT_FALSE(path_allows(height, start, shoulder_counter, 4500));
}

TEST(PathAllows, AHugeCountThatCannotReachALimitNeedsNoSweep) {
  // The wrist alone cannot lift the tip to 10 with the shoulder and elbow
  // level, nor can anything bring the elbow bend past 50 on the way to an
  // end where it holds: these finish without visiting two billion poses.
  EXPECT_TRUE(path_allows({height_below_10}, counters{}, wrist_counter, 2000000000));
  EXPECT_TRUE(path_allows({height_above_minus_10_5}, counters{}, wrist_counter, -2000000000));
  EXPECT_TRUE(path_allows({height_below_10, elbow_bend_under_50}, counters{}, 1, -2000000000));
}

TEST(PathAllows, AnglesAreJudgedAtTheEnds) {
  // The shoulder angle only falls as N lowers it: holding at the start and
  // at the end means holding on the way.
  counters start{};
  EXPECT_TRUE(path_allows({shoulder_angle_above_minus_40}, start, shoulder_counter, -982));
}

}  // namespace
}  // namespace armctl

// Port byte sequences of the write cycle, the shoulder and the stepping routines.
#include <gtest/gtest.h>

#include "driver/signals.hpp"
#include "motor/bus.hpp"
#include "motor/stepping.hpp"
#include "support.hpp"

namespace armctl {
namespace {

using bytes = std::vector<std::uint8_t>;
using testing::cycles;

class Bus : public ::testing::Test {
 protected:
  testing::recording_port port;
  volatile std::sig_atomic_t stop = 0;
  bus b{port, 0, &stop};
};

TEST(Tables, MotorAddressesSpreadTheNumberToBitsOneFourAndFive) {
  for (unsigned m = 0; m < 8; ++m) {
    const unsigned expected = ((m & 1) << 1) | ((m & 2) << 3) | ((m & 4) << 3);
    EXPECT_EQ(motor[m], expected) << "motor " << m;
  }
  EXPECT_EQ(step, (std::array<std::uint8_t, 4>{0x04, 0x80, 0x08, 0x40}));
  EXPECT_EQ(shoulder_hold, 0x34);
  EXPECT_EQ(release_pattern(6), 0xFC);
}

TEST_F(Bus, ShoulderHoldAndRelease) {
  lock_shoulder(b);
  EXPECT_EQ(port.bytes, (bytes{0x34, 0x35}));
  port.bytes.clear();
  unlock_shoulder(b);
  EXPECT_EQ(port.bytes, (bytes{0xFC, 0xFD}));
}

struct move_case {
  const char* name;
  int motor_number;
  int direction;
  std::int32_t steps;
  bytes expected;
};
void PrintTo(const move_case& c, std::ostream* os) { *os << c.name; }

class Move : public Bus, public ::testing::WithParamInterface<move_case> {};

TEST_P(Move, WritesEachStepAndTheRelease) {
  const move_case& c = GetParam();
  const std::int32_t made = move(b, c.motor_number, c.direction, c.steps);
  EXPECT_EQ(port.bytes, c.expected);
  EXPECT_EQ(made, std::max(c.steps, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Move,
    ::testing::Values(move_case{"motor5_forward_2", 5, +1, 2, {0xA2, 0xA3, 0x2A, 0x2B, 0xEE, 0xEF}},
                      move_case{"motor5_backward_1", 5, -1, 1, {0x62, 0x63, 0xEE, 0xEF}},
                      move_case{"motor2_backward_4",
                                2,
                                -1,
                                4,
                                {0x50, 0x51, 0x18, 0x19, 0x90, 0x91, 0x14, 0x15, 0xDC, 0xDD}},
                      // phases 1, 2, 3, 0, 1 on the shoulder
                      move_case{"motor6_forward_5", 6, +1, 5,
                                cycles({0xB0, 0x38, 0x70, 0x34, 0xB0, 0xFC})},
                      move_case{"zero_steps_release_only", 4, +1, 0, {0xEC, 0xED}},
                      move_case{"negative_steps_release_only", 1, +1, -7, {0xCE, 0xCF}},
                      // only exactly 1 is forward
                      move_case{"direction_2_is_backward", 3, 2, 1, cycles({0x52, 0xDE})},
                      move_case{"direction_0_is_backward", 3, 0, 1, cycles({0x52, 0xDE})}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Bus, StrobeIsTheOnlyDifferenceWithinACycle) {
  for (int m = 1; m <= 6; ++m) move(b, m, m % 2 == 0 ? +1 : -1, 9);
  ASSERT_EQ(port.bytes.size() % 2, 0u);
  for (std::size_t i = 0; i < port.bytes.size(); i += 2) {
    EXPECT_EQ(port.bytes[i] & 1, 0) << "write " << i;
    EXPECT_EQ(port.bytes[i + 1], port.bytes[i] | 1) << "write " << i + 1;
  }
}

TEST_F(Bus, WristMoveTenStepsModeTwo) {
  EXPECT_EQ(wrist_move(b, 2, 10), 10);
  // motor 1 backward: phases 3 2 1 0 3 2 1 0 3 2, released; then motor 3
  // forward: phases 1 2 3 0 1 2 3 0 1 2, released.
  const bytes expected = cycles({0x42, 0x0A, 0x82, 0x06, 0x42, 0x0A, 0x82, 0x06, 0x42, 0x0A, 0xCE,
                                 0x92, 0x1A, 0x52, 0x16, 0x92, 0x1A, 0x52, 0x16, 0x92, 0x1A, 0xDE});
  EXPECT_EQ(port.bytes, expected);
}

class WristNothing : public Bus, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(WristNothing, WritesNothing) {
  EXPECT_EQ(wrist_move(b, GetParam().first, GetParam().second), 0);
  EXPECT_TRUE(port.bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, WristNothing,
                         ::testing::Values(std::pair{1, 9}, std::pair{1, -15}, std::pair{2, 0},
                                           std::pair{0, 100}, std::pair{5, 100},
                                           std::pair{4, -2147483647 - 1}));

TEST_F(Bus, WristMoveRunsWholeChunkPairs) {
  EXPECT_EQ(wrist_move(b, 3, 30), 30);
  EXPECT_EQ(port.bytes.size(), 66u * 2);
  // Each chunk: motor 1 forward ten steps and released, then motor 3 the same.
  bytes chunk = cycles({0x82, 0x0A, 0x42, 0x06, 0x82, 0x0A, 0x42, 0x06, 0x82, 0x0A, 0xCE,
                        0x92, 0x1A, 0x52, 0x16, 0x92, 0x1A, 0x52, 0x16, 0x92, 0x1A, 0xDE});
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), port.bytes.begin() + i * chunk.size()));
  port.bytes.clear();
  EXPECT_EQ(wrist_move(b, 1, 25), 20);  // the remainder is dropped
  EXPECT_EQ(port.bytes.size(), 44u * 2);
}

TEST_F(Bus, AStopRequestEndsAMoveBeforeTheNextStepAndStillReleases) {
  port.after_write = [&](std::size_t n) {
    if (n == 7) stop = SIGTERM;  // during the fourth step's cycle
  };
  EXPECT_EQ(move(b, 5, +1, 100), 4);
  EXPECT_EQ(port.bytes, cycles({0xA2, 0x2A, 0x62, 0x26, 0xEE}));
}

TEST_F(Bus, AStopRequestEndsTheWristAfterTheCurrentPairOfChunks) {
  port.after_write = [&](std::size_t n) {
    if (n == 44 + 3) stop = SIGTERM;  // inside motor 1's chunk of the second pair
  };
  EXPECT_EQ(wrist_move(b, 4, 100), 20);
  ASSERT_EQ(port.bytes.size(), 2u * 44);
  EXPECT_EQ(port.bytes.back(), 0xDF);  // motor 3 released last
}

}  // namespace
}  // namespace armctl

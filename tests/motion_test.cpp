// The twelve motion letters through whole runs: guards at their limits, the
// counters, the reports and the number of port writes.
#include "run_fixture.hpp"

namespace armctl {
namespace {

using bytes = std::vector<std::uint8_t>;

struct motion_case {
  const char* name;
  counters start;
  std::vector<std::string> args;
  int status;
  counters end;
  std::size_t writes;  // port writes of the whole run
};
void PrintTo(const motion_case& c, std::ostream* os) { *os << c.name; }

// Writes of a run: the shoulder hold per option, the shoulder release at the end.
constexpr std::size_t frame(std::size_t options) { return 2 * options + 2; }
// A single-motor move of n steps, release included.
constexpr std::size_t single(std::size_t n) { return 2 * (n + 1); }
// A wrist move: 22 cycles per chunk of ten.
constexpr std::size_t wrist(std::size_t n) { return 44 * (n / 10); }

class Motion : public testing::RunFixture, public ::testing::WithParamInterface<motion_case> {};

TEST_P(Motion, GuardsCountersAndWrites) {
  const motion_case& c = GetParam();
  start_at(c.start);
  EXPECT_EQ(run_with(c.args), c.status);
  EXPECT_EQ(saved(), c.end);
  EXPECT_EQ(port.bytes.size(), c.writes);
  // Every motion letter reports the pose once, allowed or refused.
  EXPECT_EQ(report_lines(), 5 * static_cast<int>(c.args.size() / 2));
}

constexpr counters zero{};
constexpr counters at(std::size_t index, std::int32_t value) {
  counters c{};
  c[index] = value;
  return c;
}
constexpr counters at2(std::size_t i, std::int32_t a, std::size_t j, std::int32_t b) {
  counters c{};
  c[i] = a;
  c[j] = b;
  return c;
}
constexpr std::int32_t max32 = 2147483647;
constexpr std::int32_t min32 = -max32 - 1;

INSTANTIATE_TEST_SUITE_P(
    Letters, Motion,
    ::testing::Values(
        // Position guards are inclusive.
        motion_case{"G_to_800", zero, {"-G", "800"}, 0, at(0, 800), frame(1) + single(800)},
        motion_case{"G_past_800", at(0, 800), {"-G", "1"}, 88, at(0, 800), frame(1)},
        motion_case{"B_to_minus_800", zero, {"-B", "800"}, 0, at(0, -800), frame(1) + single(800)},
        motion_case{"B_past", zero, {"-B", "801"}, 88, zero, frame(1)},
        motion_case{"S_to_1600", zero, {"-S", "1600"}, 0, at(5, 1600), frame(1) + single(1600)},
        motion_case{"S_past", zero, {"-S", "1601"}, 88, zero, frame(1)},
        motion_case{
            "X_to_minus_2000", zero, {"-X", "2000"}, 0, at(5, -2000), frame(1) + single(2000)},
        motion_case{"X_past", zero, {"-X", "2001"}, 88, zero, frame(1)},
        motion_case{"T_to_2000", zero, {"-T", "2000"}, 0, at(3, 2000), frame(1) + wrist(2000)},
        motion_case{"T_past", at(3, 1995), {"-T", "6"}, 88, at(3, 1995), frame(1)},
        motion_case{
            "R_to_minus_2000", zero, {"-R", "2000"}, 0, at(3, -2000), frame(1) + wrist(2000)},
        motion_case{"R_past", zero, {"-R", "2001"}, 88, zero, frame(1)},
        // The wrist counter moves by the whole count, the motors by whole chunks.
        motion_case{"T_25", zero, {"-T", "25"}, 0, at(3, 25), frame(1) + wrist(25)},
        motion_case{"E_25", zero, {"-E", "25"}, 0, at(2, 25), frame(1) + wrist(25)},
        motion_case{"W_9", zero, {"-W", "9"}, 0, at(2, -9), frame(1)},
        // A zero count moves nothing but G, B, S and X still release their motor.
        motion_case{"G_0", zero, {"-G", "0"}, 0, zero, frame(1) + single(0)},
        motion_case{"X_not_a_number", zero, {"-X", "abc"}, 0, zero, frame(1) + single(0)},
        motion_case{"R_0", zero, {"-R", "0"}, 0, zero, frame(1)},
        // A counter loaded beyond its range refuses even zero towards the limit.
        motion_case{"G_0_from_900", at(0, 900), {"-G", "0"}, 88, at(0, 900), frame(1)},
        motion_case{
            "B_back_from_900", at(0, 900), {"-B", "50"}, 0, at(0, 850), frame(1) + single(50)},
        // Geometry guards.
        motion_case{"H_200", zero, {"-H", "200"}, 0, at(4, 200), frame(1) + single(200)},
        motion_case{"N_982", zero, {"-N", "982"}, 0, at(4, -982), frame(1) + single(982)},
        motion_case{"N_983", zero, {"-N", "983"}, 88, zero, frame(1)},
        motion_case{"N_844_V_483",
                    zero,
                    {"-N", "844", "-V", "483"},
                    0,
                    at2(4, -844, 1, 483),
                    frame(2) + single(844) + single(483)},
        motion_case{"V_bend_50_refused", at(4, -844), {"-V", "484"}, 88, at(4, -844), frame(1)},
        motion_case{"V_1000", zero, {"-V", "1000"}, 0, at(1, 1000), frame(1) + single(1000)},
        motion_case{"V_2000_bend", zero, {"-V", "2000"}, 88, zero, frame(1)},
        motion_case{"F_100", zero, {"-F", "100"}, 0, at(1, -100), frame(1) + single(100)},
        motion_case{"W_100", zero, {"-W", "100"}, 0, at(2, -100), frame(1) + wrist(100)},
        motion_case{"E_then_G",
                    zero,
                    {"-E", "10", "-G", "1"},
                    0,
                    at2(2, 10, 0, 1),
                    frame(2) + wrist(10) + single(1)},
        // Step counts: strtol base 0, saturated to 32 bits.
        motion_case{"octal", zero, {"-G", "010"}, 0, at(0, 8), frame(1) + single(8)},
        motion_case{"hex", zero, {"-G", "0x10"}, 0, at(0, 16), frame(1) + single(16)},
        motion_case{"bad_octal", zero, {"-G", "08"}, 0, zero, frame(1) + single(0)},
        motion_case{"trailing_text", zero, {"-G", "12abc"}, 0, at(0, 12), frame(1) + single(12)},
        motion_case{"leading_space_plus", zero, {"-G", " +7"}, 0, at(0, 7), frame(1) + single(7)},
        motion_case{"saturated", zero, {"-G", "99999999999999999999"}, 88, zero, frame(1)},
        // A negative count is refused: nothing moves, nothing changes.
        motion_case{"G_negative", zero, {"-G", "-5"}, 88, zero, frame(1)},
        motion_case{"T_negative", zero, {"-T", "-20"}, 88, zero, frame(1)},
        motion_case{"H_negative", zero, {"-H", "-5"}, 88, zero, frame(1)},
        motion_case{"W_most_negative", zero, {"-W", "-2147483648"}, 88, zero, frame(1)},
        // A count that would carry a counter past 32 bits is refused.
        motion_case{"H_past_max", at(4, max32), {"-H", "1"}, 88, at(4, max32), frame(1)},
        motion_case{"W_past_min", at(2, min32 + 5), {"-W", "6"}, 88, at(2, min32 + 5), frame(1)},
        motion_case{
            "E_max_count_from_max", at(2, max32), {"-E", "2147483647"}, 88, at(2, max32), frame(1)},
        motion_case{
            "B_max_count_from_min", at(0, min32), {"-B", "2147483647"}, 88, at(0, min32), frame(1)},
        motion_case{
            "T_max_count_from_max", at(3, max32), {"-T", "2147483647"}, 88, at(3, max32), frame(1)},
        // A large count may not sweep the arm through its limits on the way.
        motion_case{"H_full_turn", at(2, 2239), {"-H", "8845"}, 88, at(2, 2239), frame(1)}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Motion, GTwoAsAWholeRun) {
  EXPECT_EQ(run_with({"-G", "2"}), 0);
  EXPECT_EQ(port.bytes, (bytes{0x34, 0x35, 0xA2, 0xA3, 0x2A, 0x2B, 0xEE, 0xEF, 0xFC, 0xFD}));
  EXPECT_EQ(saved()[0], 2);
}

TEST_F(Motion, PositionLettersReportThePoseBeforeTheMove) {
  start_at({0, 0, 0, 0, 200, 0});
  EXPECT_EQ(run_with({"-G", "5"}), 0);
  EXPECT_EQ(out.substr(0, out.find('\n', 14) + 1), "0,9.5,9.5,0\n7.42444,1.06194,7.5,8.14\n");
}

TEST_F(Motion, GeometryLettersReportThePoseTheyWouldReach) {
  EXPECT_EQ(run_with({"-H", "200"}), 0);
  EXPECT_EQ(out,
            "0,9.5,9.5,0\n7.42444,1.06194,7.5,8.14\n7.5,0,7.5,0\n4.5,0,4.5,0\n"
            "19.4244,1.06194,19.4534,3.12927\n0,0,0,0,200,0\n");
}

TEST_F(Motion, ARefusedMoveStillReportsTheRefusedPose) {
  EXPECT_EQ(run_with({"-N", "983"}), 88);
  EXPECT_EQ(out,
            "0,9.5,9.5,0\n5.74465,-4.82172,7.5,-40.0081\n7.5,0,7.5,0\n4.5,0,4.5,0\n"
            "17.7447,-4.82172,18.3881,-15.2018\n0,0,0,0,0,0\n");
}

TEST_F(Motion, TheElbowTurnsBackwardAsItsCounterGrows) {
  EXPECT_EQ(run_with({"-V", "1"}), 0);
  // motor 4 (0x20): one backward step to phase 3, then released
  EXPECT_EQ(port.bytes, (bytes{0x34, 0x35, 0x60, 0x61, 0xEC, 0xED, 0xFC, 0xFD}));
}

}  // namespace
}  // namespace armctl

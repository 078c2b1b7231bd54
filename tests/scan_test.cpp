// Reading the position file's numbers: "%d" semantics and out-of-range input.
#include <gtest/gtest.h>

#include "state/position_file.hpp"
#include "state/scan.hpp"

namespace armctl {
namespace {

struct parse_case {
  const char* name;
  const char* text;
  counters expected;
};
void PrintTo(const parse_case& c, std::ostream* os) { *os << c.name; }

class ParseCounters : public ::testing::TestWithParam<parse_case> {};

TEST_P(ParseCounters, LoadsLikeSixPercentDConversions) {
  counters c{};
  parse_counters(GetParam().text, c);
  EXPECT_EQ(c, GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ParseCounters,
    ::testing::Values(
        parse_case{"as_written", "0 -500 30 0 1000 12 \n", {0, -500, 30, 0, 1000, 12}},
        parse_case{"one_per_line", "0\n-500\n30\n0\n1000\n12\n", {0, -500, 30, 0, 1000, 12}},
        parse_case{"tabs_and_crlf", "\t1\r\n2\v3\f4  5\t6", {1, 2, 3, 4, 5, 6}},
        parse_case{"only_three", "7 8 9\n", {7, 8, 9, 0, 0, 0}},
        parse_case{"empty", "", {0, 0, 0, 0, 0, 0}},
        // A character that cannot start a number stays unread: the rest fail.
        parse_case{"letter_in_the_middle", "1 2 x 4 5 6", {1, 2, 0, 0, 0, 0}},
        parse_case{"digits_then_letters", "12abc 5", {12, 0, 0, 0, 0, 0}},
        // A lone sign is consumed by the failed conversion; the next one goes on.
        parse_case{"lone_sign", "1 - 5 6", {1, 0, 5, 6, 0, 0}},
        parse_case{"explicit_plus", "+3 -0 +0", {3, 0, 0, 0, 0, 0}},
        parse_case{"leading_zeros_are_decimal", "010 0x10", {10, 0, 0, 0, 0, 0}},
        parse_case{"int32_limits", "2147483647 -2147483648", {2147483647, -2147483648, 0, 0, 0, 0}},
        // Beyond the 32-bit range: fails like a non-number, and so do the rest.
        parse_case{"just_above_int32", "1 2147483648 3", {1, 0, 0, 0, 0, 0}},
        parse_case{"just_below_int32", "-2147483649 3", {0, 0, 0, 0, 0, 0}},
        parse_case{"huge", "5 99999999999999999999999999999 6", {5, 0, 0, 0, 0, 0}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(ParseCounters, KeepsCountersThatFindNoNumber) {
  counters c{9, 9, 9, 9, 9, 9};
  parse_counters("1 2", c);
  EXPECT_EQ(c, (counters{1, 2, 9, 9, 9, 9}));
}

TEST(ScanInt, StopsAtTheFirstCharacterThatDoesNotFit) {
  std::string_view text = "  -42xyz";
  const scan_result r = scan_int(text);
  EXPECT_EQ(r.kind, scanned::number);
  EXPECT_EQ(r.value, -42);
  EXPECT_EQ(text, "xyz");
}

TEST(Format, PositionFileAndSummaryLine) {
  const counters c{0, -500, 30, 0, 1000, 12};
  EXPECT_EQ(position_text(c), "0 -500 30 0 1000 12 \n");
  EXPECT_EQ(summary_line(c), "0,-500,30,0,1000,12\n");
  const counters extremes{-2147483648, 2147483647, 0, 0, 0, -1};
  EXPECT_EQ(summary_line(extremes), "-2147483648,2147483647,0,0,0,-1\n");
}

TEST(Format, WrittenFileReadsBackTheSame) {
  const counters c{-2147483648, 2147483647, 0, -1, 800, -2000};
  counters back{};
  parse_counters(position_text(c), back);
  EXPECT_EQ(back, c);
}

}  // namespace
}  // namespace armctl

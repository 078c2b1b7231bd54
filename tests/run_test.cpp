// The run sequence: statuses, state files and port bytes of whole runs.
#include <sys/stat.h>

#include "run_fixture.hpp"

namespace armctl {
namespace {

using bytes = std::vector<std::uint8_t>;
using testing::read_file;
using testing::write_file;

class Run : public testing::RunFixture {};

TEST_F(Run, NoOptionsStillReleasesTheShoulderAndRewritesTheFiles) {
  write_file(position_path, "1 2 3\n4\n5 6");
  EXPECT_EQ(run_with({}), 0);
  EXPECT_EQ(port.bytes, (bytes{0xFC, 0xFD}));
  EXPECT_EQ(out, "1,2,3,4,5,6\n");
  EXPECT_EQ(read_file(position_path), "1 2 3 4 5 6 \n");
  EXPECT_EQ(read_file(lock_path), "0\n");
  EXPECT_EQ(port.grants, 1);
  EXPECT_EQ(port.drops, 1);
}

TEST_F(Run, ALetterOutsideTheOptionStringOnlyLatchesTheHold) {
  EXPECT_EQ(run_with({"-Z"}), 0);
  EXPECT_EQ(port.bytes, (bytes{0x34, 0x35, 0xFC, 0xFD}));
  EXPECT_NE(err.find("invalid option -- 'Z'"), std::string::npos) << err;
  EXPECT_EQ(out, "0,0,0,0,0,0\n");
}

TEST_F(Run, AMissingArgumentOnlyLatchesTheHold) {
  EXPECT_EQ(run_with({"-G"}), 0);
  EXPECT_EQ(port.bytes, (bytes{0x34, 0x35, 0xFC, 0xFD}));
  EXPECT_NE(err.find("requires an argument -- 'G'"), std::string::npos) << err;
}

TEST_F(Run, QReportsThePoseEachTime) {
  start_at({0, 0, 0, 0, 200, 0});
  EXPECT_EQ(run_with({"-Q", "-Q"}), 0);
  const std::string pose200 =
      "0,9.5,9.5,0\n7.42444,1.06194,7.5,8.14\n7.5,0,7.5,0\n4.5,0,4.5,0\n"
      "19.4244,1.06194,19.4534,3.12927\n";
  EXPECT_EQ(out, pose200 + pose200 + "0,0,0,0,200,0\n");
  EXPECT_EQ(port.bytes, (bytes{0x34, 0x35, 0x34, 0x35, 0xFC, 0xFD}));
}

TEST_F(Run, OptionsAfterOtherArgumentsAreCarriedOutAndGroupsSplit) {
  EXPECT_EQ(run_with({"stray", "-G", "1", "also", "-QG2", "-G3"}), 0);
  EXPECT_EQ(saved()[0], 6);
  EXPECT_EQ(report_lines(), 4 * 5);
}

TEST_F(Run, AMissingPositionFileStartsAtZeroAndIsCreated) {
  std::remove(position_path.c_str());
  EXPECT_EQ(run_with({"-G", "5"}), 16);
  EXPECT_EQ(read_file(position_path), "5 0 0 0 0 0 \n");
  EXPECT_EQ(out.substr(out.size() - 12), "5,0,0,0,0,0\n");
}

TEST_F(Run, AMalformedPositionFileLoadsWhatItCan) {
  write_file(position_path, "1 2 x 4 5 6");
  EXPECT_EQ(run_with({}), 0);
  EXPECT_EQ(read_file(position_path), "1 2 0 0 0 0 \n");
}

TEST_F(Run, TheLastFailureDecidesTheStatus) {
  // Refused, then allowed: still refused.
  EXPECT_EQ(run_with({"-G", "900", "-G", "1"}), 88);
  EXPECT_EQ(saved()[0], 1);
  // Refused, then the position file cannot be replaced: 17, no summary line.
  std::remove(position_path.c_str());
  ASSERT_EQ(::mkdir(position_path.c_str(), 0777), 0);
  EXPECT_EQ(run_with({"-G", "900", "-Q"}), 17);
  EXPECT_EQ(report_lines(), 10);
  EXPECT_EQ(out.find("0,0,0,0,0,0\n"), std::string::npos);
  EXPECT_EQ(read_file(lock_path), "0\n");
}

// A run that cannot hold the lock, or could not save, learns it before the
// port grant: its options print their reports, but no counter changes and no
// byte reaches the port, not even the shoulder's hold and release, which
// would break into the write cycles of whoever holds the lock.
struct unmoved_case {
  const char* name;
  const char* blocked;  // the state file name taken by a directory
  int status;
  const char* lock_after;
};
void PrintTo(const unmoved_case& c, std::ostream* os) { *os << c.name; }

class RunWithoutMotion : public testing::RunFixture,
                         public ::testing::WithParamInterface<unmoved_case> {};

TEST_P(RunWithoutMotion, PrintsReportsAndMovesNothing) {
  const unmoved_case& c = GetParam();
  start_at({790, 0, 0, 0, 0, 0});
  const std::string blocked = tmp.file(c.blocked);
  std::remove(blocked.c_str());
  ASSERT_EQ(::mkdir(blocked.c_str(), 0777), 0);
  EXPECT_EQ(run_with({"-G", "4", "-G", "100", "-H", "200"}), c.status);
  EXPECT_TRUE(port.bytes.empty());
  EXPECT_EQ(port.grants, 0);
  EXPECT_EQ(report_lines(), 15);
  EXPECT_NE(out.find("7.42444,1.06194,7.5,8.14\n"), std::string::npos);  // the H pose
  EXPECT_EQ(out.find("790,"), std::string::npos);                        // no summary line
  EXPECT_EQ(read_file(position_path), "790 0 0 0 0 0 \n");
  if (c.lock_after != nullptr) {
    EXPECT_EQ(read_file(lock_path), c.lock_after);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, RunWithoutMotion,
    ::testing::Values(unmoved_case{"lock_file_unusable", lock_file_name, 15, nullptr},
                      unmoved_case{"save_cannot_be_prepared", position_temp_name, 17, "0\n"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Run, FailingToGrantThePortEndsTheRunAndFreesTheLock) {
  port.grant_ok = false;
  start_at({7, 0, 0, 0, 0, 0});
  EXPECT_EQ(run_with({"-G", "1", "-Q"}), 1);
  EXPECT_EQ(err, "ioperm: Operation not permitted\n");
  EXPECT_EQ(out, "");
  EXPECT_TRUE(port.bytes.empty());
  EXPECT_EQ(read_file(position_path), "7 0 0 0 0 0 \n");
  EXPECT_EQ(read_file(lock_path), "0\n");
}

// The motors have moved: their steps are saved all the same, so that the
// file never falls behind the arm; the status says the run failed.
TEST_F(Run, FailingToDropThePortStillSavesWhatTheMotorsDid) {
  port.drop_ok = false;
  EXPECT_EQ(run_with({"-G", "3"}), 1);
  EXPECT_EQ(err, "ioperm: Operation not permitted\n");
  EXPECT_EQ(report_lines(), 5);
  EXPECT_EQ(out.find("3,0,0,0,0,0"), std::string::npos);
  EXPECT_EQ(read_file(position_path), "3 0 0 0 0 0 \n");
  EXPECT_EQ(read_file(lock_path), "0\n");
  EXPECT_FALSE(testing::exists(tmp.file(position_temp_name)));
}

TEST_F(Run, ATerminationSignalBeforeTheOptionsSkipsThemAndFinishes) {
  stop_signal = SIGTERM;
  EXPECT_EQ(run_with({"-G", "5", "-Q"}), 128 + SIGTERM);
  EXPECT_EQ(port.bytes, (bytes{0xFC, 0xFD}));
  EXPECT_EQ(out, "0,0,0,0,0,0\n");
  EXPECT_EQ(read_file(lock_path), "0\n");
}

struct stop_case {
  const char* name;
  std::vector<std::string> args;
  std::size_t stop_after_writes;
  counters expected;
};
void PrintTo(const stop_case& c, std::ostream* os) { *os << c.name; }

class StopDuringAMove : public testing::RunFixture,
                        public ::testing::WithParamInterface<stop_case> {};

// The counter records exactly the steps made; the remaining options are
// skipped; the run still saves, prints and frees the lock.
TEST_P(StopDuringAMove, RecordsTheStepsMadeAndFinishesTheRun) {
  const stop_case& c = GetParam();
  port.after_write = [&](std::size_t n) {
    if (n == c.stop_after_writes) stop_signal = SIGINT;
  };
  EXPECT_EQ(run_with(c.args), 128 + SIGINT);
  EXPECT_EQ(saved(), c.expected);
  EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1), summary_line(c.expected));
  EXPECT_EQ(read_file(lock_path), "0\n");
  // The moving motor was released, then the shoulder.
  ASSERT_GE(port.bytes.size(), 4u);
  EXPECT_EQ(port.bytes[port.bytes.size() - 2], 0xFC);
}

INSTANTIATE_TEST_SUITE_P(
    Letters, StopDuringAMove,
    ::testing::Values(
        // hold (2 writes), then steps of 2 writes: stop during step 10.
        stop_case{"G", {"-G", "500", "-G", "5"}, 2 + 19, {10, 0, 0, 0, 0, 0}},
        stop_case{"B", {"-B", "500"}, 2 + 2 * 7, {-7, 0, 0, 0, 0, 0}},
        stop_case{"N", {"-N", "300", "-H", "1"}, 2 + 2 * 40 - 1, {0, 0, 0, 0, -40, 0}},
        stop_case{"V", {"-V", "100"}, 2 + 1, {0, 1, 0, 0, 0, 0}},
        // wrist: a pair of chunks is 44 writes; stop inside the third pair
        stop_case{"E", {"-E", "95"}, 2 + 44 * 2 + 5, {0, 0, 30, 0, 0, 0}},
        stop_case{"R", {"-R", "1000"}, 2 + 1, {0, 0, 0, -10, 0, 0}},
        // in the last pair: the move completes and counts in full
        stop_case{"T", {"-T", "25", "-Q"}, 2 + 44 + 3, {0, 0, 0, 25, 0, 0}}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace armctl

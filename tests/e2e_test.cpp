// The simulated controller run as a caller runs it: output, status, state
// files and port log.
#include <chrono>
#include <fcntl.h>
#include <regex>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "e2e_fixture.hpp"

namespace armctl::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(E2E, ShoulderUp200FromZero) {
  const outcome_of_run r = run({"-H", "200"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "0,9.5,9.5,0\n7.42444,1.06194,7.5,8.14\n7.5,0,7.5,0\n4.5,0,4.5,0\n"
            "19.4244,1.06194,19.4534,3.12927\n0,0,0,0,200,0\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(position_path), "0 0 0 0 200 0 \n");
  EXPECT_EQ(read_file(lock_path), "0\n");
  const trace::decoded d = motion();
  EXPECT_EQ(d.motors[6].forward, 200);
  EXPECT_EQ(d.motors[6].backward, 0);
  EXPECT_EQ(d.motors[6].releases, 2);  // after the move, and at the end of the run
  EXPECT_EQ(d.writes, 2u + 2 * 201 + 2);
}

TEST_F(E2E, PortLogLinesAreTimeAndByte) {
  ASSERT_EQ(run({"-G", "2"}).status, 0);
  const std::string log = read_file(log_path);
  const std::regex line("[0-9]+ 0x[0-9a-f]{2}");
  std::vector<std::string> bytes;
  long long last = 0;
  for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string l = log.substr(start, end - start);
    ASSERT_TRUE(std::regex_match(l, line)) << l;
    const long long t = std::stoll(l);
    EXPECT_GE(t, last);
    last = t;
    bytes.push_back(l.substr(l.find(' ') + 1));
  }
  EXPECT_EQ(bytes, (std::vector<std::string>{"0x34", "0x35", "0xa2", "0xa3", "0x2a", "0x2b", "0xee",
                                             "0xef", "0xfc", "0xfd"}));
}

TEST_F(E2E, NoOptions) {
  write_file(position_path, "3 1 4 1 5 9\n");
  const outcome_of_run r = run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3,1,4,1,5,9\n");
  EXPECT_EQ(read_file(position_path), "3 1 4 1 5 9 \n");
  EXPECT_EQ(read_file(lock_path), "0\n");
  EXPECT_EQ(motion().motors[6].releases, 1);
}

TEST_F(E2E, UnknownLetter) {
  const outcome_of_run r = run({"-Z"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("invalid option -- 'Z'"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "0,0,0,0,0,0\n");
  EXPECT_EQ(motion().motors[6].holds, 1);
}

struct file_case {
  const char* name;
  const char* content;  // null: no position file
  int status;
  const char* saved;
};
void PrintTo(const file_case& c, std::ostream* os) { *os << c.name; }

class PositionFiles : public E2E, public ::testing::WithParamInterface<file_case> {};

TEST_P(PositionFiles, LoadAndRewrite) {
  const file_case& c = GetParam();
  if (c.content == nullptr)
    std::remove(position_path.c_str());
  else
    write_file(position_path, c.content);
  const outcome_of_run r = run({"-G", "1"});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(read_file(position_path), c.saved);
}

INSTANTIATE_TEST_SUITE_P(
    Files, PositionFiles,
    ::testing::Values(file_case{"missing", nullptr, 16, "1 0 0 0 0 0 \n"},
                      file_case{"short", "5 6 7\n", 0, "6 6 7 0 0 0 \n"},
                      file_case{"malformed", "1 2 x 4 5 6", 0, "2 2 0 0 0 0 \n"},
                      file_case{"one_per_line", "1\n2\n3\n4\n5\n6\n", 0, "2 2 3 4 5 6 \n"},
                      file_case{"out_of_range", "4 99999999999 1 1 1 1\n", 0, "5 0 0 0 0 0 \n"},
                      file_case{"empty", "", 0, "1 0 0 0 0 0 \n"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Another program holds the lock by its content; the run polls until it reads 0.
class HeldLock : public E2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(HeldLock, WaitsUntilAnotherProgramWritesZero) {
  write_file(lock_path, GetParam());
  controller c(build.exe, {"-G", "1"});
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(c.running());
  EXPECT_EQ(read_file(position_path), "0 0 0 0 0 0 \n");
  write_file(lock_path, "0\n");
  const outcome_of_run r = c.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(saved()[0], 1);
  EXPECT_EQ(read_file(lock_path), "0\n");
}

INSTANTIATE_TEST_SUITE_P(Contents, HeldLock, ::testing::Values("1\n", "-3"));

TEST_F(E2E, ATerminationSignalWhileWaitingLeavesEverythingAlone) {
  write_file(lock_path, "1\n");
  write_file(position_path, "1 2 3 4 5 6 \n");
  struct stat before {};
  ASSERT_EQ(::stat(position_path.c_str(), &before), 0);
  controller c(build.exe, {"-G", "1"});
  std::this_thread::sleep_for(200ms);
  c.signal(SIGTERM);
  const outcome_of_run r = c.wait();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(lock_path), "1\n");
  EXPECT_EQ(read_file(position_path), "1 2 3 4 5 6 \n");
  struct stat after {};
  ASSERT_EQ(::stat(position_path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_FALSE(exists(log_path));
}

TEST_F(E2E, ATerminationSignalWhileBlockedOnTheFileLock) {
  const int fd = ::open(lock_path.c_str(), O_RDWR);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  controller c(build.exe, {"-G", "1"});
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(c.running());
  c.signal(SIGHUP);
  const outcome_of_run r = c.wait();
  ::close(fd);
  EXPECT_EQ(r.status, 128 + SIGHUP);
  EXPECT_EQ(read_file(lock_path), "0\n");
  EXPECT_EQ(read_file(position_path), "0 0 0 0 0 0 \n");
}

TEST_F(E2E, ACallerWhoStopsReadingDoesNotStopTheRun) {
  controller c(build.exe, {"-Q", "-G", "3", "-Q"}, /*close_stdout_reader=*/true);
  const outcome_of_run r = c.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(saved()[0], 3);
  EXPECT_EQ(read_file(lock_path), "0\n");
}

// A full disk at the save: the old file stays whole, no summary line.
TEST_F(E2E, AFullDiskAtTheSaveKeepsTheOldFile) {
  if (::mount("armctl-test", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  struct unmount {
    std::string d;
    ~unmount() { ::umount2(d.c_str(), MNT_DETACH); }
  } cleanup{dir};
  write_file(lock_path, "0\n");
  write_file(position_path, "1 2 3 4 5 6 \n");
  {
    const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, "x", 1) > 0) {
    }
    ::close(fd);
  }
  const outcome_of_run r = run({"-G", "1"});
  EXPECT_EQ(r.status, 17);
  EXPECT_EQ(r.out.find("2,2,3,4,5,6"), std::string::npos);
  EXPECT_EQ(read_file(position_path), "1 2 3 4 5 6 \n");
  for (const std::string& name : list_dir(dir))
    EXPECT_FALSE(name.starts_with(".robot_position.dat")) << "left behind: " << name;
  EXPECT_EQ(read_file(lock_path), "0\n");
}

class E2ETimed : public E2E {
 protected:
  E2ETimed() : E2E(timed) {}
};

// Stopped in the middle of a long move: the counter holds exactly the steps
// the port log shows, the motor and the shoulder are released, and the run
// saves, prints and frees the lock.
TEST_F(E2ETimed, ATerminationSignalDuringAMove) {
  controller c(build.exe, {"-S", "1600", "-G", "5"});
  ASSERT_TRUE(lock_taken());
  std::this_thread::sleep_for(150ms);
  c.signal(SIGTERM);
  const outcome_of_run r = c.wait();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_EQ(read_file(lock_path), "0\n");
  const trace::decoded d = motion();
  const counters after = saved();
  EXPECT_GT(after[5], 0);
  EXPECT_LT(after[5], 1600);
  EXPECT_EQ(after[5], d.motors[2].forward);
  EXPECT_EQ(d.motors[2].releases, 1);
  EXPECT_EQ(d.motors[5].forward, 0);  // the -G 5 after it was skipped
  EXPECT_EQ(d.motors[6].last_pattern, 0xFC);
  EXPECT_TRUE(r.out.ends_with(summary_line(after))) << r.out;
}

TEST_F(E2ETimed, ATerminationSignalDuringAWristMoveStopsOnAWholeChunkPair) {
  controller c(build.exe, {"-T", "1995"});
  ASSERT_TRUE(lock_taken());
  std::this_thread::sleep_for(150ms);
  c.signal(SIGINT);
  const outcome_of_run r = c.wait();
  EXPECT_EQ(r.status, 128 + SIGINT);
  const trace::decoded d = motion();
  const counters after = saved();
  EXPECT_EQ(after[3] % 10, 0);
  EXPECT_GT(after[3], 0);
  EXPECT_EQ(d.motors[1].backward, after[3]);
  EXPECT_EQ(d.motors[3].backward, after[3]);
  EXPECT_EQ(read_file(lock_path), "0\n");
}

// A run killed outright leaves "1" behind; the next run must not wait on it
// forever. (The killed run's steps are lost: it never saved.)
TEST_F(E2ETimed, ARunKilledOutrightDoesNotBlockTheNext) {
  if (::setxattr(lock_path.c_str(), "user.armctl.probe", "1", 1, 0) != 0)
    GTEST_SKIP() << "no user extended attributes here";
  ::removexattr(lock_path.c_str(), "user.armctl.probe");
  {
    controller killed(build.exe, {"-S", "1600"});
    ASSERT_TRUE(lock_taken());
    std::this_thread::sleep_for(50ms);
    killed.signal(SIGKILL);
    EXPECT_EQ(killed.wait().status, 128 + SIGKILL);
  }
  ASSERT_EQ(read_file(lock_path), "1\n");
  controller next(build.exe, {"-G", "1"});
  for (int i = 0; i < 100 && next.running(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_FALSE(next.running()) << "the next run is still waiting on the dead run's lock";
  EXPECT_EQ(next.wait().status, 0);
  EXPECT_EQ(saved(), (counters{1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(read_file(lock_path), "0\n");
}

// Killed outright at random instants: the position file is always whole,
// holding either the counters before the run or those after it.
TEST_F(E2ETimed, APositionFileIsNeverPartial) {
  std::srand(12345);
  const std::regex whole("(-?[0-9]+ ){6}\n");
  for (int i = 0; i < 40; ++i) {
    write_file(lock_path, "0\n");
    const counters before = saved();
    controller c(build.exe, {"-G", "1"});
    std::this_thread::sleep_for(std::chrono::microseconds(std::rand() % 4000));
    c.signal(SIGKILL);
    c.wait();
    const std::string text = read_file(position_path);
    ASSERT_TRUE(std::regex_match(text, whole)) << "after kill " << i << ": '" << text << "'";
    const counters after = saved();
    EXPECT_TRUE(after == before || after[0] == before[0] + 1) << text;
  }
}

}  // namespace
}  // namespace armctl::testing

// The lock file: content protocol, the wait, and mutual exclusion of runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "daemon/runs/lock_holder.hpp"
#include "state/lock_file.hpp"
#include "support.hpp"

namespace armctl {
namespace {

using namespace std::chrono_literals;
using testing::read_file;
using testing::write_file;

// A poll this long turns a needless content poll into a test timeout.
constexpr auto never = std::chrono::hours(1);

class LockFile : public ::testing::Test {
 protected:
  testing::scratch_dir tmp;
  std::string path = tmp.file(lock_file_name);
  state_dir dir{tmp.path().c_str()};
};

// Content that holds no integer, or no file at all, counts as free.
class FreeContent : public LockFile, public ::testing::WithParamInterface<const char*> {};

TEST_P(FreeContent, WaitEndsAtOnceAndTakeRewrites) {
  if (GetParam() != nullptr) write_file(path, GetParam());
  lock_file lock(dir, never);
  EXPECT_TRUE(lock.wait());
  ASSERT_TRUE(lock.take());
  EXPECT_EQ(read_file(path), "1\n");
  ASSERT_TRUE(lock.release());
  EXPECT_EQ(read_file(path), "0\n");
}

INSTANTIATE_TEST_SUITE_P(Contents, FreeContent,
                         ::testing::Values(nullptr, "", "0\n", "  0", "-0\n", "abc\n",
                                           "0 trailing junk that is longer than two bytes\n"));

// A non-zero value is held by another program: the run polls until it reads 0.
class HeldContent : public LockFile, public ::testing::WithParamInterface<const char*> {};

TEST_P(HeldContent, WaitLastsUntilAnotherProgramWritesZero) {
  write_file(path, GetParam());
  std::atomic<bool> freed{false};
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock_file lock(dir, 5ms);
    EXPECT_TRUE(lock.wait());
    acquired = true;
    EXPECT_TRUE(freed.load()) << "the wait ended while the file read " << GetParam();
    EXPECT_TRUE(lock.take());
    EXPECT_TRUE(lock.release());
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(acquired.load());
  freed = true;
  write_file(path, "0\n");
  waiter.join();
  EXPECT_EQ(read_file(path), "0\n");
}

INSTANTIATE_TEST_SUITE_P(Contents, HeldContent,
                         ::testing::Values("1\n", "-3", " 7 ", "99999999999999\n",
                                           // one integer however it is written
                                           "+0000000000000000000000000000000000000000000000000"
                                           "00000000000000000000000000000000000000000001\n"));

TEST_F(LockFile, AWaitingRunGoesOnAsSoonAsTheHolderReleases) {
  write_file(path, "0\n");
  lock_file holder(dir, never);
  EXPECT_TRUE(holder.wait());
  ASSERT_TRUE(holder.take());
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    lock_file lock(dir, never);  // would hang on a content poll
    EXPECT_TRUE(lock.wait());
    EXPECT_TRUE(released.load());
    EXPECT_TRUE(lock.take());
    EXPECT_TRUE(lock.release());
  });
  std::this_thread::sleep_for(30ms);
  released = true;
  ASSERT_TRUE(holder.release());
  waiter.join();
}

TEST_F(LockFile, NoTwoRunsEverHoldTheLockAtOnce) {
  write_file(path, "0\n");
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  int entries = 0;  // deliberately unsynchronised: only the lock protects it
  std::vector<std::thread> runs;
  for (int t = 0; t < 8; ++t)
    runs.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        lock_file lock(dir, 1ms);
        EXPECT_TRUE(lock.wait());
        EXPECT_TRUE(lock.take());
        if (inside.fetch_add(1) != 0) ++overlaps;
        ++entries;
        std::this_thread::yield();
        inside.fetch_sub(1);
        EXPECT_TRUE(lock.release());
      }
    });
  for (auto& r : runs) r.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(entries, 8 * 50);
  EXPECT_EQ(read_file(path), "0\n");
}

// Another process's lock on the whole file, as a reader or a writer would
// place it; -1 when it cannot be placed.
int place_lock(const std::string& path, int open_flags, short type) {
  const int fd = ::open(path.c_str(), open_flags);
  struct flock fl {};
  fl.l_type = type;
  if (fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Only a writer can keep a run waiting: a shared or exclusive flock, which
// anyone who can read the file may take, means nothing to the wait.
TEST_F(LockFile, AReadersFlockDoesNotBlockTheWait) {
  write_file(path, "0\n");
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  lock_file lock(dir, never);
  EXPECT_TRUE(lock.wait());
  ::close(fd);
}

// A reader can still place a read lock; the run then cannot hold the lock and
// says so at once, instead of waiting for as long as the reader likes.
TEST_F(LockFile, AReadersReadLockEndsTheWaitUnheld) {
  write_file(path, "0\n");
  const int fd = place_lock(path, O_RDONLY, F_RDLCK);
  ASSERT_GE(fd, 0);
  lock_file lock(dir, never);
  EXPECT_FALSE(lock.wait());
  EXPECT_FALSE(lock.take());
  EXPECT_EQ(read_file(path), "0\n");
  ::close(fd);
}

// A read lock that replaces a writer's while a run waits behind it is found
// too: the waiting run does not stay blocked behind the reader.
TEST_F(LockFile, AReadLockInPlaceOfTheHoldersEndsTheWait) {
  write_file(path, "0\n");
  const int fd = place_lock(path, O_RDWR, F_WRLCK);
  ASSERT_GE(fd, 0);
  std::thread waiter([&] {
    lock_file lock(dir, never);
    EXPECT_FALSE(lock.wait());
  });
  std::this_thread::sleep_for(30ms);
  struct flock fl {};
  fl.l_type = F_RDLCK;  // converted in place: there is never a moment without a lock
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  waiter.join();
  ::close(fd);
}

// No fallback fails open: where the lock file cannot be opened for writing,
// no run holds the lock, and none writes through a link.
class UnusableLockFile : public LockFile, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnusableLockFile, NoRunHoldsTheLock) {
  const std::string sentinel = tmp.file("sentinel");
  write_file(sentinel, "0\n");
  const std::string what = GetParam();
  int made = 0;
  if (what == "directory") made = ::mkdir(path.c_str(), 0777);
  if (what == "symlink") made = ::symlink(sentinel.c_str(), path.c_str());
  if (what == "fifo") made = ::mkfifo(path.c_str(), 0666);
  ASSERT_EQ(made, 0);
  const state_dir missing(tmp.file("gone").c_str());
  lock_file lock(what == "no directory" ? missing : dir, never);
  EXPECT_FALSE(lock.wait());
  EXPECT_FALSE(lock.take());
  EXPECT_FALSE(lock.release());
  EXPECT_EQ(read_file(sentinel), "0\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnusableLockFile,
                         ::testing::Values("directory", "symlink", "fifo", "no directory"),
                         [](const auto& tc) {
                           std::string n = tc.param;
                           std::replace(n.begin(), n.end(), ' ', '_');
                           return n;
                         });

}  // namespace
}  // namespace armctl

namespace armctl {
namespace {

// A run killed outright between its take and its release.
void take_and_die(const state_dir& dir) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    lock_file lock(dir, never);
    (void)lock.wait();
    (void)lock.take();
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
}

TEST_F(LockFile, AOneLeftByARunThatDiedDoesNotBlockForever) {
  write_file(path, "0\n");
  if (::setxattr(path.c_str(), "user.armctl.probe", "1", 1, 0) != 0)
    GTEST_SKIP() << "no user extended attributes on " << tmp.path();
  ::removexattr(path.c_str(), "user.armctl.probe");
  take_and_die(dir);
  ASSERT_EQ(read_file(path), "1\n");
  lock_file lock(dir, never);  // would hang if the stale lock were honoured
  EXPECT_TRUE(lock.wait());
  ASSERT_TRUE(lock.take());
  ASSERT_TRUE(lock.release());
  EXPECT_EQ(read_file(path), "0\n");
  // The release leaves no mark: a later "1" by another program is honoured.
  char buf[16];
  EXPECT_LT(::getxattr(path.c_str(), "user.armctl.holder", buf, sizeof buf), 0);
}

TEST_F(LockFile, AnotherProgramsOneIsHonouredAfterARunOfOursDied) {
  write_file(path, "0\n");
  take_and_die(dir);
  // The other program only writes when the lock is free; here it takes it
  // after a run of ours has cleanly released.
  {
    lock_file lock(dir, never);
    EXPECT_TRUE(lock.wait());
    EXPECT_TRUE(lock.take());
    EXPECT_TRUE(lock.release());
  }
  write_file(path, "1\n");
  std::atomic<bool> freed{false};
  std::thread waiter([&] {
    lock_file lock(dir, 5ms);
    EXPECT_TRUE(lock.wait());
    EXPECT_TRUE(freed.load());
  });
  std::this_thread::sleep_for(50ms);
  freed = true;
  write_file(path, "0\n");
  waiter.join();
}

}  // namespace
}  // namespace armctl

namespace armctl {
namespace {

// The content read as one "%d", whatever its length; digits cut off by the
// bound on what is read might go on to a non-zero value.
struct content_case {
  std::string text;
  bool truncated;
  bool free;
};

class LockContent : public ::testing::TestWithParam<content_case> {};

TEST_P(LockContent, ReadsAsOneInteger) {
  EXPECT_EQ(content_reads_free(GetParam().text, GetParam().truncated), GetParam().free);
}

INSTANTIATE_TEST_SUITE_P(Contents, LockContent,
                         ::testing::Values(content_case{"0\n", false, true},
                                           content_case{std::string(300, '0'), false, true},
                                           content_case{std::string(300, '0') + "1", false, false},
                                           content_case{std::string(4096, '0'), true, false},
                                           content_case{std::string(4096, ' '), true, false},
                                           content_case{"0\n" + std::string(4094, 'x'), true, true},
                                           content_case{"x", true, true},
                                           content_case{"-", false, true}));

// Which non-zero contents a waiting run takes over; it holds the kernel lock,
// so no run of ours that marked the file is alive.
struct stale_case {
  const char* name;
  const char* mark;  // null: none
  long long mtime_s, mtime_ns;
  stale_verdict verdict;
};
void PrintTo(const stale_case& c, std::ostream* os) { *os << c.name; }

class DeadRunMark : public ::testing::TestWithParam<stale_case> {};

TEST_P(DeadRunMark, TakesOverOnlyADeadRunsOwnOne) {
  const stale_case& c = GetParam();
  holder_mark m;
  const bool parsed = c.mark != nullptr && parse_mark(c.mark, m);
  EXPECT_EQ(judge_stale(parsed ? &m : nullptr, c.mtime_s, c.mtime_ns, "boot-b"), c.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Marks, DeadRunMark,
    ::testing::Values(
        stale_case{"unmarked", nullptr, 5, 6, stale_verdict::honour},
        stale_case{"held_and_unwritten_since", "42 held boot-b 5.000000006", 5, 6,
                   stale_verdict::take_over},
        // a run died between its "0" and removing its mark; another program then wrote "1"
        stale_case{"written_since", "42 held boot-b 5.000000006", 5, 7, stale_verdict::honour},
        stale_case{"held_from_an_earlier_boot", "42 held boot-a 5.000000006", 5, 6,
                   stale_verdict::take_over},
        // killed while taking, in this boot: the "1" may be another program's
        stale_case{"taking_in_this_boot", "42 taking boot-b", 5, 6, stale_verdict::honour},
        // the power failed while that run took the lock
        stale_case{"taking_before_a_power_cut", "42 taking boot-a", 5, 6, stale_verdict::take_over},
        stale_case{"malformed", "42 held boot-b", 5, 6, stale_verdict::honour},
        // a pid beyond pid_t is no pid: it must not wrap to a run's
        stale_case{"pid_too_wide", "4294967338 held boot-b 5.000000006", 5, 6,
                   stale_verdict::honour},
        stale_case{"pid_negative", "-42 held boot-b 5.000000006", 5, 6, stale_verdict::honour},
        stale_case{"foreign", "anything else", 5, 6, stale_verdict::honour},
        // the start time a run of this release adds changes nothing here
        stale_case{"held_with_its_start", "42 held boot-b 5.000000006 8123", 5, 6,
                   stale_verdict::take_over},
        stale_case{"taking_with_its_start_before_a_power_cut", "42 taking boot-a 8123", 5, 6,
                   stale_verdict::take_over},
        stale_case{"start_not_a_number", "42 held boot-b 5.000000006 -1", 5, 6,
                   stale_verdict::honour},
        // killed between its "1", written right after the mark's sync, and its held mark
        stale_case{"taking_then_its_one", "42 taking boot-b 5.000000006 8123", 5, 400000000,
                   stale_verdict::take_over},
        stale_case{"taking_then_its_one_after_a_slow_sync", "42 taking boot-b 5.000000006 8123", 6,
                   900000000, stale_verdict::take_over},
        // the file system's clock ticks coarser than the mark's
        stale_case{"taking_then_its_one_dated_a_tick_early", "42 taking boot-b 5.000000006 8123", 4,
                   996000000, stale_verdict::take_over},
        // killed before its "1"; another program's "1" came seconds later
        stale_case{"taking_then_a_later_one", "42 taking boot-b 5.000000006 8123", 8, 6,
                   stale_verdict::honour},
        stale_case{"taking_then_a_one_long_after", "42 taking boot-b 5.000000006", 3605, 6,
                   stale_verdict::honour},
        stale_case{"taking_under_a_one_from_before", "42 taking boot-b 5.000000006 8123", 2, 6,
                   stale_verdict::honour},
        stale_case{"taking_with_its_time_before_a_power_cut", "42 taking boot-a 5.000000006 8123",
                   900, 6, stale_verdict::take_over},
        // an older release's taking mark has no time: nothing dates its "1"
        stale_case{"taking_with_only_its_start", "42 taking boot-b 8123", 5, 6,
                   stale_verdict::honour},
        stale_case{"taking_time_not_a_time", "42 taking boot-b 5.x 8123", 5, 6,
                   stale_verdict::honour},
        stale_case{"taking_time_beyond_a_second", "42 taking boot-b 5.1000000000 8123", 6, 6,
                   stale_verdict::honour},
        // a time no clock gives must not wrap into the bound
        stale_case{"taking_time_at_the_end_of_time", "42 taking boot-b 9223372036854775807.0", 5, 6,
                   stale_verdict::honour},
        stale_case{"taking_time_at_the_start_of_time", "42 taking boot-b -9223372036854775807.0", 5,
                   6, stale_verdict::honour}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Every form a taking mark has had reads back the fields the daemon and the
// judge go by.
struct taking_form {
  const char* name;
  const char* mark;
  std::optional<unsigned long long> start;
  long long marked_s, marked_ns;  // -1: no time
};
void PrintTo(const taking_form& c, std::ostream* os) { *os << c.name; }

class TakingMark : public ::testing::TestWithParam<taking_form> {};

TEST_P(TakingMark, ReadsItsTimeAndStart) {
  const taking_form& c = GetParam();
  holder_mark m;
  ASSERT_TRUE(parse_mark(c.mark, m));
  EXPECT_FALSE(m.held);
  EXPECT_EQ(m.pid, 42);
  EXPECT_EQ(m.boot, "boot-b");
  EXPECT_EQ(m.start, c.start);
  ASSERT_EQ(m.marked_at.has_value(), c.marked_s >= 0);
  if (m.marked_at) {
    EXPECT_EQ(m.marked_at->s, c.marked_s);
    EXPECT_EQ(m.marked_at->ns, c.marked_ns);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, TakingMark,
    ::testing::Values(taking_form{"first_release", "42 taking boot-b", std::nullopt, -1, 0},
                      taking_form{"with_its_start", "42 taking boot-b 8123", 8123, -1, 0},
                      taking_form{"with_its_time", "42 taking boot-b 1797010164.000000006 8123",
                                  8123, 1797010164, 6},
                      taking_form{"with_its_time_only", "42 taking boot-b 7.5", std::nullopt, 7,
                                  5}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A run killed right after writing its "1", before its held mark: the next
// run takes the lock at once and names the dead run and how it ended.
TEST_F(LockFile, ARunKilledBeforeItsHeldMarkIsTakenOverAndNamed) {
  write_file(path, "0\n");
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  timespec now{};
  ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &now), 0);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%lld.%09ld", static_cast<long long>(now.tv_sec), now.tv_nsec);
  const std::string mark = std::to_string(dead) + " taking " + boot_id() + " " + stamp + " 8123";
  if (::setxattr(path.c_str(), holder_mark_name, mark.data(), mark.size(), 0) != 0)
    GTEST_SKIP() << "no user extended attributes on " << tmp.path();
  write_file(path, "1\n");
  lock_file lock(dir, never);  // would hang if the lock were honoured
  ASSERT_TRUE(lock.wait());
  ASSERT_TRUE(lock.took_over().has_value());
  EXPECT_EQ(lock.took_over()->pid, dead);
  EXPECT_EQ(lock.took_over()->cause, stale_cause::killed_taking);
  ASSERT_TRUE(lock.take());
  ASSERT_TRUE(lock.release());
  EXPECT_EQ(read_file(path), "0\n");
}

// A sync that fails once armed, as a disk with an I/O error would.
bool syncs_fail = false;
int flaky_sync(int fd) {
  if (!syncs_fail) return ::fsync(fd);
  errno = EIO;
  return -1;
}

TEST_F(LockFile, AZeroThatIsNotDurableKeepsTheMark) {
  write_file(path, "0\n");
  if (::setxattr(path.c_str(), "user.armctl.probe", "1", 1, 0) != 0)
    GTEST_SKIP() << "no user extended attributes on " << tmp.path();
  lock_file lock(dir, never, flaky_sync);
  ASSERT_TRUE(lock.wait());
  ASSERT_TRUE(lock.take());
  syncs_fail = true;
  EXPECT_FALSE(lock.release());
  syncs_fail = false;
  EXPECT_EQ(read_file(path), "0\n");
  char buf[160];
  const ssize_t n = ::getxattr(path.c_str(), "user.armctl.holder", buf, sizeof buf);
  ASSERT_GT(n, 0) << "the mark went before the 0 was on disk";
  EXPECT_NE(std::string(buf, static_cast<std::size_t>(n)).find(" held "), std::string::npos);
}

extern "C" void count_alarm(int) {}

// The wait behind another writer's kernel lock uses a wake-up timer; the
// process's own SIGALRM handler is in place again afterwards.
TEST_F(LockFile, TheWaitGivesSigalrmBackAsItFoundIt) {
  write_file(path, "0\n");
  struct sigaction own {
  }, old{}, after{};
  own.sa_handler = count_alarm;
  ASSERT_EQ(::sigaction(SIGALRM, &own, &old), 0);
  const int fd = place_lock(path, O_RDWR, F_WRLCK);
  ASSERT_GE(fd, 0);
  std::thread waiter([&] {
    lock_file lock(dir, never);
    EXPECT_TRUE(lock.wait());
  });
  std::this_thread::sleep_for(300ms);  // beyond one wake-up of the squat check
  ::close(fd);
  waiter.join();
  ::sigaction(SIGALRM, &old, &after);
  EXPECT_EQ(after.sa_handler, count_alarm);
}

TEST_F(LockFile, AnotherProgramsOneOverAMarkLeftAfterTheZeroIsHonoured) {
  write_file(path, "0\n");
  if (::setxattr(path.c_str(), "user.armctl.probe", "1", 1, 0) != 0)
    GTEST_SKIP() << "no user extended attributes on " << tmp.path();
  take_and_die(dir);
  // As if that run had been killed after writing its "0", before removing
  // its mark; the other program then writes "1", later.
  write_file(path, "0\n");
  write_file(path, "1\n");
  const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 5, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  std::atomic<bool> freed{false};
  std::thread waiter([&] {
    lock_file lock(dir, 5ms);
    EXPECT_TRUE(lock.wait());
    EXPECT_TRUE(freed.load());
  });
  std::this_thread::sleep_for(50ms);
  freed = true;
  write_file(path, "0\n");
  waiter.join();
}

// The start time is field 22 of /proc/<pid>/stat, counted past the command
// name, which may hold spaces and parentheses.
std::string stat_line(const std::string& name, const std::string& start) {
  return "42 (" + name + ") S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 " + start + " 99 100\n";
}

struct stat_case {
  const char* name;
  std::string text;
  std::optional<unsigned long long> start;
};
void PrintTo(const stat_case& c, std::ostream* os) { *os << c.name; }

class StatLine : public ::testing::TestWithParam<stat_case> {};

TEST_P(StatLine, GivesTheStartTime) {
  EXPECT_EQ(start_time_in_stat(GetParam().text), GetParam().start);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StatLine,
    ::testing::Values(
        stat_case{"plain", stat_line("armctl", "8123"), 8123},
        stat_case{"name_with_spaces_and_parentheses", stat_line("a) S 1 (b c) 7", "8123"), 8123},
        stat_case{"wide", stat_line("armctl", "18446744073709551615"), 18446744073709551615ULL},
        stat_case{"cut_short", "42 (armctl) S 1 2 3", std::nullopt},
        stat_case{"no_name", "42 armctl S 1", std::nullopt},
        stat_case{"not_a_number", stat_line("armctl", "81x3"), std::nullopt}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A live process counts as the marked run only when its start time is the
// mark's; a mark without one (an earlier release's) is judged by its pid.
struct holder_case {
  const char* name;
  bool live_pid;
  const char* start;  // "own", "other" or "" (none)
  bool left_by_dead_run;
};
void PrintTo(const holder_case& c, std::ostream* os) { *os << c.name; }

class MarkedRun : public ::testing::TestWithParam<holder_case> {};

// This process's start time, read apart from the code under test.
std::string own_start() {
  const std::string stat = read_file("/proc/self/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) rest >> field;
  return field;
}

pid_t ended_pid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

TEST_P(MarkedRun, IsAliveOnlyWithItsOwnStartTime) {
  const holder_case& c = GetParam();
  testing::scratch_dir tmp;
  const std::string lock = tmp.file(lock_file_name);
  write_file(lock, "1\n");
  const std::string start = std::string(c.start) == "own"     ? " " + own_start()
                            : std::string(c.start) == "other" ? " " + own_start() + "1"
                                                              : "";
  const std::string mark =
      std::to_string(c.live_pid ? ::getpid() : ended_pid()) + " taking " + boot_id() + start;
  if (::setxattr(lock.c_str(), holder_mark_name, mark.data(), mark.size(), 0) != 0)
    GTEST_SKIP() << "no user extended attributes on " << tmp.path();
  EXPECT_EQ(read_lock_state(tmp.path().c_str()).dead.has_value(), c.left_by_dead_run) << mark;
}

INSTANTIATE_TEST_SUITE_P(Marks, MarkedRun,
                         ::testing::Values(holder_case{"its_own_start", true, "own", false},
                                           holder_case{"a_reused_pid", true, "other", true},
                                           holder_case{"earlier_release_live", true, "", false},
                                           holder_case{"earlier_release_ended", false, "", true},
                                           holder_case{"ended", false, "own", true}),
                         [](const auto& tc) { return std::string(tc.param.name); });

// A run's mark names its start, which is after this test's own.
TEST(RunMark, CarriesTheRunsStartTime) {
  testing::scratch_dir tmp;
  const state_dir dir(tmp.path().c_str());
  write_file(tmp.file(lock_file_name), "0\n");
  take_and_die(dir);
  char buf[160];
  const ssize_t got =
      ::getxattr(tmp.file(lock_file_name).c_str(), holder_mark_name, buf, sizeof buf);
  if (got <= 0) GTEST_SKIP() << "no user extended attributes on " << tmp.path();
  holder_mark m;
  ASSERT_TRUE(parse_mark(std::string(buf, static_cast<std::size_t>(got)), m));
  ASSERT_TRUE(m.start.has_value());
  EXPECT_GE(*m.start, std::stoull(own_start()));
}

}  // namespace
}  // namespace armctl

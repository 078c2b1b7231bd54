// The lock file: content protocol, the wait, and mutual exclusion of runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

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
  lock.wait();
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
    lock.wait();
    acquired = true;
    EXPECT_TRUE(freed.load()) << "the wait ended while the file read " << GetParam();
    lock.take();
    lock.release();
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(acquired.load());
  freed = true;
  write_file(path, "0\n");
  waiter.join();
  EXPECT_EQ(read_file(path), "0\n");
}

INSTANTIATE_TEST_SUITE_P(Contents, HeldContent,
                         ::testing::Values("1\n", "-3", " 7 ", "99999999999999\n"));

TEST_F(LockFile, AWaitingRunGoesOnAsSoonAsTheHolderReleases) {
  write_file(path, "0\n");
  lock_file holder(dir, never);
  holder.wait();
  ASSERT_TRUE(holder.take());
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    lock_file lock(dir, never);  // would hang on a content poll
    lock.wait();
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
        lock.wait();
        lock.take();
        if (inside.fetch_add(1) != 0) ++overlaps;
        ++entries;
        std::this_thread::yield();
        inside.fetch_sub(1);
        lock.release();
      }
    });
  for (auto& r : runs) r.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(entries, 8 * 50);
  EXPECT_EQ(read_file(path), "0\n");
}

TEST_F(LockFile, WaitsForAnotherHolderOfTheFileLock) {
  write_file(path, "0\n");
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  std::atomic<bool> unlocked{false};
  std::thread waiter([&] {
    lock_file lock(dir, never);
    lock.wait();
    EXPECT_TRUE(unlocked.load());
  });
  std::this_thread::sleep_for(30ms);
  unlocked = true;
  ::close(fd);
  waiter.join();
}

TEST_F(LockFile, TakeFailsWhenTheFileCannotBeWritten) {
  // The name is a directory: neither take nor release can write it, and the
  // wait does not hang on it.
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  lock_file lock(dir, never);
  lock.wait();
  EXPECT_FALSE(lock.take());
  EXPECT_FALSE(lock.release());
}

TEST_F(LockFile, AMissingDirectoryCountsAsFreeButCannotBeTaken) {
  const state_dir missing(tmp.file("gone").c_str());
  lock_file lock(missing, never);
  lock.wait();
  EXPECT_FALSE(lock.take());
  EXPECT_FALSE(lock.release());
}

TEST_F(LockFile, ALinkInPlaceOfTheLockFileIsNeverWrittenThrough) {
  const std::string sentinel = tmp.file("sentinel");
  write_file(sentinel, "0\n");
  ASSERT_EQ(::symlink(sentinel.c_str(), path.c_str()), 0);
  lock_file lock(dir, never);
  lock.wait();
  EXPECT_FALSE(lock.take());
  EXPECT_FALSE(lock.release());
  EXPECT_EQ(read_file(sentinel), "0\n");
}

}  // namespace
}  // namespace armctl

namespace armctl {
namespace {

TEST_F(LockFile, RunsStillExcludeEachOtherWithoutAUsableLockFile) {
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  lock_file holder(dir, never);
  holder.wait();
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    lock_file lock(dir, never);
    lock.wait();
    EXPECT_TRUE(released.load());
    lock.release();
  });
  std::this_thread::sleep_for(30ms);
  released = true;
  holder.release();
  waiter.join();
}

}  // namespace
}  // namespace armctl

namespace armctl {
namespace {

// A run killed outright between its take and its release.
void take_and_die(const state_dir& dir) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    lock_file lock(dir, never);
    lock.wait();
    lock.take();
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
  lock.wait();
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
    lock.wait();
    lock.take();
    lock.release();
  }
  write_file(path, "1\n");
  std::atomic<bool> freed{false};
  std::thread waiter([&] {
    lock_file lock(dir, 5ms);
    lock.wait();
    EXPECT_TRUE(freed.load());
  });
  std::this_thread::sleep_for(50ms);
  freed = true;
  write_file(path, "0\n");
  waiter.join();
}

}  // namespace
}  // namespace armctl

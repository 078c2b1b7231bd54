// Loading and atomically replacing the position file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/runs/run_start.hpp"
#include "state/lock_file.hpp"
#include "state/position_file.hpp"
#include "support.hpp"

namespace armctl {
namespace {

using testing::exists;
using testing::read_file;
using testing::write_file;

class PositionFile : public ::testing::Test {
 protected:
  testing::scratch_dir tmp;
  std::string position = tmp.file(position_file_name);

  // Temporary files left in the directory by a save.
  int leftover_temp_files() const {
    int count = 0;
    DIR* d = ::opendir(tmp.path().c_str());
    while (const dirent* e = ::readdir(d))
      if (std::string(e->d_name).starts_with("." + std::string(position_file_name))) ++count;
    ::closedir(d);
    return count;
  }
};

TEST_F(PositionFile, LoadReadsTheCounters) {
  write_file(position, "0 -500 30 0 1000 12 \n");
  const state_dir dir(tmp.path().c_str());
  counters c{};
  ASSERT_TRUE(load_counters(dir, c));
  EXPECT_EQ(c, (counters{0, -500, 30, 0, 1000, 12}));
}

TEST_F(PositionFile, LoadFailsOnAMissingFileAndLeavesTheCounters) {
  const state_dir dir(tmp.path().c_str());
  counters c{1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(load_counters(dir, c));
  EXPECT_EQ(c, (counters{1, 2, 3, 4, 5, 6}));
}

TEST_F(PositionFile, LoadRefusesWhatIsNotARegularFile) {
  const state_dir dir(tmp.path().c_str());
  counters c{};
  // A FIFO would block a plain open for reading forever.
  ASSERT_EQ(::mkfifo(position.c_str(), 0666), 0);
  EXPECT_FALSE(load_counters(dir, c));
  ::unlink(position.c_str());
  ASSERT_EQ(::mkdir(position.c_str(), 0777), 0);
  EXPECT_FALSE(load_counters(dir, c));
  ::rmdir(position.c_str());
  write_file(tmp.file("elsewhere"), "1 2 3 4 5 6\n");
  ASSERT_EQ(::symlink("elsewhere", position.c_str()), 0);
  EXPECT_FALSE(load_counters(dir, c));
  EXPECT_EQ(c, counters{});
}

TEST_F(PositionFile, SaveWritesTheWholeFileAndNoTemporaryStays) {
  const state_dir dir(tmp.path().c_str());
  ASSERT_EQ(save_counters(dir, {0, -500, 30, 0, 1000, 12}), save_result::saved);
  EXPECT_EQ(read_file(position), "0 -500 30 0 1000 12 \n");
  EXPECT_EQ(leftover_temp_files(), 0);
}

TEST_F(PositionFile, SaveKeepsThePermissionBitsOfAnExistingFile) {
  write_file(position, "1 1 1 1 1 1 \n");
  ASSERT_EQ(::chmod(position.c_str(), 0640), 0);
  const state_dir dir(tmp.path().c_str());
  ASSERT_EQ(save_counters(dir, {2, 2, 2, 2, 2, 2}), save_result::saved);
  struct stat st {};
  ASSERT_EQ(::stat(position.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_file(position), "2 2 2 2 2 2 \n");
}

TEST_F(PositionFile, SaveCreatesANewFileWithTheDefaultPermissions) {
  const mode_t old_mask = ::umask(027);
  const state_dir dir(tmp.path().c_str());
  const save_result saved = save_counters(dir, {});
  ::umask(old_mask);
  ASSERT_EQ(saved, save_result::saved);
  struct stat st {};
  ASSERT_EQ(::stat(position.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // 0666 less the mask
}

TEST_F(PositionFile, FailedSaveLeavesWhatWasThereAndCleansUp) {
  // The name is taken by a directory: the rename cannot replace it.
  ASSERT_EQ(::mkdir(position.c_str(), 0777), 0);
  const state_dir dir(tmp.path().c_str());
  EXPECT_EQ(save_counters(dir, {1, 2, 3, 4, 5, 6}), save_result::failed);
  struct stat st {};
  ASSERT_EQ(::stat(position.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(leftover_temp_files(), 0);
}

TEST_F(PositionFile, SaveFailsWithoutADirectory) {
  const state_dir dir(tmp.file("no-such-dir").c_str());
  EXPECT_EQ(save_counters(dir, {}), save_result::failed);
}

TEST_F(PositionFile, SaveReplacesALinkInsteadOfWritingThroughIt) {
  const std::string target = tmp.file("sentinel");
  write_file(target, "precious\n");
  ASSERT_EQ(::symlink(target.c_str(), position.c_str()), 0);
  const state_dir dir(tmp.path().c_str());
  ASSERT_EQ(save_counters(dir, {3, 0, 0, 0, 0, 0}), save_result::saved);
  EXPECT_EQ(read_file(target), "precious\n");
  EXPECT_EQ(read_file(position), "3 0 0 0 0 0 \n");
}

// The temporary file has one name: a run killed before its rename leaves one
// file at most, and the next save replaces it instead of adding another.
TEST_F(PositionFile, APreparedSaveReplacesTheLeftoverOfAKilledRun) {
  const state_dir dir(tmp.path().c_str());
  write_file(tmp.file(position_temp_name), "9 9 9");
  {
    pending_save killed(dir);
    ASSERT_TRUE(killed.prepare());
    EXPECT_EQ(leftover_temp_files(), 1);
  }  // abandoned: nothing stays
  EXPECT_EQ(leftover_temp_files(), 0);
  pending_save save(dir);
  ASSERT_TRUE(save.prepare());
  ASSERT_EQ(save.commit({-2147483647 - 1, 2147483647, -1, 0, 1, -2147483647 - 1}),
            save_result::saved);
  EXPECT_EQ(read_file(position), "-2147483648 2147483647 -1 0 1 -2147483648 \n");
  EXPECT_EQ(leftover_temp_files(), 0);
}

// A run's start is read only between its load and its save, while its
// mark names it: before it holds the lock, after its save, or for another
// process, the counters on file may not be the ones it started from.
TEST_F(PositionFile, TheStartUnderAHoldIsReadOnlyBetweenTheLoadAndTheSave) {
  const state_dir dir(tmp.path().c_str());
  write_file(position, "7 -8 9 0 1 2 \n");
  const char* path = tmp.path().c_str();
  EXPECT_FALSE(counters_under_hold(path, ::getpid())) << "no hold yet";
  lock_file lock(dir, std::chrono::milliseconds(1));
  ASSERT_TRUE(lock.wait());
  ASSERT_TRUE(lock.take());
  EXPECT_FALSE(counters_under_hold(path, ::getpid())) << "held, but the save is not prepared";
  pending_save save(dir);
  ASSERT_TRUE(save.prepare());
  EXPECT_EQ(counters_under_hold(path, ::getpid()), (counters{7, -8, 9, 0, 1, 2}));
  EXPECT_FALSE(counters_under_hold(path, ::getppid())) << "another process is not the holder";
  ASSERT_EQ(save.commit({1, 1, 1, 1, 1, 1}), save_result::saved);
  EXPECT_FALSE(counters_under_hold(path, ::getpid())) << "saved: the file holds the end";
  ASSERT_TRUE(lock.release());
}

}  // namespace
}  // namespace armctl

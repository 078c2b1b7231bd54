// The state directory's one replace and one append: what each leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "state/durable.hpp"
#include "state/position_file.hpp"
#include "support.hpp"

namespace armctl {
namespace {

using testing::list_dir;
using testing::read_file;
using testing::write_file;

class Durable : public ::testing::Test {
 protected:
  testing::scratch_dir tmp;
  state_dir dir{tmp.path().c_str()};

  ino_t inode_of(const char* name) const {
    struct stat st {};
    return ::stat(tmp.file(name).c_str(), &st) == 0 ? st.st_ino : 0;
  }
};

struct replace_case {
  const char* name;
  sync_now sync;
  replace_result result;
};
void PrintTo(const replace_case& c, std::ostream* os) { *os << c.name; }

class Replace : public Durable, public ::testing::WithParamInterface<replace_case> {};

TEST_P(Replace, PutsTheWholeTextInPlaceWithItsModeAndNoTemporaryFile) {
  write_file(tmp.file("f"), "old\n");
  write_file(tmp.file(".f.tmp"), "left by a killed writer");
  EXPECT_EQ(replace_file(dir, "f", ".f.tmp", "new\n", 0640, GetParam().sync), GetParam().result);
  EXPECT_EQ(read_file(tmp.file("f")), "new\n");
  struct stat st {};
  ASSERT_EQ(::stat(tmp.file("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(list_dir(tmp.path()), std::vector<std::string>{"f"});
}

INSTANTIATE_TEST_SUITE_P(
    Syncs, Replace,
    ::testing::Values(replace_case{"synced", sync_now::yes, replace_result::replaced},
                      replace_case{"later", sync_now::no, replace_result::replaced_not_synced}));

TEST_F(Durable, AReplaceThatCannotRenameLeavesTheOldFile) {
  ASSERT_EQ(::mkdir(tmp.file("d").c_str(), 0700), 0);
  write_file(tmp.file("d/inside"), "x");  // a full directory is no rename target
  EXPECT_EQ(replace_file(dir, "d", ".d.tmp", "new\n", 0600), replace_result::failed);
  EXPECT_EQ(read_file(tmp.file("d/inside")), "x");
  EXPECT_FALSE(testing::exists(tmp.file(".d.tmp")));
}

TEST_F(Durable, AppendsAddWholeLines) {
  ASSERT_TRUE(append_line(dir, "log", "one\n", 0600));
  ASSERT_TRUE(append_line(dir, "log", "two\n", 0600));
  EXPECT_EQ(read_file(tmp.file("log")), "one\ntwo\n");
}

TEST_F(Durable, ASaveOfTheCountersTheFileHoldsLeavesItInPlace) {
  ASSERT_EQ(save_counters(dir, counters{1, 2, 3, 4, 5, 6}), save_result::saved);
  const ino_t first = inode_of(position_file_name);
  ASSERT_EQ(save_counters(dir, counters{1, 2, 3, 4, 5, 6}), save_result::saved);
  EXPECT_EQ(inode_of(position_file_name), first);
  ASSERT_EQ(save_counters(dir, counters{1, 2, 3, 4, 5, 7}), save_result::saved);
  EXPECT_NE(inode_of(position_file_name), first);
  EXPECT_EQ(list_dir(tmp.path()), std::vector<std::string>{position_file_name});
}

}  // namespace
}  // namespace armctl

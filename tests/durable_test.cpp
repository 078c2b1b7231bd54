// The state directory's one replace and one append: what each leaves behind.
#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

#include "daemon/stores/failure_counts.hpp"
#include "daemon/stores/front_files.hpp"
#include "daemon/stores/history_file.hpp"
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

// An append after a last line cut short starts a line of its own: the torn
// line is lost, the new one is whole. A new file is the arm's account's only.
struct append_case {
  const char* name;
  const char* before;  // null: no file
  const char* after;
};
void PrintTo(const append_case& c, std::ostream* os) { *os << c.name; }

class HistoryAppend : public Durable, public ::testing::WithParamInterface<append_case> {};

TEST_P(HistoryAppend, StartsOnALineOfItsOwn) {
  if (GetParam().before != nullptr) write_file(tmp.file(history_file_name), GetParam().before);
  ASSERT_TRUE(append_history_line(dir, "{\"b\":2}\n", {10, 4096}, std::chrono::seconds(1)));
  EXPECT_EQ(read_file(tmp.file(history_file_name)), GetParam().after);
  struct stat st {};
  ASSERT_EQ(::stat(tmp.file(history_file_name).c_str(), &st), 0);
  if (GetParam().before == nullptr) {
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, HistoryAppend,
    ::testing::Values(append_case{"none", nullptr, "{\"b\":2}\n"},
                      append_case{"whole", "{\"a\":1}\n", "{\"a\":1}\n{\"b\":2}\n"},
                      append_case{"torn", "{\"a\":1}\n{\"a\"", "{\"a\":1}\n{\"a\"\n{\"b\":2}\n"},
                      append_case{"torn_alone", "{\"a", "{\"a\n{\"b\":2}\n"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Ten failures within a minute stop a key until the oldest of them is a
// minute old; the file holds them across restarts, within its slots.
struct stop_case {
  const char* name;
  int failures;  // one a second from t = 1000
  long long asked_at;
  long long wait;
};
void PrintTo(const stop_case& c, std::ostream* os) { *os << c.name; }

class FailureCounts : public Durable, public ::testing::WithParamInterface<stop_case> {};

constexpr failure_rule ten_a_minute{10, 60};

TEST_P(FailureCounts, StopAKeyForWhatIsLeftOfTheMinute) {
  failure_table before(ten_a_minute);
  for (int i = 0; i < GetParam().failures; ++i)
    ASSERT_TRUE(before.record({"address 10.0.0.7", "user ann"}, 1000 + i));
  ASSERT_TRUE(before.save(dir));
  const state_dir reopened(tmp.path().c_str());
  failure_table after(ten_a_minute);  // a daemon started again
  ASSERT_TRUE(after.load(reopened));
  EXPECT_EQ(after.seconds_stopped({"address 10.0.0.7"}, GetParam().asked_at), GetParam().wait);
  EXPECT_EQ(after.seconds_stopped({"user ann"}, GetParam().asked_at), GetParam().wait);
  EXPECT_EQ(after.seconds_stopped({"user bob"}, GetParam().asked_at), 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, FailureCounts,
                         ::testing::Values(stop_case{"nine", 9, 1009, 0},
                                           stop_case{"ten", 10, 1010, 50},
                                           stop_case{"ten_last_second", 10, 1059, 1},
                                           stop_case{"ten_a_minute_on", 10, 1060, 0},
                                           stop_case{"twelve", 12, 1012, 50}),
                         [](const auto& tc) { return std::string(tc.param.name); });

// A full table keeps every key it has, however many others fail: a new key
// is refused its slot (and so its check) until the old ones expire, and
// devices keep room of their own. A failure counted ahead of its check is
// taken back when the check passes.
TEST_F(FailureCounts, AFullTableRefusesNewKeysAndForgetsNone) {
  constexpr failure_rule one_a_minute{1, 60};
  const auto key = [](std::size_t i) { return "user " + std::to_string(i); };
  failure_table t(one_a_minute);
  for (std::size_t i = 0; i < failure_slots; ++i) ASSERT_TRUE(t.record({key(i)}, 1000)) << i;
  EXPECT_FALSE(t.record({"address 10.0.0.9", key(0)}, 1001)) << "no slot for the new address";
  EXPECT_EQ(t.seconds_stopped({"address 10.0.0.9"}, 1001), 0) << "refused, nothing recorded";
  EXPECT_TRUE(t.record({std::string(device_key_prefix) + "ab"}, 1001)) << "devices have room";
  ASSERT_TRUE(t.save(dir));
  failure_table kept(one_a_minute);
  ASSERT_TRUE(kept.load(dir));
  for (const std::size_t i : {std::size_t{0}, failure_slots - 1})
    EXPECT_GT(kept.seconds_stopped({key(i)}, 1030), 0) << "key " << i << " kept its count";
  EXPECT_TRUE(kept.record({"address 10.0.0.9"}, 1060)) << "room once the old ones expired";
  kept.withdraw({"address 10.0.0.9"}, 1060);
  EXPECT_EQ(kept.seconds_stopped({"address 10.0.0.9"}, 1060), 0) << "a check that passed";
  struct stat st {};
  ASSERT_EQ(::stat(tmp.file(login_failures_name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace armctl

// A setuid-root copy of the controller run by an unprivileged account that
// can write the state directory: it must not reach any file outside it, must
// keep the state files' owners and modes, and must hold no privilege after
// the grant.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_fixture.hpp"

namespace armctl::testing {
namespace {

constexpr controller_build probe{ARMCTL_E2E_PRIV, ARMCTL_E2E_PRIV_DIR};
constexpr uid_t owner = 65533;     // the account whose directory it is
constexpr uid_t intruder = 65534;  // can write the directory, runs the program

struct ran {
  int status;
  std::string out;
};

class SetuidRoot : public E2E {
 protected:
  SetuidRoot() : E2E(probe) {}

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to install a setuid-root copy";
    E2E::SetUp();
    copy_path = bin.file("armctl");
    write_file(copy_path, read_file(build.exe));
    struct statvfs fs {};
    if (::statvfs(copy_path.c_str(), &fs) == 0 && (fs.f_flag & ST_NOSUID) != 0)
      GTEST_SKIP() << "the scratch file system ignores setuid bits";
    ASSERT_EQ(::chmod(bin.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(copy_path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(copy_path.c_str(), 04755), 0);
    own(dir, 0777);
    own(lock_path, 0664);
    own(position_path, 0640);
    sentinel = guard.file("sentinel");
    write_file(sentinel, "precious\n");
    ASSERT_EQ(::chmod(guard.path().c_str(), 0755), 0);
  }

  void own(const std::string& path, mode_t mode) {
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  }

  // Runs the setuid copy as the intruder.
  ran run_as_intruder(const std::vector<std::string>& args) {
    const std::string out_path = bin.file("out");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      const gid_t g = intruder;
      if (::setgroups(1, &g) != 0 || ::setresgid(g, g, g) != 0 ||
          ::setresuid(intruder, intruder, intruder) != 0)
        ::_exit(99);
      std::vector<std::string> all{copy_path};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(copy_path.c_str(), argv.data());
      ::_exit(98);
    }
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), read_file(out_path)};
  }

  static struct stat stat_of(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
  }

  scratch_dir bin, guard;
  std::string copy_path, sentinel;
};

TEST_F(SetuidRoot, KeepsOwnersAndModesAndEndsWithoutPrivilege) {
  const ran r = run_as_intruder({"-G", "2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "0,9.5,9.5,0\n7.5,0,7.5,0\n7.5,0,7.5,0\n4.5,0,4.5,0\n19.5,0,19.5,0\n"
            "2,0,0,0,0,0\n");
  for (const auto& [path, mode] : {std::pair{position_path, 0640u}, std::pair{lock_path, 0664u}}) {
    const struct stat st = stat_of(path);
    EXPECT_EQ(st.st_uid, owner) << path;
    EXPECT_EQ(st.st_gid, owner) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
  }
  EXPECT_EQ(read_file(position_path), "2 0 0 0 0 0 \n");
  EXPECT_EQ(read_file(dir + "/creds.log"),
            // the caller stays the real identity, so that it can signal its run
            "Uid:\t65534\t65533\t65533\t65533\nGid:\t65534\t65533\t65533\t65533\n"
            "Groups:\t65533 \nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n"
            "CapAmb:\t0000000000000000\n");
}

struct plant_case {
  const char* name;
  bool position;  // plant at the position file, else at the lock file
  bool hard;      // hard link, else symbolic link
  int status;
};
void PrintTo(const plant_case& c, std::ostream* os) { *os << c.name; }

class PlantedLinks : public SetuidRoot, public ::testing::WithParamInterface<plant_case> {};

TEST_P(PlantedLinks, NeverReachTheFileOutside) {
  const plant_case& c = GetParam();
  const std::string& at = c.position ? position_path : lock_path;
  std::remove(at.c_str());
  ASSERT_EQ(c.hard ? ::link(sentinel.c_str(), at.c_str()) : ::symlink(sentinel.c_str(), at.c_str()),
            0);
  const struct stat before = stat_of(sentinel);
  const ran r = run_as_intruder({"-G", "1"});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(read_file(sentinel), "precious\n");
  const struct stat after = stat_of(sentinel);
  EXPECT_EQ(after.st_uid, 0u);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

INSTANTIATE_TEST_SUITE_P(
    Plants, PlantedLinks,
    ::testing::Values(plant_case{"symlink_lock", false, false, 15},
                      plant_case{"hardlink_lock", false, true, 15},
                      // unreadable, so the run starts from zero and replaces the link
                      plant_case{"symlink_position", true, false, 16},
                      plant_case{"hardlink_position", true, true, 16}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(SetuidRoot, APositionFileReplacedByADirectoryIsLeftAlone) {
  std::remove(position_path.c_str());
  ASSERT_EQ(::mkdir(position_path.c_str(), 0755), 0);
  const ran r = run_as_intruder({"-Q"});
  EXPECT_EQ(r.status, 17);
  EXPECT_TRUE(S_ISDIR(stat_of(position_path).st_mode));
  EXPECT_EQ(read_file(lock_path), "0\n");
}

}  // namespace
}  // namespace armctl::testing

// Privilege handling around the port grant, checked in child processes that
// start with root's rights and read their own /proc/self/status.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <grp.h>
#include <linux/capability.h>
#include <sys/io.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/privileges.hpp"
#include "support.hpp"

namespace armctl {
namespace {

constexpr uid_t owner = 65533;
constexpr uid_t caller = 65534;
const std::string no_caps = "0000000000000000";
constexpr unsigned long long rawio = 1ULL << CAP_SYS_RAWIO;

std::string status_field(const std::string& name) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(name + ":")) {
      const std::size_t start = line.find_first_not_of(" \t", name.size() + 1);
      const std::size_t end = line.find_last_not_of(" \t");
      return start == std::string::npos ? "" : line.substr(start, end + 1 - start);
    }
  return "<none>";
}

unsigned long long caps(const char* set) { return std::stoull(status_field(set), nullptr, 16); }

std::string all_four(unsigned id) {
  const std::string s = std::to_string(id);
  return s + "\t" + s + "\t" + s + "\t" + s;
}

// Runs `body` in a child; its returned text (empty when all went well) is
// the parent's failure message.
std::string in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const std::string message = body();
    if (::write(fds[1], message.data(), message.size()) < 0) ::_exit(2);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string message;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    message.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) message += " (child failed)";
  return message;
}

// Notes what the process holds at the moment of the grant.
struct grant_probe final : public port {
  bool rawio_effective = false;
  uid_t euid = 1;
  bool grant() override {
    rawio_effective = (caps("CapEff") & rawio) != 0;
    euid = ::geteuid();
    return true;
  }
  bool drop() override { return true; }
  void write(std::uint8_t) override {}
};

#define CHILD_EXPECT(cond)                                                            \
  do {                                                                                \
    if (!(cond)) return std::string("line ") + std::to_string(__LINE__) + ": " #cond; \
  } while (0)

class Privileges : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to start with privilege";
  }
  testing::scratch_dir tmp;
  testing::recording_port port;
};

TEST_F(Privileges, ARootRunWorksOnFilesAsTheDirectoryOwnerAndKeepsNothingAfterTheGrant) {
  ASSERT_EQ(::chown(tmp.path().c_str(), owner, owner), 0);
  const std::string failure = in_child([&]() -> std::string {
    state_dir dir(tmp.path().c_str());
    privileges priv = privileges::adopt(dir);
    CHILD_EXPECT(priv.held() == privileges::kind::root);
    CHILD_EXPECT(::geteuid() == owner && ::getegid() == owner);
    CHILD_EXPECT(caps("CapEff") == 0);
    grant_probe probe;
    CHILD_EXPECT(priv.grant(probe));
    CHILD_EXPECT(probe.rawio_effective && probe.euid == 0);
    CHILD_EXPECT(status_field("Uid") == all_four(owner));
    CHILD_EXPECT(status_field("Gid") == all_four(owner));
    CHILD_EXPECT(status_field("Groups") == std::to_string(owner));
    CHILD_EXPECT(status_field("CapPrm") == no_caps);
    CHILD_EXPECT(status_field("CapEff") == no_caps);
    return "";
  });
  EXPECT_EQ(failure, "");
}

// Setuid-root, started by another account: the caller stays the real
// identity, so that it can still signal its run, but can never get root back.
TEST_F(Privileges, ASetuidRunKeepsItsCallerAsTheRealIdentityOnly) {
  ASSERT_EQ(::chown(tmp.path().c_str(), owner, owner), 0);
  const std::string failure = in_child([&]() -> std::string {
    const gid_t g = caller;
    CHILD_EXPECT(::setgroups(1, &g) == 0 && ::setresgid(g, 0, 0) == 0);
    CHILD_EXPECT(::setresuid(caller, 0, 0) == 0);
    state_dir dir(tmp.path().c_str());
    privileges priv = privileges::adopt(dir);
    CHILD_EXPECT(priv.ok() && dir.usable());
    CHILD_EXPECT(::geteuid() == owner);
    CHILD_EXPECT(priv.grant(port));
    const std::string o = std::to_string(owner);
    CHILD_EXPECT(status_field("Uid") == std::to_string(caller) + "\t" + o + "\t" + o + "\t" + o);
    CHILD_EXPECT(status_field("Gid") == std::to_string(caller) + "\t" + o + "\t" + o + "\t" + o);
    CHILD_EXPECT(status_field("CapPrm") == no_caps);
    CHILD_EXPECT(::seteuid(0) != 0);
    return "";
  });
  EXPECT_EQ(failure, "");
}

// Setuid-root does no file work as root: a root-owned state directory is
// given up, and the run goes on as its caller.
TEST_F(Privileges, ASetuidRunRefusesAStateDirectoryOwnedByRoot) {
  const std::string failure = in_child([&]() -> std::string {
    const gid_t g = caller;
    CHILD_EXPECT(::setgroups(1, &g) == 0 && ::setresgid(g, 0, 0) == 0);
    CHILD_EXPECT(::setresuid(caller, 0, 0) == 0);
    state_dir dir(tmp.path().c_str());
    privileges priv = privileges::adopt(dir);
    CHILD_EXPECT(priv.ok() && !dir.usable());
    CHILD_EXPECT(::geteuid() == caller && caps("CapEff") == 0);
    CHILD_EXPECT(priv.give_up());
    CHILD_EXPECT(status_field("Uid") == all_four(caller));
    CHILD_EXPECT(status_field("CapPrm") == no_caps);
    return "";
  });
  EXPECT_EQ(failure, "");
}

// Root itself gains nothing from the program: it keeps root for the files,
// but no capability.
TEST_F(Privileges, AStateDirectoryOwnedByRootKeepsRootButNoCapabilities) {
  const std::string failure = in_child([&]() -> std::string {
    state_dir dir(tmp.path().c_str());
    privileges priv = privileges::adopt(dir);
    CHILD_EXPECT(dir.usable());
    CHILD_EXPECT(::geteuid() == 0);
    CHILD_EXPECT(caps("CapEff") == 0);  // no DAC override for the file work
    CHILD_EXPECT(priv.grant(port));
    CHILD_EXPECT(status_field("Uid") == all_four(0));
    CHILD_EXPECT(status_field("CapPrm") == no_caps);
    CHILD_EXPECT(status_field("CapEff") == no_caps);
    return "";
  });
  EXPECT_EQ(failure, "");
}

TEST_F(Privileges, AFailedGrantStillDropsEverythingAndKeepsItsError) {
  ASSERT_EQ(::chown(tmp.path().c_str(), owner, owner), 0);
  port.grant_ok = false;
  const std::string failure = in_child([&]() -> std::string {
    state_dir dir(tmp.path().c_str());
    privileges priv = privileges::adopt(dir);
    errno = 0;
    CHILD_EXPECT(!priv.grant(port));
    CHILD_EXPECT(errno == EPERM);
    CHILD_EXPECT(status_field("Uid") == all_four(owner));
    CHILD_EXPECT(status_field("CapPrm") == no_caps);
    return "";
  });
  EXPECT_EQ(failure, "");
}

// The walk to the state directory needs only search rights on the way, as
// under a home directory of mode 0711; a link on the way is never followed.
TEST_F(Privileges, TheStateDirectoryIsReachedThroughSearchOnlyDirectoriesButNoLink) {
  const std::string home = tmp.file("home"), state = home + "/public_html";
  ASSERT_EQ(::mkdir(home.c_str(), 0711), 0);
  ASSERT_EQ(::mkdir(state.c_str(), 0777), 0);
  ASSERT_EQ(::symlink("home", tmp.file("link").c_str()), 0);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
  const std::string failure = in_child([&]() -> std::string {
    const gid_t g = caller;
    CHILD_EXPECT(::setgroups(1, &g) == 0 && ::setresgid(g, g, g) == 0);
    CHILD_EXPECT(::setresuid(caller, caller, caller) == 0);
    CHILD_EXPECT(state_dir(state.c_str()).usable());
    CHILD_EXPECT(state_dir((state + "/").c_str()).usable());
    CHILD_EXPECT(!state_dir(tmp.file("link/public_html").c_str()).usable());
    return "";
  });
  EXPECT_EQ(failure, "");
}

// Installed with `setcap cap_sys_rawio+ep` and run by an ordinary account.
TEST_F(Privileges, AFileCapabilityIsEffectiveOnlyForTheGrant) {
  const std::string failure = in_child([&]() -> std::string {
    const gid_t g = caller;
    CHILD_EXPECT(::prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) == 0);
    CHILD_EXPECT(::setgroups(1, &g) == 0 && ::setresgid(g, g, g) == 0);
    CHILD_EXPECT(::setresuid(caller, caller, caller) == 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    data[CAP_TO_INDEX(CAP_SYS_RAWIO)].permitted = CAP_TO_MASK(CAP_SYS_RAWIO);
    data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective = CAP_TO_MASK(CAP_SYS_RAWIO);
    CHILD_EXPECT(::syscall(SYS_capset, &header, data) == 0);

    state_dir dir(tmp.path().c_str());
    privileges priv = privileges::adopt(dir);
    CHILD_EXPECT(priv.held() == privileges::kind::capability);
    CHILD_EXPECT(caps("CapEff") == 0);
    CHILD_EXPECT(caps("CapPrm") == rawio);
    grant_probe probe;
    CHILD_EXPECT(priv.grant(probe));
    CHILD_EXPECT(probe.rawio_effective);
    CHILD_EXPECT(status_field("Uid") == all_four(caller));
    CHILD_EXPECT(status_field("CapPrm") == no_caps);
    CHILD_EXPECT(status_field("CapEff") == no_caps);
    return "";
  });
  EXPECT_EQ(failure, "");
}

TEST(PrivilegesUnprivileged, AnOrdinaryRunChangesNothing) {
  testing::scratch_dir tmp;
  testing::recording_port port;
  const std::string failure = in_child([&]() -> std::string {
    if (::geteuid() == 0) {
      const gid_t g = caller;
      CHILD_EXPECT(::setgroups(1, &g) == 0 && ::setresgid(g, g, g) == 0);
      CHILD_EXPECT(::setresuid(caller, caller, caller) == 0);
    }
    const uid_t uid = ::getuid();
    state_dir dir(tmp.path().c_str());
    privileges priv = privileges::adopt(dir);
    CHILD_EXPECT(priv.held() == privileges::kind::none);
    CHILD_EXPECT(priv.grant(port) && port.grants == 1);
    CHILD_EXPECT(::geteuid() == uid);
    return "";
  });
  EXPECT_EQ(failure, "");
}

// The drop at the end of a run happens without privilege: the kernel asks
// for CAP_SYS_RAWIO only to turn access on.
TEST_F(Privileges, DroppingPortAccessNeedsNoPrivilege) {
  const std::string result = in_child([&]() -> std::string {
    if (::ioperm(port_base, port_count, 1) != 0)
      return errno == ENOSYS ? "no ioperm" : "grant failed as root";
    const gid_t g = caller;
    CHILD_EXPECT(::setgroups(1, &g) == 0 && ::setresgid(g, g, g) == 0);
    CHILD_EXPECT(::setresuid(caller, caller, caller) == 0);
    CHILD_EXPECT(::ioperm(port_base, port_count, 0) == 0);
    return "";
  });
  if (result == "no ioperm") GTEST_SKIP() << "this kernel has no ioperm (ENOSYS)";
  EXPECT_EQ(result, "");
}

}  // namespace
}  // namespace armctl

// Small static helper for the hardware runs under QEMU: runs a program as
// another account, gives a file cap_sys_rawio, and marks case boundaries on
// the port's control register so the host can split the traced data bytes.
#include <grp.h>
#include <linux/capability.h>
#include <sys/io.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "hil-tool: %s: %s\n", what, std::strerror(errno));
  return 125;
}

unsigned number(const char* text) { return static_cast<unsigned>(std::strtoul(text, nullptr, 0)); }

// as UID GID PROGRAM ARGS...: all three uids and gids, one supplementary group.
int run_as(int argc, char** argv) {
  if (argc < 4) return 2;
  const auto uid = static_cast<uid_t>(number(argv[1]));
  const auto gid = static_cast<gid_t>(number(argv[2]));
  if (::setgroups(1, &gid) != 0) return fail("setgroups");
  if (::setresgid(gid, gid, gid) != 0) return fail("setresgid");
  if (::setresuid(uid, uid, uid) != 0) return fail("setresuid");
  ::execv(argv[3], argv + 3);
  return fail("execv");
}

// setcap-rawio FILE: what `setcap cap_sys_rawio+ep FILE` writes (revision 2).
int setcap_rawio(int argc, char** argv) {
  if (argc != 2) return 2;
  vfs_cap_data cap{};
  cap.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
  cap.data[CAP_TO_INDEX(CAP_SYS_RAWIO)].permitted = CAP_TO_MASK(CAP_SYS_RAWIO);
  if (::setxattr(argv[1], "security.capability", &cap, XATTR_CAPS_SZ_2, 0) != 0)
    return fail("setxattr");
  return 0;
}

// mark N: one byte to the control register (0x37a); the controller only
// ever writes the data register, so these writes delimit its runs.
int mark(int argc, char** argv) {
  if (argc != 2) return 2;
  constexpr unsigned short control = 0x37a;
  if (::ioperm(control, 1, 1) != 0) return fail("ioperm");
  ::outb(static_cast<unsigned char>(number(argv[1])), control);
  return 0;
}

struct command {
  std::string_view name;
  int (*run)(int, char**);
};
constexpr command commands[] = {{"as", run_as}, {"setcap-rawio", setcap_rawio}, {"mark", mark}};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2)
    for (const auto& c : commands)
      if (c.name == argv[1]) return c.run(argc - 1, argv + 1);
  std::fprintf(stderr, "usage: hil-tool as UID GID PROG ARGS | setcap-rawio FILE | mark N\n");
  return 2;
}

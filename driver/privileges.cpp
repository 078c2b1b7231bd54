// Switching identities and capabilities around the port grant.
#include "driver/privileges.hpp"

#include <cerrno>
#include <grp.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "driver/run.hpp"

namespace armctl {
namespace {

struct capability_sets {
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
};

bool get_caps(capability_sets& caps) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, caps.data) == 0;
}

bool set_caps(const capability_sets& caps) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &header, caps.data) == 0;
}

constexpr unsigned rawio_index = CAP_TO_INDEX(CAP_SYS_RAWIO);
constexpr __u32 rawio_mask = CAP_TO_MASK(CAP_SYS_RAWIO);

bool rawio_permitted() {
  capability_sets caps{};
  return get_caps(caps) && (caps.data[rawio_index].permitted & rawio_mask) != 0;
}

// Only cap_sys_rawio stays permitted, and nothing is effective.
bool keep_rawio_permitted_only() {
  capability_sets caps{};
  caps.data[rawio_index].permitted = rawio_mask;
  return set_caps(caps);
}

bool make_rawio_effective() {
  capability_sets caps{};
  caps.data[rawio_index].permitted = rawio_mask;
  caps.data[rawio_index].effective = rawio_mask;
  return set_caps(caps);
}

bool clear_caps() { return set_caps(capability_sets{}); }

// Makes every permitted capability effective, or none.
bool set_effective(bool on) {
  capability_sets caps{};
  if (!get_caps(caps)) return false;
  for (auto& word : caps.data) word.effective = on ? word.permitted : 0;
  return set_caps(caps);
}

}  // namespace

privileges privileges::adopt(state_dir& dir) {
  privileges p;
  p.uid_ = p.caller_uid_ = ::getuid();
  p.gid_ = p.caller_gid_ = ::getgid();
  if (::geteuid() == 0) {
    p.kind_ = kind::root;
    // Setuid-root never works on files as root: a directory that root owns
    // is given up like one that cannot be opened. A caller that is root
    // itself gains nothing from the program and keeps its rights.
    if (!dir.owner(p.uid_, p.gid_) || (p.uid_ == 0 && p.caller_uid_ != 0)) {
      dir.refuse();
      p.uid_ = p.caller_uid_;
      p.gid_ = p.caller_gid_;
    }
    // A caller that is root itself keeps no way back to root.
    if (p.caller_uid_ == 0) {
      p.caller_uid_ = p.uid_;
      p.caller_gid_ = p.gid_;
    }
    // The saved identity stays root, so that the grant can get it back.
    // A non-root effective identity loses the effective capabilities by
    // itself; without a directory to work as, they are lowered by hand.
    if (::setgroups(1, &p.gid_) != 0 || ::setegid(p.gid_) != 0 || ::seteuid(p.uid_) != 0 ||
        !set_effective(false))
      p.ok_ = p.drop_for_good();
  } else if (rawio_permitted()) {
    p.kind_ = kind::capability;
    if (!keep_rawio_permitted_only()) p.ok_ = p.drop_for_good();
  }
  return p;
}

bool privileges::raise() {
  switch (kind_) {
    case kind::root:
      return ::seteuid(0) == 0 && set_effective(true);
    case kind::capability:
      return make_rawio_effective();
    case kind::none:
      return true;
  }
  return true;
}

bool privileges::drop_for_good() {
  if (kind_ == kind::root) {
    // Root again first: changing groups and the saved identity needs it.
    if (::seteuid(0) != 0 || !set_effective(true) || ::setgroups(1, &gid_) != 0 ||
        ::setresgid(caller_gid_, gid_, gid_) != 0 || ::setresuid(caller_uid_, uid_, uid_) != 0)
      return false;
  }
  if (kind_ != kind::none && !clear_caps()) return false;
  kind_ = kind::none;
  return true;
}

bool privileges::grant(port& p) {
  const bool raised = raise();
  int err = errno;
  const bool granted = raised && p.grant();
  if (raised) err = errno;
  if (!give_up()) return false;
  errno = err;
  return granted;
}

bool privileged_port::grant() {
  const bool granted = priv_.grant(inner_);
  if (!priv_.ok()) privilege_failure();
  return granted;
}

}  // namespace armctl

// Least privilege: whatever the program was started with (setuid-root, root,
// or the file capability cap_sys_rawio) serves the port grant and nothing
// else. The state files are handled with the rights of the state
// directory's owner (or, without root, of the caller), and once port access
// is granted every privilege is given up for good; dropping port access at
// the end needs none.
#pragma once

#include <sys/types.h>

#include "motor/port.hpp"
#include "state/state_dir.hpp"

namespace armctl {

class privileges {
 public:
  enum class kind { none, root, capability };

  // Called once the state directory is open, before any file in it is
  // touched. A run with root privilege switches its effective identity to
  // the directory's owner (as found on the open directory), keeping root only
  // as its saved identity for the grant; started setuid-root by another
  // account, it refuses a root-owned directory (`dir` is given up), since no
  // file work is ever done as root for a caller who is not. A run with
  // the file capability keeps it permitted but not effective. `ok()` is false
  // when the identities could not be set: the run must end before any file
  // work.
  static privileges adopt(state_dir& dir);

  // Raises the privilege, grants port access, and drops every privilege for
  // good, whatever the grant's outcome. False (errno set) when the grant
  // failed; `ok()` turns false when the drop failed.
  bool grant(port& p);
  // Gives every privilege up for good without using it; false on failure.
  bool give_up() { return ok_ = drop_for_good(); }

  kind held() const { return kind_; }
  bool ok() const { return ok_; }

 private:
  bool raise();
  bool drop_for_good();

  kind kind_ = kind::none;
  bool ok_ = true;
  uid_t uid_ = 0;  // identity for the file work and the rest of the run
  gid_t gid_ = 0;
  uid_t caller_uid_ = 0;  // stays the real identity, so that the caller can signal the run
  gid_t caller_gid_ = 0;
};

// The port as the run sees it: the grant goes through the privileges.
class privileged_port final : public port {
 public:
  privileged_port(port& inner, privileges& priv) : inner_(inner), priv_(priv) {}
  // A privilege that could not be given up after the grant ends the run at
  // once (privilege_failure), before any further file work.
  bool grant() override;
  bool drop() override { return inner_.drop(); }
  void write(std::uint8_t value) override { inner_.write(value); }

 private:
  port& inner_;
  privileges& priv_;
};

}  // namespace armctl

// Least privilege: whatever the program was started with (setuid-root, root,
// or the file capability cap_sys_rawio) serves the port grant and nothing
// else. The state files are handled with the rights of the state
// directory's owner (or, without root, of the caller), and once port access
// is granted every privilege is given up for good; dropping port access at
// the end needs none.
#pragma once

#include <sys/types.h>

#include "motor/port.hpp"

namespace armctl {

class privileges {
 public:
  enum class kind { none, root, capability };

  // Called before any file is touched. A run with root privilege switches its
  // effective identity to the owner of `state_dir`, keeping root only as its
  // saved identity for the grant; a run with the file capability keeps it
  // permitted but not effective.
  static privileges adopt(const char* state_dir);

  // Raises the privilege, grants port access, and drops every privilege for
  // good, whatever the grant's outcome. False (errno set) when the grant or
  // the drop failed.
  bool grant(port& p);

  kind held() const { return kind_; }

 private:
  bool raise();
  bool drop_for_good();

  kind kind_ = kind::none;
  uid_t uid_ = 0;  // identity for the file work and the rest of the run
  gid_t gid_ = 0;
};

// The port as the run sees it: the grant goes through the privileges.
class privileged_port final : public port {
 public:
  privileged_port(port& inner, privileges& priv) : inner_(inner), priv_(priv) {}
  bool grant() override { return priv_.grant(inner_); }
  bool drop() override { return inner_.drop(); }
  void write(std::uint8_t value) override { inner_.write(value); }

 private:
  port& inner_;
  privileges& priv_;
};

}  // namespace armctl

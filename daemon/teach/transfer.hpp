// Taught work brought back to the machine: what an import adds, replaces
// and leaves, and whether the rules of saving allow it.
#pragma once

#include <string>
#include <vector>

#include "daemon/stores/taught.hpp"

namespace armctl::front {

// {"import": {"format", "version", "poses", "sequences"}, "apply": bool}:
// taught work from an export, previewed or stored.
struct import_query {
  std::vector<named_pose> poses;
  std::vector<sequence> sequences;
  bool apply = false;
};

// What an import would do to the store: each imported name as added,
// replacing a different one, or the same as stored; or why it is refused.
struct import_preview {
  edit_outcome outcome = edit_outcome::done;  // done, builtin, full or unknown_poses
  std::vector<std::string> pose_adds, pose_replaces, pose_unchanged;
  std::vector<std::string> sequence_adds, sequence_replaces, sequence_unchanged;
  taught merged;  // the store once imported
};
import_preview preview_import(const taught& store, const import_query& q);

}  // namespace armctl::front

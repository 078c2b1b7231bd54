// Taught work carried off the machine and back: the export of the stored
// poses and sequences as one JSON document, and its import, previewed or
// stored in one replace of the poses file, under the rules of saving.
#pragma once

#include <string>
#include <vector>

#include "daemon/http/handler.hpp"
#include "daemon/teach/taught.hpp"

namespace armctl::front {

// What an import would do to the store: each imported name as added,
// replacing a different one, or the same as stored; or why it is refused.
struct import_preview {
  edit_outcome outcome = edit_outcome::done;  // done, builtin, full or unknown_poses
  std::vector<std::string> pose_adds, pose_replaces, pose_unchanged;
  std::vector<std::string> sequence_adds, sequence_replaces, sequence_unchanged;
  taught merged;  // the store once imported
};
import_preview preview_import(const taught& store, const import_query& q);

// The store as an export document (home is built in and not exported).
json export_json(const taught& t);

reply answer_export(const context& c);
reply answer_import(const import_query& q, const context& c);

// What the history records of an import: its size, not its whole body.
json import_summary(const import_query& q);

}  // namespace armctl::front

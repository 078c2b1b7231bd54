// Taught work carried off the machine and back: the export of the stored
// poses and sequences as one JSON document, and its import, previewed or
// stored in one replace of the poses file, under the rules of saving.
#pragma once

#include "daemon/http/handler.hpp"
#include "daemon/stores/taught.hpp"
#include "daemon/teach/transfer.hpp"

namespace armctl::front {

// The store as an export document (home is built in and not exported).
json export_json(const taught& t);

reply answer_export(const context& c);
reply answer_import(const import_query& q, const context& c);

// What the history records of an import: its size, not its whole body.
json import_summary(const import_query& q);

}  // namespace armctl::front

// The record of every release of a lock that a dead run left: who freed it,
// when, and the mark it had, one JSON line each in the state directory.
#pragma once

#include <string>

#include "state/state_dir.hpp"

namespace armctl::front {

// Appends {"at", "by", "mark"}; the server's log says when it cannot.
void record_unlock(const state_dir& dir, const std::string& by, const std::string& mark);

}  // namespace armctl::front

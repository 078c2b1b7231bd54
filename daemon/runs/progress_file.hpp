// The run in progress, as the front end process that watches it publishes
// it for the state GET: ephemeral, so replaced without a sync and removed
// when the run ends; and tied to that process, so that one left by a killed
// front end never shows a run that is no longer there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/state_dir.hpp"

namespace armctl {

inline constexpr const char* progress_file_name = "run-progress.dat";

// Replaces the file with `payload`, owned by this process; readable by the
// state directory's account only. False when it could not be written.
[[nodiscard]] bool write_progress(const state_dir& dir, std::string_view payload);

// The payload, when the file is there and the process that wrote it is still
// alive (the same process: its id and its start time both match).
std::optional<std::string> read_progress(const state_dir& dir);

// Removes the file if this process wrote it (a later run's is left alone).
void remove_progress(const state_dir& dir);

}  // namespace armctl

// Before any file work, the process its caller handed over is made fit to
// run with privilege, as su and passwd do: whatever limits, descriptors,
// environment, signal settings and file-creation mask the caller chose.
#pragma once

#include <sys/types.h>

namespace armctl {

// The mask of every state file created by a run: new files get 0644.
inline constexpr mode_t file_creation_mask = 022;
// Descriptors a run may hold at once (standard streams, the state directory,
// the lock file, the save's temporary file, a file being read), with room.
inline constexpr unsigned long open_files_needed = 32;

// Opens descriptors 0 to 2 on /dev/null where the caller closed them, so
// that no state file is ever handed one of them; clears the environment;
// resets the signal dispositions the caller ignored and unblocks every
// signal; raises the open-file limit to what a run needs where the hard limit
// allows; keeps a CPU-time limit from killing the run without warning; sets
// the fixed file-creation mask.
void sanitize_process();

}  // namespace armctl

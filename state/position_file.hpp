// The position file: the six counters as "%d " each and a final "\n", read
// back with six "%d" conversions; and the summary line echoed on stdout.
#pragma once

#include <string>
#include <string_view>

#include "state/counters.hpp"
#include "state/state_dir.hpp"

namespace armctl {

// Fills `into` from the file; false (counters untouched) when it cannot be
// opened or read.
bool load_counters(const state_dir& dir, counters& into);

// Six conversions in index order. One that finds no number leaves its
// counter as it was; a number outside the 32-bit range fails the same way,
// and like a non-number it also fails every conversion after it.
void parse_counters(std::string_view text, counters& into);

// "0 -500 30 0 1000 12 \n"
std::string position_text(const counters& c);
// "0,-500,30,0,1000,12\n"
std::string summary_line(const counters& c);

// Replaces the file atomically (temporary file, fsync, rename, fsync of the
// directory), keeping an existing file's permission bits. On any failure the
// old file is left as it was, the temporary file is removed, and false is
// returned.
bool save_counters(const state_dir& dir, const counters& c);

}  // namespace armctl

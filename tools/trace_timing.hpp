// How evenly the writes of a port log came: each write is due one delay
// after the one before it, so every interval is compared with the delay.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tools/port_trace.hpp"

namespace armctl::trace {

struct timing {
  std::size_t writes = 0;
  // |interval - delay| in microseconds, nearest-rank percentiles.
  double p50_us = 0, p99_us = 0, max_us = 0;
  double shortest = 0;   // shortest interval as a fraction of the delay
  double drift_ppm = 0;  // first-to-last time against (writes - 1) delays
};

// Figures for one run's writes, in log order; all zero below two writes or
// for a delay that is not positive.
timing time_writes(std::span<const write_record> run, long long delay_ns);

// Nearest-rank percentile (0 < p <= 100) of `values`, which it sorts; 0 if empty.
double percentile(std::vector<double>& values, double p);

// Cuts a log that several runs appended to into the runs. Every run ends
// with the shoulder's release cycle (..., 0xfd) and the next one begins with
// the shoulder's hold (0x34) or, without options, its release (0xfc); inside
// a run that same seam comes right on schedule, between runs it takes the
// end of one process and the start of the next. So a seam whose interval is
// more than one and a half delays starts a new run. Without a delay the
// whole log is one run.
std::vector<std::span<const write_record>> split_runs(std::span<const write_record> writes,
                                                      long long delay_ns);

}  // namespace armctl::trace

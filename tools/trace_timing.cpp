// Interval statistics of the port log's own timestamps.
#include "tools/trace_timing.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace armctl::trace {
namespace {

constexpr double ns_per_us = 1000.0;

bool ends_run(std::uint8_t byte) { return byte == 0xFD; }
bool starts_run(std::uint8_t byte) { return byte == 0x34 || byte == 0xFC; }

}  // namespace

double percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

timing time_writes(std::span<const write_record> run, long long delay_ns) {
  timing t;
  t.writes = run.size();
  if (run.size() < 2 || delay_ns <= 0) return t;
  std::vector<double> errors;
  errors.reserve(run.size() - 1);
  long long shortest = run[1].ns - run[0].ns;
  for (std::size_t i = 1; i < run.size(); ++i) {
    const long long interval = run[i].ns - run[i - 1].ns;
    shortest = std::min(shortest, interval);
    errors.push_back(static_cast<double>(std::llabs(interval - delay_ns)) / ns_per_us);
  }
  const double delay = static_cast<double>(delay_ns);
  const double nominal = delay * static_cast<double>(run.size() - 1);
  t.shortest = static_cast<double>(shortest) / delay;
  t.drift_ppm = (static_cast<double>(run.back().ns - run.front().ns) - nominal) / nominal * 1e6;
  t.p50_us = percentile(errors, 50);
  t.p99_us = percentile(errors, 99);
  t.max_us = errors.back();
  return t;
}

std::vector<std::span<const write_record>> split_runs(std::span<const write_record> writes,
                                                      long long delay_ns) {
  std::vector<std::span<const write_record>> runs;
  std::size_t begin = 0;
  if (delay_ns <= 0) return {writes};  // no schedule to tell a seam by
  for (std::size_t i = 1; i < writes.size(); ++i) {
    const long long gap = writes[i].ns - writes[i - 1].ns;
    if (ends_run(writes[i - 1].byte) && starts_run(writes[i].byte) && 2 * gap > 3 * delay_ns) {
      runs.push_back(writes.subspan(begin, i - begin));
      begin = i;
    }
  }
  if (begin < writes.size()) runs.push_back(writes.subspan(begin));
  return runs;
}

}  // namespace armctl::trace

// The state's view of the run under way, from the arm's record of its
// reports and the clock.
#include "daemon/http/progress.hpp"

#include "daemon/runs/progress.hpp"

namespace armctl::front {
namespace {

// Each option prints five report lines before it moves; the run ends with
// the line of its counters.
constexpr std::size_t lines_per_report = 5;

std::int64_t ns_since(steady::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now() - t).count();
}

double seconds_of(std::int64_t cycles, std::int64_t delay_ns) {
  return in_seconds(std::chrono::nanoseconds(cycles * delays_per_cycle * delay_ns));
}

}  // namespace

void progress_tracker::operator()(std::string_view chunk) {
  for (const char ch : chunk) {
    if (ch != '\n') continue;
    ++lines_;
    // The first report comes once the run holds the lock and has read the
    // position file, which no one else writes until it ends: read now, it
    // holds the counters the run starts from.
    const std::size_t running = lines_ / lines_per_report;
    if (lines_ % lines_per_report == 0 && running <= q_.options.size())
      c_.runs->option_reported(running,
                               running == 1 ? read_counters(c_.paths.state_dir) : std::nullopt);
  }
}

json run_in_progress(const context& c) {
  const std::optional<run_progress> p = c.runs->progress();
  if (!p || p->option == 0 || p->option > p->options.size()) return nullptr;
  const move_query q{p->options};
  const std::int64_t delay = c.paths.controller_delay_ns;
  const progress_point at = progress_at(q, p->start, p->option, ns_since(p->option_at), delay);
  const option& o = q.options[p->option - 1];
  json run{{"option", p->option},
           {"options", q.options.size()},
           {"letter", std::string(1, o.letter)},
           {"steps", o.count ? json(*o.count) : json(nullptr)},
           {"expected", at.expected},
           {"elapsed_s", in_seconds(std::chrono::nanoseconds(ns_since(p->run_at)))},
           {"estimate_s", seconds_of(at.total_cycles, delay)},
           {"left_s", seconds_of(at.total_cycles - at.done_cycles, delay)}};
  // Who moves the arm names an account to guess for: operators' alone.
  if (!c.user.empty()) run["by"] = p->by;
  return run;
}

}  // namespace armctl::front

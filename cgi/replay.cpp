// Replaying a move on paper: the command table's rows, the guards and the
// pose calculation, without a port.
#include "cgi/replay.hpp"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "driver/commands.hpp"
#include "geometry/segment.hpp"
#include "state/position_file.hpp"

namespace armctl::cgi {
namespace {

std::string line_of(const segment& s) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%lg,%lg,%lg,%lg", s.x, s.y, s.r, s.theta);
  return buf;
}

std::vector<std::string> lines_of(const pose& p) {
  return {line_of(p.base), line_of(p.shoulder), line_of(p.elbow), line_of(p.wrist),
          line_of(p.total)};
}

pose pose_of(const counters& c) { return pose_at(c[4], c[1], c[2]); }

bool in_32_bits(long long v) {
  return v >= std::numeric_limits<std::int32_t>::min() &&
         v <= std::numeric_limits<std::int32_t>::max();
}

// Position letters: a fixed inclusive range on the counter; the report
// shows the pose before the move.
replayed_option position_move(const command& c, long long target, counters& data_) {
  replayed_option r{lines_of(pose_of(data_)), false, std::nullopt};
  const bool inside = c.sign > 0 ? target <= c.limit : target >= c.limit;
  if (inside) {
    data_[c.counter] = static_cast<std::int32_t>(target);
    return r;
  }
  r.refused = true;
  const double limit = static_cast<double>(c.limit);
  r.reason = refusal_reason{c.counter,
                            "range",
                            std::string(c.sign > 0 ? "<= " : ">= ") + std::to_string(c.limit),
                            static_cast<double>(target),
                            limit,
                            std::abs(static_cast<double>(target) - limit),
                            std::nullopt,
                            false};
  return r;
}

// Geometry letters: the guard judges the pose reached and the way to it;
// the report shows the pose reached.
replayed_option geometry_move(const command& c, long long target, counters& data_) {
  replayed_option r{lines_of(pose_with(data_, c.counter, target)), false, std::nullopt};
  if (!in_32_bits(target)) {
    r.refused = true;
    r.reason = refusal_reason{
        c.counter,    "32-bit range", "within the 32-bit range", static_cast<double>(target), 0, 0,
        std::nullopt, false};
    return r;
  }
  if (const auto breach = first_breach(c.guard, data_, c.counter, target)) {
    r.refused = true;
    r.reason = refusal_reason{c.counter,     breach->quantity, breach->rule, breach->value,
                              breach->limit, breach->beyond,   breach->at,   breach->on_the_way};
    return r;
  }
  data_[c.counter] = static_cast<std::int32_t>(target);
  return r;
}

}  // namespace

replay replay_options(const move_query& q, counters start) {
  replay out;
  for (const option& o : q.options) {
    const command* c = find_command(o.letter);
    if (c == nullptr) continue;
    if (c->sign == 0) {
      out.options.push_back({lines_of(pose_of(start)), false, std::nullopt});
      continue;
    }
    const long long n = std::strtoll(o.count.value_or("0").c_str(), nullptr, 10);
    const long long target = static_cast<long long>(start[c->counter]) + c->sign * n;
    const bool geometry = c->guard[0].holds != nullptr;
    out.options.push_back(geometry ? geometry_move(*c, target, start)
                                   : position_move(*c, target, start));
  }
  out.final = start;
  return out;
}

std::vector<std::string> printed_lines(const replay& r) {
  std::vector<std::string> lines;
  for (const replayed_option& o : r.options)
    lines.insert(lines.end(), o.report.begin(), o.report.end());
  std::string summary = summary_line(r.final);
  if (!summary.empty() && summary.back() == '\n') summary.pop_back();
  lines.push_back(summary);
  return lines;
}

}  // namespace armctl::cgi

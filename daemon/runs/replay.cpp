// Replaying a move on paper: the model's judgement of each option, in turn,
// from the counters read before the run.
#include "daemon/runs/replay.hpp"

#include <cstdlib>

#include "model/judge.hpp"
#include "state/position_file.hpp"

namespace armctl::front {
namespace {

std::vector<std::string> lines_of(const pose& p) {
  return {report_line(p.base), report_line(p.shoulder), report_line(p.elbow), report_line(p.wrist),
          report_line(p.total)};
}

std::string rule_of(const command& c, const breach& b) {
  switch (b.kind) {
    case breach_kind::range:
      return std::string(c.sign > 0 ? "<= " : ">= ") + std::to_string(c.limit);
    case breach_kind::int32_range:
      return "within the 32-bit range";
    case breach_kind::negative_count:
      return ">= 0";
    case breach_kind::condition:
      break;
  }
  return rule_text(*b.broken);
}

std::string guard_of(const breach& b) {
  switch (b.kind) {
    case breach_kind::range:
      return "range";
    case breach_kind::int32_range:
      return "32-bit range";
    case breach_kind::negative_count:
      return "count";
    case breach_kind::condition:
      break;
  }
  return quantity_name(b.broken->what);
}

}  // namespace

// A breach of a counter's range or of the 32-bit range names no pose; one of
// a condition names the counter value of the pose that breaks it.
refusal_reason reason_of(const command& c, const breach& b) {
  const bool on_a_pose = b.kind == breach_kind::condition;
  const bool no_margin = b.kind == breach_kind::int32_range;
  return refusal_reason{c.counter,
                        guard_of(b),
                        rule_of(c, b),
                        b.value,
                        no_margin ? 0 : b.limit,
                        no_margin ? 0 : std::abs(b.value - b.limit),
                        on_a_pose ? std::optional<long long>(b.at) : std::nullopt,
                        on_a_pose && b.on_the_way};
}

replay replay_options(const move_query& q, counters start) {
  replay out;
  for (const option& o : q.options) {
    const command* c = find_command(o.letter);
    if (c == nullptr) continue;
    const judgement j = judge(start, *c, o.count.value_or(0));
    replayed_option r{lines_of(j.report), !j.allowed(), std::nullopt};
    if (j.refusal) r.reason = reason_of(*c, *j.refusal);
    out.options.push_back(r);
    start = j.after;
  }
  out.final = start;
  return out;
}

replay replay_of(const plan& p) {
  replay out;
  counters at = p.start;
  for (const planned_move& m : p.moves) {
    const counters before = at;
    at[m.letter->counter] = static_cast<std::int32_t>(std::int64_t{at[m.letter->counter]} +
                                                      std::int64_t{m.letter->sign} * m.count);
    const bool reports_before = m.letter->kind == command_kind::position;
    out.options.push_back({lines_of(calc(reports_before ? before : at)), false, std::nullopt});
  }
  out.final = at;
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

}  // namespace armctl::front

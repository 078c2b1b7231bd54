// Building the answers; the run's standard output is only ever read, as
// numbers, never passed on as text.
#include "daemon/http/answer.hpp"

#include <cstdlib>
#include <sstream>
#include <vector>

#include "model/joint_words.hpp"
#include "model/pose.hpp"
#include "model/status.hpp"

namespace armctl::front {
namespace {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool is_summary(const std::string& line) {
  int commas = 0;
  for (char ch : line) {
    if (ch == ',')
      ++commas;
    else if (!(ch == '-' || (ch >= '0' && ch <= '9')))
      return false;
  }
  return commas == 5;
}

json summary_counters(const std::string& summary) {
  json out = json::array();
  std::istringstream in(summary);
  for (std::string f; std::getline(in, f, ',');)
    out.push_back(std::strtoll(f.c_str(), nullptr, 10));
  return out;
}

json option_json(const option& o, const std::vector<std::string>& lines, std::size_t first) {
  json j{{"option", std::string{'-', o.letter}}};
  if (o.count) j["count"] = *o.count;
  json report = json::array();
  for (std::size_t i = first; i < first + 5 && i < lines.size(); ++i)
    report.push_back(report_numbers(lines[i]));
  j["report"] = report;
  return j;
}

}  // namespace

json report_numbers(const std::string& line) {
  json out = json::array();
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, ',');) {
    char* end = nullptr;
    const double v = std::strtod(f.c_str(), &end);
    out.push_back(end != f.c_str() && *end == '\0' ? json(v) : json(nullptr));
  }
  return out;
}

json reason_json(const refusal_reason& r) {
  json j{{"counter", r.counter}, {"guard", r.guard}, {"rule", r.rule},
         {"value", r.value},     {"limit", r.limit}, {"beyond", r.beyond}};
  if (r.at) {
    j["at"] = *r.at;
    j["on_the_way"] = r.on_the_way;
  }
  return j;
}

json latch_fields(const std::optional<latch>& stop) {
  json j{{"stopped", stop.has_value()}};
  if (stop) {
    j["stopped_by"] = stop->by;
    j["stopped_at"] = stop->at;
    j["stopped_from"] = stop->from;
  }
  return j;
}

json holder_fields(const holder& h) {
  return {{"pid", h.mark.pid}, {"state", h.mark.held ? "held" : "taking"}, {"boot", h.mark.boot}};
}

json state_answer(const std::optional<counters>& c, const lock_state& lock,
                  const std::optional<latch>& stop) {
  json j = latch_fields(stop);
  j["lock"] = {{"held", lock.held ? json(*lock.held) : json(nullptr)}};
  if (lock.dead)
    j["lock"]["left_by_dead_run"] = {{"state", lock.dead->mark.held ? "held" : "taking"}};
  if (!c) {
    j["counters"] = nullptr;
    j["report"] = nullptr;
    return j;
  }
  j["counters"] = *c;
  j["report"] = report_json(calc(*c));
  return j;
}

json report_json(const pose& p) {
  json report = json::array();
  for (const segment& s : {p.base, p.shoulder, p.elbow, p.wrist, p.total})
    report.push_back({s.x, s.y, s.r, s.theta});
  return report;
}

json run_answer(const move_query& q, const run_output& run, const replay& r) {
  std::vector<std::string> lines = split_lines(run.out);
  json j{{"status", run.status}, {"meaning", meaning_of(run.status)}};
  const bool has_summary = !lines.empty() && is_summary(lines.back());
  j["counters"] = has_summary ? summary_counters(lines.back()) : json(nullptr);
  if (has_summary) lines.pop_back();
  const bool reasons_known = has_summary && printed_lines(r) == split_lines(run.out);
  json options = json::array();
  for (std::size_t i = 0; i < q.options.size() && 5 * i < lines.size(); ++i) {
    json o = option_json(q.options[i], lines, 5 * i);
    if (reasons_known) {
      o["refused"] = r.options[i].refused;
      if (r.options[i].reason) o["reason"] = reason_json(*r.options[i].reason);
    }
    options.push_back(o);
  }
  j["options"] = options;
  j["reasons_known"] = reasons_known;
  if (!reasons_known && run.status == 88)
    j["reasons_note"] =
        "the reason could not be determined: another run moved the arm between the reading of "
        "its position and this run";
  return j;
}

namespace {

std::string joint_name(const front_settings& s, std::size_t i) {
  return s.joint_names[i].empty() ? default_joint_name(i) : s.joint_names[i];
}

}  // namespace

json joint_names_of(const front_settings& s) {
  json names = json::array();
  for (std::size_t i = 0; i < joint_count; ++i) names.push_back(joint_name(s, i));
  return names;
}

json joint_words_of(const front_settings& s) {
  json words = json::array();
  for (std::size_t i = 0; i < joint_count; ++i) {
    const joint_words w = words_of(i, joint_name(s, i));
    words.push_back({{"plus", w.plus}, {"minus", w.minus}});
  }
  return words;
}

json error_answer(const std::string& message) { return json{{"error", message}}; }

json with_error(json fields, const std::string& message) {
  fields["error"] = message;
  return fields;
}

}  // namespace armctl::front

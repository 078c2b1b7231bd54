// Building the answers; the run's standard output is only ever read, as
// numbers, never passed on as text.
#include "cgi/answer.hpp"

#include <array>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "geometry/segment.hpp"

namespace armctl::cgi {
namespace {

constexpr std::array<std::pair<int, const char*>, 8> meanings{{
    {0, "done"},
    {1, "port access could not be granted or dropped; the counters were not saved"},
    {15, "the lock file could not be written when taking the lock"},
    {16, "the position file could not be read; the counters started at 0"},
    {17, "the position file could not be saved"},
    {18, "the lock file could not be written when releasing the lock"},
    {88, "a move was refused by its guard"},
    {143, "stopped (SIGTERM): the counters hold the steps made"},
}};

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

json counters_of(const std::string& summary) {
  json out = json::array();
  std::istringstream in(summary);
  for (std::string f; std::getline(in, f, ',');)
    out.push_back(std::strtoll(f.c_str(), nullptr, 10));
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

json option_json(const option& o, const std::vector<std::string>& lines, std::size_t first) {
  json j{{"option", std::string{'-', o.letter}}};
  if (o.count) j["count"] = std::strtoll(o.count->c_str(), nullptr, 10);
  json report = json::array();
  for (std::size_t i = first; i < first + 5 && i < lines.size(); ++i)
    report.push_back(report_numbers(lines[i]));
  j["report"] = report;
  return j;
}

}  // namespace

std::string status_meaning(int status) {
  for (const auto& [code, text] : meanings)
    if (code == status) return text;
  if (status > 128) return "stopped by signal " + std::to_string(status - 128);
  return status < 0 ? "the controller could not be run" : "unknown status";
}

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

json state_answer(const std::optional<counters>& c, const lock_view& lock) {
  json j;
  j["lock"] = {{"held", lock.held ? json(*lock.held) : json(nullptr)}};
  if (!c) {
    j["counters"] = nullptr;
    j["report"] = nullptr;
    return j;
  }
  j["counters"] = *c;
  const pose p = pose_at((*c)[4], (*c)[1], (*c)[2]);
  json report = json::array();
  for (const segment& s : {p.base, p.shoulder, p.elbow, p.wrist, p.total})
    report.push_back({s.x, s.y, s.r, s.theta});
  j["report"] = report;
  return j;
}

json run_answer(const move_query& q, const run_output& run, const replay& r) {
  std::vector<std::string> lines = split_lines(run.out);
  json j{{"status", run.status}, {"meaning", status_meaning(run.status)}};
  const bool has_summary = !lines.empty() && is_summary(lines.back());
  j["counters"] = has_summary ? counters_of(lines.back()) : json(nullptr);
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

json error_answer(const std::string& message) { return json{{"error", message}}; }

}  // namespace armctl::cgi

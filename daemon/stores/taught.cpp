// The poses file: {"poses": {NAME: [6 counters]}, "sequences": {NAME:
// {"steps": [{"pose", "pause_ms"}], "repeat"}}}, checked by the same rules
// as the requests that write it.
#include "daemon/stores/taught.hpp"
#include "daemon/stores/front_files.hpp"

#include <cctype>
#include <nlohmann/json.hpp>

#include "daemon/stores/locked_file.hpp"
#include "daemon/stores/records_json.hpp"

namespace armctl::front {
namespace {

using json = nlohmann::json;
// Far above what the bounds let a file hold (about 200 kB).
constexpr std::size_t max_poses_bytes = 1 << 20;

// A stored pose or sequence is read back through the request rules, so the
// file can hold nothing that a request could not have stored.
std::optional<counters> stored_counters(const json& v) { return counters_of(v); }

// The name is checked apart, by the rule for names referred to: a name an
// earlier release stored, spaces around it included, still reads.
std::optional<sequence> stored_sequence(const std::string& name, const json& v) {
  if (!v.is_object() || !is_name(name)) return std::nullopt;
  json whole = v;
  whole["name"] = "stored";
  auto s = sequence_of(whole);
  auto* read = std::get_if<sequence>(&s);
  if (read == nullptr) return std::nullopt;
  read->name = name;
  return *read;
}

// A name as a reader tells it apart: letters in one case, runs of spaces as
// one, no spaces around it.
std::string as_read(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string damage_of(const json& doc, taught& t) {
  if (!doc.is_object() || doc.size() != 2 || !doc.contains("poses") || !doc.contains("sequences") ||
      !doc["poses"].is_object() || !doc["sequences"].is_object())
    return "the poses file is not an object of poses and sequences";
  if (doc["poses"].size() > max_poses)
    return "the poses file holds more than " + std::to_string(max_poses) + " poses";
  if (doc["sequences"].size() > max_sequences)
    return "the poses file holds more than " + std::to_string(max_sequences) + " sequences";
  for (const auto& [name, value] : doc["poses"].items()) {
    const auto c = stored_counters(value);
    if (!is_name(name) || name == home_pose || !c)
      return "the poses file holds a pose that is not valid: " + json(name).dump();
    t.poses[name] = *c;
  }
  for (const auto& [name, value] : doc["sequences"].items()) {
    const auto s = stored_sequence(name, value);
    if (!s) return "the poses file holds a sequence that is not valid: " + json(name).dump();
    t.sequences[name] = *s;
  }
  return "";
}

taught_read parse_taught(const std::string& text) {
  taught_read r;
  if (text.empty()) return r;  // created by a writer that found none
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    r.damage = "the poses file is not valid JSON";
    return r;
  }
  r.damage = damage_of(doc, r.t);
  if (!r.damage.empty()) r.t = {};
  return r;
}

std::string text_of(const taught& t) {
  json doc{{"poses", json::object()}, {"sequences", json::object()}};
  for (const auto& [name, c] : t.poses) doc["poses"][name] = c;
  for (const auto& [name, s] : t.sequences) {
    json steps = json::array();
    for (const sequence_step& step : s.steps)
      steps.push_back({{"pose", step.pose}, {"pause_ms", step.pause_ms}});
    doc["sequences"][name] = {{"steps", steps}, {"repeat", s.repeat}};
  }
  return doc.dump() + "\n";
}

}  // namespace

bool looks_like(std::string_view name, std::string_view other) {
  return name != other && as_read(name) == as_read(other);
}

taught_read read_taught(const state_dir& dir) {
  const file_text f = read_state_file(dir, poses_file_name, max_poses_bytes);
  if (f.failed) return {{}, "the poses file cannot be read"};
  return parse_taught(f.text);
}

std::optional<counters> pose_counters(const state_dir& dir, const std::string& name) {
  if (name == home_pose) return counters{};
  const taught_read r = read_taught(dir);
  const auto found = r.t.poses.find(name);
  if (found == r.t.poses.end()) return std::nullopt;
  return found->second;
}

edit_outcome edit_taught(const state_dir& dir, std::chrono::milliseconds wait,
                         const std::function<edit_outcome(taught&)>& edit) {
  bool unsafe = false;
  const auto file = locked_file::hold(dir, poses_file_name, wait, &unsafe);
  if (!file) return unsafe ? edit_outcome::unsafe_file : edit_outcome::busy;
  std::string text;
  if (!file->read(text, max_poses_bytes)) return edit_outcome::damaged;
  taught_read r = parse_taught(text);
  if (!r.damage.empty()) return edit_outcome::damaged;
  const edit_outcome o = edit(r.t);
  if (o != edit_outcome::done) return o;
  return file->replace(text_of(r.t)) ? edit_outcome::done : edit_outcome::failed;
}

}  // namespace armctl::front

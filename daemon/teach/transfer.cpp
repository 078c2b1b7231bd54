// Export and import of the taught poses and sequences.
#include "daemon/teach/transfer.hpp"

#include <algorithm>

#include "daemon/http/answer.hpp"
#include "daemon/teach/teach.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {
namespace {

bool same(const sequence& a, const sequence& b) {
  return a.repeat == b.repeat && a.steps.size() == b.steps.size() &&
         std::equal(a.steps.begin(), a.steps.end(), b.steps.begin(),
                    [](const sequence_step& x, const sequence_step& y) {
                      return x.pose == y.pose && x.pause_ms == y.pause_ms;
                    });
}

// Files `name` under adds, replaces or unchanged by what the store holds.
template <typename Map, typename Value, typename Equal>
void sort_into(const Map& store, const std::string& name, const Value& v, Equal equal,
               std::vector<std::string>& adds, std::vector<std::string>& replaces,
               std::vector<std::string>& unchanged) {
  const auto found = store.find(name);
  if (found == store.end())
    adds.push_back(name);
  else if (equal(found->second, v))
    unchanged.push_back(name);
  else
    replaces.push_back(name);
}

edit_outcome judged_outcome(const import_query& q, const taught& merged) {
  for (const named_pose& p : q.poses)
    if (p.name == home_pose) return edit_outcome::builtin;
  if (merged.poses.size() > max_poses || merged.sequences.size() > max_sequences)
    return edit_outcome::full;
  for (const auto& [name, s] : merged.sequences)
    for (const sequence_step& step : s.steps)
      if (step.pose != home_pose && !merged.poses.contains(step.pose))
        return edit_outcome::unknown_poses;
  return edit_outcome::done;
}

json preview_json(const import_preview& p) {
  const auto part = [](const std::vector<std::string>& poses,
                       const std::vector<std::string>& sequences) {
    return json{{"poses", poses}, {"sequences", sequences}};
  };
  return {{"adds", part(p.pose_adds, p.sequence_adds)},
          {"replaces", part(p.pose_replaces, p.sequence_replaces)},
          {"unchanged", part(p.pose_unchanged, p.sequence_unchanged)}};
}

}  // namespace

import_preview preview_import(const taught& store, const import_query& q) {
  import_preview p;
  p.merged = store;
  for (const named_pose& n : q.poses) {
    sort_into(
        store.poses, n.name, n.c, [](const counters& a, const counters& b) { return a == b; },
        p.pose_adds, p.pose_replaces, p.pose_unchanged);
    p.merged.poses[n.name] = n.c;
  }
  for (const sequence& s : q.sequences) {
    sort_into(store.sequences, s.name, s, same, p.sequence_adds, p.sequence_replaces,
              p.sequence_unchanged);
    p.merged.sequences[s.name] = s;
  }
  p.outcome = judged_outcome(q, p.merged);
  return p;
}

json export_json(const taught& t) {
  json poses = json::array(), sequences = json::array();
  for (const auto& [name, c] : t.poses) poses.push_back({{"name", name}, {"counters", c}});
  for (const auto& [name, s] : t.sequences) {
    json steps = json::array();
    for (const sequence_step& step : s.steps)
      steps.push_back({{"pose", step.pose}, {"pause_ms", step.pause_ms}});
    sequences.push_back({{"name", name}, {"steps", steps}, {"repeat", s.repeat}});
  }
  return {{"format", taught_format},
          {"version", taught_format_version},
          {"poses", poses},
          {"sequences", sequences}};
}

reply answer_export(const context& c) {
  const state_dir dir(c.paths.state_dir);
  const taught_read r = read_taught(dir);
  if (!r.damage.empty()) return edit_reply(edit_outcome::damaged, nullptr);
  return {verdict::done, export_json(r.t)};
}

// A preview reads the store as it is; an apply judges again under the
// file's lock and replaces the file once, or leaves it as it was.
reply answer_import(const import_query& q, const context& c) {
  const state_dir dir(c.paths.state_dir);
  import_preview p;
  if (!q.apply) {
    const taught_read r = read_taught(dir);
    if (!r.damage.empty()) return edit_reply(edit_outcome::damaged, nullptr);
    p = preview_import(r.t, q);
    return edit_reply(p.outcome, preview_json(p));
  }
  const edit_outcome o = edit_taught(dir, c.settings.lock_wait, [&](taught& t) {
    p = preview_import(t, q);
    if (p.outcome == edit_outcome::done) t = p.merged;
    return p.outcome;
  });
  json body = preview_json(p);
  body["applied"] = o == edit_outcome::done;
  return edit_reply(o, body);
}

json import_summary(const import_query& q) {
  return {{"import", {{"poses", q.poses.size()}, {"sequences", q.sequences.size()}}},
          {"apply", q.apply}};
}

}  // namespace armctl::front

// Export and import of the taught poses and sequences, as answers.
#include "daemon/http/transfer.hpp"

#include "daemon/http/answer.hpp"
#include "daemon/http/teach.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {
namespace {

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

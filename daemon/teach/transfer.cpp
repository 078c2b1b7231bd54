// What an import of taught work would do to the store, judged by the rules
// of saving.
#include "daemon/teach/transfer.hpp"

#include <algorithm>

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

// A name that a reader would take for home, for a stored one, or for
// another name of the same import: saving refuses them, and so does an
// import.
template <typename Map, typename Item>
bool any_lookalike(const Map& stored, const std::vector<Item>& items, std::string Item::*name) {
  for (const Item& a : items) {
    if (looks_like_one_of(stored, a.*name)) return true;
    for (const Item& b : items)
      if (looks_like(a.*name, b.*name)) return true;
  }
  return false;
}

edit_outcome judged_outcome(const taught& store, const import_query& q, const taught& merged) {
  for (const named_pose& p : q.poses)
    if (p.name == home_pose) return edit_outcome::builtin;
  if (any_lookalike(store.poses, q.poses, &named_pose::name) ||
      any_lookalike(store.sequences, q.sequences, &sequence::name))
    return edit_outcome::lookalike;
  if (merged.poses.size() > max_poses || merged.sequences.size() > max_sequences)
    return edit_outcome::full;
  for (const auto& [name, s] : merged.sequences)
    for (const sequence_step& step : s.steps)
      if (step.pose != home_pose && !merged.poses.contains(step.pose))
        return edit_outcome::unknown_poses;
  return edit_outcome::done;
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
  p.outcome = judged_outcome(store, q, p.merged);
  return p;
}

}  // namespace armctl::front

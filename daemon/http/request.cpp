// The request rules: only GET/HEAD for the state, the taught poses and
// sequences and the history, and POST with a JSON body for everything else;
// every option, counter, name and target must match its grammar exactly.
#include "daemon/http/request.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "daemon/stores/records_json.hpp"
#include "model/commands.hpp"

namespace armctl::front {
namespace {

using json = nlohmann::json;

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// application/json, optionally with charset=utf-8: the one type that no
// plain cross-site form can send.
bool is_json_type(std::string_view type) {
  const std::string t = lower(type);
  const std::string_view v(t);
  const std::size_t semi = v.find(';');
  if (trim(v.substr(0, semi)) != "application/json") return false;
  if (semi == std::string_view::npos) return true;
  std::string_view param = trim(v.substr(semi + 1));
  return param == "charset=utf-8" || param == "charset=\"utf-8\"";
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An Origin, when sent, must be one the settings list or, without a list,
// this very server.
bool allowed_origin(const request_meta& m) {
  if (!m.origin) return true;
  const std::string origin = lower(*m.origin);
  const std::vector<std::string> accepted = accepted_origins(m);
  return std::any_of(accepted.begin(), accepted.end(),
                     [&](const std::string& o) { return lower(o) == origin; });
}

// Watches the raw parse events for an object that names a key twice:
// nlohmann keeps the last one silently.
class duplicate_watch {
 public:
  bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) open_.emplace_back();
    if (event == json::parse_event_t::object_end && !open_.empty()) open_.pop_back();
    if (event == json::parse_event_t::key && !open_.empty() &&
        !open_.back().insert(parsed.get<std::string>()).second)
      found_ = true;
    return true;
  }
  bool found() const { return found_; }

 private:
  std::vector<std::set<std::string>> open_;
  bool found_ = false;
};

// A count is decimal digits only: no sign, no base prefix and no leading
// zero (the controller reads "010" as octal 8).
bool is_count(std::string_view s) {
  if (s.empty() || s.size() > max_count_digits || !all_digits(s)) return false;
  return s == "0" || s.front() != '0';
}

// The number of a count that is_count accepted: at most five digits.
std::int32_t count_of(std::string_view s) {
  std::int32_t n = 0;
  std::from_chars(s.data(), s.data() + s.size(), n);
  return n;
}

// One letter of the command table, as "-X".
const command* command_of(std::string_view s) {
  return s.size() == 2 && s[0] == '-' ? find_command(s[1]) : nullptr;
}

// "-G -B ... -Q", in the table's order.
std::string letter_list() {
  std::string list;
  for (const command& c : commands) list += std::string(list.empty() ? "-" : " -") + c.letter;
  return list;
}

refusal bad(int status, std::string message) { return {status, std::move(message)}; }

query parse_options(const json& list) {
  if (!list.is_array()) return bad(400, "\"options\" must be an array of strings");
  move_query q;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const json& item = list[i];
    if (!item.is_string()) return bad(400, "option " + std::to_string(i) + " is not a string");
    const std::string& text = item.get_ref<const std::string&>();
    const command* c = command_of(text);
    if (c == nullptr)
      return bad(400, "option " + std::to_string(i) + " is not one of " + letter_list());
    if (q.options.size() == max_options)
      return bad(400, "more than " + std::to_string(max_options) + " options");
    option o{text[1], std::nullopt};
    if (c->kind != command_kind::report) {
      if (i + 1 == list.size() || !list[i + 1].is_string() ||
          !is_count(list[i + 1].get_ref<const std::string&>()))
        return bad(400, "option " + std::to_string(i) + " needs a step count of 1 to " +
                            std::to_string(max_count_digits) +
                            " decimal digits, without sign or leading zero");
      o.count = count_of(list[++i].get_ref<const std::string&>());
    }
    q.options.push_back(o);
  }
  if (q.options.empty()) return bad(400, "no options");
  return q;
}

query estimate_of(const json& list) {
  query q = parse_options(list);
  if (auto* m = std::get_if<move_query>(&q)) return estimate_query{std::move(*m)};
  return q;
}

template <typename Q>
query flag(const json& value) {
  if (value != true)
    return bad(400,
               "a \"stop\", \"clear\", \"unlock\", \"back\", \"pause\" or \"resume\" field "
               "must be true");
  return Q{};
}

// ---- the teach requests: counters, names, targets, sequences ----------------

// The inclusive range of a counter that position letters keep (0, 3, 5).
bool within_position_range(std::size_t counter, std::int64_t value) {
  for (const command& c : commands)
    if (c.kind == command_kind::position && c.counter == counter &&
        (c.sign > 0 ? value > c.limit : value < c.limit))
      return false;
  return true;
}

query parse_reference(const json& v) {
  const auto c = counters_of(v);
  if (!c) return bad(400, counters_rule);
  for (std::size_t i = 0; i < joint_count; ++i)
    if (!within_position_range(i, (*c)[i]))
      return bad(400, "counter " + std::to_string(i) + " is outside its position range");
  return reference_query{*c};
}

std::optional<std::string> name_of(const json& v, bool (*rule)(std::string_view) = is_name) {
  if (!v.is_string() || !rule(v.get_ref<const std::string&>())) return std::nullopt;
  return v.get<std::string>();
}

template <typename Q, bool (*rule)(std::string_view) = is_name>
query named(const json& v) {
  const auto name = name_of(v, rule);
  if (!name) return bad(400, name_rule());
  return Q{*name};
}

std::optional<double> finite_number(const json& v) {
  if (!v.is_number()) return std::nullopt;
  const double d = v.get<double>();
  return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}

std::variant<refusal, target> tip_of(const json& v) {
  const json& tip = v["tip"];
  if (!tip.is_array() || tip.size() != 2 || !finite_number(tip[0]) || !finite_number(tip[1]))
    return bad(400, "\"tip\" must be [x, y], two numbers");
  tip_target t{*finite_number(tip[0]), *finite_number(tip[1]), std::nullopt};
  if (v.contains("wrist")) {
    t.wrist_degrees = finite_number(v["wrist"]);
    if (!t.wrist_degrees) return bad(400, "\"wrist\" must be a number of degrees");
  }
  return t;
}

const char* const target_rule =
    "a target is {\"pose\": NAME}, {\"counters\": [6 ints]}, {\"tip\": [x, y]}, "
    "{\"tip\": [x, y], \"wrist\": DEGREES} or {\"history\": ID}";

std::variant<refusal, target> target_of(const json& v) {
  if (has_fields(v, {"pose"})) {
    const auto name = name_of(v["pose"]);
    if (!name) return bad(400, name_rule());
    return pose_target{*name};
  }
  if (has_fields(v, {"counters"})) {
    const auto c = counters_of(v["counters"]);
    if (!c) return bad(400, counters_rule);
    return *c;
  }
  if (has_fields(v, {"tip"}, {"wrist"})) return tip_of(v);
  if (has_fields(v, {"history"})) {
    const json& id = v["history"];
    if (!id.is_number_integer() || id.get<std::int64_t>() < 1)
      return bad(400, "a history entry's id is a whole number from 1");
    return history_target{id.get<std::int64_t>()};
  }
  return bad(400, target_rule);
}

template <typename Q>
query targeted(const json& v) {
  auto t = target_of(v);
  if (auto* r = std::get_if<refusal>(&t)) return *r;
  return Q{std::get<target>(std::move(t))};
}

query parse_sequence(const json& v) {
  auto s = sequence_of(v);
  if (auto* why = std::get_if<std::string>(&s)) return bad(400, *why);
  return save_sequence_query{std::get<sequence>(std::move(s))};
}

// ---- a held jog ----------------------------------------------------------

query parse_jog(const json& v) {
  const bool counter_ok = has_fields(v, {"counter", "direction"}) &&
                          v["counter"].is_number_unsigned() && v["counter"] < joint_count;
  if (!counter_ok || (v["direction"] != "+" && v["direction"] != "-"))
    return bad(400, "a jog is {\"counter\": 0 to 5, \"direction\": \"+\" or \"-\"}");
  return jog_query{v["counter"].get<std::size_t>(), v["direction"] == "+" ? 1 : -1};
}

template <typename Q>
query jog_named(const json& v) {
  if (!v.is_number_unsigned() || v == 0)
    return bad(400, "a \"hold\" or \"release\" names a jog by the number its start answered");
  return Q{v.get<std::uint64_t>()};
}

// ---- an import of taught work ----------------------------------------------

std::variant<refusal, named_pose> imported_pose(const json& v) {
  if (!has_fields(v, {"name", "counters"}))
    return bad(400, "an imported pose is {\"name\": NAME, \"counters\": [6 ints]}");
  // The rules of saving: a new name's, and counters a re-reference would take.
  const auto name = name_of(v["name"], is_new_name);
  if (!name) return bad(400, name_rule());
  const auto c = counters_of(v["counters"]);
  if (!c) return bad(400, counters_rule);
  for (std::size_t i = 0; i < joint_count; ++i)
    if (!within_position_range(i, (*c)[i]))
      return bad(400, "pose \"" + *name + "\": counter " + std::to_string(i) +
                          " is outside its position range");
  return named_pose{*name, *c};
}

// A name given twice in one import would leave which one counts to the order.
template <typename Item>
bool names_unique(const std::vector<Item>& items, std::string Item::*name) {
  std::set<std::string> seen;
  for (const Item& i : items)
    if (!seen.insert(i.*name).second) return false;
  return true;
}

query parse_import(const json& doc) {
  if (!has_fields(doc, {"import"}, {"apply"}) ||
      (doc.contains("apply") && !doc["apply"].is_boolean()))
    return bad(400, "an import is {\"import\": {...}, \"apply\": true or false}");
  const json& v = doc["import"];
  if (!has_fields(v, {"format", "version", "poses", "sequences"}) || v["format"] != taught_format ||
      v["version"] != taught_format_version)
    return bad(400, std::string("the import must be {\"format\": \"") + taught_format +
                        "\", \"version\": " + std::to_string(taught_format_version) +
                        ", \"poses\": [...], \"sequences\": [...]}");
  if (!v["poses"].is_array() || !v["sequences"].is_array())
    return bad(400, "\"poses\" and \"sequences\" must be arrays");
  import_query q;
  q.apply = doc.value("apply", false);
  for (const json& item : v["poses"]) {
    auto p = imported_pose(item);
    if (auto* r = std::get_if<refusal>(&p)) return *r;
    q.poses.push_back(std::get<named_pose>(std::move(p)));
  }
  for (const json& item : v["sequences"]) {
    query s = parse_sequence(item);
    if (auto* r = std::get_if<refusal>(&s)) return *r;
    q.sequences.push_back(std::get<save_sequence_query>(std::move(s)).s);
  }
  if (!names_unique(q.poses, &named_pose::name) || !names_unique(q.sequences, &sequence::name))
    return bad(400, "the import names a pose or a sequence twice");
  return q;
}

// ---- who drives ---------------------------------------------------------------

// Each control request's word and the one name field it may or must carry.
struct control_form {
  std::string_view word;
  const char* name_field;  // nullptr: none
  control_action action;
  bool name_required;
};
constexpr control_form control_forms[] = {
    {"take", "from", control_action::take, false},
    {"release", nullptr, control_action::release, false},
    {"give", "to", control_action::give, true},
    {"refuse", nullptr, control_action::refuse, false},
};

query parse_control(const json& doc) {
  const char* const rule =
      "control is {\"control\": \"take\"}, {\"control\": \"take\", \"from\": NAME}, "
      "{\"control\": \"give\", \"to\": NAME}, {\"control\": \"release\"} or "
      "{\"control\": \"refuse\"}";
  for (const control_form& f : control_forms) {
    if (doc["control"] != f.word) continue;
    const bool fits = f.name_field == nullptr ? has_fields(doc, {"control"})
                      : f.name_required       ? has_fields(doc, {"control", f.name_field})
                                              : has_fields(doc, {"control"}, {f.name_field});
    if (!fits) return bad(400, rule);
    control_query q{f.action};
    if (f.name_field != nullptr && doc.contains(f.name_field)) {
      const json& n = doc[f.name_field];
      if (!n.is_string() || n.get_ref<const std::string&>().empty())
        return bad(400, std::string("\"") + f.name_field + "\" must be an operator's name");
      q.name = n.get<std::string>();
    }
    return q;
  }
  return bad(400, rule);
}

// The request kinds a POST body can name, by its one field.
struct body_kind {
  std::string_view field;
  query (*parse)(const json& value);
};
constexpr body_kind body_kinds[] = {
    {"options", parse_options},
    {"estimate", estimate_of},
    {"stop", flag<stop_query>},
    {"clear", flag<clear_query>},
    {"unlock", flag<unlock_query>},
    {"reference", parse_reference},
    {"save_pose", named<save_pose_query, is_new_name>},
    {"delete_pose", named<delete_pose_query>},
    {"plan", targeted<plan_query>},
    {"goto", targeted<goto_query>},
    {"back", flag<back_query>},
    {"save_sequence", parse_sequence},
    {"delete_sequence", named<delete_sequence_query>},
    {"jog", parse_jog},
    {"hold", jog_named<hold_query>},
    {"release", jog_named<release_query>},
    {"play", named<play_query>},
    {"pause", flag<pause_query>},
    {"resume", flag<resume_query>},
};

std::string field_list() {
  std::string list;
  for (const body_kind& k : body_kinds)
    list += (list.empty() ? "\"" : ", \"") + std::string(k.field) + "\"";
  return list;
}

// The GET query strings and what each reads.
struct get_kind {
  std::string_view name;
  view what;
};
constexpr get_kind get_kinds[] = {
    {"poses", view::poses},   {"sequences", view::sequences},  {"history", view::history},
    {"whoami", view::whoami}, {"export", view::export_taught}, {"events", view::events},
};

std::optional<view> view_named(std::string_view item) {
  for (const get_kind& k : get_kinds)
    if (k.name == item) return k.what;
  return std::nullopt;
}

// A client may add "t=<letters, digits, '.', '-', '_'>" so that no cache
// answers for the daemon (earlier pages did, for the state).
bool is_cache_buster(std::string_view item) {
  return item.starts_with("t=") && std::all_of(item.begin() + 2, item.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
         });
}

// The items of a query string, separated by '&': at most one view name and
// at most one cache buster; no name is the state.
std::optional<view> view_of(std::string_view query_string) {
  std::optional<view> what;
  bool busted = false;
  for (std::size_t from = 0; !query_string.empty();) {
    const std::size_t amp = query_string.find('&', from);
    const std::string_view item = query_string.substr(from, amp - from);
    if (const auto v = view_named(item); v && !what)
      what = v;
    else if (is_cache_buster(item) && !busted)
      busted = true;
    else
      return std::nullopt;
    if (amp == std::string_view::npos) break;
    from = amp + 1;
  }
  return what.value_or(view::state);
}

}  // namespace

// The default port of the scheme is left out, as browsers leave it out.
std::string canonical_origin(const request_meta& m) {
  const std::string_view default_port = m.https ? "443" : "80";
  std::string o = std::string(m.https ? "https://" : "http://") + lower(m.server_name);
  if (!m.server_port.empty() && m.server_port != default_port)
    o += ":" + std::string(m.server_port);
  return o;
}

std::vector<std::string> accepted_origins(const request_meta& m) {
  if (m.origins != nullptr && !m.origins->empty()) return *m.origins;
  if (m.server_name.empty()) return {};
  return {canonical_origin(m)};
}

std::variant<refusal, state_query, std::size_t> check_meta(const request_meta& m) {
  if (m.method == "GET" || m.method == "HEAD") {
    if (const auto what = view_of(m.query_string)) return state_query{*what};
    return bad(400,
               "the query string must be empty, \"poses\", \"sequences\", \"history\", "
               "\"whoami\", \"export\" or \"events\" (with at most a cache buster \"t=...\")");
  }
  if (m.method != "POST") return bad(405, "only GET, HEAD and POST are answered");
  if (!allowed_origin(m))
    return refusal{403, "cross-site request: Origin is not this server's", accepted_origins(m)};
  if (!m.content_type || !is_json_type(*m.content_type))
    return bad(415, "a move or stop needs Content-Type: application/json");
  if (!m.content_length) return bad(411, "Content-Length is missing");
  const std::string_view len = *m.content_length;
  if (!all_digits(len)) return bad(400, "Content-Length is not a number");
  if (len.size() > 7 || std::stoul(std::string(len)) > max_import_bytes)
    return bad(413, "the body is larger than " + std::to_string(max_import_bytes) + " bytes");
  return static_cast<std::size_t>(std::stoul(std::string(len)));
}

query parse_body(std::string_view body) {
  duplicate_watch dup;
  const json doc = json::parse(body.begin(), body.end(), std::ref(dup), false);
  const bool import = doc.is_object() && doc.contains("import");
  if (body.size() > max_body_bytes && !import)
    return bad(413, "the body is larger than " + std::to_string(max_body_bytes) + " bytes");
  if (doc.is_discarded()) return bad(400, "the body is not valid JSON");
  if (dup.found()) return bad(400, "a key appears twice in one object");
  if (import) return parse_import(doc);
  if (doc.is_object() && doc.contains("control")) return parse_control(doc);
  if (!doc.is_object() || doc.size() != 1)
    return bad(400, "the body must be an object with one field: one of " + field_list() +
                        ", or \"import\" with \"apply\"");
  const auto field = doc.begin();
  for (const body_kind& k : body_kinds)
    if (k.field == field.key()) return k.parse(field.value());
  return bad(400, "unknown field: only " + field_list() + " are accepted");
}

query classify(const request_meta& meta, std::string_view body) {
  const auto checked = check_meta(meta);
  if (const auto* r = std::get_if<refusal>(&checked)) return *r;
  if (std::holds_alternative<state_query>(checked)) return state_query{};
  if (body.size() != std::get<std::size_t>(checked))
    return bad(400, "the body is shorter than Content-Length");
  return parse_body(body);
}

}  // namespace armctl::front

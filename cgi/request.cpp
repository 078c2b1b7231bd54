// The request rules: only GET/HEAD for the state and POST with a JSON body
// for a move or a stop; every option must match the grammar exactly.
#include "cgi/request.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "model/commands.hpp"

namespace armctl::cgi {
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

// This server's origin as the server itself names it: the default port of
// the scheme is left out, as browsers leave it out.
std::string canonical_origin(const request_meta& m) {
  const std::string_view default_port = m.https ? "443" : "80";
  std::string o = std::string(m.https ? "https://" : "http://") + lower(m.server_name);
  if (!m.server_port.empty() && m.server_port != default_port)
    o += ":" + std::string(m.server_port);
  return o;
}

// An Origin, when sent, must be one the settings list or, without a list,
// this very server.
bool allowed_origin(const request_meta& m) {
  if (!m.origin) return true;
  const std::string origin = lower(*m.origin);
  if (m.origins != nullptr && !m.origins->empty())
    return std::any_of(m.origins->begin(), m.origins->end(),
                       [&](const std::string& o) { return lower(o) == origin; });
  return !m.server_name.empty() && origin == canonical_origin(m);
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
      o.count = list[++i].get<std::string>();
    }
    q.options.push_back(std::move(o));
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
  if (value != true) return bad(400, "a \"stop\", \"clear\" or \"unlock\" field must be true");
  return Q{};
}

// The request kinds a POST body can name, by its one field.
struct body_kind {
  std::string_view field;
  query (*parse)(const json& value);
};
constexpr body_kind body_kinds[] = {
    {"options", parse_options},   {"estimate", estimate_of},      {"stop", flag<stop_query>},
    {"clear", flag<clear_query>}, {"unlock", flag<unlock_query>},
};
constexpr std::string_view fields = "\"options\", \"estimate\", \"stop\", \"clear\" or \"unlock\"";

}  // namespace

std::variant<refusal, state_query, std::size_t> check_meta(const request_meta& m) {
  if (m.method == "GET" || m.method == "HEAD") return state_query{};
  if (m.method != "POST") return bad(405, "only GET, HEAD and POST are answered");
  if (!allowed_origin(m)) return bad(403, "cross-site request: Origin is not this server's");
  if (!m.content_type || !is_json_type(*m.content_type))
    return bad(415, "a move or stop needs Content-Type: application/json");
  if (!m.content_length) return bad(411, "Content-Length is missing");
  const std::string_view len = *m.content_length;
  if (!all_digits(len)) return bad(400, "Content-Length is not a number");
  if (len.size() > 5 || std::stoul(std::string(len)) > max_body_bytes)
    return bad(413, "the body is larger than " + std::to_string(max_body_bytes) + " bytes");
  return static_cast<std::size_t>(std::stoul(std::string(len)));
}

query parse_body(std::string_view body) {
  duplicate_watch dup;
  const json doc = json::parse(body.begin(), body.end(), std::ref(dup), false);
  if (doc.is_discarded()) return bad(400, "the body is not valid JSON");
  if (dup.found()) return bad(400, "a key appears twice in one object");
  if (!doc.is_object() || doc.size() != 1)
    return bad(400, "the body must be an object with one field: " + std::string(fields));
  const auto field = doc.begin();
  for (const body_kind& k : body_kinds)
    if (k.field == field.key()) return k.parse(field.value());
  return bad(400, "unknown field: only " + std::string(fields) + " are accepted");
}

query classify(const request_meta& meta, std::string_view body) {
  const auto checked = check_meta(meta);
  if (const auto* r = std::get_if<refusal>(&checked)) return *r;
  if (std::holds_alternative<state_query>(checked)) return state_query{};
  if (body.size() != std::get<std::size_t>(checked))
    return bad(400, "the body is shorter than Content-Length");
  return parse_body(body);
}

std::vector<std::string> argument_vector(const move_query& q) {
  std::vector<std::string> argv{"armctl"};
  for (const option& o : q.options) {
    argv.push_back(std::string{'-', o.letter});
    if (o.count) argv.push_back(*o.count);
  }
  return argv;
}

}  // namespace armctl::cgi

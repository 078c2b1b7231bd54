// The rules of names, counters and sequences in their JSON forms.
#include "daemon/stores/records_json.hpp"

#include <algorithm>
#include <limits>

#include "model/request_limits.hpp"

namespace armctl::front {
namespace {

using json = nlohmann::json;

// A JSON integer within the signed 32-bit range.
std::optional<std::int32_t> int32_of(const json& v) {
  if (!v.is_number_integer()) return std::nullopt;
  if (v.is_number_unsigned())
    return v.get<std::uint64_t>() <= std::numeric_limits<std::int32_t>::max()
               ? std::optional<std::int32_t>(static_cast<std::int32_t>(v.get<std::uint64_t>()))
               : std::nullopt;
  const auto n = v.get<std::int64_t>();
  if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(n);
}

std::optional<std::int64_t> integer_within(const json& v, std::int64_t lo, std::int64_t hi) {
  if (!v.is_number_integer()) return std::nullopt;
  if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(hi))
    return std::nullopt;
  const auto n = v.get<std::int64_t>();
  return n >= lo && n <= hi ? std::optional<std::int64_t>(n) : std::nullopt;
}

std::optional<std::string> name_in(const json& v, bool (*rule)(std::string_view)) {
  if (!v.is_string() || !rule(v.get_ref<const std::string&>())) return std::nullopt;
  return v.get<std::string>();
}

std::variant<std::string, sequence_step> step_of(const json& v) {
  if (!has_fields(v, {"pose", "pause_ms"})) return "a step is {\"pose\": NAME, \"pause_ms\": N}";
  const auto pose = name_in(v["pose"], is_name);
  if (!pose) return name_rule();
  const auto pause = integer_within(v["pause_ms"], 0, max_pause_ms);
  if (!pause) return "pause_ms must be an integer from 0 to " + std::to_string(max_pause_ms);
  return sequence_step{*pose, *pause};
}

}  // namespace

bool is_name(std::string_view name) {
  const auto allowed = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == '-' || c == '_';
  };
  return !name.empty() && name.size() <= max_name_length &&
         std::all_of(name.begin(), name.end(), allowed);
}

bool is_new_name(std::string_view name) {
  return is_name(name) && !name.starts_with(' ') && !name.ends_with(' ');
}

std::string name_rule() {
  return "a name is 1 to " + std::to_string(max_name_length) +
         " letters, digits, spaces, '-' or '_', and a new one neither starts nor ends with a space";
}

namespace {

// The length of the valid UTF-8 character at the start of `s` (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF); 0 when it is none.
std::size_t utf8_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  struct form {
    unsigned char lead_lo, lead_hi, second_lo, second_hi;
    std::size_t length;
  };
  static constexpr form forms[] = {
      {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
      {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
      {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
  };
  for (const form& f : forms) {
    if (lead < f.lead_lo || lead > f.lead_hi) continue;
    if (s.size() < f.length || byte(1) < f.second_lo || byte(1) > f.second_hi) return 0;
    for (std::size_t i = 2; i < f.length; ++i)
      if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return f.length;
  }
  return 0;
}

}  // namespace

std::string escaped_name(std::string_view name) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  while (!name.empty()) {
    const std::size_t n = utf8_length(name);
    if (n > 0) {
      out.append(name.substr(0, n));
      name.remove_prefix(n);
      continue;
    }
    const auto b = static_cast<unsigned char>(name.front());
    out.append("\\x").push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
    name.remove_prefix(1);
  }
  return out;
}

std::optional<counters> counters_of(const json& v) {
  if (!v.is_array() || v.size() != joint_count) return std::nullopt;
  counters c{};
  for (std::size_t i = 0; i < joint_count; ++i) {
    const auto n = int32_of(v[i]);
    if (!n) return std::nullopt;
    c[i] = *n;
  }
  return c;
}

std::optional<counters> counters_from_json(std::string_view text) {
  return counters_of(json::parse(text.begin(), text.end(), nullptr, false));
}

bool has_fields(const json& v, std::initializer_list<std::string_view> required,
                std::initializer_list<std::string_view> optional) {
  if (!v.is_object()) return false;
  for (std::string_view k : required)
    if (!v.contains(k)) return false;
  for (const auto& item : v.items()) {
    const auto known = [&](std::string_view k) { return k == item.key(); };
    if (std::none_of(required.begin(), required.end(), known) &&
        std::none_of(optional.begin(), optional.end(), known))
      return false;
  }
  return true;
}

std::variant<std::string, sequence> sequence_of(const json& v) {
  if (!has_fields(v, {"name", "steps", "repeat"}))
    return "a sequence is {\"name\": NAME, \"steps\": [...], \"repeat\": N}";
  const auto name = name_in(v["name"], is_new_name);
  if (!name) return name_rule();
  const json& steps = v["steps"];
  if (!steps.is_array() || steps.empty() || steps.size() > max_sequence_steps)
    return "steps must be an array of 1 to " + std::to_string(max_sequence_steps) + " steps";
  const auto repeat = integer_within(v["repeat"], 1, max_repeat);
  if (!repeat) return "repeat must be an integer from 1 to " + std::to_string(max_repeat);
  sequence s{*name, {}, *repeat};
  for (const json& item : steps) {
    auto step = step_of(item);
    if (auto* why = std::get_if<std::string>(&step)) return *why;
    s.steps.push_back(std::get<sequence_step>(std::move(step)));
  }
  return s;
}

std::string line_text(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace armctl::front

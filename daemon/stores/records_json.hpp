// The rules of counters and sequences in their JSON forms: one source for
// the request rules and for the files, which must hold nothing a request
// could not have stored.
#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "daemon/stores/records.hpp"

namespace armctl::front {

// Six integers within 32 bits, from a JSON value or the text of one.
std::optional<counters> counters_of(const nlohmann::json& v);
std::optional<counters> counters_from_json(std::string_view text);
inline constexpr const char* counters_rule =
    "counters must be an array of six integers within 32 bits";

// An object whose keys are exactly `required` plus any of `optional`.
bool has_fields(const nlohmann::json& v, std::initializer_list<std::string_view> required,
                std::initializer_list<std::string_view> optional = {});

// {"name", "steps": [{"pose", "pause_ms"}], "repeat"} within the bounds, its
// name a new one; or why not, in words.
std::variant<std::string, sequence> sequence_of(const nlohmann::json& v);

// One line of JSON, for a file or the wire: text that is not UTF-8 (a
// login name, say) is replaced, never a reason to fail.
std::string line_text(const nlohmann::json& j);

}  // namespace armctl::front

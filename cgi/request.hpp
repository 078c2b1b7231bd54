// What a web request to the arm asks for: the CGI meta-variables and body
// checked against the front end's strict rules, before anything starts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace armctl::cgi {

inline constexpr std::size_t max_body_bytes = 4096;
inline constexpr std::size_t max_options = 16;
inline constexpr std::size_t max_count_digits = 5;

// The meta-variables that decide a request; an absent one is nullopt.
struct request_meta {
  std::string_view method;
  std::optional<std::string_view> content_type;
  std::optional<std::string_view> content_length;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> host;
  bool https = false;
};

struct refusal {
  int http_status;
  std::string message;
};
struct state_query {};
struct stop_query {};
// One option of a move: its letter and, for the motion letters, the count.
struct option {
  char letter;
  std::optional<std::string> count;  // digits as given
};
struct move_query {
  std::vector<option> options;
};

using query = std::variant<refusal, state_query, stop_query, move_query>;

// Checks what can be checked before the body is read: method, origin,
// type and length. A move or stop goes on with the body's length.
std::variant<refusal, state_query, std::size_t> check_meta(const request_meta& meta);

// Parses a POST body: {"options": [...]} or {"stop": true}, nothing else.
query parse_body(std::string_view body);

// Both steps, for a request whose body is already at hand.
query classify(const request_meta& meta, std::string_view body);

// The controller's argument vector for a move: "armctl" then the options.
std::vector<std::string> argument_vector(const move_query& q);

}  // namespace armctl::cgi

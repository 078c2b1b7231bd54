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

// The meta-variables that decide a request; an absent one is nullopt. The
// server's own name and port (SERVER_NAME, SERVER_PORT under Apache's
// UseCanonicalName On) say which Origin is this server's, unless the
// settings list the origins; the client's Host header never does.
struct request_meta {
  std::string_view method;
  std::optional<std::string_view> content_type;
  std::optional<std::string_view> content_length;
  std::optional<std::string_view> origin;
  std::string_view server_name;
  std::string_view server_port;
  bool https = false;
  const std::vector<std::string>* origins = nullptr;  // from the settings; null or empty: none
};

struct refusal {
  int http_status;
  std::string message;
};
struct state_query {};
struct stop_query {};    // {"stop": true}: stop everything and latch
struct clear_query {};   // {"clear": true}: an operator clears the latch
struct unlock_query {};  // {"unlock": true}: free a lock left by a dead run
// One option of a move: its letter and, for the motion letters, the count.
struct option {
  char letter;
  std::optional<std::string> count;  // digits as given
};
struct move_query {
  std::vector<option> options;
};

// {"estimate": [...options]}: how long those options would move, moving nothing.
struct estimate_query {
  move_query move;
};

using query = std::variant<refusal, state_query, stop_query, clear_query, unlock_query,
                           estimate_query, move_query>;

// Checks what can be checked before the body is read: method, origin,
// type and length. A move or stop goes on with the body's length.
std::variant<refusal, state_query, std::size_t> check_meta(const request_meta& meta);

// Parses a POST body: one field, "options" or "estimate" with an option
// list, or "stop", "clear" or "unlock" with true; nothing else, and no key
// twice in any object.
query parse_body(std::string_view body);

// Both steps, for a request whose body is already at hand.
query classify(const request_meta& meta, std::string_view body);

// The controller's argument vector for a move: "armctl" then the options.
std::vector<std::string> argument_vector(const move_query& q);

}  // namespace armctl::cgi

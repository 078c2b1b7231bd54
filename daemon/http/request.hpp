// What a web request to the arm asks for: its method, headers and body
// checked against the front end's strict rules, before anything starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "daemon/runs/options.hpp"
#include "daemon/stores/records.hpp"
#include "daemon/teach/planner.hpp"
#include "daemon/teach/transfer.hpp"
#include "model/commands.hpp"
#include "model/joints.hpp"
#include "model/request_limits.hpp"

namespace armctl::front {

inline constexpr std::size_t max_body_bytes = 4096;
// An import of taught work carries a whole store (the poses file is bounded
// to about 200 kB); every other body stays within max_body_bytes.
inline constexpr std::size_t max_import_bytes = std::size_t{256} * 1024;
inline constexpr std::size_t max_options = 16;

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
  std::string_view query_string{};  // of a GET: "", or a view's name (get_kinds in request.cpp)
};

struct refusal {
  int http_status;
  std::string message;
  // A foreign Origin's 403 names the origins that are accepted, so that the
  // page can tell where it must be opened.
  std::optional<std::vector<std::string>> accepted_origins{};
};
// What a GET reads: the arm's state (no query string) or its stream of
// changes, the taught poses or sequences (open), the history or the taught
// work for export (operators only), or who the credentials sent are.
enum class view { state, poses, sequences, history, whoami, export_taught, events };
struct state_query {
  view what = view::state;
};
struct stop_query {};    // {"stop": true}: stop everything and latch
struct clear_query {};   // {"clear": true}: an operator clears the latch
struct unlock_query {};  // {"unlock": true}: free a lock left by a dead run

// {"estimate": [...options]}: how long those options would move, moving nothing.
struct estimate_query {
  move_query move;
};

struct reference_query {  // {"reference": [6 ints]}: the arm is really here
  counters c;
};
struct save_pose_query {
  std::string name;
};
struct delete_pose_query {
  std::string name;
};
struct plan_query {
  target to;
};
struct goto_query {
  target to;
};
struct back_query {};
struct save_sequence_query {
  sequence s;
};
struct delete_sequence_query {
  std::string name;
};

// {"jog": {"counter": k, "direction": "+" | "-"}}: moves one joint for as
// long as the operator holds it; {"hold": ID} keeps it moving, {"release":
// ID} ends it.
struct jog_query {
  std::size_t counter;
  int sign;  // +1: the counter grows
};
struct hold_query {
  std::uint64_t id;
};
struct release_query {
  std::uint64_t id;
};
// A stored sequence played by the daemon, and its pause and resume.
struct play_query {
  std::string name;
};
struct pause_query {};
struct resume_query {};

// {"control": "take" | "release" | "refuse"}, {"control": "take", "from":
// DRIVER} to take over, {"control": "give", "to": ASKER}: who drives the arm.
enum class control_action { take, release, give, refuse };
struct control_query {
  control_action action;
  std::string name{};  // take: the driver taken over from; give: the asker
};

inline constexpr const char* taught_format = "armctl-taught";
inline constexpr int taught_format_version = 1;

using query =
    std::variant<refusal, state_query, stop_query, clear_query, unlock_query, estimate_query,
                 move_query, reference_query, save_pose_query, delete_pose_query, plan_query,
                 goto_query, back_query, save_sequence_query, delete_sequence_query, import_query,
                 play_query, pause_query, resume_query, jog_query, hold_query, release_query,
                 control_query>;

// This server's origin as SERVER_NAME, SERVER_PORT and HTTPS name it.
std::string canonical_origin(const request_meta& m);
// The origins a POST may come from: the settings' list when it has any,
// else this server's own (none while its name is unknown).
std::vector<std::string> accepted_origins(const request_meta& m);

// Checks what can be checked before the body is read: method, origin,
// type and length, and a GET's query string. A POST goes on with the body's length.
std::variant<refusal, state_query, std::size_t> check_meta(const request_meta& meta);

// Parses a POST body: one field, naming the request kind (see body_kinds in
// request.cpp), with its value in its strict form; nothing else, and no key
// twice in any object. An import alone may add "apply" and exceed
// max_body_bytes.
query parse_body(std::string_view body);

// Both steps, for a request whose body is already at hand.
query classify(const request_meta& meta, std::string_view body);

}  // namespace armctl::front
